// The Bluetooth daemon's D-Bus surface as this project uses it: bus names, object paths,
// interfaces, members, property keys and error names. The backend, the simulator and the
// tests all spell them from here, so the three cannot drift apart.
#pragma once

#include <string>
#include <string_view>

namespace chair::ble::bluez {

// ---- the message bus itself ----
inline constexpr const char* kBusDaemonName = "org.freedesktop.DBus";
inline constexpr const char* kBusDaemonPath = "/org/freedesktop/DBus";
inline constexpr const char* kBusDaemonIface = "org.freedesktop.DBus";
inline constexpr const char* kObjectManagerIface = "org.freedesktop.DBus.ObjectManager";
inline constexpr const char* kPropertiesIface = "org.freedesktop.DBus.Properties";

inline constexpr const char* kGetManagedObjects = "GetManagedObjects";
inline constexpr const char* kGet = "Get";
inline constexpr const char* kGetAll = "GetAll";
inline constexpr const char* kInterfacesAdded = "InterfacesAdded";
inline constexpr const char* kInterfacesRemoved = "InterfacesRemoved";
inline constexpr const char* kPropertiesChanged = "PropertiesChanged";
inline constexpr const char* kNameOwnerChanged = "NameOwnerChanged";

inline constexpr const char* kErrorUnknownObject = "org.freedesktop.DBus.Error.UnknownObject";
inline constexpr const char* kErrorServiceUnknown = "org.freedesktop.DBus.Error.ServiceUnknown";

// ---- the Bluetooth daemon ----
inline constexpr const char* kBluezService = "org.bluez";
inline constexpr const char* kRootPath = "/";
// Every object of the daemon but the root lies below this path.
inline constexpr const char* kBluezPathNamespace = "/org/bluez";
// The one adapter the simulator offers (a real machine may have others).
inline constexpr const char* kSimAdapterPath = "/org/bluez/hci0";

inline constexpr const char* kAdapterIface = "org.bluez.Adapter1";
inline constexpr const char* kDeviceIface = "org.bluez.Device1";
inline constexpr const char* kGattServiceIface = "org.bluez.GattService1";
inline constexpr const char* kGattCharacteristicIface = "org.bluez.GattCharacteristic1";

// Methods.
inline constexpr const char* kSetDiscoveryFilter = "SetDiscoveryFilter";
inline constexpr const char* kStartDiscovery = "StartDiscovery";
inline constexpr const char* kStopDiscovery = "StopDiscovery";
inline constexpr const char* kConnect = "Connect";
inline constexpr const char* kDisconnect = "Disconnect";
inline constexpr const char* kReadValue = "ReadValue";
inline constexpr const char* kWriteValue = "WriteValue";
inline constexpr const char* kStartNotify = "StartNotify";
inline constexpr const char* kStopNotify = "StopNotify";

// Properties of the adapter.
inline constexpr const char* kPowered = "Powered";
inline constexpr const char* kDiscovering = "Discovering";
// Properties of a device (Address, Name and Alias also of the adapter).
inline constexpr const char* kAddress = "Address";
inline constexpr const char* kAddressType = "AddressType";
inline constexpr const char* kName = "Name";
inline constexpr const char* kAlias = "Alias";
inline constexpr const char* kAdapter = "Adapter";
inline constexpr const char* kPaired = "Paired";
inline constexpr const char* kBonded = "Bonded";
inline constexpr const char* kTrusted = "Trusted";
inline constexpr const char* kConnected = "Connected";
inline constexpr const char* kServicesResolved = "ServicesResolved";
inline constexpr const char* kRssi = "RSSI";
inline constexpr const char* kUuids = "UUIDs";
inline constexpr const char* kManufacturerData = "ManufacturerData";
inline constexpr const char* kServiceData = "ServiceData";
inline constexpr const char* kTxPower = "TxPower";
inline constexpr const char* kAdvertisingData = "AdvertisingData";
inline constexpr const char* kAdvertisingFlags = "AdvertisingFlags";
// Properties of GATT services and characteristics.
inline constexpr const char* kUuid = "UUID";
inline constexpr const char* kPrimary = "Primary";
inline constexpr const char* kDevice = "Device";
inline constexpr const char* kService = "Service";
inline constexpr const char* kFlags = "Flags";
inline constexpr const char* kValue = "Value";
inline constexpr const char* kNotifying = "Notifying";
inline constexpr const char* kMtu = "MTU";

// Keys of the discovery filter.
inline constexpr const char* kFilterTransport = "Transport";
inline constexpr const char* kFilterDuplicateData = "DuplicateData";
inline constexpr const char* kFilterDiscoverable = "Discoverable";
inline constexpr const char* kFilterRssi = "RSSI";
inline constexpr const char* kFilterPathloss = "Pathloss";
inline constexpr const char* kFilterUuids = "UUIDs";
inline constexpr const char* kFilterPattern = "Pattern";
inline constexpr const char* kTransportLe = "le";

// The option of WriteValue that chooses a write request or a write command.
inline constexpr const char* kWriteType = "type";
inline constexpr const char* kWriteRequest = "request";
inline constexpr const char* kWriteCommand = "command";
inline constexpr const char* kWriteReliable = "reliable";

// Characteristic flags the backend turns into property bits (others exist).
inline constexpr const char* kFlagRead = "read";
inline constexpr const char* kFlagWriteWithoutResponse = "write-without-response";
inline constexpr const char* kFlagWrite = "write";
inline constexpr const char* kFlagNotify = "notify";
inline constexpr const char* kFlagIndicate = "indicate";

// Error names of the daemon, and the messages it sends with them where someone relies on
// the exact text.
inline constexpr const char* kErrorFailed = "org.bluez.Error.Failed";
inline constexpr const char* kErrorNotReady = "org.bluez.Error.NotReady";
inline constexpr const char* kErrorInProgress = "org.bluez.Error.InProgress";
inline constexpr const char* kErrorNotSupported = "org.bluez.Error.NotSupported";
inline constexpr const char* kErrorNotPermitted = "org.bluez.Error.NotPermitted";
inline constexpr const char* kErrorInvalidArguments = "org.bluez.Error.InvalidArguments";

// Object path elements: "<adapter>/dev_C0_FF_EE_01_02_0A", "<device>/service000a",
// "<service>/char000b"; the suffix of the last two is the attribute handle.
inline constexpr std::string_view kDevicePathPrefix = "dev_";
inline constexpr std::string_view kServicePathPrefix = "service";
inline constexpr std::string_view kCharacteristicPathPrefix = "char";

// "<adapter>/dev_C0_FF_EE_01_02_0A" for the address "C0:FF:EE:01:02:0A".
inline std::string device_path(std::string_view adapter, std::string_view address) {
  std::string path(adapter);
  path += '/';
  path += kDevicePathPrefix;
  for (char c : address) path += c == ':' ? '_' : c;
  return path;
}

}  // namespace chair::ble::bluez
