#include "ble/winrt/winrt_connection.h"

#include <utility>

#include "ble/winrt/async_get.h"

namespace chair::ble::winrt {

namespace {

constexpr INT32 kUncached = 1;
constexpr INT32 kConnected = 1;
constexpr const char* kUnknownHandle = "no such GATT object on this connection";

// Every element of a vector view, unreadable or empty ones left out; an error when the
// list itself cannot be read.
template <class I>
Result<std::vector<Com<I>>> elements(abi::IVectorView<I*>* list) {
  if (!list) return hr_error(E_POINTER);
  UINT32 n = 0;
  HRESULT hr = list->get_Size(&n);
  if (FAILED(hr)) return hr_error(hr);
  std::vector<Com<I>> out;
  out.reserve(n);
  for (UINT32 i = 0; i < n; ++i) {
    Com<I> item;
    hr = list->GetAt(i, item.put());
    if (FAILED(hr)) return hr_error(hr);
    if (item) out.push_back(std::move(item));
  }
  return out;
}

Status close_object(IInspectable* object) {
  Com<abi::IClosable> closable;
  HRESULT hr = Com<IInspectable>::add_ref(object).query(abi::IID_IClosable, closable);
  if (SUCCEEDED(hr)) hr = closable->Close();
  if (FAILED(hr)) return hr_error(hr);
  return {};
}

}  // namespace

WinRtConnection::WinRtConnection(Com<abi::IBluetoothLEDevice> device, Com<abi::IGattSession> session)
    : device_(std::move(device)), session_(std::move(session)) {}

WinRtConnection::~WinRtConnection() {
  prepare_thread();
  // A link replaced by a new one to the same chair shares the system's connection with it:
  // its handler goes, the device and session are only released, never closed.
  end(take_registration(nullptr));
}

Result<Com<abi::IBluetoothLEDevice>> WinRtConnection::device() {
  std::lock_guard lock(mutex_);
  if (!device_) return fail(kClosedText);
  return device_;
}

Result<Com<abi::IGattCharacteristic>> WinRtConnection::find_characteristic(const std::string& handle) {
  std::lock_guard lock(mutex_);
  if (!device_) return fail(kClosedText);
  auto it = characteristics_.find(handle);
  if (it == characteristics_.end()) return fail(kUnknownHandle);
  return it->second;
}

std::optional<WinRtConnection::Registration> WinRtConnection::take_registration(const ValueChangedDelegate* only) {
  std::lock_guard lock(mutex_);
  if (!registration_ || (only && registration_->delegate.get() != only)) return std::nullopt;
  return std::exchange(registration_, std::nullopt);
}

void WinRtConnection::end(std::optional<Registration> registration) {
  if (!registration) return;
  registration->delegate->end();
  (void)registration->characteristic->remove_ValueChanged(registration->token);
}

Result<std::string> WinRtConnection::name() {
  prepare_thread();
  auto d = device();
  if (!d) return d.take_error();
  HString text;
  HRESULT hr = (*d)->get_Name(text.put());
  if (FAILED(hr)) return hr_error(hr);
  return text.to_utf8();
}

Result<std::vector<GattService>> WinRtConnection::services() {
  prepare_thread();
  auto d = device();
  if (!d) return d.take_error();
  Com<abi::IBluetoothLEDevice3> d3;
  HRESULT hr = d->query(abi::IID_IBluetoothLEDevice3, d3);
  if (FAILED(hr)) return hr_error(hr);
  abi::IAsyncOperation<abi::IGattDeviceServicesResult*>* op = nullptr;
  hr = d3->GetGattServicesWithCacheModeAsync(kUncached, &op);
  auto result = async_get(hr, op, &closed_);
  if (!result) return result.take_error();

  INT32 status = 0;
  hr = (*result)->get_Status(&status);
  if (FAILED(hr)) return hr_error(hr);
  if (status != static_cast<INT32>(GattStatus::Success)) return fail(gatt_status_text(static_cast<GattStatus>(status)));
  Com<abi::IVectorView<abi::IGattDeviceService*>> list;
  hr = (*result)->get_Services(list.put());
  if (FAILED(hr)) return hr_error(hr);
  auto found = elements(list.get());
  if (!found) return found.take_error();

  std::vector<GattService> out;
  std::map<std::string, Com<abi::IGattDeviceService>> table;
  for (auto& service : *found) {
    GattService entry;
    GUID g{};
    if (SUCCEEDED(service->get_Uuid(&g))) entry.uuid = to_uuid(g);
    std::lock_guard lock(mutex_);
    entry.handle = "service " + std::to_string(next_handle_++);
    table.emplace(entry.handle, std::move(service));
    out.push_back(std::move(entry));
  }
  std::lock_guard lock(mutex_);
  if (!device_) return fail(kClosedText);
  services_ = std::move(table);
  return out;
}

Result<std::vector<GattCharacteristic>> WinRtConnection::characteristics(const GattService& service) {
  prepare_thread();
  Com<abi::IGattDeviceService> s;
  {
    std::lock_guard lock(mutex_);
    if (!device_) return fail(kClosedText);
    auto it = services_.find(service.handle);
    if (it == services_.end()) return fail(kUnknownHandle);
    s = it->second;
  }
  Com<abi::IGattDeviceService3> s3;
  HRESULT hr = s.query(abi::IID_IGattDeviceService3, s3);
  if (FAILED(hr)) return hr_error(hr);
  abi::IAsyncOperation<abi::IGattCharacteristicsResult*>* op = nullptr;
  hr = s3->GetCharacteristicsWithCacheModeAsync(kUncached, &op);
  auto result = async_get(hr, op, &closed_);
  if (!result) return result.take_error();
  // The result's own status is not looked at: what the listing holds is what there is.
  Com<abi::IVectorView<abi::IGattCharacteristic*>> list;
  hr = (*result)->get_Characteristics(list.put());
  if (FAILED(hr)) return hr_error(hr);
  auto found = elements(list.get());
  if (!found) return found.take_error();

  std::vector<GattCharacteristic> out;
  for (auto& c : *found) {
    GattCharacteristic entry;
    UINT32 props = 0;
    if (SUCCEEDED(c->get_CharacteristicProperties(&props))) entry.properties = props;
    GUID g{};
    if (SUCCEEDED(c->get_Uuid(&g))) entry.uuid = to_uuid(g);
    std::lock_guard lock(mutex_);
    if (!device_) return fail(kClosedText);
    entry.handle = "characteristic " + std::to_string(next_handle_++);
    characteristics_.emplace(entry.handle, std::move(c));
    out.push_back(std::move(entry));
  }
  return out;
}

Result<bool> WinRtConnection::connected() {
  prepare_thread();
  auto d = device();
  if (!d) return d.take_error();
  INT32 status = 0;
  HRESULT hr = (*d)->get_ConnectionStatus(&status);
  if (FAILED(hr)) return hr_error(hr);
  return status == kConnected;
}

Result<GattStatus> WinRtConnection::subscribe(const GattCharacteristic& characteristic, Subscription kind,
                                              NotificationHandler handler) {
  prepare_thread();
  auto c = find_characteristic(characteristic.handle);
  if (!c) return c.take_error();
  end(take_registration(nullptr));

  auto delegate = ValueChangedDelegate::make(abi::IID_IValueChangedHandler,
                                             [handler = std::move(handler)](abi::IGattValueChangedEventArgs* args) {
                                               Com<abi::IBuffer> value;
                                               if (FAILED(args->get_CharacteristicValue(value.put())) || !value) return;
                                               // A value that cannot be read still reaches the handler, as no bytes.
                                               std::vector<uint8_t> bytes;
                                               if (auto read = read_buffer(value.get())) bytes = std::move(*read);
                                               handler(bytes);
                                             });
  Registration registration{*c, delegate, {}};
  HRESULT hr = (*c)->add_ValueChanged(delegate.get(), &registration.token);
  if (FAILED(hr)) {
    delegate->end();
    return hr_error(hr);
  }
  bool kept = false;
  std::optional<Registration> overtaken;  // a subscription made at the same time
  {
    std::lock_guard lock(mutex_);
    if (device_) {
      overtaken = std::exchange(registration_, registration);
      kept = true;
    }
  }
  end(std::move(overtaken));
  if (!kept) {  // closed meanwhile
    end(std::move(registration));
    return fail(kClosedText);
  }
  registration = {};

  abi::IAsyncOperation<INT32>* op = nullptr;
  hr = (*c)->WriteClientCharacteristicConfigurationDescriptorAsync(static_cast<INT32>(kind), &op);
  auto written = async_get(hr, op, &closed_);
  if (!written || *written != static_cast<INT32>(GattStatus::Success)) end(take_registration(delegate.get()));
  if (!written) return written.take_error();
  return static_cast<GattStatus>(*written);
}

WriteResult WinRtConnection::write(const GattCharacteristic& characteristic, std::span<const uint8_t> bytes,
                                   WriteOption option) {
  prepare_thread();
  auto c = find_characteristic(characteristic.handle);
  if (!c) return c.take_error();
  auto buffer = make_buffer(bytes);
  if (!buffer) return WriteError{buffer.take_error(), /*before_sending=*/true};
  abi::IAsyncOperation<INT32>* op = nullptr;
  HRESULT hr = (*c)->WriteValueWithOptionAsync(buffer->get(), static_cast<INT32>(option), &op);
  auto written = async_get(hr, op, &closed_);
  if (!written) return written.take_error();
  return static_cast<GattStatus>(*written);
}

void WinRtConnection::close() {
  prepare_thread();
  closed_.store(true);
  Com<abi::IBluetoothLEDevice> device;
  Com<abi::IGattSession> session;
  std::map<std::string, Com<abi::IGattDeviceService>> services;
  std::map<std::string, Com<abi::IGattCharacteristic>> characteristics;
  {
    std::lock_guard lock(mutex_);
    device = std::move(device_);
    session = std::move(session_);
    services = std::move(services_);
    characteristics = std::move(characteristics_);
    services_.clear();
    characteristics_.clear();
  }
  // Every failure is ignored: a closed connection is closed. The handler first, so that no
  // notification arrives on a half-closed link; then the session, then the device.
  end(take_registration(nullptr));
  characteristics.clear();
  services.clear();
  if (session) (void)close_object(session.get());
  if (device) (void)close_object(device.get());
}

}  // namespace chair::ble::winrt
