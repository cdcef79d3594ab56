#include "ble/protocol/commands.h"

#include <algorithm>
#include <string>
#include <utility>

#include "ble/protocol/function_lookup.h"
#include "ble/protocol/settings.h"
#include "ble/protocol/switch_bits.h"
#include "common/hex.h"

namespace chair::ble {

namespace {

// Initial settings count a negative value as 0 and cap at the chair's top level.
uint8_t limited(int32_t value) { return static_cast<uint8_t>(std::clamp<int64_t>(value, 0, kLevelRange.max)); }

}  // namespace

Bytes query_frame() { return build_frame(kQuery, 0x00); }

Bytes switch_frame(uint8_t bits) { return build_frame(kSwitch, bits); }

Result<Bytes> level_frame(uint8_t command, int64_t level) {
  const ChairFunction* function = find_function(command);
  const LevelRange range = function && function->has_levels() ? function->levels : kLevelRange;
  // Checked before narrowing so that 257 is refused instead of becoming level 1.
  if (!range.contains(level)) {
    return fail("强度必须 " + std::to_string(range.min) + "-" + std::to_string(range.max) + "，当前 " +
                std::to_string(level));
  }
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
  std::vector<Bytes> frames;
  for (size_t row : kQuietOrder) {
    const ChairFunction& function = kChairFunctions[row];
    for (const QuietFrame& quiet : function.quiet) frames.push_back(build_frame(function.code, quiet.payload));
  }
  return frames;
}

void ThermalMode::set_thermal(bool active, uint8_t mode, uint8_t level) {
  value_.active = active;
  if (!active) return;
  value_.mode = mode;
  // A level outside 1..10 (the 0 of "water on, no level") keeps the last real level.
  if (kLevelRange.contains(level)) value_.level = level;
}

std::vector<Bytes> thermal_reassertion_frames(const ThermalSnapshot& t) {
  std::vector<Bytes> frames;
  if (!t.active) return frames;
  frames.push_back(switch_frame(kSwitchWaterOn));
  const ChairFunction* function = thermal_function(t.mode);
  if (!function) return frames;
  if (auto level = level_frame(function->code, t.level)) frames.push_back(std::move(*level));
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

  const std::pair<int32_t, uint8_t> levels[] = {
      {init.lumbar, kLumbar}, {init.vibrate, kVibrate}, {init.volume, kVolume}};
  for (const auto& [value, command] : levels) {
    if (value <= 0) continue;
    pause();
    send(level_frame(command, limited(value)), setting_of(command));
  }
  return plan;
}

}  // namespace chair::ble
