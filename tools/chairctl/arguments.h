// Checks of what a person typed, made before any request: an argument the service can never
// accept is a usage error here, with a message that says what would be accepted.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tools/chairctl/client.h"
#include "tools/chairctl/render.h"

namespace chairctl {

// What check_level returns for "off" and for a level of 0.
inline constexpr std::string_view kLevelOff = "off";

// A level of cold, hot, vibrate, volume or lumbar: a whole number 1 to 10 with an optional
// "+", passed on as typed; or "off" (also written 0), returned as kLevelOff.
Result<std::string, Failure> check_level(std::string_view text);

// The settings document of bind init, when it can be read: its water word must be one the
// service knows, since any other one silently means cooling. A text that is not JSON, or has
// no water word, is left for the service to refuse with its own message.
Result<void, Failure> check_init_settings(const nlohmann::json& settings);

// The level members missing from a settings document (read as 0, and so not applied).
std::vector<std::string> missing_init_levels(const nlohmann::json& settings);

// A switch byte, 0 to 255 in decimal or with 0x: the text as the service will read it.
Result<std::string, Failure> check_switch_bits(std::string_view text);

// A chair's address in any form the service opens (C0:FF:EE:01:02:0A, c0ffee01020a,
// C0-FF-EE-01-02-0A); returned in the display form.
Result<std::string, Failure> check_address(std::string_view text);

// Bytes for raw: hexadecimal pairs, separated or not by spaces, ":" or "-". Returned as
// "55 01 0A", which the service decodes to the same bytes.
Result<std::string, Failure> check_raw_hex(const std::vector<std::string>& words);

// The chairs whose name is `name` (letter case ignored) or, when none is, those whose name
// begins with it.
std::vector<DeviceRow> chairs_named(const std::vector<DeviceRow>& chairs, std::string_view name);

// The one chair of chairs_named. Fails naming the candidates when several fit, or the chairs
// known when none does.
Result<DeviceRow, Failure> choose_by_name(const std::vector<DeviceRow>& chairs, std::string_view name);

}  // namespace chairctl
