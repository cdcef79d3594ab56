// Windows.Devices.Bluetooth.BluetoothLEDevice and GenericAttributeProfile: the device opened
// by address, its GATT session, services and characteristics, value writes, the client
// configuration descriptor and ValueChanged.
#include "gatt.h"

#include <algorithm>
#include <cstdio>

#include "ble/platform/platform.h"
#include "ble/protocol/frame.h"
#include "common/address.h"
#include "streams.h"
#include "sys/win_text.h"
#include "vector_view.h"

namespace chair::fakert {

namespace {

constexpr INT32 kSuccess = 0;
constexpr INT32 kUnreachable = 1;
constexpr INT32 kProtocolError = 2;

HRESULT make_hstring(const std::string& utf8, HSTRING* out) {
  if (!out) return E_POINTER;
  const std::wstring text = sys::utf8_to_wide(utf8);
  return WindowsCreateString(text.c_str(), static_cast<UINT32>(text.size()), out);
}

const char* cache_mode(INT32 mode) { return mode == 1 ? "Uncached" : mode == 0 ? "Cached" : "?"; }

std::string device_id_text(uint64_t address) {
  return "BluetoothLE#BluetoothLE00:1a:7d:da:71:0c-" + [&] {
    std::string text = address_text(address);
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
  }();
}

// The address at the end of a device identifier, 0 when there is none.
uint64_t address_of_id(const std::string& id) {
  if (id.size() < 17) return 0;
  return parse_address(id.substr(id.size() - 17)).value_or(0);
}

class FakeDeviceId final : public Object<FakeDeviceId, abi::IBluetoothDeviceId> {
 public:
  explicit FakeDeviceId(uint64_t address) : Object("BluetoothDeviceId"), address_(address) {}
  HRESULT STDMETHODCALLTYPE get_Id(HSTRING* value) override {
    if (HRESULT hr = world().enter("BluetoothDeviceId.get_Id"); FAILED(hr)) return hr;
    return make_hstring(device_id_text(address_), value);
  }

 private:
  const uint64_t address_;
};

class FakeValueChangedArgs final : public Object<FakeValueChangedArgs, abi::IGattValueChangedEventArgs> {
 public:
  explicit FakeValueChangedArgs(Com<abi::IBuffer> value)
      : Object("GattValueChangedEventArgs"), value_(std::move(value)) {}
  HRESULT STDMETHODCALLTYPE get_CharacteristicValue(abi::IBuffer** value) override {
    if (HRESULT hr = world().enter("GattValueChangedEventArgs.get_CharacteristicValue"); FAILED(hr)) return hr;
    if (!value) return E_POINTER;
    *value = hand_out<abi::IBuffer>(value_);
    return S_OK;
  }

