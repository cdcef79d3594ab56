// The Bluetooth platform over the Windows Runtime: Windows.Devices.Bluetooth, its
// Advertisement and GenericAttributeProfile namespaces, and Windows.Storage.Streams for
// the byte buffers, called through their binary interface (winrt_abi.h).
//
// Every platform object is held through a counted interface pointer; the wrappers below
// own one reference each and give it back when the service drops them. Activation
// factories are looked up once per process and kept. Errors carry the system's text for
// the failing HRESULT together with its number.
#include "ble/winrt/winrt_platform.h"

#include <windows.h>
#include <objbase.h>
#include <roapi.h>
#include <winstring.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <utility>

#include "ble/winrt/winrt_abi.h"
#include "sys/win_text.h"

namespace chair::ble {

namespace {

namespace abi = winrt::abi;

// ---------------------------------------------------------------------------------------
// Small helpers: owned interface pointers, strings, error texts

template <class T>
class Com {
 public:
  Com() = default;
  // Takes over a reference the caller already owns.
  explicit Com(T* p) : p_(p) {}
  Com(const Com& o) : p_(o.p_) {
    if (p_) p_->AddRef();
  }
  Com(Com&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Com& operator=(Com o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Com() {
    if (p_) p_->Release();
  }
  static Com add_ref(T* p) {
    if (p) p->AddRef();
    return Com(p);
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  T** put() {
    *this = Com();
    return &p_;
  }

  template <class U>
  HRESULT query(const GUID& iid, Com<U>& out) const {
    if (!p_) return E_POINTER;
    return p_->QueryInterface(iid, reinterpret_cast<void**>(out.put()));
  }

 private:
  T* p_ = nullptr;
};

std::string utf8(const wchar_t* text, size_t len) { return sys::wide_to_utf8(std::wstring_view(text, len)); }

std::string hresult_text(HRESULT hr) {
  std::string out = sys::system_message(static_cast<unsigned long>(hr));
  while (!out.empty() && out.back() == '.') out.pop_back();
  if (out.empty() && hr == REGDB_E_CLASSNOTREG) {
    // What a system without the Windows Runtime Bluetooth classes answers; some systems
    // have no message text for it.
    out = "Bluetooth LE classes not registered on this system";
  }
  char code[16];
  std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
  return out.empty() ? std::string("error ") + code : out + " (" + code + ")";
}

chair::Error hr_error(HRESULT hr) { return fail(hresult_text(hr)); }

class HString {
 public:
  explicit HString(const wchar_t* text) {
    if (FAILED(WindowsCreateString(text, static_cast<UINT32>(wcslen(text)), &h_))) h_ = nullptr;
  }
  explicit HString(const std::wstring& text) {
    if (FAILED(WindowsCreateString(text.c_str(), static_cast<UINT32>(text.size()), &h_))) h_ = nullptr;
  }
  HString() = default;
  HString(const HString&) = delete;
  HString& operator=(const HString&) = delete;
  ~HString() {
    if (h_) WindowsDeleteString(h_);
  }
  HSTRING get() const { return h_; }
  HSTRING* put() { return &h_; }
  std::string to_utf8() const {
    UINT32 len = 0;
    const wchar_t* raw = WindowsGetStringRawBuffer(h_, &len);
    return raw ? utf8(raw, len) : std::string();
  }

 private:
  HSTRING h_ = nullptr;
};

std::wstring widen(const std::string& s) { return sys::utf8_to_wide(s); }

Uuid to_uuid(const GUID& g) {
  Uuid u;
  u.bytes = {static_cast<uint8_t>(g.Data1 >> 24), static_cast<uint8_t>(g.Data1 >> 16),
             static_cast<uint8_t>(g.Data1 >> 8),  static_cast<uint8_t>(g.Data1),
             static_cast<uint8_t>(g.Data2 >> 8),  static_cast<uint8_t>(g.Data2),
             static_cast<uint8_t>(g.Data3 >> 8),  static_cast<uint8_t>(g.Data3),
             g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]};
  return u;
}

// The activation factory of a runtime class, looked up once per process: the lookup goes
// through the registry, and the factories of these classes may be used from any thread.
// A failed lookup is not remembered, so a later call tries again.
template <class I>
Result<Com<I>> factory(const wchar_t* class_name, const GUID& iid) {
  static std::mutex mutex;
  static I* cached = nullptr;
  {
    std::lock_guard lock(mutex);
    if (cached) return Com<I>::add_ref(cached);
  }
  HString name(class_name);
  if (!name.get()) return hr_error(E_OUTOFMEMORY);
  Com<I> found;
  HRESULT hr = RoGetActivationFactory(name.get(), iid, reinterpret_cast<void**>(found.put()));
  if (FAILED(hr)) return hr_error(hr);
  if (!found) return hr_error(E_NOINTERFACE);
  std::lock_guard lock(mutex);
  if (!cached) {
    cached = found.get();
    cached->AddRef();  // kept for the life of the process
  }
  return found;
}

template <class I>
Result<Com<I>> activate(const wchar_t* class_name, const GUID& iid) {
  auto f = factory<abi::IActivationFactory>(class_name, abi::IID_IActivationFactory);
  if (!f) return f.take_error();
  Com<IInspectable> instance;
  HRESULT hr = (*f)->ActivateInstance(instance.put());
  if (FAILED(hr)) return hr_error(hr);
  Com<I> out;
  hr = instance.query(iid, out);
  if (FAILED(hr)) return hr_error(hr);
  return out;
}

// Releases the interface pointer a delegate or result handed us when the wrapper goes.
template <class I>
Com<I> owned(I* p) {
  return Com<I>(p);
}

// ---------------------------------------------------------------------------------------
// Asynchronous operations

// Polled by wait_async through IAsyncInfo; the result is converted when it is fetched.
template <class AbiResult, class Out, class Convert>
class WinRtAsync final : public AsyncOperation<Out> {
 public:
  WinRtAsync(Com<abi::IAsyncOperation<AbiResult>> op, Convert convert)
      : op_(std::move(op)), convert_(std::move(convert)) {
    info_hr_ = op_.query(abi::IID_IAsyncInfo, info_);
  }

  Result<AsyncStatus> status() override {
    if (FAILED(info_hr_)) return hr_error(info_hr_);
    ::AsyncStatus st = ::AsyncStatus::Started;
    HRESULT hr = info_->get_Status(&st);
    if (FAILED(hr)) return hr_error(hr);
    return static_cast<AsyncStatus>(static_cast<int>(st));
  }

  Result<Out> get_results() override {
    AbiResult raw{};
    HRESULT hr = op_->GetResults(&raw);
    if (FAILED(hr)) {
      // A failed operation says why through its error code; GetResults only says that
      // there is no result.
      HRESULT code = S_OK;
      if (info_ && SUCCEEDED(info_->get_ErrorCode(&code)) && FAILED(code)) hr = code;
      return hr_error(hr);
    }
    return convert_(raw);
  }

 private:
  Com<abi::IAsyncOperation<AbiResult>> op_;
  Com<IAsyncInfo> info_;
  HRESULT info_hr_ = E_NOINTERFACE;
  Convert convert_;
};

template <class Out, class AbiResult, class Convert>
Async<Out> make_async(HRESULT started, abi::IAsyncOperation<AbiResult>* op, Convert convert) {
  Com<abi::IAsyncOperation<AbiResult>> held(op);
  if (FAILED(started)) return completed<Out>(hr_error(started));
  if (!held) return completed<Out>(hr_error(E_POINTER));
  return std::make_shared<WinRtAsync<AbiResult, Out, Convert>>(std::move(held), std::move(convert));
}

// An interface pointer result, owned from here on, wrapped as W (none stays none).
template <class W, class Base, class I>
auto wrap_result() {
  return [](I* raw) -> Result<std::shared_ptr<Base>> {
    if (!raw) return std::shared_ptr<Base>();
    return std::shared_ptr<Base>(std::make_shared<W>(owned(raw)));
  };
}

auto gatt_status_result() {
  return [](INT32 raw) -> Result<GattStatus> { return static_cast<GattStatus>(raw); };
}

// ---------------------------------------------------------------------------------------
// Delegates: event handlers the platform calls on its own threads

class ReceivedDelegate final : public abi::IReceivedHandler {
 public:
  explicit ReceivedDelegate(std::function<void(abi::IBluetoothLEAdvertisementReceivedEventArgs*)> body)
      : body_(std::move(body)) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    return query(this, abi::IID_IReceivedHandler, riid, out);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE Invoke(abi::IBluetoothLEAdvertisementWatcher*,
                                   abi::IBluetoothLEAdvertisementReceivedEventArgs* args) override {
    try {
      body_(args);
    } catch (...) {
      // A failing handler ends this one call, never the platform's thread.
    }
    return S_OK;
  }

  // Shared by both delegate kinds: IUnknown, the delegate's own identifier, and
  // IAgileObject (they may be called on any thread, so no marshalling is wanted).
  template <class Self>
  static HRESULT query(Self* self, const GUID& own, REFIID riid, void** out) {
    if (out == nullptr) return E_POINTER;
    if (IsEqualGUID(riid, abi::IID_IUnknown) || IsEqualGUID(riid, own) || IsEqualGUID(riid, abi::IID_IAgileObject)) {
      *out = self;
      self->AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }

 private:
  std::atomic<ULONG> refs_{1};
  std::function<void(abi::IBluetoothLEAdvertisementReceivedEventArgs*)> body_;
};

class ValueChangedDelegate final : public abi::IValueChangedHandler {
 public:
  explicit ValueChangedDelegate(std::function<void(abi::IGattValueChangedEventArgs*)> body) : body_(std::move(body)) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    return ReceivedDelegate::query(this, abi::IID_IValueChangedHandler, riid, out);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE Invoke(abi::IGattCharacteristic*, abi::IGattValueChangedEventArgs* args) override {
    try {
      body_(args);
    } catch (...) {
    }
    return S_OK;
  }

 private:
  std::atomic<ULONG> refs_{1};
  std::function<void(abi::IGattValueChangedEventArgs*)> body_;
};

// ---------------------------------------------------------------------------------------
// Adapter and radio

class WinRtRadio final : public Radio {
 public:
  explicit WinRtRadio(Com<abi::IRadio> r) : r_(std::move(r)) {}
  Result<RadioState> state() override {
    INT32 st = 0;
    HRESULT hr = r_->get_State(&st);
    if (FAILED(hr)) return hr_error(hr);
    return static_cast<RadioState>(st);
  }

 private:
  Com<abi::IRadio> r_;
};

class WinRtAdapter final : public Adapter {
 public:
  explicit WinRtAdapter(Com<abi::IBluetoothAdapter> a) : a_(std::move(a)) {}
  Async<std::shared_ptr<Radio>> get_radio_async() override {
    abi::IAsyncOperation<abi::IRadio*>* op = nullptr;
    HRESULT hr = a_->GetRadioAsync(&op);
    return make_async<std::shared_ptr<Radio>>(hr, op, wrap_result<WinRtRadio, Radio, abi::IRadio>());
  }

 private:
  Com<abi::IBluetoothAdapter> a_;
};

// ---------------------------------------------------------------------------------------
// Advertisements

class WinRtPayload final : public AdvertisementPayload {
 public:
  explicit WinRtPayload(Com<abi::IBluetoothLEAdvertisement> a) : a_(std::move(a)) {}

  Result<std::string> local_name() override {
    HString name;
    HRESULT hr = a_->get_LocalName(name.put());
    if (FAILED(hr)) return hr_error(hr);
    return name.to_utf8();
  }

  Result<std::vector<Result<Uuid>>> service_uuids() override {
    Com<abi::IVectorView<GUID>> list;
    HRESULT hr = a_->get_ServiceUuids(list.put());
    if (FAILED(hr)) return hr_error(hr);
    UINT32 n = 0;
    if (!list || FAILED(hr = list->get_Size(&n))) return hr_error(list ? hr : E_POINTER);
    std::vector<Result<Uuid>> out;
    out.reserve(n);
    for (UINT32 i = 0; i < n; ++i) {
      GUID g{};
      hr = list->GetAt(i, &g);
      out.push_back(FAILED(hr) ? Result<Uuid>(hr_error(hr)) : Result<Uuid>(to_uuid(g)));
    }
    return out;
  }

  Result<std::vector<Result<uint16_t>>> company_ids() override {
    Com<abi::IVectorView<abi::IBluetoothLEManufacturerData*>> list;
    HRESULT hr = a_->get_ManufacturerData(list.put());
    if (FAILED(hr)) return hr_error(hr);
    UINT32 n = 0;
    if (!list || FAILED(hr = list->get_Size(&n))) return hr_error(list ? hr : E_POINTER);
    std::vector<Result<uint16_t>> out;
    out.reserve(n);
    for (UINT32 i = 0; i < n; ++i) {
      Com<abi::IBluetoothLEManufacturerData> item;
      UINT16 id = 0;
      hr = list->GetAt(i, item.put());
      if (SUCCEEDED(hr) && !item) hr = E_POINTER;
      if (SUCCEEDED(hr)) hr = item->get_CompanyId(&id);
      out.push_back(FAILED(hr) ? Result<uint16_t>(hr_error(hr)) : Result<uint16_t>(id));
    }
    return out;
  }

 private:
  Com<abi::IBluetoothLEAdvertisement> a_;
};

class WinRtAdvertisementArgs final : public AdvertisementArgs {
 public:
  explicit WinRtAdvertisementArgs(Com<abi::IBluetoothLEAdvertisementReceivedEventArgs> a) : a_(std::move(a)) {}
  Result<uint64_t> bluetooth_address() override {
    UINT64 v = 0;
    HRESULT hr = a_->get_BluetoothAddress(&v);
    if (FAILED(hr)) return hr_error(hr);
    return static_cast<uint64_t>(v);
  }
  Result<int16_t> raw_signal_strength() override {
    INT16 v = 0;
    HRESULT hr = a_->get_RawSignalStrengthInDBm(&v);
    if (FAILED(hr)) return hr_error(hr);
    return static_cast<int16_t>(v);
  }
  Result<std::shared_ptr<AdvertisementPayload>> advertisement() override {
    Com<abi::IBluetoothLEAdvertisement> p;
    HRESULT hr = a_->get_Advertisement(p.put());
    if (FAILED(hr)) return hr_error(hr);
    if (!p) return hr_error(E_POINTER);
    return std::shared_ptr<AdvertisementPayload>(std::make_shared<WinRtPayload>(std::move(p)));
  }

 private:
  Com<abi::IBluetoothLEAdvertisementReceivedEventArgs> a_;
};

class WinRtWatcher final : public Watcher {
 public:
  explicit WinRtWatcher(Com<abi::IBluetoothLEAdvertisementWatcher> w) : w_(std::move(w)) {}
  ~WinRtWatcher() override {
    // The handler must not outlive the watcher record that the service dropped.
    if (registered_) w_->remove_Received(token_);
  }

  Status set_scanning_mode_active() override { return check(w_->put_ScanningMode(1)); }

  Status add_received(AdvertisementHandler handler) override {
    auto* d = new ReceivedDelegate([handler = std::move(handler)](abi::IBluetoothLEAdvertisementReceivedEventArgs* a) {
      std::shared_ptr<AdvertisementArgs> args;
      if (a) args = std::make_shared<WinRtAdvertisementArgs>(Com<abi::IBluetoothLEAdvertisementReceivedEventArgs>::add_ref(a));
      handler(args);
    });
    Com<abi::IReceivedHandler> held(d);
    if (registered_) {
      w_->remove_Received(token_);
      registered_ = false;
    }
    HRESULT hr = w_->add_Received(held.get(), &token_);
    if (FAILED(hr)) return hr_error(hr);
    registered_ = true;
    return {};
  }

  Status start() override { return check(w_->Start()); }
  Status stop() override { return check(w_->Stop()); }

 private:
  static Status check(HRESULT hr) {
    if (FAILED(hr)) return hr_error(hr);
    return {};
  }

  Com<abi::IBluetoothLEAdvertisementWatcher> w_;
  EventRegistrationToken token_{};
  bool registered_ = false;
};

// ---------------------------------------------------------------------------------------
// Buffers

class WinRtBuffer final : public Buffer {
 public:
  explicit WinRtBuffer(Com<abi::IBuffer> b) : b(std::move(b)) {}
  Com<abi::IBuffer> b;
};

Result<Com<abi::IBuffer>> make_buffer(std::span<const uint8_t> bytes) {
  auto writer = activate<abi::IDataWriter>(L"Windows.Storage.Streams.DataWriter", abi::IID_IDataWriter);
  if (!writer) return writer.take_error();
  // WriteBytes takes a non-const pointer but only reads from it.
  HRESULT hr = (*writer)->WriteBytes(static_cast<UINT32>(bytes.size()), const_cast<BYTE*>(bytes.data()));
  if (FAILED(hr)) return hr_error(hr);
  Com<abi::IBuffer> buffer;
  hr = (*writer)->DetachBuffer(buffer.put());
  if (FAILED(hr)) return hr_error(hr);
  if (!buffer) return hr_error(E_POINTER);
  return buffer;
}

Result<std::vector<uint8_t>> read_bytes(abi::IBuffer* buffer) {
  auto statics = factory<abi::IDataReaderStatics>(L"Windows.Storage.Streams.DataReader", abi::IID_IDataReaderStatics);
  if (!statics) return statics.take_error();
  Com<abi::IDataReader> reader;
  HRESULT hr = (*statics)->FromBuffer(buffer, reader.put());
  if (FAILED(hr)) return hr_error(hr);
  if (!reader) return hr_error(E_POINTER);
  UINT32 n = 0;
  hr = reader->get_UnconsumedBufferLength(&n);
  if (FAILED(hr)) return hr_error(hr);
  std::vector<uint8_t> out(n);
  if (n > 0) {
    hr = reader->ReadBytes(n, out.data());
    if (FAILED(hr)) return hr_error(hr);
  }
  return out;
}

// ---------------------------------------------------------------------------------------
// GATT

class WinRtValueChangedArgs final : public ValueChangedArgs {
 public:
  explicit WinRtValueChangedArgs(Com<abi::IGattValueChangedEventArgs> a) : a_(std::move(a)) {}
  Result<BufferPtr> characteristic_value() override {
    Com<abi::IBuffer> b;
    HRESULT hr = a_->get_CharacteristicValue(b.put());
    if (FAILED(hr)) return hr_error(hr);
    if (!b) return hr_error(E_POINTER);
    return BufferPtr(std::make_shared<WinRtBuffer>(std::move(b)));
  }

 private:
  Com<abi::IGattValueChangedEventArgs> a_;
};

class WinRtCharacteristic final : public Characteristic {
 public:
  explicit WinRtCharacteristic(Com<abi::IGattCharacteristic> c) : c_(std::move(c)) {}

  Result<uint32_t> properties() override {
    UINT32 v = 0;
    HRESULT hr = c_->get_CharacteristicProperties(&v);
    if (FAILED(hr)) return hr_error(hr);
    return static_cast<uint32_t>(v);
  }
  Result<Uuid> uuid() override {
    GUID g{};
    HRESULT hr = c_->get_Uuid(&g);
    if (FAILED(hr)) return hr_error(hr);
    return to_uuid(g);
  }
  Result<int64_t> add_value_changed(ValueChangedHandler handler) override {
    auto* d = new ValueChangedDelegate([handler = std::move(handler)](abi::IGattValueChangedEventArgs* a) {
      std::shared_ptr<ValueChangedArgs> args;
      if (a) args = std::make_shared<WinRtValueChangedArgs>(Com<abi::IGattValueChangedEventArgs>::add_ref(a));
      handler(args);
    });
    Com<abi::IValueChangedHandler> held(d);
    EventRegistrationToken token{};
    HRESULT hr = c_->add_ValueChanged(held.get(), &token);
    if (FAILED(hr)) return hr_error(hr);
    return static_cast<int64_t>(token.value);
  }
  Status remove_value_changed(int64_t token) override {
    EventRegistrationToken t{};
    t.value = token;
    HRESULT hr = c_->remove_ValueChanged(t);
    if (FAILED(hr)) return hr_error(hr);
    return {};
  }
  Async<GattStatus> write_cccd_async(CccdValue value) override {
    abi::IAsyncOperation<INT32>* op = nullptr;
    HRESULT hr = c_->WriteClientCharacteristicConfigurationDescriptorAsync(static_cast<INT32>(value), &op);
    return make_async<GattStatus>(hr, op, gatt_status_result());
  }
  Async<GattStatus> write_value_with_option_async(BufferPtr value, WriteOption option) override {
    Com<abi::IBuffer> buffer;
    if (auto* own = dynamic_cast<WinRtBuffer*>(value.get())) {
      buffer = own->b;
    } else if (auto* bytes = dynamic_cast<ByteBuffer*>(value.get())) {
      auto made = make_buffer(bytes->bytes);
      if (!made) return completed<GattStatus>(made.take_error());
      buffer = std::move(*made);
    } else {
      return completed<GattStatus>(fail("no buffer to write"));
    }
    abi::IAsyncOperation<INT32>* op = nullptr;
    HRESULT hr = c_->WriteValueWithOptionAsync(buffer.get(), static_cast<INT32>(option), &op);
    return make_async<GattStatus>(hr, op, gatt_status_result());
  }

 private:
  Com<abi::IGattCharacteristic> c_;
};

class WinRtCharacteristicsResult final : public CharacteristicsResult {
 public:
  explicit WinRtCharacteristicsResult(Com<abi::IGattCharacteristicsResult> r) : r_(std::move(r)) {}
  Result<GattStatus> status() override {
    INT32 st = 0;
    HRESULT hr = r_->get_Status(&st);
    if (FAILED(hr)) return hr_error(hr);
    return static_cast<GattStatus>(st);
  }
  Result<std::vector<CharacteristicPtr>> characteristics() override {
    Com<abi::IVectorView<abi::IGattCharacteristic*>> list;
    HRESULT hr = r_->get_Characteristics(list.put());
    if (FAILED(hr)) return hr_error(hr);
    UINT32 n = 0;
    if (!list || FAILED(hr = list->get_Size(&n))) return hr_error(list ? hr : E_POINTER);
    std::vector<CharacteristicPtr> out;
    for (UINT32 i = 0; i < n; ++i) {
      Com<abi::IGattCharacteristic> c;
      hr = list->GetAt(i, c.put());
      if (FAILED(hr)) return hr_error(hr);
      if (c) out.push_back(std::make_shared<WinRtCharacteristic>(std::move(c)));
    }
    return out;
  }

 private:
  Com<abi::IGattCharacteristicsResult> r_;
};

class WinRtService final : public Service {
 public:
  explicit WinRtService(Com<abi::IGattDeviceService> s) : s_(std::move(s)) {}
  Result<Uuid> uuid() override {
    GUID g{};
    HRESULT hr = s_->get_Uuid(&g);
    if (FAILED(hr)) return hr_error(hr);
    return to_uuid(g);
  }
  Async<std::shared_ptr<CharacteristicsResult>> get_characteristics_async() override {
    Com<abi::IGattDeviceService3> s3;
    HRESULT hr = s_.query(abi::IID_IGattDeviceService3, s3);
    if (FAILED(hr)) return completed<std::shared_ptr<CharacteristicsResult>>(hr_error(hr));
    abi::IAsyncOperation<abi::IGattCharacteristicsResult*>* op = nullptr;
    hr = s3->GetCharacteristicsWithCacheModeAsync(kUncached, &op);
    return make_async<std::shared_ptr<CharacteristicsResult>>(
        hr, op, wrap_result<WinRtCharacteristicsResult, CharacteristicsResult, abi::IGattCharacteristicsResult>());
  }

  static constexpr INT32 kUncached = 1;

 private:
  Com<abi::IGattDeviceService> s_;
};

class WinRtServicesResult final : public ServicesResult {
 public:
  explicit WinRtServicesResult(Com<abi::IGattDeviceServicesResult> r) : r_(std::move(r)) {}
  Result<GattStatus> status() override {
    INT32 st = 0;
    HRESULT hr = r_->get_Status(&st);
    if (FAILED(hr)) return hr_error(hr);
    return static_cast<GattStatus>(st);
  }
  Result<std::vector<ServicePtr>> services() override {
    Com<abi::IVectorView<abi::IGattDeviceService*>> list;
    HRESULT hr = r_->get_Services(list.put());
    if (FAILED(hr)) return hr_error(hr);
    UINT32 n = 0;
    if (!list || FAILED(hr = list->get_Size(&n))) return hr_error(list ? hr : E_POINTER);
    std::vector<ServicePtr> out;
    for (UINT32 i = 0; i < n; ++i) {
      Com<abi::IGattDeviceService> s;
      hr = list->GetAt(i, s.put());
      if (FAILED(hr)) return hr_error(hr);
      if (s) out.push_back(std::make_shared<WinRtService>(std::move(s)));
    }
    return out;
  }

 private:
  Com<abi::IGattDeviceServicesResult> r_;
};

Status close_object(IInspectable* object) {
  Com<abi::IClosable> closable;
  HRESULT hr = Com<IInspectable>::add_ref(object).query(abi::IID_IClosable, closable);
  if (SUCCEEDED(hr)) hr = closable->Close();
  if (FAILED(hr)) return hr_error(hr);
  return {};
}

class WinRtDevice final : public Device {
 public:
  explicit WinRtDevice(Com<abi::IBluetoothLEDevice> d) : d_(std::move(d)) {}

  Result<std::string> device_id() override {
    Com<abi::IBluetoothLEDevice4> d4;
    HRESULT hr = d_.query(abi::IID_IBluetoothLEDevice4, d4);
    if (FAILED(hr)) return hr_error(hr);
    Com<abi::IBluetoothDeviceId> id;
    hr = d4->get_BluetoothDeviceId(id.put());
    if (FAILED(hr)) return hr_error(hr);
    if (!id) return hr_error(E_POINTER);
    HString text;
    hr = id->get_Id(text.put());
    if (FAILED(hr)) return hr_error(hr);
    return text.to_utf8();
  }
  Result<std::string> name() override {
    HString text;
    HRESULT hr = d_->get_Name(text.put());
    if (FAILED(hr)) return hr_error(hr);
    return text.to_utf8();
  }
  Async<std::shared_ptr<ServicesResult>> get_gatt_services_async() override {
    Com<abi::IBluetoothLEDevice3> d3;
    HRESULT hr = d_.query(abi::IID_IBluetoothLEDevice3, d3);
    if (FAILED(hr)) return completed<std::shared_ptr<ServicesResult>>(hr_error(hr));
    abi::IAsyncOperation<abi::IGattDeviceServicesResult*>* op = nullptr;
    hr = d3->GetGattServicesWithCacheModeAsync(WinRtService::kUncached, &op);
    return make_async<std::shared_ptr<ServicesResult>>(
        hr, op, wrap_result<WinRtServicesResult, ServicesResult, abi::IGattDeviceServicesResult>());
  }
  Result<ConnectionStatus> connection_status() override {
    INT32 st = 0;
    HRESULT hr = d_->get_ConnectionStatus(&st);
    if (FAILED(hr)) return hr_error(hr);
    return st == 1 ? ConnectionStatus::Connected : ConnectionStatus::Disconnected;
  }
  Status close() override { return close_object(d_.get()); }

 private:
  Com<abi::IBluetoothLEDevice> d_;
};

class WinRtSession final : public Session {
 public:
  explicit WinRtSession(Com<abi::IGattSession> s) : s_(std::move(s)) {}
  Status set_maintain_connection(bool on) override {
    HRESULT hr = s_->put_MaintainConnection(on ? 1 : 0);
    if (FAILED(hr)) return hr_error(hr);
    return {};
  }
  Status close() override { return close_object(s_.get()); }

 private:
  Com<abi::IGattSession> s_;
};

// ---------------------------------------------------------------------------------------
// The platform

class WinRtPlatform final : public Platform {
 public:
  void init_thread() override {
    // Once per thread: every successful call would have to be balanced by an uninitialise
    // that our detached threads never make.
    thread_local bool joined = false;
    if (joined) return;
    joined = true;
    (void)CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  }

  Async<std::shared_ptr<Adapter>> get_default_adapter_async() override {
    auto statics = factory<abi::IBluetoothAdapterStatics>(L"Windows.Devices.Bluetooth.BluetoothAdapter",
                                                          abi::IID_IBluetoothAdapterStatics);
    if (!statics) return completed<std::shared_ptr<Adapter>>(statics.take_error());
    abi::IAsyncOperation<abi::IBluetoothAdapter*>* op = nullptr;
    HRESULT hr = (*statics)->GetDefaultAsync(&op);
    return make_async<std::shared_ptr<Adapter>>(hr, op, wrap_result<WinRtAdapter, Adapter, abi::IBluetoothAdapter>());
  }

  Result<std::shared_ptr<Watcher>> create_watcher() override {
    auto w = activate<abi::IBluetoothLEAdvertisementWatcher>(
        L"Windows.Devices.Bluetooth.Advertisement.BluetoothLEAdvertisementWatcher",
        abi::IID_IBluetoothLEAdvertisementWatcher);
    if (!w) return w.take_error();
    return std::shared_ptr<Watcher>(std::make_shared<WinRtWatcher>(std::move(*w)));
  }

  Async<DevicePtr> device_from_address_async(uint64_t address) override {
    auto statics = factory<abi::IBluetoothLEDeviceStatics>(L"Windows.Devices.Bluetooth.BluetoothLEDevice",
                                                           abi::IID_IBluetoothLEDeviceStatics);
    if (!statics) return completed<DevicePtr>(statics.take_error());
    abi::IAsyncOperation<abi::IBluetoothLEDevice*>* op = nullptr;
    HRESULT hr = (*statics)->FromBluetoothAddressAsync(address, &op);
    return make_async<DevicePtr>(hr, op, wrap_result<WinRtDevice, Device, abi::IBluetoothLEDevice>());
  }

  Async<SessionPtr> session_from_device_id_async(const std::string& device_id) override {
    auto id_statics = factory<abi::IBluetoothDeviceIdStatics>(L"Windows.Devices.Bluetooth.BluetoothDeviceId",
                                                              abi::IID_IBluetoothDeviceIdStatics);
    if (!id_statics) return completed<SessionPtr>(id_statics.take_error());
    HString text(widen(device_id));
    Com<abi::IBluetoothDeviceId> id;
    HRESULT hr = (*id_statics)->FromId(text.get(), id.put());
    if (FAILED(hr)) return completed<SessionPtr>(hr_error(hr));
    if (!id) return completed<SessionPtr>(hr_error(E_POINTER));
    auto statics = factory<abi::IGattSessionStatics>(L"Windows.Devices.Bluetooth.GenericAttributeProfile.GattSession",
                                                     abi::IID_IGattSessionStatics);
    if (!statics) return completed<SessionPtr>(statics.take_error());
    abi::IAsyncOperation<abi::IGattSession*>* op = nullptr;
    hr = (*statics)->FromDeviceIdAsync(id.get(), &op);
    return make_async<SessionPtr>(hr, op, wrap_result<WinRtSession, Session, abi::IGattSession>());
  }

  Result<BufferPtr> create_buffer(std::span<const uint8_t> bytes) override {
    auto b = make_buffer(bytes);
    if (!b) return b.take_error();
    return BufferPtr(std::make_shared<WinRtBuffer>(std::move(*b)));
  }

  Result<std::vector<uint8_t>> read_buffer(const BufferPtr& buffer) override {
    if (auto* own = dynamic_cast<WinRtBuffer*>(buffer.get())) return read_bytes(own->b.get());
    if (auto* bytes = dynamic_cast<ByteBuffer*>(buffer.get())) return bytes->bytes;
    return fail("no buffer to read");
  }
};

}  // namespace

PlatformPtr make_winrt_platform() { return std::make_shared<WinRtPlatform>(); }

}  // namespace chair::ble
