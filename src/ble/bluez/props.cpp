#include "ble/bluez/props.h"

#include <algorithm>
#include <cstdio>
#include <tuple>

#include "ble/bluez/names.h"
#include "common/address.h"
#include "common/hex.h"
#include "common/text.h"

namespace chair::ble::bluez {

namespace {

template <class T>
std::optional<T> read_as(const Props& props, const char* key) {
  auto it = props.find(key);
  if (it == props.end()) return std::nullopt;
  try {
    if (!it->second.containsValueOfType<T>()) return std::nullopt;
    return it->second.get<T>();
  } catch (const sdbus::Error&) {
    return std::nullopt;
  }
}

std::optional<std::string> read_path(const Props& props, const char* key) {
  if (auto p = read_as<sdbus::ObjectPath>(props, key)) return std::string(*p);
  return std::nullopt;
}

std::optional<std::vector<uint16_t>> read_company_ids(const Props& props) {
  auto data = read_as<std::map<uint16_t, sdbus::Variant>>(props, kManufacturerData);
  if (!data) return std::nullopt;
  std::vector<uint16_t> ids;
  for (const auto& [id, value] : *data) ids.push_back(id);
  return ids;
}

std::string_view last_element(std::string_view path) {
  auto slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// Handle order, with paths that carry no handle after the others in text order.
template <class T>
void sort_by_handle(std::vector<T>& items) {
  std::sort(items.begin(), items.end(), [](const T& a, const T& b) {
    auto ha = attribute_handle(a.path), hb = attribute_handle(b.path);
    return std::make_tuple(!ha, ha.value_or(0), a.path) < std::make_tuple(!hb, hb.value_or(0), b.path);
  });
}

}  // namespace

void merge_device_props(DeviceProps& into, const Props& changed) {
  if (auto v = read_as<std::string>(changed, kAddress)) into.address = *v;
  if (auto v = read_as<std::string>(changed, kName)) into.name = *v;
  if (auto v = read_as<std::string>(changed, kAlias)) into.alias = *v;
  if (auto v = read_path(changed, kAdapter)) into.adapter = *v;
  if (auto v = read_as<bool>(changed, kPaired)) into.paired = *v;
  if (auto v = read_as<bool>(changed, kBonded)) into.bonded = *v;
  if (auto v = read_as<bool>(changed, kConnected)) into.connected = *v;
  if (auto v = read_as<bool>(changed, kServicesResolved)) into.services_resolved = *v;
  if (auto v = read_as<int16_t>(changed, kRssi)) into.rssi = *v;
  if (auto v = read_as<std::vector<std::string>>(changed, kUuids)) into.uuids = *v;
  if (auto v = read_company_ids(changed)) into.company_ids = *v;
}

void invalidate_device_props(DeviceProps& into, const std::vector<std::string>& keys) {
  for (const auto& key : keys) {
    if (key == kAddress)
      into.address.reset();
    else if (key == kName)
      into.name.reset();
    else if (key == kAlias)
      into.alias.reset();
    else if (key == kAdapter)
      into.adapter.reset();
    else if (key == kPaired)
      into.paired.reset();
    else if (key == kBonded)
      into.bonded.reset();
    else if (key == kConnected)
      into.connected.reset();
    else if (key == kServicesResolved)
      into.services_resolved.reset();
    else if (key == kRssi)
      into.rssi.reset();
    else if (key == kUuids)
      into.uuids.reset();
    else if (key == kManufacturerData)
      into.company_ids.reset();
  }
}

bool is_advertising_key(std::string_view key) {
  static constexpr std::string_view kKeys[] = {kRssi,        kName,    kUuids,           kManufacturerData,
                                               kServiceData, kTxPower, kAdvertisingData, kAdvertisingFlags};
  return std::find(std::begin(kKeys), std::end(kKeys), key) != std::end(kKeys);
}

bool has_advertising_key(const Props& changed) {
  return std::any_of(changed.begin(), changed.end(), [](const auto& kv) { return is_advertising_key(kv.first); });
}

ObjectSnapshot parse_managed_objects(const ManagedObjects& objects) {
  ObjectSnapshot snap;
  for (const auto& [path, interfaces] : objects) {
    for (const auto& [iface, props] : interfaces) {
      if (iface == kAdapterIface) {
        snap.adapters.push_back(path);
      } else if (iface == kDeviceIface) {
        merge_device_props(snap.devices[path], props);
      } else if (iface == kGattServiceIface) {
        snap.services.push_back(
            {path, read_as<std::string>(props, kUuid).value_or(""), read_path(props, kDevice).value_or("")});
      } else if (iface == kGattCharacteristicIface) {
        snap.characteristics.push_back(
            {path, read_as<std::string>(props, kUuid).value_or(""), read_path(props, kService).value_or(""),
             read_as<std::vector<std::string>>(props, kFlags).value_or(std::vector<std::string>{})});
      }
    }
  }
  sort_by_handle(snap.services);
  sort_by_handle(snap.characteristics);
  return snap;
}

std::optional<uint64_t> address_from_device_path(std::string_view path) {
  auto last = last_element(path);
  if (last.substr(0, kDevicePathPrefix.size()) != kDevicePathPrefix) return std::nullopt;
  std::string text(last.substr(kDevicePathPrefix.size()));
  std::replace(text.begin(), text.end(), '_', ':');
  return parse_address(text);
}

std::optional<uint64_t> device_address(std::string_view path, const DeviceProps& device) {
  std::optional<uint64_t> value = device.address ? parse_address(*device.address) : std::nullopt;
  if (!value) value = address_from_device_path(path);
  return value;
}

std::optional<std::string> pick_default_adapter(const std::vector<std::string>& adapter_paths) {
  std::optional<std::string> best;
  std::optional<uint64_t> best_index;
  for (const auto& path : adapter_paths) {
    auto last = last_element(path);
    std::optional<uint64_t> index;
    uint64_t n = 0;
    if (last.size() > 3 && last.substr(0, 3) == "hci" && parse_u64(last.substr(3), n)) index = n;
    // Numbered adapters come first, smallest number wins; anything else falls back to text order.
    bool better = !best || (index && (!best_index || *index < *best_index)) || (!index && !best_index && path < *best);
    if (better) {
      best = path;
      best_index = index;
    }
  }
  return best;
}

std::optional<std::string> find_device(const ObjectSnapshot& snapshot, uint64_t address,
                                       const std::optional<std::string>& adapter) {
  std::optional<std::string> found;
  for (const auto& [path, device] : snapshot.devices) {
    if (device_address(path, device) != address) continue;
    if (!found || (adapter && is_under(path, *adapter) && !is_under(*found, *adapter))) found = path;
  }
  return found;
}

std::optional<uint32_t> attribute_handle(std::string_view path) {
  auto last = last_element(path);
  if (last.size() < 4) return std::nullopt;
  auto digits = last.substr(last.size() - 4);
  uint32_t value = 0;
  for (char c : digits) {
    int d = hex_digit_value(c);
    if (d < 0) return std::nullopt;
    value = value << 4 | static_cast<uint32_t>(d);
  }
  return value;
}

uint32_t flags_to_properties(const std::vector<std::string>& flags) {
  static constexpr std::pair<std::string_view, uint32_t> kBits[] = {
      {"broadcast", kPropBroadcast},
      {kFlagRead, kPropRead},
      {kFlagWriteWithoutResponse, kPropWriteWithoutResponse},
      {kFlagWrite, kPropWrite},
      {kFlagNotify, kPropNotify},
      {kFlagIndicate, kPropIndicate},
      {"authenticated-signed-writes", 0x40},
      {"extended-properties", 0x80},
      {"reliable-write", 0x100},
      {"writable-auxiliaries", 0x200},
  };
  uint32_t bits = 0;
  for (const auto& flag : flags) {
    for (const auto& [name, bit] : kBits) {
      if (flag == name) bits |= bit;
    }
  }
  return bits;
}

Advertisement to_advertisement(std::string_view path, const DeviceProps& device) {
  Advertisement adv;
  adv.address = device_address(path, device).value_or(0);
  // The daemon reports 0 when it has no reading; that is no reading here either.
  if (device.rssi && *device.rssi != 0) adv.rssi = device.rssi;
  if (device.name && !device.name->empty()) adv.local_name = device.name;
  for (const auto& text : device.uuids.value_or(std::vector<std::string>{})) {
    if (auto uuid = Uuid::parse(text)) adv.service_uuids.push_back(*uuid);
  }
  adv.company_ids = device.company_ids.value_or(std::vector<uint16_t>{});
  return adv;
}

std::optional<std::string> friendly_name(const DeviceProps& device) {
  if (device.alias && !device.alias->empty()) {
    // Without a name of its own the daemon sets Alias to the address with '-' separators.
    std::string stand_in = device.address.value_or("");
    std::replace(stand_in.begin(), stand_in.end(), ':', '-');
    if (to_upper_ascii(*device.alias) != to_upper_ascii(stand_in)) return device.alias;
  }
  if (device.name && !device.name->empty()) return device.name;
  return std::nullopt;
}

PairedNames paired_names(const ObjectSnapshot& snapshot) {
  PairedNames names;
  for (const auto& [path, device] : snapshot.devices) {
    if (!device.paired.value_or(false) && !device.bonded.value_or(false)) continue;
    if (!device.address) continue;
    auto name = friendly_name(device);
    if (!name) continue;
    auto trimmed = trim_unicode(*name);
    if (trimmed.empty()) continue;
    names[compact_address(*device.address)] = std::string(trimmed);
  }
  return names;
}

bool is_under(std::string_view path, std::string_view parent) {
  if (path.size() < parent.size() || path.substr(0, parent.size()) != parent) return false;
  return path.size() == parent.size() || path[parent.size()] == '/';
}

}  // namespace chair::ble::bluez
