// What the backend keeps of the Bluetooth daemon's objects, in plain C++ values.
//
// D-Bus variants are turned into these structs on the thread that received them and are
// never stored: a variant carries a message of the library's per-thread pseudo connection,
// which must not be shared between threads or outlive its thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sdbus-c++/sdbus-c++.h>

#include "ble/platform/platform.h"

namespace chair::ble::bluez {

inline constexpr const char* kBluezService = "org.bluez";
inline constexpr const char* kObjectManagerIface = "org.freedesktop.DBus.ObjectManager";
inline constexpr const char* kPropertiesIface = "org.freedesktop.DBus.Properties";
inline constexpr const char* kAdapterIface = "org.bluez.Adapter1";
inline constexpr const char* kDeviceIface = "org.bluez.Device1";
inline constexpr const char* kServiceIface = "org.bluez.GattService1";
inline constexpr const char* kCharacteristicIface = "org.bluez.GattCharacteristic1";

// Every call carries a timeout below the 20 s that wait_async allows; Connect gets longer
// because the kernel itself gives up an LE connection attempt only after about 20 s.
inline constexpr auto kCallTimeout = std::chrono::seconds(10);
inline constexpr auto kConnectTimeout = std::chrono::seconds(25);
inline constexpr auto kResolveTimeout = std::chrono::seconds(10);
inline constexpr auto kLookupTimeout = std::chrono::seconds(10);
inline constexpr auto kDisconnectWait = std::chrono::seconds(5);

using Props = std::map<std::string, sdbus::Variant>;
using Interfaces = std::map<std::string, Props>;
using ManagedObjects = std::map<sdbus::ObjectPath, Interfaces>;

// The Device1 properties the backend uses; absent until the daemon reported them.
struct DeviceProps {
  std::optional<std::string> address;
  std::optional<std::string> name;
  std::optional<std::string> alias;
  std::optional<std::string> adapter;
  std::optional<bool> paired;
  std::optional<bool> bonded;
  std::optional<bool> connected;
  std::optional<bool> services_resolved;
  std::optional<int16_t> rssi;
  std::optional<std::vector<std::string>> uuids;
  std::optional<std::vector<uint16_t>> company_ids;
};

// Copies the known keys of `changed` (with the expected types) into `into`.
void merge_device_props(DeviceProps& into, const Props& changed);
void invalidate_device_props(DeviceProps& into, const std::vector<std::string>& keys);

// Keys whose change means the device was heard advertising again.
bool is_advertising_key(std::string_view key);
bool has_advertising_key(const Props& changed);

struct ServiceInfo {
  std::string path;
  std::string uuid;
  std::string device;
};

struct CharacteristicInfo {
  std::string path;
  std::string uuid;
  std::string service;
  std::vector<std::string> flags;
};

struct ObjectSnapshot {
  std::vector<std::string> adapters;
  std::map<std::string, DeviceProps> devices;
  std::vector<ServiceInfo> services;         // in attribute handle order
  std::vector<CharacteristicInfo> characteristics;  // in attribute handle order
};

ObjectSnapshot parse_managed_objects(const ManagedObjects& objects);

// "C0:FF:EE:01:02:0A" (any case) to its 48-bit value.
std::optional<uint64_t> parse_address(std::string_view text);
std::string address_text(uint64_t address);
// The address encoded in a device path ".../dev_C0_FF_EE_01_02_0A".
std::optional<uint64_t> address_from_device_path(std::string_view path);

// The adapter with the smallest index (hci2 before hci10); nullopt when there is none.
std::optional<std::string> pick_default_adapter(const std::vector<std::string>& adapter_paths);

// The attribute handle in a path's last element ("service000c", "char000d"); the daemon's
// dictionaries have no order, the handle gives the one the device has.
std::optional<uint32_t> attribute_handle(std::string_view path);

uint32_t flags_to_properties(const std::vector<std::string>& flags);

// The device's friendly name: Alias unless it is only the daemon's stand-in made from the
// address, else Name; nullopt when neither holds a name.
std::optional<std::string> friendly_name(const DeviceProps& device);

// Names of paired or bonded devices, keyed by the address without separators.
PairedNames paired_names(const ObjectSnapshot& snapshot);

// True when `path` is `parent` or lies below it.
bool is_under(std::string_view path, std::string_view parent);

}  // namespace chair::ble::bluez
