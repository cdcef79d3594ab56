// Windows.Devices.Bluetooth: the default adapter and its radio, and the advertisement watcher
// with what it delivers.
#include "radio.h"

#include <algorithm>

#include "sys/win_text.h"
#include "vector_view.h"
#include "world.h"

namespace chair::fakert {

namespace {

constexpr INT32 kStarted = 1;
constexpr INT32 kStopped = 3;
constexpr INT32 kAborted = 4;
constexpr INT32 kRadioNotAvailable = 1;
constexpr UINT16 kTestCompanyId = 0xFFFF;  // reserved for tests, as the simulator announces

HRESULT make_hstring(const std::wstring& text, HSTRING* out) {
  if (!out) return E_POINTER;
  return WindowsCreateString(text.c_str(), static_cast<UINT32>(text.size()), out);
}

class FakeRadio final : public Object<FakeRadio, abi::IRadio> {
 public:
  FakeRadio() : Object("Radio") {}
  HRESULT STDMETHODCALLTYPE SetStateAsync(INT32,
                                          IInspectable**) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      add_StateChanged(IUnknown*, EventRegistrationToken*) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      remove_StateChanged(EventRegistrationToken) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      get_State(INT32* value) override {
    if (HRESULT hr = world().enter("Radio.get_State"); FAILED(hr)) return hr;
    if (!value) return E_POINTER;
    std::lock_guard lock(world().mutex);
    *value = world().options.powered ? 1 : 2;  // On, Off
    return S_OK;
  }
};

class FakeAdapter final : public Object<FakeAdapter, abi::IBluetoothAdapter> {
 public:
  FakeAdapter() : Object("BluetoothAdapter") {}
  HRESULT STDMETHODCALLTYPE get_DeviceId(HSTRING* value) override { return make_hstring(L"fake-adapter", value); }
  HRESULT STDMETHODCALLTYPE get_BluetoothAddress(UINT64* value) override {
    if (!value) return E_POINTER;
    *value = 0x001A7DDA710CULL;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_IsClassicSupported(boolean* value) override { return yes(value); }
  HRESULT STDMETHODCALLTYPE get_IsLowEnergySupported(boolean* value) override { return yes(value); }
  HRESULT STDMETHODCALLTYPE get_IsPeripheralRoleSupported(boolean* value) override { return yes(value); }
  HRESULT STDMETHODCALLTYPE get_IsCentralRoleSupported(boolean* value) override { return yes(value); }
  HRESULT STDMETHODCALLTYPE get_IsAdvertisementOffloadSupported(boolean* value) override { return yes(value); }
  HRESULT STDMETHODCALLTYPE GetRadioAsync(abi::IAsyncOperation<abi::IRadio*>** operation) override {
    const std::string call = "BluetoothAdapter.GetRadioAsync";
    if (HRESULT hr = world().enter(call); FAILED(hr)) return hr;
    if (!operation) return E_POINTER;
    *operation = hand_out<abi::IAsyncOperation<abi::IRadio*>>(world().start<abi::IRadio*>(
        call, [] { return std::pair<HRESULT, abi::IRadio*>(S_OK, hand_out<abi::IRadio>(FakeRadio::make())); }));
    return S_OK;
  }

 private:
  static HRESULT yes(boolean* value) {
    if (!value) return E_POINTER;
    *value = 1;
    return S_OK;
  }
};

class AdapterStatics final : public Object<AdapterStatics, abi::IBluetoothAdapterStatics> {
 public:
  AdapterStatics() : Object("BluetoothAdapterStatics", false) {}
  HRESULT STDMETHODCALLTYPE GetDeviceSelector(HSTRING*) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      FromIdAsync(HSTRING, abi::IAsyncOperation<abi::IBluetoothAdapter*>**) override FAKERT_NOT_IMPLEMENTED HRESULT
      STDMETHODCALLTYPE GetDefaultAsync(abi::IAsyncOperation<abi::IBluetoothAdapter*>** operation) override {
    const std::string call = "BluetoothAdapter.GetDefaultAsync";
    if (HRESULT hr = world().enter(call); FAILED(hr)) return hr;
    if (!operation) return E_POINTER;
    *operation =
        hand_out<abi::IAsyncOperation<abi::IBluetoothAdapter*>>(world().start<abi::IBluetoothAdapter*>(call, [] {
          bool present;
          {
            std::lock_guard lock(world().mutex);
            present = world().options.adapter;
          }
          // No adapter: the operation completes without a result.
          abi::IBluetoothAdapter* adapter = present ? hand_out<abi::IBluetoothAdapter>(FakeAdapter::make()) : nullptr;
          return std::pair<HRESULT, abi::IBluetoothAdapter*>(S_OK, adapter);
        }));
    return S_OK;
  }
};

class FakeManufacturerData final : public Object<FakeManufacturerData, abi::IBluetoothLEManufacturerData> {
 public:
  explicit FakeManufacturerData(UINT16 company) : Object("BluetoothLEManufacturerData"), company_(company) {}
  HRESULT STDMETHODCALLTYPE get_CompanyId(UINT16* value) override {
    if (HRESULT hr = world().enter("BluetoothLEManufacturerData.get_CompanyId"); FAILED(hr)) return hr;
    if (!value) return E_POINTER;
    *value = company_;
    return S_OK;
  }

