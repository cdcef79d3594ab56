#include "common/hex.h"

namespace chair {

std::optional<uint8_t> parse_byte(std::string_view text, int base) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  unsigned value = 0;
  for (char c : text) {
    const int d = hex_digit_value(c);
    if (d < 0 || d >= base) return std::nullopt;
    value = value * static_cast<unsigned>(base) + static_cast<unsigned>(d);
    if (value > 255) return std::nullopt;
  }
  return static_cast<uint8_t>(value);
}

}  // namespace chair
