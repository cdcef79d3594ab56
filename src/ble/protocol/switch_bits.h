// The chair's switch byte: what the bits of a report mean, and the bytes that switch things.
#pragma once

#include <cstdint>

namespace chair::ble {

// Bits of the switch byte the chair reports.
enum SwitchBit : uint8_t {
  kBtAudio = 0x01,
  kMotion = 0x02,
  kHeadphone = 0x04,
  kSeated = 0x08,
  kWaterOn = 0x10,
  kHeating = 0x20,
};

// Bytes of the switch command (command 7).
inline constexpr uint8_t kSwitchAudioOff = 0x01;
inline constexpr uint8_t kSwitchMotionOff = 0x02;
inline constexpr uint8_t kSwitchWaterOff = 0x04;
inline constexpr uint8_t kSwitchWaterOn = 0x40;  // also switches cooling or heating back on

}  // namespace chair::ble
