#include "common/address.h"

#include "common/hex.h"
#include "common/text.h"

namespace chair {

std::string format_address(uint64_t address) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(17);
  for (int shift = 40; shift >= 0; shift -= 8) {
    const auto byte = static_cast<unsigned>(address >> shift & 0xFF);
    if (!out.empty()) out += ':';
    out += kDigits[byte >> 4];
    out += kDigits[byte & 0xF];
  }
  return out;
}

std::optional<uint64_t> parse_address(std::string_view text) {
  if (text.size() != 17) return std::nullopt;
  uint64_t value = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (i % 3 == 2) {
      if (text[i] != ':') return std::nullopt;
      continue;
    }
    const int d = hex_digit_value(text[i]);
    if (d < 0) return std::nullopt;
    value = value << 4 | static_cast<uint64_t>(d);
  }
  return value;
}

std::optional<uint64_t> address_from_hex_digits(std::string_view text) {
  uint64_t value = 0;
  int digits = 0;
  for (char c : text) {
    const int d = hex_digit_value(c);
    if (d < 0) continue;
    if (++digits > 12) return std::nullopt;
    value = value << 4 | static_cast<uint64_t>(d);
  }
  if (digits != 12) return std::nullopt;
  return value;
}

std::string compact_address(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text)
    if (c != ':') out.push_back(c);
  return to_upper_ascii(out);
}

}  // namespace chair
