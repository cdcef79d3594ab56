#include "ble/protocol/frame.h"

#include <gtest/gtest.h>

#include "frames.h"

namespace chair::ble {
namespace {

using chair::test::hex;

TEST(Frame, BuildsTheExactBytesOfSentFrames) {
  struct Case {
    uint8_t command, payload;
    const char* expected;
  };
  const Case cases[] = {
      {1, 0x00, "55 01 0A 02 00 09 AA"},  // query
      {7, 0x40, "55 07 0A 02 40 4F AA"},  // thermal on
      {2, 0x05, "55 02 0A 02 05 0F AA"},
      {7, 0xFF, "55 07 0A 02 FF F0 AA"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(hex_dump(build_frame(c.command, c.payload)), c.expected) << int(c.command);
  }
}

TEST(Frame, HexDumpFormatsUpperCaseWithSingleSpaces) {
  EXPECT_EQ(hex_dump(Bytes{}), "");
  EXPECT_EQ(hex_dump(Bytes{0x0F}), "0F");
  EXPECT_EQ(hex_dump(Bytes{0x55, 0x01, 0x0A}), "55 01 0A");
  EXPECT_EQ(hex_dump(Bytes{0x00, 0xab, 0xFF}), "00 AB FF");
}

TEST(Frame, ParseValidatesAndChoosesThePayloadLength) {
  struct Case {
    const char* name;
    const char* bytes;
    const char* error;  // nullptr when valid
    uint8_t command = 0, direction = 0;
    size_t n = 0;
  };
  const Case cases[] = {
      {"five bytes are too short", "55 01 0B 00 0A", "帧太短"},
      {"empty", "", "帧太短"},
      {"bad header wins over bad checksum", "54 01 0B 02 00 00 AA", "帧头错误"},
      {"bad checksum", "55 01 0B 02 00 00 AA", "校验失败"},
      {"six-byte frame without payload", "55 03 0B 00 08 AA", nullptr, 3, 0x0B, 0},
      {"length counts the checksum", "55 05 0B 02 03 0F AA", nullptr, 5, 0x0B, 1},
      {"length is the payload", "55 05 0B 01 03 0C AA", nullptr, 5, 0x0B, 1},
      {"both readings hold: n = L wins", "55 01 0B 02 00 08 00 AA", nullptr, 1, 0x0B, 2},
      {"length far beyond the frame", "55 01 0B FF 00 F5 AA", "校验失败"},
      {"trailer is not checked", "55 03 0B 00 08 00", nullptr, 3, 0x0B, 0},
      {"direction is not checked", "55 09 77 00 7E AA", nullptr, 9, 0x77, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes frame = hex(c.bytes);
    const auto r = parse_frame(frame);
    if (c.error) {
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error(), c.error);
    } else {
      ASSERT_TRUE(r.ok()) << r.error();
      EXPECT_EQ(r->command, c.command);
      EXPECT_EQ(r->direction, c.direction);
      EXPECT_EQ(r->payload_length, c.n);
    }
  }
}

TEST(Frame, EveryBuiltFrameParsesBackWithOnePayloadByte) {
  for (int command = 0; command < 256; ++command) {
    for (int payload = 0; payload < 256; ++payload) {
      const Bytes f = build_frame(uint8_t(command), uint8_t(payload));
      const auto r = parse_frame(f);
      ASSERT_TRUE(r.ok()) << command << " " << payload;
      ASSERT_EQ(r->payload_length, 1u) << command << " " << payload;
      ASSERT_EQ(r->command, command);
      ASSERT_EQ(r->direction, kToChair);
    }
  }
}

}  // namespace
}  // namespace chair::ble
