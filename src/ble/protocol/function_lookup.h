// Questions the link and the service ask of the chair's functions: which function a route word
// names, which setting a user's command changes, what a frame switches in people's words.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "ble/protocol/functions.h"

namespace chair::ble {

// A level function by its `fn` word; the switch byte has a route of its own.
constexpr const ChairFunction* find_level_function(std::string_view name) {
  for (const auto& f : kChairFunctions)
    if (f.name == name && f.has_levels()) return &f;
  return nullptr;
}

// The setting a user's command with this code changes; kSettingNone for the query, the switch
// byte (only some switch bytes touch a setting) and unknown codes.
constexpr Setting setting_of(uint8_t command) {
  const ChairFunction* f = find_function(command);
  return f ? f->setting : kSettingNone;
}

// What a frame to the chair sets, in the words of a log line ("cooling", "water"); empty for a
// frame of no function.
constexpr std::string_view function_name_of(std::span<const uint8_t> frame) {
  constexpr size_t kCommandAt = 1, kPayloadAt = 4;
  if (frame.size() <= kPayloadAt) return {};
  const ChairFunction* f = find_function(frame[kCommandAt]);
  if (!f) return {};
  for (const QuietFrame& q : f->quiet)
    if (q.payload == frame[kPayloadAt] && !q.what.empty()) return q.what;
  return f->display;
}

}  // namespace chair::ble
