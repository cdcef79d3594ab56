// One advertising chair as the scan recorded it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace chair::ble {

struct DeviceRecord {
  std::string address;  // C0:FF:EE:01:02:0A
  std::string name;
  int16_t rssi = 0;
  uint64_t hits = 0;
  std::string lastSeen;  // nothing fills it; always sent empty
  std::vector<std::string> services;
  std::vector<uint16_t> vendors;

  bool operator==(const DeviceRecord&) const = default;
};

}  // namespace chair::ble
