// Frames for tests: hex literals and frames as the chair sends them, on the protocol's own
// constants.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string_view>

#include "ble/protocol/commands.h"
#include "ble/protocol/frame.h"
#include "common/hex.h"

namespace chair::test {

using ble::Bytes;

// "55 01 0A" -> bytes; spaces only, two digits per byte.
inline Bytes hex(std::string_view text) {
  Bytes out;
  for (size_t i = 0; i < text.size();) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    const int hi = hex_digit_value(text[i]);
    const int lo = i + 1 < text.size() ? hex_digit_value(text[i + 1]) : -1;
    if (hi < 0 || lo < 0) throw std::invalid_argument("bad hex literal");
    out.push_back(static_cast<uint8_t>(hi << 4 | lo));
    i += 2;
  }
  return out;
}

// "55 01 0A": the service's own hex text of bytes.
inline std::string hex(const Bytes& bytes) { return ble::hex_dump(bytes); }

// A frame as the chair may send it: the length byte is the payload length, or (counts_checksum)
// payload length plus one.
inline Bytes chair_frame(uint8_t command, const Bytes& payload, bool counts_checksum = true,
                         uint8_t direction = ble::kFromChair) {
  const auto length = static_cast<uint8_t>(payload.size() + (counts_checksum ? 1 : 0));
  Bytes f{ble::kFrameHeader, command, direction, length};
  uint8_t sum = command ^ direction ^ length;
  for (uint8_t b : payload) {
    f.push_back(b);
    sum ^= b;
  }
  f.push_back(sum);
  f.push_back(ble::kFrameTrailer);
  return f;
}

// A full status report: cold, hot, vibrate, volume, lumbar, temperature, switch byte.
inline Bytes full_report(std::array<uint8_t, 7> values) {
  return chair_frame(ble::kQuery, Bytes(values.begin(), values.end()));
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

}  // namespace chair::test
