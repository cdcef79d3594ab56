// The chair settings a binding keeps and applies after every connection, and the frames that
// apply them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ble/protocol/frame.h"

namespace chair::ble {

struct InitConfig {
  std::string water = "cool";  // "off", "heat", anything else cools
  int32_t coolLevel = 10;
  int32_t heatLevel = 6;
  int32_t lumbar = 3;
  int32_t vibrate = 0;
  int32_t volume = 0;

  bool operator==(const InitConfig&) const = default;
};

// What an initial-settings frame sets, so that a setting the user changed meanwhile can be
// left alone. Water covers the water switch, cooling and heating together.
enum Setting : uint8_t {
  kSettingNone = 0x00,
  kSettingWater = 0x01,
  kSettingLumbar = 0x02,
  kSettingVibrate = 0x04,
  kSettingVolume = 0x08,
};

// The pause the chair needs before a thermal level and before each further initial setting.
inline constexpr unsigned kInitPauseMs = 150;

// One frame of the initial settings, sent after a pause.
struct TimedFrame {
  unsigned pause_ms = 0;  // sleep before sending
  Bytes frame;
  Setting setting = kSettingWater;
};

// The initial settings as frames in sending order, with the pauses between them (kInitPauseMs
// before a thermal level and before each of lumbar, vibrate and volume), and the cooling or
// heating setting the status poll re-asserts from then on.
struct InitPlan {
  bool thermal_active = false;
  uint8_t thermal_mode = 0;   // 0 cooling, 1 heating
  uint8_t thermal_level = 0;  // 0..10
  std::vector<TimedFrame> frames;
};
InitPlan init_settings_plan(const InitConfig& init);

}  // namespace chair::ble
