// The chair's functions, one row each: the one place where a command code meets its route word,
// its name in log lines, the status field its reports land in, the setting it counts as, its
// levels and its part in switching the chair off. Whatever is keyed on a command code (the
// report decoder, the quiet sequence, the intensity route, the chair record, the virtual chair)
// reads it from here, so a row added here is decoded, routed and switched off with the rest, and
// a row missing one of its parts does not compile.
#pragma once

#include <array>
#include <cstdint>
#include <iterator>
#include <optional>
#include <span>
#include <string_view>

#include "ble/protocol/settings.h"
#include "ble/protocol/status.h"
#include "ble/protocol/switch_bits.h"

namespace chair::ble {

// The report request: the chair answers it with the full report. Not a function of its own.
inline constexpr uint8_t kQuery = 1;

// Modes of the thermal memory the status poll re-asserts.
inline constexpr uint8_t kModeCooling = 0;
inline constexpr uint8_t kModeHeating = 1;

struct LevelRange {
  int64_t min = 0;
  int64_t max = 0;  // 0: not a level function
  constexpr bool contains(int64_t level) const { return level >= min && level <= max; }
};

// What a user may set; 0 (off) is sent only by the quiet sequence.
inline constexpr LevelRange kLevelRange{1, 10};

// One frame of the quiet sequence: its payload, and what it switches off when that is not the
// function as a whole (the switch command turns off one thing per frame).
struct QuietFrame {
  uint8_t payload = 0;
  std::string_view what;
};

struct ChairFunction {
  std::string_view name;                   // `fn` word of the intensity route, member of the chair record
  std::string_view display;                // people's word for it, in log lines
  uint8_t code = 0;                        // command code
  uint8_t ChairStatus::*report = nullptr;  // the field a single-value report of it sets
  Setting setting = kSettingNone;          // what a user's change of it keeps initial settings from touching
  LevelRange levels;                       // empty for the switch byte
  std::optional<uint8_t> thermal;          // the thermal memory's mode it stands for
  uint8_t quiet_place = 0;                 // when the quiet sequence reaches it, from 1
  std::span<const QuietFrame> quiet;       // the frames that switch it off, in sending order

  constexpr bool has_levels() const { return levels.max > 0; }
};

inline constexpr QuietFrame kLevelOff[] = {{0x00, {}}};
inline constexpr QuietFrame kSwitchesOff[] = {
    {kSwitchWaterOff, "water"}, {kSwitchMotionOff, "motion"}, {kSwitchAudioOff, "Bluetooth audio"}};

// Rows in the order of the chair's full report, which the chair record keeps too. The quiet
// sequence goes by `quiet place`: cooling, heating, lumbar, vibration, volume, then the switches.
inline constexpr ChairFunction kChairFunctions[] = {
    // name, display, code, report, setting, levels, thermal, quiet place, quiet frames
    {"cold", "cooling", 2, &ChairStatus::cold, kSettingWater, kLevelRange, kModeCooling, 1, kLevelOff},
    {"hot", "heating", 3, &ChairStatus::hot, kSettingWater, kLevelRange, kModeHeating, 2, kLevelOff},
    {"vibrate", "vibration", 4, &ChairStatus::vibrate, kSettingVibrate, kLevelRange, {}, 4, kLevelOff},
    {"volume", "volume", 5, &ChairStatus::volume, kSettingVolume, kLevelRange, {}, 5, kLevelOff},
    {"lumbar", "lumbar", 6, &ChairStatus::lumbar, kSettingLumbar, kLevelRange, {}, 3, kLevelOff},
    {"switch", "switches", 7, &ChairStatus::switchByte, kSettingNone, {}, {}, 6, kSwitchesOff},
};

constexpr const ChairFunction* find_function(uint8_t code) {
  for (const auto& f : kChairFunctions)
    if (f.code == code) return &f;
  return nullptr;
}

// The level function the thermal memory's mode stands for (cooling or heating).
constexpr const ChairFunction* thermal_function(uint8_t mode) {
  for (const auto& f : kChairFunctions)
    if (f.thermal == mode) return &f;
  return nullptr;
}

// Rows of the table in the order the quiet sequence switches them off. Indexes rather than
// pointers: a sanitizer build cannot compare addresses with null at compile time.
inline constexpr auto kQuietOrder = [] {
  std::array<size_t, std::size(kChairFunctions)> order{};
  order.fill(std::size(kChairFunctions));
  for (size_t row = 0; row < std::size(kChairFunctions); ++row) order.at(kChairFunctions[row].quiet_place - 1) = row;
  return order;
}();

namespace detail {

consteval uint8_t code_named(std::string_view name) {
  for (const auto& f : kChairFunctions)
    if (f.name == name) return f.code;
  throw "no chair function of that name";  // a compile error: this runs only at compile time
}

// A row missing a part would leave a function undecoded, unnamed or running after a shutdown.
consteval bool every_row_whole() {
  for (const auto& f : kChairFunctions) {
    if (f.name.empty() || f.display.empty() || !f.report || f.quiet.empty()) return false;
    if (f.code == 0 || f.code == kQuery) return false;
    if (f.has_levels() && f.setting == kSettingNone) return false;
  }
  return true;
}

consteval bool codes_and_names_unique() {
  for (size_t i = 0; i < std::size(kChairFunctions); ++i)
    for (size_t j = 0; j < i; ++j)
      if (kChairFunctions[i].code == kChairFunctions[j].code || kChairFunctions[i].name == kChairFunctions[j].name)
        return false;
  return true;
}

consteval bool every_function_quieted() {
  for (size_t row : kQuietOrder)
    if (row >= std::size(kChairFunctions)) return false;
  return true;
}

consteval bool has_thermal_function(uint8_t mode) {
  for (const auto& f : kChairFunctions)
    if (f.thermal == mode) return true;
  return false;
}

}  // namespace detail

static_assert(detail::every_row_whole(), "a chair function needs names, a report field, a code and quiet frames");
static_assert(detail::codes_and_names_unique(), "two chair functions share a code or a name");
static_assert(detail::every_function_quieted(), "quiet places must number the functions 1, 2, 3, ... once each");
static_assert(detail::has_thermal_function(kModeCooling) && detail::has_thermal_function(kModeHeating),
              "both thermal modes need a function");

// Command codes by name, for callers that send one particular function.
inline constexpr uint8_t kCold = detail::code_named("cold");
inline constexpr uint8_t kHot = detail::code_named("hot");
inline constexpr uint8_t kVibrate = detail::code_named("vibrate");
inline constexpr uint8_t kVolume = detail::code_named("volume");
inline constexpr uint8_t kLumbar = detail::code_named("lumbar");
inline constexpr uint8_t kSwitch = detail::code_named("switch");

}  // namespace chair::ble