 private:
  const UINT16 company_;
};

class FakeAdvertisement final : public Object<FakeAdvertisement, abi::IBluetoothLEAdvertisement> {
 public:
  FakeAdvertisement(std::wstring name, std::vector<GUID> uuids, std::vector<UINT16> companies)
      : Object("BluetoothLEAdvertisement"),
        name_(std::move(name)),
        uuids_(std::move(uuids)),
        companies_(std::move(companies)) {}

  HRESULT STDMETHODCALLTYPE get_Flags(IInspectable**) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      put_Flags(IInspectable*) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      get_LocalName(HSTRING* value) override {
    if (HRESULT hr = world().enter("BluetoothLEAdvertisement.get_LocalName"); FAILED(hr)) return hr;
    return make_hstring(name_, value);
  }
  HRESULT STDMETHODCALLTYPE put_LocalName(HSTRING) override FAKERT_NOT_IMPLEMENTED HRESULT STDMETHODCALLTYPE
      get_ServiceUuids(abi::IVector<GUID>** value) override {
    if (HRESULT hr = world().enter("BluetoothLEAdvertisement.get_ServiceUuids"); FAILED(hr)) return hr;
    if (!value) return E_POINTER;
    *value = hand_out<abi::IVector<GUID>>(VectorView<GUID, abi::IVector<GUID>>::make(uuids_));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_ManufacturerData(abi::IVector<abi::IBluetoothLEManufacturerData*>** value) override {
    if (HRESULT hr = world().enter("BluetoothLEAdvertisement.get_ManufacturerData"); FAILED(hr)) return hr;
    if (!value) return E_POINTER;
    std::vector<abi::IBluetoothLEManufacturerData*> items;
    for (UINT16 company : companies_) {
      items.push_back(hand_out<abi::IBluetoothLEManufacturerData>(FakeManufacturerData::make(company)));
    }
    using List = abi::IVector<abi::IBluetoothLEManufacturerData*>;
    *value = hand_out<List>(VectorView<abi::IBluetoothLEManufacturerData*, List>::make(std::move(items)));
    return S_OK;
  }

 private:
  const std::wstring name_;
  const std::vector<GUID> uuids_;
  const std::vector<UINT16> companies_;
};

class FakeReceivedArgs final : public Object<FakeReceivedArgs, abi::IBluetoothLEAdvertisementReceivedEventArgs> {
 public:
  FakeReceivedArgs(uint64_t address, int16_t rssi, Com<FakeAdvertisement> advertisement)
      : Object("BluetoothLEAdvertisementReceivedEventArgs"),
        address_(address),
        rssi_(rssi),
        advertisement_(std::move(advertisement)) {}

