// Reassembly of notification bytes into frames and decoding of the chair's reports.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ble/protocol/frame.h"

namespace chair::ble {

struct SwitchFlags {
  bool btAudio = false;
  bool motion = false;
  bool headphone = false;
  bool seated = false;
  bool waterOn = false;
  bool heating = false;
};

struct ChairStatus {
  uint8_t cold = 0;
  uint8_t hot = 0;
  uint8_t vibrate = 0;
  uint8_t volume = 0;
  uint8_t lumbar = 0;
  uint8_t temp = 0;
  uint8_t switchByte = 0;
  bool btAudio = false;
  bool motion = false;
  bool headphone = false;
  bool seated = false;
  bool waterOn = false;
  bool heating = false;
  std::string raw;

  bool operator==(const ChairStatus&) const = default;
};

SwitchFlags switch_flags(uint8_t bits);
void set_switch(ChairStatus& status, uint8_t bits);

// Most bytes the receive buffer keeps between notifications: a 0x55 whose length byte is 0xFF
// waits for 255 + 5 bytes, so at most 255 + 4 can be pending.
constexpr size_t kMaxPendingRx = 255 + 4;

// Receive state of the notification path; the mutex guards all three fields.
struct RxState {
  std::mutex mutex;
  Bytes rxBuffer;
  std::string lastRxHex;
  std::optional<ChairStatus> lastStatus;

  // Link teardown: the buffer and the last status go, the last logged frame stays.
  // Takes the mutex itself.
  void reset();
};

struct RxResult {
  std::vector<std::string> logs;      // "RX: {}" lines, in cut order
  std::optional<ChairStatus> update;  // the latest status of this notification
};

// Takes the mutex itself for the whole frame loop.
RxResult on_chair_bytes(RxState& rx, std::span<const uint8_t> bytes, uint8_t carried_switch);

}  // namespace chair::ble
