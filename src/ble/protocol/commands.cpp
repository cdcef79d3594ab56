#include "ble/protocol/commands.h"

#include <algorithm>
#include <string>
#include <tuple>

#include "ble/protocol/settings.h"
#include "ble/protocol/switch_bits.h"
#include "common/hex.h"

namespace chair::ble {

namespace {

constexpr int64_t kMinLevel = 1;
constexpr int64_t kMaxLevel = 10;

bool in_level_range(int64_t level) { return level >= kMinLevel && level <= kMaxLevel; }

// Initial settings count a negative value as 0 and cap at the chair's top level.
uint8_t limited(int32_t value) { return static_cast<uint8_t>(std::clamp<int32_t>(value, 0, kMaxLevel)); }

}  // namespace

Bytes query_frame() { return build_frame(kQuery, 0x00); }

Bytes switch_frame(uint8_t bits) { return build_frame(kSwitch, bits); }

Result<Bytes> level_frame(uint8_t command, int64_t level) {
  // Checked before narrowing so that 257 is refused instead of becoming level 1.
  if (!in_level_range(level)) return fail("强度必须 1-10，当前 " + std::to_string(level));
  return build_frame(command, static_cast<uint8_t>(level));
}

Bytes zero_frame(uint8_t command) { return build_frame(command, 0x00); }

Result<Bytes> raw_bytes(std::string_view hex) {
  std::string digits;
  digits.reserve(hex.size());
  for (char c : hex) {
    if (hex_digit_value(c) >= 0) digits.push_back(c);
  }
  if (digits.empty() || digits.size() % 2 != 0) return fail("hex length must be even");
  Bytes bytes;
  bytes.reserve(digits.size() / 2);
  for (size_t i = 0; i < digits.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(hex_digit_value(digits[i]) << 4 | hex_digit_value(digits[i + 1])));
  }
  return bytes;
}

std::vector<Bytes> silent_frames() {
  return {zero_frame(kCold),
          zero_frame(kHot),
          zero_frame(kLumbar),
          zero_frame(kVibrate),
          zero_frame(kVolume),
          switch_frame(kSwitchWaterOff),
          switch_frame(kSwitchMotionOff),
          switch_frame(kSwitchAudioOff)};
}

void ThermalMode::set_thermal(bool active, uint8_t mode, uint8_t level) {
  value_.active = active;
  if (!active) return;
  value_.mode = mode;
  // A level outside 1..10 (the 0 of "water on, no level") keeps the last real level.
  if (in_level_range(level)) value_.level = level;
}

std::vector<Bytes> thermal_reassertion_frames(const ThermalSnapshot& t) {
  std::vector<Bytes> frames;
  if (!t.active) return frames;
  frames.push_back(switch_frame(kSwitchWaterOn));
  if (auto level = level_frame(t.mode | 2, t.level)) frames.push_back(std::move(*level));
  return frames;
}

InitPlan init_settings_plan(const InitConfig& init) {
  InitPlan plan;
  // A pause the handshake takes even when no frame follows it right away is carried over to the
  // next frame, so the chair gets at least the same quiet time before it.
  unsigned pending_pause = 0;
  auto pause = [&] { pending_pause += kInitPauseMs; };
  auto send = [&](Result<Bytes> frame, Setting setting) {
    if (!frame) return;  // an encoder refusal is skipped, as every other frame error here
    plan.frames.push_back(TimedFrame{pending_pause, std::move(*frame), setting});
    pending_pause = 0;
  };

  if (init.water == "off") {
    send(switch_frame(kSwitchWaterOff), kSettingWater);
  } else {
    const bool heat = init.water == "heat";
    const int32_t wanted = heat ? init.heatLevel : init.coolLevel;
    const uint8_t level = limited(wanted);
    plan.thermal_active = true;
    plan.thermal_mode = heat ? kModeHeating : kModeCooling;
    plan.thermal_level = level;
    send(switch_frame(kSwitchWaterOn), kSettingWater);
    pause();
    if (wanted > 0) send(level_frame(heat ? kHot : kCold, level), kSettingWater);
  }

  const std::tuple<int32_t, uint8_t, Setting> levels[] = {{init.lumbar, kLumbar, kSettingLumbar},
                                                          {init.vibrate, kVibrate, kSettingVibrate},
                                                          {init.volume, kVolume, kSettingVolume}};
  for (const auto& [value, command, setting] : levels) {
    if (value <= 0) continue;
    pause();
    send(level_frame(command, limited(value)), setting);
  }
  return plan;
}

}  // namespace chair::ble
