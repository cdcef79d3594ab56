// Command encoders, the thermal-mode memory and the silent-shutdown sequence.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "ble/protocol/frame.h"
#include "ble/protocol/functions.h"

namespace chair::ble {

Bytes query_frame();
Bytes switch_frame(uint8_t bits);
// Level within the function's range (1..10) on the whole integer, else "强度必须 1-10，当前 {}".
Result<Bytes> level_frame(uint8_t command, int64_t level);
Bytes zero_frame(uint8_t command);
// Keeps only hex digits, pairs them; none or an odd count: "hex length must be even".
Result<Bytes> raw_bytes(std::string_view hex);
// Every function's quiet frames in the functions' quiet order: cooling, heating, lumbar,
// vibration, volume to 0, then switch 04, 02, 01.
std::vector<Bytes> silent_frames();

struct ThermalSnapshot {
  bool active = false;
  uint8_t mode = 0;  // 0 cooling (command 2), 1 heating (command 3)
  uint8_t level = 0;
  bool operator==(const ThermalSnapshot&) const = default;
};

// The cooling or heating setting the status poll re-asserts. A plain value: its owner
// guards it.
class ThermalMode {
 public:
  // Sets active; when active also sets mode, and level only when it is 1..10.
  void set_thermal(bool active, uint8_t mode, uint8_t level);
  ThermalSnapshot thermal_snapshot() const { return value_; }

 private:
  ThermalSnapshot value_;
};

// Frames the poll sends from a snapshot: switch 40 when active, then the level frame of the
// mode's function.
std::vector<Bytes> thermal_reassertion_frames(const ThermalSnapshot& t);

}  // namespace chair::ble
