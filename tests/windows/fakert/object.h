// The frame of every object of the fake runtime: reference counting, QueryInterface over the
// interfaces a class implements, the inspectable basics, and the count of live instances by
// class that lets a test see what the backend still holds.
#pragma once

#include <inspectable.h>
#include <windows.h>
#include <winstring.h>

#include <atomic>
#include <cwchar>
#include <string>
#include <utility>

#include "ble/winrt/runtime.h"
#include "ble/winrt/winrt_abi.h"

namespace chair::fakert {

namespace abi = ble::winrt::abi;
using ble::winrt::Com;

// Runtime error codes that mingw-w64's headers do not name.
inline constexpr HRESULT kBounds = static_cast<HRESULT>(0x8000000B);
inline constexpr HRESULT kIllegalStateChange = static_cast<HRESULT>(0x8000000D);
inline constexpr HRESULT kIllegalMethodCall = static_cast<HRESULT>(0x8000000E);
inline constexpr HRESULT kClosed = static_cast<HRESULT>(0x80000013);
inline constexpr HRESULT kIllegalDelegateAssignment = static_cast<HRESULT>(0x80000018);

// af86e2e0-b12d-4c6a-9c5a-d7aa65101e90
inline constexpr GUID kIidInspectable =
    abi::make_guid(0xaf86e2e0, 0xb12d, 0x4c6a, 0x9c, 0x5a, 0xd7, 0xaa, 0x65, 0x10, 0x1e, 0x90);

// The identifier each implemented interface answers to.
template <class I>
struct Iid;
#define FAKERT_IID(Interface, Guid)           \
  template <>                                 \
  struct Iid<Interface> {                     \
    static const GUID& get() { return Guid; } \
  };

FAKERT_IID(IAsyncInfo, abi::IID_IAsyncInfo)
FAKERT_IID(abi::IActivationFactory, abi::IID_IActivationFactory)
FAKERT_IID(abi::IClosable, abi::IID_IClosable)
FAKERT_IID(abi::IBuffer, abi::IID_IBuffer)
FAKERT_IID(abi::IDataWriter, abi::IID_IDataWriter)
FAKERT_IID(abi::IDataReader, abi::IID_IDataReader)
FAKERT_IID(abi::IDataReaderStatics, abi::IID_IDataReaderStatics)
FAKERT_IID(abi::IRadio, abi::IID_IRadio)
FAKERT_IID(abi::IBluetoothAdapter, abi::IID_IBluetoothAdapter)
FAKERT_IID(abi::IBluetoothAdapterStatics, abi::IID_IBluetoothAdapterStatics)
FAKERT_IID(abi::IBluetoothDeviceId, abi::IID_IBluetoothDeviceId)
FAKERT_IID(abi::IBluetoothLEDevice, abi::IID_IBluetoothLEDevice)
FAKERT_IID(abi::IBluetoothLEDevice3, abi::IID_IBluetoothLEDevice3)
FAKERT_IID(abi::IBluetoothLEDevice4, abi::IID_IBluetoothLEDevice4)
FAKERT_IID(abi::IBluetoothLEDeviceStatics, abi::IID_IBluetoothLEDeviceStatics)
FAKERT_IID(abi::IBluetoothLEManufacturerData, abi::IID_IBluetoothLEManufacturerData)
FAKERT_IID(abi::IBluetoothLEAdvertisement, abi::IID_IBluetoothLEAdvertisement)
FAKERT_IID(abi::IBluetoothLEAdvertisementReceivedEventArgs, abi::IID_IBluetoothLEAdvertisementReceivedEventArgs)
FAKERT_IID(abi::IBluetoothLEAdvertisementWatcherStoppedEventArgs,
           abi::IID_IBluetoothLEAdvertisementWatcherStoppedEventArgs)
FAKERT_IID(abi::IBluetoothLEAdvertisementWatcher, abi::IID_IBluetoothLEAdvertisementWatcher)
FAKERT_IID(abi::IGattValueChangedEventArgs, abi::IID_IGattValueChangedEventArgs)
FAKERT_IID(abi::IGattCharacteristic, abi::IID_IGattCharacteristic)
FAKERT_IID(abi::IGattCharacteristicsResult, abi::IID_IGattCharacteristicsResult)
FAKERT_IID(abi::IGattDeviceService, abi::IID_IGattDeviceService)
FAKERT_IID(abi::IGattDeviceService3, abi::IID_IGattDeviceService3)
FAKERT_IID(abi::IGattDeviceServicesResult, abi::IID_IGattDeviceServicesResult)
FAKERT_IID(abi::IGattSession, abi::IID_IGattSession)
FAKERT_IID(abi::IGattSessionStatics, abi::IID_IGattSessionStatics)

// Live instances by class name, kept by the runtime for its current world; an object of an
// earlier world does not count in a later one.
uint64_t object_born(const char* class_name);
void object_died(const char* class_name, uint64_t world_epoch);

// Implements IUnknown and IInspectable once for all of `Interfaces`, the first of which is
// the object's identity. Factories pass counted = false: they live as long as the process.
template <class Derived, class... Interfaces>
class Object : public Interfaces... {
 public:
  explicit Object(const char* class_name, bool counted = true)
      : class_name_(class_name), counted_(counted), epoch_(counted ? object_born(class_name) : 0) {}
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;

  // A new instance with one reference, owned by the holder returned.
  template <class... Args>
  static Com<Derived> make(Args&&... args) {
    return Com<Derived>(new Derived(std::forward<Args>(args)...));
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (IsEqualGUID(riid, abi::IID_IUnknown) || IsEqualGUID(riid, kIidInspectable) ||
        IsEqualGUID(riid, abi::IID_IAgileObject)) {
      *out = identity();
    } else {
      ((IsEqualGUID(riid, Iid<Interfaces>::get()) && *out == nullptr
            ? (void)(*out = static_cast<Interfaces*>(static_cast<Derived*>(this)))
            : (void)0),
       ...);
      if (*out == nullptr) *out = extra_interface(riid);
    }
    if (*out == nullptr) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete static_cast<Derived*>(this);
    return left;
  }
  HRESULT STDMETHODCALLTYPE GetIids(ULONG* count, IID** iids) override {
    if (count) *count = 0;
    if (iids) *iids = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetRuntimeClassName(HSTRING* name) override {
    std::wstring wide(class_name_, class_name_ + std::char_traits<char>::length(class_name_));
    return WindowsCreateString(wide.c_str(), static_cast<UINT32>(wide.size()), name);
  }
  HRESULT STDMETHODCALLTYPE GetTrustLevel(TrustLevel* level) override {
    if (level) *level = BaseTrust;
    return S_OK;
  }

 protected:
  virtual ~Object() {
    if (counted_) object_died(class_name_, epoch_);
  }
  // An interface beyond the listed ones (the fake's own, to find its objects again).
  virtual void* extra_interface(REFIID) { return nullptr; }

 private:
  void* identity() {
    using First = std::tuple_element_t<0, std::tuple<Interfaces...>>;
    return static_cast<First*>(static_cast<Derived*>(this));
  }

  const char* class_name_;
  const bool counted_;
  const uint64_t epoch_;
  std::atomic<ULONG> refs_{1};
};

// Hands one reference of `held`'s object to the caller, as interface I.
template <class I, class T>
I* hand_out(const Com<T>& held) {
  I* p = static_cast<I*>(held.get());
  if (p) p->AddRef();
  return p;
}

// A method that is part of the table but not of what the fake offers.
#define FAKERT_NOT_IMPLEMENTED \
  { return E_NOTIMPL; }

}  // namespace chair::fakert
