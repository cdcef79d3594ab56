#include "ble/protocol/frame.h"

namespace chair::ble {

Bytes build_frame(uint8_t command, uint8_t payload) {
  constexpr uint8_t kSentLength = 2;  // one payload byte plus the checksum
  const uint8_t checksum = command ^ kToChair ^ kSentLength ^ payload;
  return Bytes{kFrameHeader, command, kToChair, kSentLength, payload, checksum, kFrameTrailer};
}

Result<FrameInfo> parse_frame(std::span<const uint8_t> frame) {
  if (frame.size() <= 5) return fail("帧太短");
  if (frame[0] != kFrameHeader) return fail("帧头错误");

  // The chair counts its length byte either as the payload alone or as payload plus checksum;
  // the checksum decides which, and the payload-only reading is tried first.
  const size_t length = frame[3];
  const uint8_t seed = frame[1] ^ frame[2] ^ frame[3];
  const size_t candidates[] = {length, length - 1};
  const size_t count = length == 0 ? 1 : 2;
  for (size_t c = 0; c < count; ++c) {
    const size_t n = candidates[c];
    if (4 + n >= frame.size()) continue;
    uint8_t sum = seed;
    for (size_t i = 4; i < 4 + n; ++i) sum ^= frame[i];
    if (sum == frame[4 + n]) return FrameInfo{frame[1], frame[2], n};
  }
  return fail("校验失败");
}

std::string hex_dump(std::span<const uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  if (bytes.empty()) return text;
  text.reserve(bytes.size() * 3 - 1);
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i != 0) text.push_back(' ');
    text.push_back(kDigits[bytes[i] >> 4]);
    text.push_back(kDigits[bytes[i] & 0x0F]);
  }
  return text;
}

}  // namespace chair::ble
