#include "ble/bluez/props.h"

#include <algorithm>
#include <cstdio>
#include <tuple>

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
  auto data = read_as<std::map<uint16_t, sdbus::Variant>>(props, "ManufacturerData");
  if (!data) return std::nullopt;
  std::vector<uint16_t> ids;
  for (const auto& [id, value] : *data) ids.push_back(id);
  return ids;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
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
  if (auto v = read_as<std::string>(changed, "Address")) into.address = *v;
  if (auto v = read_as<std::string>(changed, "Name")) into.name = *v;
  if (auto v = read_as<std::string>(changed, "Alias")) into.alias = *v;
  if (auto v = read_path(changed, "Adapter")) into.adapter = *v;
  if (auto v = read_as<bool>(changed, "Paired")) into.paired = *v;
  if (auto v = read_as<bool>(changed, "Bonded")) into.bonded = *v;
  if (auto v = read_as<bool>(changed, "Connected")) into.connected = *v;
  if (auto v = read_as<bool>(changed, "ServicesResolved")) into.services_resolved = *v;
  if (auto v = read_as<int16_t>(changed, "RSSI")) into.rssi = *v;
  if (auto v = read_as<std::vector<std::string>>(changed, "UUIDs")) into.uuids = *v;
  if (auto v = read_company_ids(changed)) into.company_ids = *v;
}

void invalidate_device_props(DeviceProps& into, const std::vector<std::string>& keys) {
  for (const auto& key : keys) {
    if (key == "Address") into.address.reset();
    else if (key == "Name") into.name.reset();
    else if (key == "Alias") into.alias.reset();
    else if (key == "Adapter") into.adapter.reset();
    else if (key == "Paired") into.paired.reset();
    else if (key == "Bonded") into.bonded.reset();
    else if (key == "Connected") into.connected.reset();
    else if (key == "ServicesResolved") into.services_resolved.reset();
    else if (key == "RSSI") into.rssi.reset();
    else if (key == "UUIDs") into.uuids.reset();
    else if (key == "ManufacturerData") into.company_ids.reset();
  }
}

bool is_advertising_key(std::string_view key) {
  static constexpr std::string_view kKeys[] = {"RSSI",    "Name",          "UUIDs",
                                               "ManufacturerData", "ServiceData", "TxPower",
                                               "AdvertisingData",  "AdvertisingFlags"};
  return std::find(std::begin(kKeys), std::end(kKeys), key) != std::end(kKeys);
}

bool has_advertising_key(const Props& changed) {
  return std::any_of(changed.begin(), changed.end(),
                     [](const auto& kv) { return is_advertising_key(kv.first); });
}

ObjectSnapshot parse_managed_objects(const ManagedObjects& objects) {
  ObjectSnapshot snap;
  for (const auto& [path, interfaces] : objects) {
    for (const auto& [iface, props] : interfaces) {
      if (iface == kAdapterIface) {
        snap.adapters.push_back(path);
      } else if (iface == kDeviceIface) {
        merge_device_props(snap.devices[path], props);
      } else if (iface == kServiceIface) {
        snap.services.push_back({path, read_as<std::string>(props, "UUID").value_or(""),
                                 read_path(props, "Device").value_or("")});
      } else if (iface == kCharacteristicIface) {
        snap.characteristics.push_back(
            {path, read_as<std::string>(props, "UUID").value_or(""),
             read_path(props, "Service").value_or(""),
             read_as<std::vector<std::string>>(props, "Flags").value_or(std::vector<std::string>{})});
      }
    }
  }
  sort_by_handle(snap.services);
  sort_by_handle(snap.characteristics);
  return snap;
}

std::optional<uint64_t> parse_address(std::string_view text) {
  if (text.size() != 17) return std::nullopt;
  uint64_t value = 0;
  for (size_t i = 0; i < 17; ++i) {
    if (i % 3 == 2) {
      if (text[i] != ':') return std::nullopt;
      continue;
    }
    int d = hex_digit(text[i]);
    if (d < 0) return std::nullopt;
    value = value << 4 | static_cast<uint64_t>(d);
  }
  return value;
}

std::string address_text(uint64_t address) {
  char buf[18];
  std::snprintf(buf, sizeof buf, "%02X:%02X:%02X:%02X:%02X:%02X",
                static_cast<unsigned>(address >> 40 & 0xFF), static_cast<unsigned>(address >> 32 & 0xFF),
                static_cast<unsigned>(address >> 24 & 0xFF), static_cast<unsigned>(address >> 16 & 0xFF),
                static_cast<unsigned>(address >> 8 & 0xFF), static_cast<unsigned>(address & 0xFF));
  return buf;
}

std::optional<uint64_t> address_from_device_path(std::string_view path) {
  auto last = last_element(path);
  if (last.substr(0, 4) != "dev_") return std::nullopt;
  std::string text(last.substr(4));
  std::replace(text.begin(), text.end(), '_', ':');
  return parse_address(text);
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
    bool better = !best || (index && (!best_index || *index < *best_index)) ||
                  (!index && !best_index && path < *best);
    if (better) {
      best = path;
      best_index = index;
    }
  }
  return best;
}

std::optional<uint32_t> attribute_handle(std::string_view path) {
  auto last = last_element(path);
  if (last.size() < 4) return std::nullopt;
  auto digits = last.substr(last.size() - 4);
  uint32_t value = 0;
  for (char c : digits) {
    int d = hex_digit(c);
    if (d < 0) return std::nullopt;
    value = value << 4 | static_cast<uint32_t>(d);
  }
  return value;
}

uint32_t flags_to_properties(const std::vector<std::string>& flags) {
  static constexpr std::pair<std::string_view, uint32_t> kBits[] = {
      {"broadcast", 0x01},
      {"read", 0x02},
      {"write-without-response", 0x04},
      {"write", 0x08},
      {"notify", 0x10},
      {"indicate", 0x20},
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
    std::string key;
    for (char c : *device.address) {
      if (c != ':') key += c;
    }
    names[to_upper_ascii(key)] = std::string(trimmed);
  }
  return names;
}

bool is_under(std::string_view path, std::string_view parent) {
  if (path.size() < parent.size() || path.substr(0, parent.size()) != parent) return false;
  return path.size() == parent.size() || path[parent.size()] == '/';
}

}  // namespace chair::ble::bluez
