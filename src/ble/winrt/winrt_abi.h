// The binary interface of the Windows Runtime classes the Bluetooth backend uses.
//
// No language projection and no SDK header for these namespaces exists for mingw-w64, so
// the interfaces are declared here, each with only as much of its method table as the
// backend needs: every method up to the last one used is declared, in the order of the
// published metadata, so the table positions are right; later ones are left out. Names
// follow the metadata (get_/put_/add_/remove_ for properties and events).
//
// Interface identifiers, method order and signatures are taken from Microsoft's published
// Windows metadata, each checked against two independent public sources: the Windows SDK
// headers as republished by TerraFX.Interop.Windows / Silk.NET (ported from
// windows.devices.bluetooth*.h and windows.storage.streams.h) and Microsoft's own early
// C++/WinRT ABI headers (1.0.1703), with the slot numbers cross-checked against the
// generated win32more (Python) and windows-rs bindings. The three delegate identifiers are
// parameterised ones; besides matching those sources they were recomputed here from
// their type signatures with the Windows Runtime's SHA-1 rule (namespace
// 11f47ad5-7b73-42c0-abae-878b1e16adee), and both computations agree.
#pragma once

#include <asyncinfo.h>
#include <eventtoken.h>
#include <hstring.h>
#include <inspectable.h>
#include <windows.h>

#include <cstdint>

namespace chair::ble::winrt::abi {

// {Data1, Data2, Data3, {Data4}} of an interface identifier.
constexpr GUID make_guid(uint32_t d1, uint16_t d2, uint16_t d3, uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint8_t e,
                         uint8_t f, uint8_t g, uint8_t h) {
  return GUID{d1, d2, d3, {a, b, c, d, e, f, g, h}};
}

// ---- Windows.Foundation ---------------------------------------------------------------

// 00000036-0000-0000-c000-000000000046 (IAsyncInfo, declared by <asyncinfo.h>)
inline constexpr GUID IID_IAsyncInfo =
    make_guid(0x00000036, 0x0000, 0x0000, 0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
// 94ea2b94-e9cc-49e0-c0ff-ee64ca8f5b90: our delegates may be called from any thread.
inline constexpr GUID IID_IAgileObject =
    make_guid(0x94ea2b94, 0xe9cc, 0x49e0, 0xc0, 0xff, 0xee, 0x64, 0xca, 0x8f, 0x5b, 0x90);

// 00000000-0000-0000-c000-000000000046
inline constexpr GUID IID_IUnknown =
    make_guid(0x00000000, 0x0000, 0x0000, 0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);

// 00000035-0000-0000-c000-000000000046: what RoGetActivationFactory hands out by default.
inline constexpr GUID IID_IActivationFactory =
    make_guid(0x00000035, 0x0000, 0x0000, 0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
struct IActivationFactory : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE ActivateInstance(IInspectable** instance) = 0;
};

// 30d5a829-7fa4-4026-83bb-d75bae4ea99e
inline constexpr GUID IID_IClosable =
    make_guid(0x30d5a829, 0x7fa4, 0x4026, 0x83, 0xbb, 0xd7, 0x5b, 0xae, 0x4e, 0xa9, 0x9e);
struct IClosable : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE Close() = 0;
};

template <class T>
struct IAsyncOperation;

// AsyncOperationCompletedHandler<T>: called once when the operation ends, whichever way.
template <class T>
struct IAsyncOperationCompletedHandler : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Invoke(IAsyncOperation<T>* operation, ::AsyncStatus status) = 0;
};

// IAsyncOperation<T>: T is the ABI form of the result (an interface pointer or an enum).
template <class T>
struct IAsyncOperation : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE put_Completed(IAsyncOperationCompletedHandler<T>* handler) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Completed(IAsyncOperationCompletedHandler<T>** handler) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetResults(T* results) = 0;
};

// IVectorView<T> and IVector<T> begin alike: GetAt, then get_Size; IVector<T> goes on with
// GetView, IndexOf, SetAt, InsertAt, RemoveAt, Append, RemoveAtEnd, Clear, GetMany, ReplaceAll.
template <class T>
struct IVectorView : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE GetAt(UINT32 index, T* item) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Size(UINT32* size) = 0;
};
template <class T>
struct IVector : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE GetAt(UINT32 index, T* item) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Size(UINT32* size) = 0;
};