  HRESULT STDMETHODCALLTYPE get_RawSignalStrengthInDBm(INT16* value) override {
    if (HRESULT hr = world().enter("BluetoothLEAdvertisementReceivedEventArgs.get_RawSignalStrengthInDBm");
        FAILED(hr)) {
      return hr;
    }
    if (!value) return E_POINTER;
    *value = rssi_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_BluetoothAddress(UINT64* value) override {
    if (HRESULT hr = world().enter("BluetoothLEAdvertisementReceivedEventArgs.get_BluetoothAddress"); FAILED(hr)) {
      return hr;
    }
    if (!value) return E_POINTER;
    *value = address_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_AdvertisementType(INT32* value) override {
    if (!value) return E_POINTER;
    *value = 0;  // connectable undirected
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Timestamp(INT64* value) override {
    if (!value) return E_POINTER;
    *value = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Advertisement(abi::IBluetoothLEAdvertisement** value) override {
    if (HRESULT hr = world().enter("BluetoothLEAdvertisementReceivedEventArgs.get_Advertisement"); FAILED(hr))
      return hr;
    if (!value) return E_POINTER;
    *value = hand_out<abi::IBluetoothLEAdvertisement>(advertisement_);
    return S_OK;
  }

 private:
  const uint64_t address_;
  const int16_t rssi_;
  const Com<FakeAdvertisement> advertisement_;
};

class FakeStoppedArgs final : public Object<FakeStoppedArgs, abi::IBluetoothLEAdvertisementWatcherStoppedEventArgs> {
 public:
  explicit FakeStoppedArgs(INT32 error) : Object("BluetoothLEAdvertisementWatcherStoppedEventArgs"), error_(error) {}
  HRESULT STDMETHODCALLTYPE get_Error(INT32* value) override {
    if (!value) return E_POINTER;
    *value = error_;
    return S_OK;
  }

 private:
  const INT32 error_;
};

class WatcherFactory final : public Object<WatcherFactory, abi::IActivationFactory> {
 public:
  WatcherFactory() : Object("BluetoothLEAdvertisementWatcherFactory", false) {}
  HRESULT STDMETHODCALLTYPE ActivateInstance(IInspectable** instance) override {
    if (HRESULT hr = world().enter("BluetoothLEAdvertisementWatcher.ActivateInstance"); FAILED(hr)) return hr;
    if (!instance) return E_POINTER;
    *instance = hand_out<abi::IBluetoothLEAdvertisementWatcher>(FakeWatcher::make());
    return S_OK;
  }
};

}  // namespace

FakeWatcher::FakeWatcher() : Object("BluetoothLEAdvertisementWatcher") {}

HRESULT FakeWatcher::get_Status(INT32* value) {
  if (HRESULT hr = world().enter("BluetoothLEAdvertisementWatcher.get_Status"); FAILED(hr)) return hr;
  if (!value) return E_POINTER;
  std::lock_guard lock(mutex_);
  *value = status_;
  return S_OK;
}

HRESULT FakeWatcher::get_ScanningMode(INT32* value) {
  if (!value) return E_POINTER;
  std::lock_guard lock(mutex_);
  *value = mode_;
  return S_OK;
}

HRESULT FakeWatcher::put_ScanningMode(INT32 value) {
  if (HRESULT hr = world().enter("BluetoothLEAdvertisementWatcher.put_ScanningMode(" + std::to_string(value) + ")");
      FAILED(hr)) {
    return hr;
  }
  if (value != 0 && value != 1) return E_INVALIDARG;
  std::lock_guard lock(mutex_);
  mode_ = value;
  return S_OK;
}

HRESULT FakeWatcher::Start() {
  if (HRESULT hr = world().enter("BluetoothLEAdvertisementWatcher.Start"); FAILED(hr)) return hr;
  bool powered;
  {
    std::lock_guard lock(world().mutex);
    powered = world().options.powered;
  }
  {
    std::lock_guard lock(mutex_);
    if (status_ == kStarted) return S_OK;
    status_ = powered ? kStarted : kAborted;
  }
  if (!powered) {
    // As the system does: Start itself succeeds, the watcher then stops for want of a radio.
    Com<FakeWatcher> self = Com<FakeWatcher>::add_ref(this);
    world().events.post(std::chrono::milliseconds(0), [self] { self->deliver_stopped(kRadioNotAvailable); });
    return S_OK;
  }
  std::lock_guard lock(world().mutex);
  world().started_watchers.push_back(Com<FakeWatcher>::add_ref(this));
  return S_OK;
}

HRESULT FakeWatcher::Stop() {
  if (HRESULT hr = world().enter("BluetoothLEAdvertisementWatcher.Stop"); FAILED(hr)) return hr;
  bool was_started;
  {
    std::lock_guard lock(mutex_);
    was_started = status_ == kStarted;
    if (was_started) status_ = kStopped;
  }
  if (!was_started) return S_OK;
  Com<FakeWatcher> self;  // released outside the lock
  {
    std::lock_guard lock(world().mutex);
    auto& started = world().started_watchers;
    auto it =
        std::find_if(started.begin(), started.end(), [this](const Com<FakeWatcher>& w) { return w.get() == this; });
    if (it != started.end()) {
      self = std::move(*it);
      started.erase(it);
    }
  }
  Com<FakeWatcher> keep = Com<FakeWatcher>::add_ref(this);
  world().events.post(std::chrono::milliseconds(0), [keep] { keep->deliver_stopped(0); });
  return S_OK;
}

HRESULT FakeWatcher::add_Received(abi::IReceivedHandler* handler, EventRegistrationToken* token) {
  if (HRESULT hr = world().enter("BluetoothLEAdvertisementWatcher.add_Received"); FAILED(hr)) return hr;
  if (!handler || !token) return E_POINTER;
  token->value = world().next_token();
  {
    std::lock_guard lock(mutex_);
    received_.emplace(token->value, Com<abi::IReceivedHandler>::add_ref(handler));
  }
  std::lock_guard lock(world().mutex);
  ++world().registrations;
  return S_OK;
}

HRESULT FakeWatcher::remove_Received(EventRegistrationToken token) {
  if (HRESULT hr = world().enter("BluetoothLEAdvertisementWatcher.remove_Received"); FAILED(hr)) return hr;
  Com<abi::IReceivedHandler> handler;
  {
    std::lock_guard lock(mutex_);
    auto it = received_.find(token.value);
    if (it == received_.end()) return S_OK;  // an unknown token is ignored, as by the system
    handler = std::move(it->second);
    received_.erase(it);
  }
  std::lock_guard lock(world().mutex);
  --world().registrations;
  return S_OK;
}

HRESULT FakeWatcher::add_Stopped(abi::IStoppedHandler* handler, EventRegistrationToken* token) {
  if (HRESULT hr = world().enter("BluetoothLEAdvertisementWatcher.add_Stopped"); FAILED(hr)) return hr;
  if (!handler || !token) return E_POINTER;
  token->value = world().next_token();
  {
    std::lock_guard lock(mutex_);
    stopped_.emplace(token->value, Com<abi::IStoppedHandler>::add_ref(handler));
  }
  std::lock_guard lock(world().mutex);
  ++world().registrations;
  return S_OK;
}

HRESULT FakeWatcher::remove_Stopped(EventRegistrationToken token) {
  if (HRESULT hr = world().enter("BluetoothLEAdvertisementWatcher.remove_Stopped"); FAILED(hr)) return hr;
  Com<abi::IStoppedHandler> handler;
  {
    std::lock_guard lock(mutex_);
    auto it = stopped_.find(token.value);
    if (it == stopped_.end()) return S_OK;
    handler = std::move(it->second);
    stopped_.erase(it);
  }
  std::lock_guard lock(world().mutex);
  --world().registrations;
  return S_OK;
}

void FakeWatcher::deliver(abi::IBluetoothLEAdvertisementReceivedEventArgs* args) {
  std::vector<Com<abi::IReceivedHandler>> handlers;
  {
    std::lock_guard lock(mutex_);
    if (status_ != kStarted) return;
    for (auto& [token, h] : received_) handlers.push_back(h);
  }
  for (auto& h : handlers) (void)h->Invoke(this, args);
}

void FakeWatcher::deliver_stopped(INT32 error) {
  std::vector<Com<abi::IStoppedHandler>> handlers;
  {
    std::lock_guard lock(mutex_);
    for (auto& [token, h] : stopped_) handlers.push_back(h);
  }
  auto args = FakeStoppedArgs::make(error);
  for (auto& h : handlers) (void)h->Invoke(this, args.get());
}

void FakeWatcher::abort() {
  {
    std::lock_guard lock(mutex_);
    if (status_ != kStarted) return;
    status_ = kAborted;
  }
  Com<FakeWatcher> keep = Com<FakeWatcher>::add_ref(this);
  world().events.post(std::chrono::milliseconds(0), [keep] { keep->deliver_stopped(kRadioNotAvailable); });
}

Com<abi::IBluetoothLEAdvertisementReceivedEventArgs> make_received_args(const DeviceState& d) {
  std::vector<GUID> uuids;
  if (d.device.chair)
    uuids.push_back(abi::make_guid(0x0000fff0, 0x0000, 0x1000, 0x80, 0x00, 0x00, 0x80, 0x5f, 0x9b, 0x34, 0xfb));
  auto advertisement =
      FakeAdvertisement::make(sys::utf8_to_wide(d.device.name), std::move(uuids), std::vector<UINT16>{kTestCompanyId});
  auto args = FakeReceivedArgs::make(d.address, d.device.rssi, std::move(advertisement));
  return Com<abi::IBluetoothLEAdvertisementReceivedEventArgs>::add_ref(args.get());
}

IInspectable* radio_factory(const std::wstring& class_name) {
  static auto* adapter = new AdapterStatics();
  static auto* watcher = new WatcherFactory();
  if (class_name == L"Windows.Devices.Bluetooth.BluetoothAdapter")
    return static_cast<abi::IBluetoothAdapterStatics*>(adapter);
  if (class_name == L"Windows.Devices.Bluetooth.Advertisement.BluetoothLEAdvertisementWatcher") {
    return static_cast<abi::IActivationFactory*>(watcher);
  }
  return nullptr;
}

}  // namespace chair::fakert