 private:
  const Com<abi::IBuffer> value_;
};

class FakeCharacteristicsResult final : public Object<FakeCharacteristicsResult, abi::IGattCharacteristicsResult> {
 public:
  FakeCharacteristicsResult(INT32 status, std::vector<abi::IGattCharacteristic*> items)
      : Object("GattCharacteristicsResult"), status_(status), items_(std::move(items)) {}
  ~FakeCharacteristicsResult() override {
    for (auto* c : items_) c->Release();
  }
  HRESULT STDMETHODCALLTYPE get_Status(INT32* value) override {
    if (!value) return E_POINTER;
    *value = status_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_ProtocolError(IInspectable** value) override {
    if (!value) return E_POINTER;
    *value = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Characteristics(abi::IVectorView<abi::IGattCharacteristic*>** value) override {
    if (HRESULT hr = world().enter("GattCharacteristicsResult.get_Characteristics"); FAILED(hr)) return hr;
    if (!value) return E_POINTER;
    for (auto* c : items_) c->AddRef();
    *value = hand_out<abi::IVectorView<abi::IGattCharacteristic*>>(VectorView<abi::IGattCharacteristic*>::make(items_));
    return S_OK;
  }

 private:
  const INT32 status_;
  const std::vector<abi::IGattCharacteristic*> items_;
};

class FakeService final
    : public Object<FakeService, abi::IGattDeviceService, abi::IGattDeviceService3, abi::IClosable> {
 public:
  FakeService(std::shared_ptr<DeviceHandle> device, ServiceEntry entry)
      : Object("GattDeviceService"), device_(std::move(device)), entry_(std::move(entry)) {}

  HRESULT STDMETHODCALLTYPE GetCharacteristics(GUID,
                                               IInspectable**) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      GetIncludedServices(GUID, IInspectable**) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      get_DeviceId(HSTRING* value) override {
    return make_hstring(device_id_text(device_->address), value);
  }
  HRESULT STDMETHODCALLTYPE get_Uuid(GUID* value) override {
    if (HRESULT hr = world().enter("GattDeviceService.get_Uuid"); FAILED(hr)) return hr;
    if (!value) return E_POINTER;
    *value = entry_.uuid;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_DeviceAccessInformation(IInspectable**) override FAKERT_NOT_IMPLEMENTED HRESULT
      STDMETHODCALLTYPE get_Session(IInspectable**) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      get_SharingMode(INT32*) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      RequestAccessAsync(IInspectable**) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      OpenAsync(INT32, IInspectable**) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      GetCharacteristicsAsync(abi::IAsyncOperation<abi::IGattCharacteristicsResult*>** operation) override {
    return GetCharacteristicsWithCacheModeAsync(0, operation);
  }
  HRESULT STDMETHODCALLTYPE GetCharacteristicsWithCacheModeAsync(
      INT32 mode, abi::IAsyncOperation<abi::IGattCharacteristicsResult*>** operation) override {
    const std::string call = "GattDeviceService.GetCharacteristicsWithCacheModeAsync";
    if (HRESULT hr = world().enter(call + "(" + cache_mode(mode) + ")"); FAILED(hr)) return hr;
    if (!operation) return E_POINTER;
    auto device = device_;
    auto characteristics = entry_.characteristics;
    *operation = hand_out<abi::IAsyncOperation<abi::IGattCharacteristicsResult*>>(
        world().start<abi::IGattCharacteristicsResult*>(call, [device, characteristics] {
          if (device->closed) return std::pair<HRESULT, abi::IGattCharacteristicsResult*>(kClosed, nullptr);
          bool reachable = false;
          {
            std::lock_guard lock(world().mutex);
            if (auto d = world().find(device->address)) reachable = world().reachable(*d);
          }
          std::vector<abi::IGattCharacteristic*> items;
          if (reachable) {
            for (const auto& c : characteristics) {
              items.push_back(hand_out<abi::IGattCharacteristic>(FakeCharacteristic::make(device, c)));
            }
          }
          auto result = FakeCharacteristicsResult::make(reachable ? kSuccess : kUnreachable, std::move(items));
          return std::pair<HRESULT, abi::IGattCharacteristicsResult*>(
              S_OK, hand_out<abi::IGattCharacteristicsResult>(result));
        }));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Close() override {
    (void)world().enter("GattDeviceService.Close");
    return S_OK;
  }

 private:
  const std::shared_ptr<DeviceHandle> device_;
  const ServiceEntry entry_;
};

class FakeServicesResult final : public Object<FakeServicesResult, abi::IGattDeviceServicesResult> {
 public:
  FakeServicesResult(INT32 status, std::vector<abi::IGattDeviceService*> items)
      : Object("GattDeviceServicesResult"), status_(status), items_(std::move(items)) {}
  ~FakeServicesResult() override {
    for (auto* s : items_) s->Release();
  }
  HRESULT STDMETHODCALLTYPE get_Status(INT32* value) override {
    if (HRESULT hr = world().enter("GattDeviceServicesResult.get_Status"); FAILED(hr)) return hr;
    if (!value) return E_POINTER;
    *value = status_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_ProtocolError(IInspectable** value) override {
    if (!value) return E_POINTER;
    *value = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Services(abi::IVectorView<abi::IGattDeviceService*>** value) override {
    if (HRESULT hr = world().enter("GattDeviceServicesResult.get_Services"); FAILED(hr)) return hr;
    if (!value) return E_POINTER;
    for (auto* s : items_) s->AddRef();
    *value = hand_out<abi::IVectorView<abi::IGattDeviceService*>>(VectorView<abi::IGattDeviceService*>::make(items_));
    return S_OK;
  }

 private:
  const INT32 status_;
  const std::vector<abi::IGattDeviceService*> items_;
};

class FakeDevice final : public Object<FakeDevice, abi::IBluetoothLEDevice, abi::IBluetoothLEDevice3,
                                       abi::IBluetoothLEDevice4, abi::IClosable> {
 public:
  explicit FakeDevice(uint64_t address)
      : Object("BluetoothLEDevice"), handle_(std::make_shared<DeviceHandle>(address)) {}

  HRESULT STDMETHODCALLTYPE get_DeviceId(HSTRING* value) override {
    if (HRESULT hr = enter("BluetoothLEDevice.get_DeviceId"); FAILED(hr)) return hr;
    return make_hstring(device_id_text(handle_->address), value);
  }
  HRESULT STDMETHODCALLTYPE get_Name(HSTRING* value) override {
    if (HRESULT hr = enter("BluetoothLEDevice.get_Name"); FAILED(hr)) return hr;
    std::string name;
    {
      std::lock_guard lock(world().mutex);
      // The name the system knows: what the user paired it as, else what it calls itself.
      if (auto d = world().find(handle_->address)) name = d->device.alias.empty() ? d->device.name : d->device.alias;
    }
    return make_hstring(name, value);
  }
  HRESULT STDMETHODCALLTYPE get_GattServices(IInspectable**) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      get_ConnectionStatus(INT32* value) override {
    if (HRESULT hr = enter("BluetoothLEDevice.get_ConnectionStatus"); FAILED(hr)) return hr;
    if (!value) return E_POINTER;
    std::lock_guard lock(world().mutex);
    auto d = world().find(handle_->address);
    *value = d && d->connected ? 1 : 0;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE get_DeviceAccessInformation(IInspectable**) override FAKERT_NOT_IMPLEMENTED HRESULT
      STDMETHODCALLTYPE RequestAccessAsync(IInspectable**) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      GetGattServicesAsync(abi::IAsyncOperation<abi::IGattDeviceServicesResult*>** operation) override {
    return GetGattServicesWithCacheModeAsync(0, operation);
  }
  HRESULT STDMETHODCALLTYPE GetGattServicesWithCacheModeAsync(
      INT32 mode, abi::IAsyncOperation<abi::IGattDeviceServicesResult*>** operation) override {
    const std::string call = "BluetoothLEDevice.GetGattServicesWithCacheModeAsync";
    if (HRESULT hr = enter(call + "(" + cache_mode(mode) + ")"); FAILED(hr)) return hr;
    if (!operation) return E_POINTER;
    auto handle = handle_;
    *operation = hand_out<abi::IAsyncOperation<abi::IGattDeviceServicesResult*>>(
        world().start<abi::IGattDeviceServicesResult*>(call, [handle] {
          if (handle->closed) return std::pair<HRESULT, abi::IGattDeviceServicesResult*>(kClosed, nullptr);
          bool reachable = false;
          std::vector<ServiceEntry> table;
          {
            std::lock_guard lock(world().mutex);
            if (auto d = world().find(handle->address); d && (reachable = world().reachable(*d)))
              table = gatt_table(*d);
          }
          std::vector<abi::IGattDeviceService*> items;
          for (auto& s : table)
            items.push_back(hand_out<abi::IGattDeviceService>(FakeService::make(handle, std::move(s))));
          auto result = FakeServicesResult::make(reachable ? kSuccess : kUnreachable, std::move(items));
          return std::pair<HRESULT, abi::IGattDeviceServicesResult*>(S_OK,
                                                                     hand_out<abi::IGattDeviceServicesResult>(result));
        }));
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE get_BluetoothDeviceId(abi::IBluetoothDeviceId** value) override {
    if (HRESULT hr = enter("BluetoothLEDevice.get_BluetoothDeviceId"); FAILED(hr)) return hr;
    if (!value) return E_POINTER;
    *value = hand_out<abi::IBluetoothDeviceId>(FakeDeviceId::make(handle_->address));
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE Close() override {
    if (HRESULT hr = world().enter("BluetoothLEDevice.Close"); FAILED(hr)) return hr;
    handle_->closed = true;
    return S_OK;
  }

 private:
  HRESULT enter(const std::string& call) {
    if (HRESULT hr = world().enter(call); FAILED(hr)) return hr;
    return handle_->closed ? kClosed : S_OK;
  }

  const std::shared_ptr<DeviceHandle> handle_;
};

class FakeSession final : public Object<FakeSession, abi::IGattSession, abi::IClosable> {
 public:
  FakeSession(uint64_t address, uint64_t epoch) : Object("GattSession"), address_(address), epoch_(epoch) {}
  ~FakeSession() override { end(); }

  HRESULT STDMETHODCALLTYPE get_DeviceId(abi::IBluetoothDeviceId** value) override {
    if (!value) return E_POINTER;
    *value = hand_out<abi::IBluetoothDeviceId>(FakeDeviceId::make(address_));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_CanMaintainConnection(boolean* value) override {
    if (!value) return E_POINTER;
    *value = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_MaintainConnection(boolean value) override {
    if (HRESULT hr =
            world().enter(std::string("GattSession.put_MaintainConnection(") + (value ? "true" : "false") + ")");
        FAILED(hr)) {
      return hr;
    }
    std::lock_guard lock(world().mutex);
    if (closed_) return kClosed;
    if (maintaining_ == (value != 0)) return S_OK;
    maintaining_ = value != 0;
    if (auto d = device()) {
      d->maintainers += maintaining_ ? 1 : -1;
      world().update_link(*d);
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Close() override {
    if (HRESULT hr = world().enter("GattSession.Close"); FAILED(hr)) return hr;
    end();
    return S_OK;
  }

 private:
  // Closed, or released without a close: either way the session no longer keeps the link.
  void end() {
    std::lock_guard lock(world().mutex);
    if (closed_) return;
    closed_ = true;
    if (!maintaining_) return;
    maintaining_ = false;
    if (auto d = device()) {
      --d->maintainers;
      world().update_link(*d);
    }
  }

  DeviceState* device() { return world().epoch == epoch_ ? world().find(address_) : nullptr; }

  const uint64_t address_;
  const uint64_t epoch_;
  bool closed_ = false;       // under the world's lock
  bool maintaining_ = false;  // under the world's lock
};

class DeviceStatics final : public Object<DeviceStatics, abi::IBluetoothLEDeviceStatics> {
 public:
  DeviceStatics() : Object("BluetoothLEDeviceStatics", false) {}
  HRESULT STDMETHODCALLTYPE FromIdAsync(HSTRING, abi::IAsyncOperation<abi::IBluetoothLEDevice*>**) override
      FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      FromBluetoothAddressAsync(UINT64 address, abi::IAsyncOperation<abi::IBluetoothLEDevice*>** operation) override {
    const std::string call = "BluetoothLEDevice.FromBluetoothAddressAsync";
    if (HRESULT hr = world().enter(call + "(" + address_text(address) + ")"); FAILED(hr)) return hr;
    if (!operation) return E_POINTER;
    *operation = hand_out<abi::IAsyncOperation<abi::IBluetoothLEDevice*>>(
        world().start<abi::IBluetoothLEDevice*>(call, [address] {
          bool known;
          {
            std::lock_guard lock(world().mutex);
            known = world().find(address) != nullptr;
          }
          // A device the system has never heard of: no device at all.
          abi::IBluetoothLEDevice* device =
              known ? hand_out<abi::IBluetoothLEDevice>(FakeDevice::make(address)) : nullptr;
          return std::pair<HRESULT, abi::IBluetoothLEDevice*>(S_OK, device);
        }));
    return S_OK;
  }
};

class SessionStatics final : public Object<SessionStatics, abi::IGattSessionStatics> {
 public:
  SessionStatics() : Object("GattSessionStatics", false) {}
  HRESULT STDMETHODCALLTYPE FromDeviceIdAsync(abi::IBluetoothDeviceId* id,
                                              abi::IAsyncOperation<abi::IGattSession*>** operation) override {
    const std::string call = "GattSession.FromDeviceIdAsync";
    if (!id || !operation) return E_POINTER;
    HSTRING text = nullptr;
    HRESULT hr = id->get_Id(&text);
    if (FAILED(hr)) return hr;
    UINT32 len = 0;
    const wchar_t* raw = WindowsGetStringRawBuffer(text, &len);
    const std::string id_text = sys::wide_to_utf8(std::wstring_view(raw ? raw : L"", len));
    WindowsDeleteString(text);
    if (HRESULT fault = world().enter(call + "(" + id_text + ")"); FAILED(fault)) return fault;
    const uint64_t address = address_of_id(id_text);
    *operation = hand_out<abi::IAsyncOperation<abi::IGattSession*>>(world().start<abi::IGattSession*>(call, [address] {
      bool known;
      uint64_t epoch;
      {
        std::lock_guard lock(world().mutex);
        known = world().find(address) != nullptr;
        epoch = world().epoch;
      }
      abi::IGattSession* session = known ? hand_out<abi::IGattSession>(FakeSession::make(address, epoch)) : nullptr;
      return std::pair<HRESULT, abi::IGattSession*>(S_OK, session);
    }));
    return S_OK;
  }
};

const char* option_name(INT32 option) { return option == 1 ? "WithoutResponse" : option == 0 ? "WithResponse" : "?"; }
const char* cccd_name(INT32 value) {
  return value == 0 ? "None" : value == 1 ? "Notify" : value == 2 ? "Indicate" : "?";
}

}  // namespace

FakeCharacteristic::FakeCharacteristic(std::shared_ptr<DeviceHandle> device, CharacteristicEntry entry)
    : Object("GattCharacteristic"), device_(std::move(device)), entry_(entry) {}

HRESULT FakeCharacteristic::get_CharacteristicProperties(UINT32* value) {
  if (HRESULT hr = world().enter("GattCharacteristic.get_CharacteristicProperties"); FAILED(hr)) return hr;
  if (!value) return E_POINTER;
  *value = entry_.properties;
  return S_OK;
}

HRESULT FakeCharacteristic::get_Uuid(GUID* value) {
  if (HRESULT hr = world().enter("GattCharacteristic.get_Uuid"); FAILED(hr)) return hr;
  if (!value) return E_POINTER;
  *value = entry_.uuid;
  return S_OK;
}

HRESULT FakeCharacteristic::get_AttributeHandle(UINT16* value) {
  if (!value) return E_POINTER;
  *value = entry_.attribute_handle;
  return S_OK;
}

HRESULT FakeCharacteristic::WriteValueAsync(abi::IBuffer* value, abi::IAsyncOperation<INT32>** operation) {
  return WriteValueWithOptionAsync(value, 0, operation);
}

HRESULT FakeCharacteristic::WriteValueWithOptionAsync(abi::IBuffer* value, INT32 option,
                                                      abi::IAsyncOperation<INT32>** operation) {
  const std::string call = "GattCharacteristic.WriteValueWithOptionAsync";
  auto bytes = buffer_bytes(value);
  if (HRESULT hr = world().enter(call + "(" + (bytes ? ble::hex_dump(*bytes) : "?") + ", " + option_name(option) + ")");
      FAILED(hr)) {
    return hr;
  }
  if (!operation) return E_POINTER;
  if (!bytes) return E_INVALIDARG;
  if (device_->closed) return kClosed;
  auto device = device_;
  const CharacteristicEntry entry = entry_;
  *operation =
      hand_out<abi::IAsyncOperation<INT32>>(world().start<INT32>(call, [device, entry, option, bytes = *bytes] {
        if (device->closed) return std::pair<HRESULT, INT32>(kClosed, 0);
        std::vector<sim::Bytes> answers;
        uint64_t link = 0;
        bool chunking = false;
        {
          std::lock_guard lock(world().mutex);
          auto d = world().find(device->address);
          if (!d || !world().reachable(*d)) return std::pair<HRESULT, INT32>(S_OK, kUnreachable);
          DeviceState& state = *d;
          if (state.refusal) {
            return std::pair<HRESULT, INT32>(state.refusal->error,
                                             FAILED(state.refusal->error) ? 0 : state.refusal->status);
          }
          const uint32_t needed = option == 1 ? ble::kPropWriteWithoutResponse : ble::kPropWrite;
          if (!(entry.properties & needed)) return std::pair<HRESULT, INT32>(S_OK, kProtocolError);
          state.writes.push_back(std::string(option == 1 ? "command " : "request ") + ble::hex_dump(bytes));
          if (entry.takes_frames && state.model) answers = state.model->on_write(bytes);
          link = state.link;
          chunking = state.device.chunking;
        }
        world().send_answers(device->address, link, std::move(answers));
        if (chunking) world().schedule_flush(device->address, link);
        return std::pair<HRESULT, INT32>(S_OK, kSuccess);
      }));
  return S_OK;
}

HRESULT FakeCharacteristic::WriteClientCharacteristicConfigurationDescriptorAsync(
    INT32 value, abi::IAsyncOperation<INT32>** operation) {
  const std::string call = "GattCharacteristic.WriteClientCharacteristicConfigurationDescriptorAsync";
  if (HRESULT hr = world().enter(call + "(" + cccd_name(value) + ")"); FAILED(hr)) return hr;
  if (!operation) return E_POINTER;
  if (device_->closed) return kClosed;
  auto device = device_;
  const uint32_t properties = entry_.properties;
  *operation = hand_out<abi::IAsyncOperation<INT32>>(world().start<INT32>(call, [device, properties, value] {
    if (device->closed) return std::pair<HRESULT, INT32>(kClosed, 0);
    std::lock_guard lock(world().mutex);
    auto d = world().find(device->address);
    if (!d || !world().reachable(*d)) return std::pair<HRESULT, INT32>(S_OK, kUnreachable);
    if ((value == 1 && !(properties & ble::kPropNotify)) || (value == 2 && !(properties & ble::kPropIndicate)) ||
        value < 0 || value > 2) {
      return std::pair<HRESULT, INT32>(S_OK, kProtocolError);
    }
    d->cccd = value;
    return std::pair<HRESULT, INT32>(S_OK, kSuccess);
  }));
  return S_OK;
}

HRESULT FakeCharacteristic::add_ValueChanged(abi::IValueChangedHandler* handler, EventRegistrationToken* token) {
  if (HRESULT hr = world().enter("GattCharacteristic.add_ValueChanged"); FAILED(hr)) return hr;
  if (!handler || !token) return E_POINTER;
  if (device_->closed) return kClosed;
  token->value = world().next_token();
  ValueRegistration registration{token->value, device_, entry_.uuid, Com<FakeCharacteristic>::add_ref(this),
                                 Com<abi::IValueChangedHandler>::add_ref(handler)};
  std::lock_guard lock(world().mutex);
  world().value_registrations.push_back(std::move(registration));
  ++world().registrations;
  return S_OK;
}

HRESULT FakeCharacteristic::remove_ValueChanged(EventRegistrationToken token) {
  if (HRESULT hr = world().enter("GattCharacteristic.remove_ValueChanged"); FAILED(hr)) return hr;
  std::optional<ValueRegistration> removed;  // released outside the lock
  std::lock_guard lock(world().mutex);
  auto& all = world().value_registrations;
  auto it = std::find_if(all.begin(), all.end(),
                         [&](const ValueRegistration& r) { return r.token == token.value && r.sender.get() == this; });
  if (it == all.end()) return S_OK;
  removed = std::move(*it);
  all.erase(it);
  --world().registrations;
  return S_OK;
}

Com<abi::IGattValueChangedEventArgs> make_value_changed_args(Com<abi::IBuffer> value) {
  auto args = FakeValueChangedArgs::make(std::move(value));
  return Com<abi::IGattValueChangedEventArgs>::add_ref(args.get());
}

IInspectable* gatt_factory(const std::wstring& class_name) {
  static auto* devices = new DeviceStatics();
  static auto* sessions = new SessionStatics();
  if (class_name == L"Windows.Devices.Bluetooth.BluetoothLEDevice")
    return static_cast<abi::IBluetoothLEDeviceStatics*>(devices);
  if (class_name == L"Windows.Devices.Bluetooth.GenericAttributeProfile.GattSession") {
    return static_cast<abi::IGattSessionStatics*>(sessions);
  }
  return nullptr;
}

}  // namespace chair::fakert