// TypedEventHandler<TSender, TArgs>: what our delegate objects implement.
template <class Sender, class Args>
struct ITypedEventHandler : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Invoke(Sender* sender, Args* args) = 0;
};

// ---- Windows.Storage.Streams ----------------------------------------------------------

// 905a0fe0-bc53-11df-8c49-001e4fc686da
inline constexpr GUID IID_IBuffer =
    make_guid(0x905a0fe0, 0xbc53, 0x11df, 0x8c, 0x49, 0x00, 0x1e, 0x4f, 0xc6, 0x86, 0xda);
struct IBuffer : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_Capacity(UINT32* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Length(UINT32* value) = 0;
};

// 64b89265-d341-4922-b38a-dd4af8808c4e; activated from "Windows.Storage.Streams.DataWriter"
inline constexpr GUID IID_IDataWriter =
    make_guid(0x64b89265, 0xd341, 0x4922, 0xb3, 0x8a, 0xdd, 0x4a, 0xf8, 0x80, 0x8c, 0x4e);
struct IDataWriter : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_UnstoredBufferLength(UINT32* value) = 0;  // 6
  virtual HRESULT STDMETHODCALLTYPE get_UnicodeEncoding(INT32* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_UnicodeEncoding(INT32 value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ByteOrder(INT32* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_ByteOrder(INT32 value) = 0;  // 10
  virtual HRESULT STDMETHODCALLTYPE WriteByte(BYTE value) = 0;
  virtual HRESULT STDMETHODCALLTYPE WriteBytes(UINT32 length, BYTE* value) = 0;  // 12
  virtual HRESULT STDMETHODCALLTYPE WriteBuffer(IBuffer* buffer) = 0;
  virtual HRESULT STDMETHODCALLTYPE WriteBufferRange(IBuffer* buffer, UINT32 start, UINT32 count) = 0;
  virtual HRESULT STDMETHODCALLTYPE WriteBoolean(boolean value) = 0;  // 15
  virtual HRESULT STDMETHODCALLTYPE WriteGuid(GUID value) = 0;
  virtual HRESULT STDMETHODCALLTYPE WriteInt16(INT16 value) = 0;
  virtual HRESULT STDMETHODCALLTYPE WriteInt32(INT32 value) = 0;
  virtual HRESULT STDMETHODCALLTYPE WriteInt64(INT64 value) = 0;
  virtual HRESULT STDMETHODCALLTYPE WriteUInt16(UINT16 value) = 0;  // 20
  virtual HRESULT STDMETHODCALLTYPE WriteUInt32(UINT32 value) = 0;
  virtual HRESULT STDMETHODCALLTYPE WriteUInt64(UINT64 value) = 0;
  virtual HRESULT STDMETHODCALLTYPE WriteSingle(FLOAT value) = 0;
  virtual HRESULT STDMETHODCALLTYPE WriteDouble(DOUBLE value) = 0;
  virtual HRESULT STDMETHODCALLTYPE WriteDateTime(INT64 value) = 0;  // 25
  virtual HRESULT STDMETHODCALLTYPE WriteTimeSpan(INT64 value) = 0;
  virtual HRESULT STDMETHODCALLTYPE WriteString(HSTRING value, UINT32* code_unit_count) = 0;
  virtual HRESULT STDMETHODCALLTYPE MeasureString(HSTRING value, UINT32* code_unit_count) = 0;
  virtual HRESULT STDMETHODCALLTYPE StoreAsync(IInspectable** operation) = 0;
  virtual HRESULT STDMETHODCALLTYPE FlushAsync(IInspectable** operation) = 0;  // 30
  virtual HRESULT STDMETHODCALLTYPE DetachBuffer(IBuffer** buffer) = 0;        // 31
};

// e2b50029-b4c1-4314-a4b8-fb813a2f275e
inline constexpr GUID IID_IDataReader =
    make_guid(0xe2b50029, 0xb4c1, 0x4314, 0xa4, 0xb8, 0xfb, 0x81, 0x3a, 0x2f, 0x27, 0x5e);
struct IDataReader : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_UnconsumedBufferLength(UINT32* value) = 0;  // 6
  virtual HRESULT STDMETHODCALLTYPE get_UnicodeEncoding(INT32* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_UnicodeEncoding(INT32 value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ByteOrder(INT32* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_ByteOrder(INT32 value) = 0;  // 10
  virtual HRESULT STDMETHODCALLTYPE get_InputStreamOptions(UINT32* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_InputStreamOptions(UINT32 value) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReadByte(BYTE* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReadBytes(UINT32 length, BYTE* value) = 0;  // 14
};

// 11fcbfc8-f93a-471b-b121-f379e349313c; factory of "Windows.Storage.Streams.DataReader"
inline constexpr GUID IID_IDataReaderStatics =
    make_guid(0x11fcbfc8, 0xf93a, 0x471b, 0xb1, 0x21, 0xf3, 0x79, 0xe3, 0x49, 0x31, 0x3c);
struct IDataReaderStatics : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE FromBuffer(IBuffer* buffer, IDataReader** reader) = 0;
};

// ---- Windows.Devices.Radios -----------------------------------------------------------

// 252118df-b33e-416a-875f-1cf38ae2d83e; RadioState: Unknown 0, On 1, Off 2, Disabled 3
inline constexpr GUID IID_IRadio =
    make_guid(0x252118df, 0xb33e, 0x416a, 0x87, 0x5f, 0x1c, 0xf3, 0x8a, 0xe2, 0xd8, 0x3e);
struct IRadio : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE SetStateAsync(INT32 value, IInspectable** operation) = 0;  // 6
  virtual HRESULT STDMETHODCALLTYPE add_StateChanged(IUnknown* handler, EventRegistrationToken* token) = 0;
  virtual HRESULT STDMETHODCALLTYPE remove_StateChanged(EventRegistrationToken token) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_State(INT32* value) = 0;  // 9
};

// ---- Windows.Devices.Bluetooth --------------------------------------------------------

// 7974f04c-5f7a-4a34-9225-a855f84b1a8b
inline constexpr GUID IID_IBluetoothAdapter =
    make_guid(0x7974f04c, 0x5f7a, 0x4a34, 0x92, 0x25, 0xa8, 0x55, 0xf8, 0x4b, 0x1a, 0x8b);
struct IBluetoothAdapter : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_DeviceId(HSTRING* value) = 0;  // 6
  virtual HRESULT STDMETHODCALLTYPE get_BluetoothAddress(UINT64* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_IsClassicSupported(boolean* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_IsLowEnergySupported(boolean* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_IsPeripheralRoleSupported(boolean* value) = 0;  // 10
  virtual HRESULT STDMETHODCALLTYPE get_IsCentralRoleSupported(boolean* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_IsAdvertisementOffloadSupported(boolean* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetRadioAsync(IAsyncOperation<IRadio*>** operation) = 0;  // 13
};

// 8b02fb6a-ac4c-4741-8661-8eab7d17ea9f; factory of "Windows.Devices.Bluetooth.BluetoothAdapter"
inline constexpr GUID IID_IBluetoothAdapterStatics =
    make_guid(0x8b02fb6a, 0xac4c, 0x4741, 0x86, 0x61, 0x8e, 0xab, 0x7d, 0x17, 0xea, 0x9f);
struct IBluetoothAdapterStatics : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE GetDeviceSelector(HSTRING* selector) = 0;  // 6
  virtual HRESULT STDMETHODCALLTYPE FromIdAsync(HSTRING id, IAsyncOperation<IBluetoothAdapter*>** operation) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetDefaultAsync(IAsyncOperation<IBluetoothAdapter*>** operation) = 0;  // 8
};

// c17949af-57c1-4642-bcce-e6c06b20ae76
inline constexpr GUID IID_IBluetoothDeviceId =
    make_guid(0xc17949af, 0x57c1, 0x4642, 0xbc, 0xce, 0xe6, 0xc0, 0x6b, 0x20, 0xae, 0x76);
struct IBluetoothDeviceId : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_Id(HSTRING* value) = 0;  // 6
};

struct IGattDeviceServicesResult;

// b5ee2f7b-4ad8-4642-ac48-80a0b500e887; BluetoothConnectionStatus: Disconnected 0, Connected 1
inline constexpr GUID IID_IBluetoothLEDevice =
    make_guid(0xb5ee2f7b, 0x4ad8, 0x4642, 0xac, 0x48, 0x80, 0xa0, 0xb5, 0x00, 0xe8, 0x87);
struct IBluetoothLEDevice : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_DeviceId(HSTRING* value) = 0;  // 6
  virtual HRESULT STDMETHODCALLTYPE get_Name(HSTRING* value) = 0;      // 7
  virtual HRESULT STDMETHODCALLTYPE get_GattServices(IInspectable** value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ConnectionStatus(INT32* value) = 0;  // 9
};

// aee9e493-44ac-40dc-af33-b2c13c01ca46; BluetoothCacheMode: Cached 0, Uncached 1
inline constexpr GUID IID_IBluetoothLEDevice3 =
    make_guid(0xaee9e493, 0x44ac, 0x40dc, 0xaf, 0x33, 0xb2, 0xc1, 0x3c, 0x01, 0xca, 0x46);
struct IBluetoothLEDevice3 : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_DeviceAccessInformation(IInspectable** value) = 0;  // 6
  virtual HRESULT STDMETHODCALLTYPE RequestAccessAsync(IInspectable** operation) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetGattServicesAsync(IAsyncOperation<IGattDeviceServicesResult*>** operation) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetGattServicesWithCacheModeAsync(
      INT32 cache_mode, IAsyncOperation<IGattDeviceServicesResult*>** operation) = 0;  // 9
};

// 2b605031-2248-4b2f-acf0-7cee36fc5870
inline constexpr GUID IID_IBluetoothLEDevice4 =
    make_guid(0x2b605031, 0x2248, 0x4b2f, 0xac, 0xf0, 0x7c, 0xee, 0x36, 0xfc, 0x58, 0x70);
struct IBluetoothLEDevice4 : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_BluetoothDeviceId(IBluetoothDeviceId** value) = 0;  // 6
};

// c8cf1a19-f0b6-4bf0-8689-41303de2d9f4; factory of "Windows.Devices.Bluetooth.BluetoothLEDevice"
inline constexpr GUID IID_IBluetoothLEDeviceStatics =
    make_guid(0xc8cf1a19, 0xf0b6, 0x4bf0, 0x86, 0x89, 0x41, 0x30, 0x3d, 0xe2, 0xd9, 0xf4);
struct IBluetoothLEDeviceStatics : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE FromIdAsync(HSTRING id, IAsyncOperation<IBluetoothLEDevice*>** operation) = 0;
  virtual HRESULT STDMETHODCALLTYPE
  FromBluetoothAddressAsync(UINT64 address,
                            IAsyncOperation<IBluetoothLEDevice*>** operation) = 0;  // 7
};

// ---- Windows.Devices.Bluetooth.Advertisement ------------------------------------------

// 912dba18-6963-4533-b061-4694dafb34e5
inline constexpr GUID IID_IBluetoothLEManufacturerData =
    make_guid(0x912dba18, 0x6963, 0x4533, 0xb0, 0x61, 0x46, 0x94, 0xda, 0xfb, 0x34, 0xe5);
struct IBluetoothLEManufacturerData : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_CompanyId(UINT16* value) = 0;  // 6
};

// 066fb2b7-33d1-4e7d-8367-cf81d0f79653
inline constexpr GUID IID_IBluetoothLEAdvertisement =
    make_guid(0x066fb2b7, 0x33d1, 0x4e7d, 0x83, 0x67, 0xcf, 0x81, 0xd0, 0xf7, 0x96, 0x53);
struct IBluetoothLEAdvertisement : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_Flags(IInspectable** value) = 0;  // 6
  virtual HRESULT STDMETHODCALLTYPE put_Flags(IInspectable* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_LocalName(HSTRING* value) = 0;  // 8
  virtual HRESULT STDMETHODCALLTYPE put_LocalName(HSTRING value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ServiceUuids(IVector<GUID>** value) = 0;                               // 10
  virtual HRESULT STDMETHODCALLTYPE get_ManufacturerData(IVector<IBluetoothLEManufacturerData*>** value) = 0;  // 11
};

// 27987ddf-e596-41be-8d43-9e6731d4a913
inline constexpr GUID IID_IBluetoothLEAdvertisementReceivedEventArgs =
    make_guid(0x27987ddf, 0xe596, 0x41be, 0x8d, 0x43, 0x9e, 0x67, 0x31, 0xd4, 0xa9, 0x13);
struct IBluetoothLEAdvertisementReceivedEventArgs : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_RawSignalStrengthInDBm(INT16* value) = 0;  // 6
  virtual HRESULT STDMETHODCALLTYPE get_BluetoothAddress(UINT64* value) = 0;       // 7
  virtual HRESULT STDMETHODCALLTYPE get_AdvertisementType(INT32* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Timestamp(INT64* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Advertisement(IBluetoothLEAdvertisement** value) = 0;  // 10
};

// dd40f84d-e7b9-43e3-9c04-0685d085fd8c. BluetoothError: Success 0, RadioNotAvailable 1,
// ResourceInUse 2, DeviceNotConnected 3, OtherError 4, DisabledByPolicy 5, NotSupported 6,
// DisabledByUser 7.
inline constexpr GUID IID_IBluetoothLEAdvertisementWatcherStoppedEventArgs =
    make_guid(0xdd40f84d, 0xe7b9, 0x43e3, 0x9c, 0x04, 0x06, 0x85, 0xd0, 0x85, 0xfd, 0x8c);
struct IBluetoothLEAdvertisementWatcherStoppedEventArgs : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_Error(INT32* value) = 0;  // 6
};

struct IBluetoothLEAdvertisementWatcher;
using IStoppedHandler =
    ITypedEventHandler<IBluetoothLEAdvertisementWatcher, IBluetoothLEAdvertisementWatcherStoppedEventArgs>;
// TypedEventHandler<BluetoothLEAdvertisementWatcher, BluetoothLEAdvertisementWatcherStoppedEventArgs>
// 9936a4db-dc99-55c3-9e9b-bf4854bd9eab
inline constexpr GUID IID_IStoppedHandler =
    make_guid(0x9936a4db, 0xdc99, 0x55c3, 0x9e, 0x9b, 0xbf, 0x48, 0x54, 0xbd, 0x9e, 0xab);

using IReceivedHandler =
    ITypedEventHandler<IBluetoothLEAdvertisementWatcher, IBluetoothLEAdvertisementReceivedEventArgs>;
// TypedEventHandler<BluetoothLEAdvertisementWatcher, BluetoothLEAdvertisementReceivedEventArgs>
// 90eb4eca-d465-5ea0-a61c-033c8c5ecef2
inline constexpr GUID IID_IReceivedHandler =
    make_guid(0x90eb4eca, 0xd465, 0x5ea0, 0xa6, 0x1c, 0x03, 0x3c, 0x8c, 0x5e, 0xce, 0xf2);

// a6ac336f-f3d3-4297-8d6c-c81ea6623f40; activated from
// "Windows.Devices.Bluetooth.Advertisement.BluetoothLEAdvertisementWatcher".
// BluetoothLEScanningMode: Passive 0, Active 1. BluetoothLEAdvertisementWatcherStatus: Created 0,
// Started 1, Stopping 2, Stopped 3, Aborted 4.
inline constexpr GUID IID_IBluetoothLEAdvertisementWatcher =
    make_guid(0xa6ac336f, 0xf3d3, 0x4297, 0x8d, 0x6c, 0xc8, 0x1e, 0xa6, 0x62, 0x3f, 0x40);
struct IBluetoothLEAdvertisementWatcher : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_MinSamplingInterval(INT64* value) = 0;  // 6
  virtual HRESULT STDMETHODCALLTYPE get_MaxSamplingInterval(INT64* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_MinOutOfRangeTimeout(INT64* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_MaxOutOfRangeTimeout(INT64* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Status(INT32* value) = 0;  // 10
  virtual HRESULT STDMETHODCALLTYPE get_ScanningMode(INT32* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_ScanningMode(INT32 value) = 0;  // 12
  virtual HRESULT STDMETHODCALLTYPE get_SignalStrengthFilter(IInspectable** value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_SignalStrengthFilter(IInspectable* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_AdvertisementFilter(IInspectable** value) = 0;  // 15
  virtual HRESULT STDMETHODCALLTYPE put_AdvertisementFilter(IInspectable* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE Start() = 0;  // 17
  virtual HRESULT STDMETHODCALLTYPE Stop() = 0;   // 18
  virtual HRESULT STDMETHODCALLTYPE add_Received(IReceivedHandler* handler, EventRegistrationToken* token) = 0;
  virtual HRESULT STDMETHODCALLTYPE remove_Received(EventRegistrationToken token) = 0;  // 20
  virtual HRESULT STDMETHODCALLTYPE add_Stopped(IStoppedHandler* handler, EventRegistrationToken* token) = 0;
  virtual HRESULT STDMETHODCALLTYPE remove_Stopped(EventRegistrationToken token) = 0;  // 22
};

// ---- Windows.Devices.Bluetooth.GenericAttributeProfile --------------------------------

// d21bdb54-06e3-4ed8-a263-acfac8ba7313
inline constexpr GUID IID_IGattValueChangedEventArgs =
    make_guid(0xd21bdb54, 0x06e3, 0x4ed8, 0xa2, 0x63, 0xac, 0xfa, 0xc8, 0xba, 0x73, 0x13);
struct IGattValueChangedEventArgs : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_CharacteristicValue(IBuffer** value) = 0;  // 6
};

struct IGattCharacteristic;
using IValueChangedHandler = ITypedEventHandler<IGattCharacteristic, IGattValueChangedEventArgs>;
// TypedEventHandler<GattCharacteristic, GattValueChangedEventArgs>
// c1f420f6-6292-5760-a2c9-9ddf98683cfc
inline constexpr GUID IID_IValueChangedHandler =
    make_guid(0xc1f420f6, 0x6292, 0x5760, 0xa2, 0xc9, 0x9d, 0xdf, 0x98, 0x68, 0x3c, 0xfc);

// 59cb50c1-5934-4f68-a198-eb864fa44e6b. GattCommunicationStatus: Success 0, Unreachable 1,
// ProtocolError 2, AccessDenied 3. GattWriteOption: WriteWithResponse 0, WriteWithoutResponse 1.
// GattClientCharacteristicConfigurationDescriptorValue: None 0, Notify 1, Indicate 2.
inline constexpr GUID IID_IGattCharacteristic =
    make_guid(0x59cb50c1, 0x5934, 0x4f68, 0xa1, 0x98, 0xeb, 0x86, 0x4f, 0xa4, 0x4e, 0x6b);
struct IGattCharacteristic : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE GetDescriptors(GUID uuid, IInspectable** value) = 0;  // 6
  virtual HRESULT STDMETHODCALLTYPE get_CharacteristicProperties(UINT32* value) = 0;      // 7
  virtual HRESULT STDMETHODCALLTYPE get_ProtectionLevel(INT32* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_ProtectionLevel(INT32 value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_UserDescription(HSTRING* value) = 0;  // 10
  virtual HRESULT STDMETHODCALLTYPE get_Uuid(GUID* value) = 0;                // 11
  virtual HRESULT STDMETHODCALLTYPE get_AttributeHandle(UINT16* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_PresentationFormats(IInspectable** value) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReadValueAsync(IInspectable** operation) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReadValueWithCacheModeAsync(INT32 cache_mode, IInspectable** operation) = 0;  // 15
  virtual HRESULT STDMETHODCALLTYPE WriteValueAsync(IBuffer* value, IAsyncOperation<INT32>** operation) = 0;
  virtual HRESULT STDMETHODCALLTYPE WriteValueWithOptionAsync(IBuffer* value, INT32 option,
                                                              IAsyncOperation<INT32>** operation) = 0;  // 17
  virtual HRESULT STDMETHODCALLTYPE ReadClientCharacteristicConfigurationDescriptorAsync(IInspectable** operation) = 0;
  virtual HRESULT STDMETHODCALLTYPE
  WriteClientCharacteristicConfigurationDescriptorAsync(INT32 value, IAsyncOperation<INT32>** operation) = 0;  // 19
  virtual HRESULT STDMETHODCALLTYPE add_ValueChanged(IValueChangedHandler* handler, EventRegistrationToken* token) = 0;
  virtual HRESULT STDMETHODCALLTYPE remove_ValueChanged(EventRegistrationToken token) = 0;  // 21
};

// 1194945c-b257-4f3e-9db7-f68bc9a9aef2
inline constexpr GUID IID_IGattCharacteristicsResult =
    make_guid(0x1194945c, 0xb257, 0x4f3e, 0x9d, 0xb7, 0xf6, 0x8b, 0xc9, 0xa9, 0xae, 0xf2);
struct IGattCharacteristicsResult : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_Status(INT32* value) = 0;  // 6
  virtual HRESULT STDMETHODCALLTYPE get_ProtocolError(IInspectable** value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Characteristics(IVectorView<IGattCharacteristic*>** value) = 0;  // 8
};

// ac7b7c05-b33c-47cf-990f-6b8f5577df71
inline constexpr GUID IID_IGattDeviceService =
    make_guid(0xac7b7c05, 0xb33c, 0x47cf, 0x99, 0x0f, 0x6b, 0x8f, 0x55, 0x77, 0xdf, 0x71);
struct IGattDeviceService : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE GetCharacteristics(GUID uuid, IInspectable** value) = 0;  // 6
  virtual HRESULT STDMETHODCALLTYPE GetIncludedServices(GUID uuid, IInspectable** value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_DeviceId(HSTRING* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Uuid(GUID* value) = 0;  // 9
};

// b293a950-0c53-437c-a9b3-5c3210c6e569
inline constexpr GUID IID_IGattDeviceService3 =
    make_guid(0xb293a950, 0x0c53, 0x437c, 0xa9, 0xb3, 0x5c, 0x32, 0x10, 0xc6, 0xe5, 0x69);
struct IGattDeviceService3 : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_DeviceAccessInformation(IInspectable** value) = 0;  // 6
  virtual HRESULT STDMETHODCALLTYPE get_Session(IInspectable** value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_SharingMode(INT32* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE RequestAccessAsync(IInspectable** operation) = 0;
  virtual HRESULT STDMETHODCALLTYPE OpenAsync(INT32 sharing_mode, IInspectable** operation) = 0;  // 10
  virtual HRESULT STDMETHODCALLTYPE
  GetCharacteristicsAsync(IAsyncOperation<IGattCharacteristicsResult*>** operation) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetCharacteristicsWithCacheModeAsync(
      INT32 cache_mode, IAsyncOperation<IGattCharacteristicsResult*>** operation) = 0;  // 12
};

// 171dd3ee-016d-419d-838a-576cf475a3d8
inline constexpr GUID IID_IGattDeviceServicesResult =
    make_guid(0x171dd3ee, 0x016d, 0x419d, 0x83, 0x8a, 0x57, 0x6c, 0xf4, 0x75, 0xa3, 0xd8);
struct IGattDeviceServicesResult : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_Status(INT32* value) = 0;  // 6
  virtual HRESULT STDMETHODCALLTYPE get_ProtocolError(IInspectable** value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Services(IVectorView<IGattDeviceService*>** value) = 0;  // 8
};

// d23b5143-e04e-4c24-999c-9c256f9856b1
inline constexpr GUID IID_IGattSession =
    make_guid(0xd23b5143, 0xe04e, 0x4c24, 0x99, 0x9c, 0x9c, 0x25, 0x6f, 0x98, 0x56, 0xb1);
struct IGattSession : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_DeviceId(IBluetoothDeviceId** value) = 0;  // 6
  virtual HRESULT STDMETHODCALLTYPE get_CanMaintainConnection(boolean* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_MaintainConnection(boolean value) = 0;  // 8
};

// 2e65b95c-539f-4db7-82a8-73bdbbf73ebf; factory of
// "Windows.Devices.Bluetooth.GenericAttributeProfile.GattSession"
inline constexpr GUID IID_IGattSessionStatics =
    make_guid(0x2e65b95c, 0x539f, 0x4db7, 0x82, 0xa8, 0x73, 0xbd, 0xbb, 0xf7, 0x3e, 0xbf);
struct IGattSessionStatics : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE FromDeviceIdAsync(IBluetoothDeviceId* device_id,
                                                      IAsyncOperation<IGattSession*>** operation) = 0;  // 6
};

}  // namespace chair::ble::winrt::abi
