// Byte helpers for the protocol tests: hex literals and frames as the chair sends them.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string_view>

#include "ble/protocol/frame.h"

namespace chair::ble::test {

// "55 01 0A" -> bytes; spaces only, two digits per byte.
inline Bytes hex(std::string_view text) {
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    throw std::invalid_argument("bad hex literal");
  };
  Bytes out;
  for (size_t i = 0; i < text.size();) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    out.push_back(static_cast<uint8_t>(nibble(text[i]) << 4 | nibble(text[i + 1])));
    i += 2;
  }
  return out;
}

// A frame as the chair may send it: the length byte is the payload length, or (counts_checksum)
// payload length plus one.
inline Bytes chair_frame(uint8_t command, const Bytes& payload, bool counts_checksum = true,
                         uint8_t direction = kFromChair) {
  const auto length = static_cast<uint8_t>(payload.size() + (counts_checksum ? 1 : 0));
  Bytes f{kFrameHeader, command, direction, length};
  uint8_t sum = command ^ direction ^ length;
  for (uint8_t b : payload) {
    f.push_back(b);
    sum ^= b;
  }
  f.push_back(sum);
  f.push_back(kFrameTrailer);
  return f;
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

}  // namespace chair::ble::test
