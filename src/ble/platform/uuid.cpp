#include <cstdio>

#include "ble/platform/platform.h"
#include "common/hex.h"

namespace chair::ble {

std::optional<Uuid> Uuid::parse(std::string_view text) {
  if (text.size() == 38 && text.front() == '{' && text.back() == '}') text = text.substr(1, 36);
  if (text.size() != 36) return std::nullopt;
  Uuid u;
  size_t k = 0;
  for (size_t i = 0; i < 36;) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return std::nullopt;
      ++i;
      continue;
    }
    int hi = hex_digit_value(text[i]), lo = hex_digit_value(text[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    u.bytes[k++] = static_cast<uint8_t>(hi << 4 | lo);
    i += 2;
  }
  return u;
}

std::string Uuid::to_string() const {
  char buf[37];
  const auto& b = bytes;
  std::snprintf(buf, sizeof buf, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1],
                b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
  return buf;
}

}  // namespace chair::ble
