// Scan state: one record per advertising chair.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "ble/platform/platform.h"
#include "common/seeded_hash.h"

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

struct DeviceTable {
  std::mutex mutex;
  bool scanning = false;
  std::shared_ptr<Watcher> watcher;
  std::unordered_map<std::string, DeviceRecord, SeededHash> entries;
};

}  // namespace chair::ble
