// Hexadecimal digits and byte values, the one implementation every parser uses.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace chair {

// 0..15 for 0-9, a-f, A-F; -1 for anything else.
constexpr int hex_digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

constexpr bool is_hex_digit(char c) { return hex_digit_value(c) >= 0; }

// An unsigned byte in `base` (10 or 16): an optional "+", then digits of that base only,
// at most 255.
std::optional<uint8_t> parse_byte(std::string_view text, int base);

}  // namespace chair
