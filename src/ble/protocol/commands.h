// Command encoders, the thermal-mode memory and the silent-shutdown sequence.
#pragma once

#include <cstdint>
#include <mutex>
#include <string_view>
#include <vector>

#include "ble/protocol/frame.h"

namespace chair::ble {

enum Command : uint8_t {
  kQuery = 1,
  kCold = 2,
  kHot = 3,
  kVibrate = 4,
  kVolume = 5,
  kLumbar = 6,
  kSwitch = 7,
};

Bytes query_frame();
Bytes switch_frame(uint8_t bits);
// Level 1..10 on the whole integer, else "强度必须 1-10，当前 {}".
Result<Bytes> level_frame(uint8_t command, int64_t level);
Bytes zero_frame(uint8_t command);
// Keeps only hex digits, pairs them; none or an odd count: "hex length must be even".
Result<Bytes> raw_bytes(std::string_view hex);
// Cooling, heating, lumbar, vibration, volume to 0, then switch 04, 02, 01.
std::vector<Bytes> silent_frames();

struct ThermalSnapshot {
  bool active = false;
  uint8_t mode = 0;  // 0 cooling (command 2), 1 heating (command 3)
  uint8_t level = 0;
};

// The cooling or heating setting the status poll re-asserts.
class ThermalMode {
 public:
  // Sets active; when active also sets mode, and level only when it is 1..10.
  void set_thermal(bool active, uint8_t mode, uint8_t level);
  ThermalSnapshot thermal_snapshot() const;

 private:
  mutable std::mutex mutex_;
  ThermalSnapshot value_;
};

// Frames the poll sends from a snapshot: switch 40 when active, then the level frame.
std::vector<Bytes> thermal_reassertion_frames(const ThermalSnapshot& t);

}  // namespace chair::ble

namespace chair::bind {
struct InitConfig;
}

namespace chair::ble {

// One frame of the initial settings, sent after a pause.
struct TimedFrame {
  unsigned pause_ms = 0;  // sleep before sending
  Bytes frame;
};

// The initial settings turned into frames, in sending order, with the pauses the
// handshake takes between them (150 ms before a thermal level and before each of
// lumbar, vibrate and volume). Updates the thermal-mode memory as a side effect,
// exactly once, before any frame is sent.
std::vector<TimedFrame> init_config_frames(const bind::InitConfig& init, ThermalMode& thermal);

}  // namespace chair::ble
