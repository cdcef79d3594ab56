// What the backend keeps of the Bluetooth daemon's objects, in plain C++ values, and the rules
// that turn them into the platform's values. No bus is needed here.
//
// D-Bus variants are turned into these structs on the thread that received them and are
// never stored: a variant carries a message of the library's per-thread pseudo connection,
// which must not be shared between threads or outlive its thread.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sdbus-c++/sdbus-c++.h>

#include "ble/platform/platform.h"

namespace chair::ble::bluez {

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
  std::vector<ServiceInfo> services;                // in attribute handle order
  std::vector<CharacteristicInfo> characteristics;  // in attribute handle order
};

ObjectSnapshot parse_managed_objects(const ManagedObjects& objects);

// The address encoded in a device path ".../dev_C0_FF_EE_01_02_0A".
std::optional<uint64_t> address_from_device_path(std::string_view path);
// The device's address: its Address property, else the one in its path (a change can arrive
// before the device's full record).
std::optional<uint64_t> device_address(std::string_view path, const DeviceProps& device);

// The adapter with the smallest index (hci2 before hci10); nullopt when there is none.
std::optional<std::string> pick_default_adapter(const std::vector<std::string>& adapter_paths);

// The device object for `address` in a snapshot, preferring one below `adapter`.
std::optional<std::string> find_device(const ObjectSnapshot& snapshot, uint64_t address,
                                       const std::optional<std::string>& adapter);

// The attribute handle in a path's last element ("service000c", "char000d"); the daemon's
// dictionaries have no order, the handle gives the one the device has.
std::optional<uint32_t> attribute_handle(std::string_view path);

uint32_t flags_to_properties(const std::vector<std::string>& flags);

// What a scan reports of a device, from the merged copy of its properties.
Advertisement to_advertisement(std::string_view path, const DeviceProps& device);

// The device's friendly name: Alias unless it is only the daemon's stand-in made from the
// address, else Name; nullopt when neither holds a name.
std::optional<std::string> friendly_name(const DeviceProps& device);

// Names of paired or bonded devices, keyed by the address without separators.
PairedNames paired_names(const ObjectSnapshot& snapshot);

// True when `path` is `parent` or lies below it.
bool is_under(std::string_view path, std::string_view parent);

}  // namespace chair::ble::bluez
