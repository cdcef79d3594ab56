#include "tools/chairctl/arguments.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

#include "common/address.h"
#include "common/hex.h"
#include "common/text.h"

namespace chairctl {

namespace {

constexpr int kMinLevel = 1;
constexpr int kMaxLevel = 10;

Failure usage(std::string text) { return Failure{kExitUsage, std::move(text)}; }

std::string in_quotes(std::string_view text) { return "\"" + printable(text) + "\""; }

// The water words the service acts on; it reads every other one as "cool".
constexpr const char* kWaterWords[] = {"cool", "heat", "off"};
// The level members of the initial settings, in their order after the water word.
constexpr const char* kInitLevels[] = {"coolLevel", "heatLevel", "lumbar", "vibrate", "volume"};

bool is_separator(char c) { return c == ':' || c == '-' || chair::is_ascii_space(c); }

}  // namespace

Result<std::string, Failure> check_level(std::string_view text) {
  int32_t level = 0;
  if (text == kLevelOff || (chair::parse_i32(text, level) && level == 0)) return std::string(kLevelOff);
  if (!chair::parse_i32(text, level) || level < kMinLevel || level > kMaxLevel) {
    return usage("a level is a whole number from 1 to 10, or off, not " + in_quotes(text));
  }
  return std::string(text);
}

Result<void, Failure> check_init_settings(const nlohmann::json& settings) {
  const nlohmann::json* water = nullptr;
  if (settings.is_object() && settings.contains("water")) water = &settings.at("water");
  if (settings.is_array() && !settings.empty()) water = &settings.at(0);
  if (water == nullptr || !water->is_string()) return {};
  const std::string word = water->get<std::string>();
  for (const char* known : kWaterWords) {
    if (word == known) return {};
  }
  return usage("the water mode " + in_quotes(word) +
               " is not one of the initial settings' own: \"cool\", \"heat\" or "
               "\"off\" (any other word would mean cooling)");
}

std::vector<std::string> missing_init_levels(const nlohmann::json& settings) {
  std::vector<std::string> missing;
  for (size_t i = 0; i < std::size(kInitLevels); ++i) {
    const bool present =
        settings.is_object() ? settings.contains(kInitLevels[i]) : settings.is_array() && settings.size() > i + 1;
    if (!present) missing.emplace_back(kInitLevels[i]);
  }
  return missing;
}

Result<std::string, Failure> check_switch_bits(std::string_view text) {
  const std::string_view bits = chair::trim_ascii(text);
  const bool hex = bits.size() > 2 && bits[0] == '0' && (bits[1] == 'x' || bits[1] == 'X');
  if (!chair::parse_byte(hex ? bits.substr(2) : bits, hex ? 16 : 10)) {
    return usage("a switch byte is 0 to 255 or 0x00 to 0xFF, not " + in_quotes(text));
  }
  return std::string(bits);
}

Result<std::string, Failure> check_address(std::string_view text) {
  const std::string_view trimmed = chair::trim_ascii(text);
  const bool only_address_characters = std::all_of(
      trimmed.begin(), trimmed.end(), [](char c) { return chair::is_hex_digit(c) || c == ':' || c == '-'; });
  const auto address = only_address_characters ? chair::address_from_hex_digits(trimmed) : std::nullopt;
  if (!address) {
    return usage("a chair's address looks like C0:FF:EE:01:02:0A, not " + in_quotes(text));
  }
  return chair::format_address(*address);
}

Result<std::string, Failure> check_raw_hex(const std::vector<std::string>& words) {
  std::string out;
  for (const std::string& word : words) {
    for (size_t i = 0; i < word.size();) {
      if (is_separator(word[i])) {
        ++i;
        continue;
      }
      size_t end = i;
      while (end < word.size() && !is_separator(word[end])) ++end;
      const std::string_view group(word.data() + i, end - i);
      // The service drops whatever is not a digit and pairs the rest, so "0x55" or "5 501"
      // would reach the chair as other bytes than the ones meant.
      if (!std::all_of(group.begin(), group.end(), chair::is_hex_digit)) {
        return usage(in_quotes(group) + " is not hexadecimal; bytes look like \"55 01 0A\"");
      }
      if (group.size() % 2 != 0) {
        return usage(in_quotes(group) + " is not whole bytes: every byte has two digits, as in \"55 01 0A\"");
      }
      for (size_t b = 0; b < group.size(); b += 2) {
        if (!out.empty()) out += ' ';
        out += chair::to_upper_ascii(group.substr(b, 2));
      }
      i = end;
    }
  }
  if (out.empty()) return usage("no bytes given; they look like \"55 01 0A\"");
  return out;
}

std::vector<DeviceRow> chairs_named(const std::vector<DeviceRow>& chairs, std::string_view name) {
  const std::string wanted = chair::to_lower_ascii(chair::trim_ascii(name));
  std::vector<DeviceRow> exact, starting;
  if (wanted.empty()) return exact;
  for (const DeviceRow& row : chairs) {
    const std::string have = chair::to_lower_ascii(row.name);
    if (have == wanted) exact.push_back(row);
    if (have.rfind(wanted, 0) == 0) starting.push_back(row);
  }
  return exact.empty() ? starting : exact;
}

Result<DeviceRow, Failure> choose_by_name(const std::vector<DeviceRow>& chairs, std::string_view name) {
  if (chair::trim_ascii(name).empty()) return usage("--name needs a chair's name or the beginning of one");
  const std::vector<DeviceRow> fits = chairs_named(chairs, name);
  if (fits.size() == 1) return fits.front();

  auto listing = [](const std::vector<DeviceRow>& rows) {
    std::string text;
    for (const DeviceRow& row : rows) text += "\n  " + printable(row.address) + "  " + printable(row.name);
    return text;
  };
  if (fits.empty()) {
    if (chairs.empty()) return Failure{kExitService, "no chair named " + in_quotes(name) + " was found"};
    return Failure{kExitService, "no chair named " + in_quotes(name) + "; the chairs found are:" + listing(chairs)};
  }
  return Failure{kExitService,
                 in_quotes(name) + " fits more than one chair; give more of the name or the address:" + listing(fits)};
}

}  // namespace chairctl
