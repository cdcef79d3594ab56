// Chair frames: 55 | command | direction | length | payload... | checksum | AA.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/result.h"

namespace chair::ble {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kFrameHeader = 0x55;
constexpr uint8_t kFrameTrailer = 0xAA;
constexpr uint8_t kToChair = 0x0A;
constexpr uint8_t kFromChair = 0x0B;

struct FrameInfo {
  uint8_t command = 0;
  uint8_t direction = 0;
  size_t payload_length = 0;  // the payload is bytes 4 .. 3+n of the frame
};

// 55, command, 0A, 02, payload, checksum, AA.
Bytes build_frame(uint8_t command, uint8_t payload);

// Validates one frame already cut from the stream: "帧太短", "帧头错误" or "校验失败".
Result<FrameInfo> parse_frame(std::span<const uint8_t> frame);

// "55 01 0A": two upper-case digits per byte, single spaces.
std::string hex_dump(std::span<const uint8_t> bytes);

}  // namespace chair::ble
