// The Bluetooth platform over the Windows Runtime: Windows.Devices.Bluetooth, its
// Advertisement and GenericAttributeProfile namespaces, and Windows.Storage.Streams for the
// byte buffers, called through their binary interface (winrt_abi.h). Every runtime
// operation is awaited here (async_get.h); callers see plain values and error texts made of
// the system's message and the HRESULT.
#include "ble/winrt/winrt_platform.h"

#include <exception>
#include <mutex>
#include <utility>

#include "ble/winrt/async_get.h"
#include "ble/winrt/delegate.h"
#include "ble/winrt/pnp_listing.h"
#include "ble/winrt/runtime.h"
#include "ble/winrt/winrt_connection.h"

namespace chair::ble {

namespace {

using namespace winrt;

constexpr INT32 kRadioOn = 1;
// For people, when the radio is off: where Windows switches it on.
constexpr const char* kRadioOffText = "Windows 蓝牙未开启，请在「设置 → 蓝牙和其他设备」中打开蓝牙";
constexpr INT32 kScanningActive = 1;

using ReceivedDelegate =
    EventDelegate<abi::IBluetoothLEAdvertisementWatcher, abi::IBluetoothLEAdvertisementReceivedEventArgs>;

// The fields of one advertisement that could be read.
Advertisement read_advertisement(abi::IBluetoothLEAdvertisementReceivedEventArgs* args) {
  Advertisement out;
  UINT64 address = 0;
  if (SUCCEEDED(args->get_BluetoothAddress(&address))) out.address = address;
  INT16 rssi = 0;
  if (SUCCEEDED(args->get_RawSignalStrengthInDBm(&rssi))) out.rssi = rssi;

  Com<abi::IBluetoothLEAdvertisement> payload;
  if (FAILED(args->get_Advertisement(payload.put())) || !payload) return out;
  HString name;
  if (SUCCEEDED(payload->get_LocalName(name.put()))) out.local_name = name.to_utf8();

  Com<abi::IVector<GUID>> uuids;
  UINT32 n = 0;
  if (SUCCEEDED(payload->get_ServiceUuids(uuids.put())) && uuids && SUCCEEDED(uuids->get_Size(&n))) {
    for (UINT32 i = 0; i < n; ++i) {
      GUID g{};
      if (SUCCEEDED(uuids->GetAt(i, &g))) out.service_uuids.push_back(to_uuid(g));
    }
  }
  Com<abi::IVector<abi::IBluetoothLEManufacturerData*>> makers;
  n = 0;
  if (SUCCEEDED(payload->get_ManufacturerData(makers.put())) && makers && SUCCEEDED(makers->get_Size(&n))) {
    for (UINT32 i = 0; i < n; ++i) {
      Com<abi::IBluetoothLEManufacturerData> item;
      UINT16 id = 0;
      if (SUCCEEDED(makers->GetAt(i, item.put())) && item && SUCCEEDED(item->get_CompanyId(&id))) {
        out.company_ids.push_back(id);
      }
    }
  }
  return out;
}

class WinRtScan final : public Scan {
 public:
  WinRtScan(Com<abi::IBluetoothLEAdvertisementWatcher> watcher, Com<ReceivedDelegate> delegate,
            EventRegistrationToken token)
      : watcher_(std::move(watcher)), delegate_(std::move(delegate)), token_(token) {}
  ~WinRtScan() override { stop(); }

  void stop() override {
    prepare_thread();
    Com<abi::IBluetoothLEAdvertisementWatcher> watcher;
    Com<ReceivedDelegate> delegate;
    {
      std::lock_guard lock(mutex_);
      watcher = std::move(watcher_);
      delegate = std::move(delegate_);
    }
    if (!watcher) return;
    delegate->end();
    (void)watcher->Stop();
    (void)watcher->remove_Received(token_);
  }

