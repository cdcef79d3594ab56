// The one link record: whether a chair is connected and the platform handles of that link.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

#include "ble/platform/platform.h"

namespace chair::ble {

struct ChairLink {
  std::mutex mutex;  // guards every field below; held for field reads and writes only

  std::string address;
  std::chrono::steady_clock::time_point openedAt;
  DevicePtr device;
  SessionPtr gattSession;
  CharacteristicPtr notifyChar;
  CharacteristicPtr writeChar;
  int64_t notifyToken = 0;
  uint64_t generation = 0;  // 0 never names a link
  bool preferWithoutResponse = false;
  bool open = false;
  bool connected = false;
  bool ready = false;
  uint8_t lastSwitch = 0;
};

}  // namespace chair::ble