 private:
  std::mutex mutex_;
  Com<abi::IBluetoothLEAdvertisementWatcher> watcher_;
  Com<ReceivedDelegate> delegate_;
  const EventRegistrationToken token_;
};

class WinRtPlatform final : public Platform {
 public:
  Availability availability() override {
    prepare_thread();
    auto statics = factory<abi::IBluetoothAdapterStatics>(L"Windows.Devices.Bluetooth.BluetoothAdapter",
                                                          abi::IID_IBluetoothAdapterStatics);
    if (!statics) return Availability::no_adapter(statics.error());
    abi::IAsyncOperation<abi::IBluetoothAdapter*>* adapter_op = nullptr;
    HRESULT hr = (*statics)->GetDefaultAsync(&adapter_op);
    auto adapter = async_get(hr, adapter_op);
    if (!adapter) return Availability::no_adapter(adapter.error());

    abi::IAsyncOperation<abi::IRadio*>* radio_op = nullptr;
    hr = (*adapter)->GetRadioAsync(&radio_op);
    auto radio = async_get(hr, radio_op);
    if (!radio) return Availability::no_radio(radio.error());
    INT32 state = 0;
    if (FAILED((*radio)->get_State(&state)) || state != kRadioOn) return Availability::radio_off(kRadioOffText);
    return Availability::ready();
  }

  Result<std::unique_ptr<Scan>> start_scan(AdvertisementHandler handler) override {
    prepare_thread();
    auto watcher = activate<abi::IBluetoothLEAdvertisementWatcher>(
        L"Windows.Devices.Bluetooth.Advertisement.BluetoothLEAdvertisementWatcher",
        abi::IID_IBluetoothLEAdvertisementWatcher);
    if (!watcher) return watcher.take_error();
    HRESULT hr = (*watcher)->put_ScanningMode(kScanningActive);
    if (FAILED(hr)) return hr_error(hr);

    auto delegate =
        ReceivedDelegate::make(abi::IID_IReceivedHandler,
                               [handler = std::move(handler)](abi::IBluetoothLEAdvertisementReceivedEventArgs* args) {
                                 handler(read_advertisement(args));
                               });
    EventRegistrationToken token{};
    hr = (*watcher)->add_Received(delegate.get(), &token);
    if (FAILED(hr)) {
      delegate->end();
      return hr_error(hr);
    }
    hr = (*watcher)->Start();
    if (FAILED(hr)) {
      delegate->end();
      (void)(*watcher)->remove_Received(token);
      return hr_error(hr);
    }
    return std::unique_ptr<Scan>(std::make_unique<WinRtScan>(std::move(*watcher), std::move(delegate), token));
  }

  Result<ConnectionPtr> open(uint64_t address) override {
    prepare_thread();
    auto statics = factory<abi::IBluetoothLEDeviceStatics>(L"Windows.Devices.Bluetooth.BluetoothLEDevice",
                                                           abi::IID_IBluetoothLEDeviceStatics);
    if (!statics) return statics.take_error();
    abi::IAsyncOperation<abi::IBluetoothLEDevice*>* device_op = nullptr;
    HRESULT hr = (*statics)->FromBluetoothAddressAsync(address, &device_op);
    auto device = async_get(hr, device_op);
    if (!device) return device.take_error();

    Com<abi::IBluetoothLEDevice4> d4;
    hr = device->query(abi::IID_IBluetoothLEDevice4, d4);
    if (FAILED(hr)) return hr_error(hr);
    Com<abi::IBluetoothDeviceId> id;
    hr = d4->get_BluetoothDeviceId(id.put());
    if (FAILED(hr)) return hr_error(hr);
    if (!id) return hr_error(E_POINTER);

    auto session_statics = factory<abi::IGattSessionStatics>(
        L"Windows.Devices.Bluetooth.GenericAttributeProfile.GattSession", abi::IID_IGattSessionStatics);
    if (!session_statics) return session_statics.take_error();
    abi::IAsyncOperation<abi::IGattSession*>* session_op = nullptr;
    hr = (*session_statics)->FromDeviceIdAsync(id.get(), &session_op);
    auto session = async_get(hr, session_op);
    if (!session) return session.take_error();
    // The system keeps the chair connected, and connects it again, for as long as the
    // session lives.
    hr = (*session)->put_MaintainConnection(TRUE);
    if (FAILED(hr)) return hr_error(hr);
    return ConnectionPtr(std::make_shared<WinRtConnection>(std::move(*device), std::move(*session)));
  }

  // The runtime's own device enumeration would need classes of its own; the Plug and Play
  // listing already names every paired LE device.
  Result<PairedNames> paired_device_names() override {
    try {
      return list_pnp_devices();
    } catch (const std::exception& e) {
      return fail(e.what());
    }
  }
};

}  // namespace

PlatformPtr make_winrt_platform() { return std::make_shared<WinRtPlatform>(); }

}  // namespace chair::ble
