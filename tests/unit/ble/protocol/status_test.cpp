#include "ble/protocol/status.h"

#include <gtest/gtest.h>

#include <random>

#include "frames.h"

namespace chair::ble {
namespace {

using chair::test::chair_frame;
using chair::test::concat;
using chair::test::hex;

// cold 1, hot 2, vibrate 3, volume 4, lumbar 5, temp 0x1E, switch 0x94
const Bytes kReport{1, 2, 3, 4, 5, 0x1E, 0x94};

RxResult feed(RxState& rx, const Bytes& bytes, uint8_t carried = 0) { return on_chair_bytes(rx, bytes, carried); }

void expect_flags_match(const ChairStatus& s) {
  ChairStatus flags_from_byte = s;
  set_switch(flags_from_byte, s.switchByte);
  EXPECT_EQ(s, flags_from_byte);
}

TEST(Status, SwitchByteBitsBecomeTheSixFlags) {
  ChairStatus s;
  set_switch(s, 0x31);
  EXPECT_EQ(s.switchByte, 0x31);
  EXPECT_TRUE(s.btAudio && s.waterOn && s.heating);
  EXPECT_FALSE(s.motion || s.headphone || s.seated);
  set_switch(s, 0xCE);  // bits 6 and 7 stay in the byte only
  EXPECT_EQ(s.switchByte, 0xCE);
  EXPECT_TRUE(s.motion && s.headphone && s.seated);
  EXPECT_FALSE(s.btAudio || s.waterOn || s.heating);
}

TEST(Status, FullReportDecodesWithEitherLengthReading) {
  for (bool counts_checksum : {true, false}) {
    RxState rx;
    const Bytes frame = chair_frame(1, kReport, counts_checksum);
    const auto r = feed(rx, frame);
    ASSERT_TRUE(r.update) << counts_checksum;
    const ChairStatus& s = *r.update;
    EXPECT_EQ((std::vector<int>{s.cold, s.hot, s.vibrate, s.volume, s.lumbar, s.temp, s.switchByte}),
              (std::vector<int>{1, 2, 3, 4, 5, 0x1E, 0x94}));
    EXPECT_TRUE(s.headphone && s.waterOn && !s.motion && !s.heating);
    expect_flags_match(s);
    EXPECT_EQ(s.raw, hex_dump(frame));
    EXPECT_EQ(r.logs, std::vector<std::string>{"RX: " + hex_dump(frame)});
    EXPECT_EQ(rx.lastStatus, s);
    EXPECT_TRUE(rx.rxBuffer.empty());
  }
}

TEST(Status, ExtraPayloadAfterTheSeventhByteIsIgnored) {
  RxState rx;
  Bytes payload = kReport;
  payload.push_back(0x77);
  const auto r = feed(rx, chair_frame(1, payload));
  ASSERT_TRUE(r.update);
  EXPECT_EQ(r.update->switchByte, 0x94);
}

TEST(Status, TwoReportsInOneNotificationReturnTheSecond) {
  RxState rx;
  Bytes second = kReport;
  second[0] = 9;
  const Bytes a = chair_frame(1, kReport), b = chair_frame(1, second, false);
  const auto r = feed(rx, concat({a, b}));
  EXPECT_EQ(r.logs, (std::vector<std::string>{"RX: " + hex_dump(a), "RX: " + hex_dump(b)}));
  ASSERT_TRUE(r.update);
  EXPECT_EQ(r.update->cold, 9);
  EXPECT_EQ(rx.lastStatus, r.update);
}

TEST(Status, ReassemblesSplitFramesAndDiscardsNoise) {
  const Bytes frame = chair_frame(1, kReport);
  struct Case {
    const char* name;
    std::vector<Bytes> notifications;
    bool decoded_by_last;
  };
  const Case cases[] = {
      {"first three bytes then the rest",
       {Bytes(frame.begin(), frame.begin() + 3), Bytes(frame.begin() + 3, frame.end())},
       true},
      {"leading garbage", {concat({hex("00 AA 13"), frame})}, true},
      {"noise on an empty buffer, then a frame", {hex("01 02 03 AA"), frame}, true},
      // A piece without 0x55 while a frame is pending is its continuation, not noise.
      {"continuation without a header",
       {Bytes(frame.begin(), frame.begin() + 5), Bytes(frame.begin() + 5, frame.end())},
       true},
      {"one byte at a time", {}, true},
      {"only the start", {Bytes(frame.begin(), frame.begin() + 12)}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RxState rx;
    auto pieces = c.notifications;
    if (pieces.empty())
      for (uint8_t b : frame) pieces.push_back({b});
    RxResult last;
    for (size_t i = 0; i < pieces.size(); ++i) {
      last = feed(rx, pieces[i]);
      if (i + 1 < pieces.size()) {
        EXPECT_FALSE(last.update) << "piece " << i;
      }
    }
    EXPECT_EQ(last.update.has_value(), c.decoded_by_last);
    if (c.decoded_by_last) {
      EXPECT_EQ(last.update->raw, hex_dump(frame));
      EXPECT_TRUE(rx.rxBuffer.empty());
    }
  }
}

TEST(Status, BadAndForeignFramesAreLoggedButNotDecoded) {
  const std::pair<const char*, Bytes> cases[] = {
      {"checksum", hex("55 01 0B 08 01 02 03 04 05 06 07 00 AA")},
      {"sent by the service", chair_frame(1, kReport, true, kToChair)},
      {"command 0", chair_frame(0, {3})},
      {"command 8", chair_frame(8, {3})},
      {"short full report", chair_frame(1, {1, 2, 3, 4, 5, 6})},
      {"single value without payload", chair_frame(5, {}, false)},
      {"too short", hex("55 05 0B 00 0E")},
  };
  for (const auto& [name, frame] : cases) {
    SCOPED_TRACE(name);
    RxState rx;
    const auto r = feed(rx, concat({frame, hex("00")}));  // trailing noise completes the cut
    EXPECT_FALSE(r.update);
    EXPECT_FALSE(rx.lastStatus);
    EXPECT_EQ(r.logs.size(), 1u);
    EXPECT_TRUE(rx.rxBuffer.empty());
  }
}

TEST(Status, SingleValueReportsBuildOnTheLastStatus) {
  RxState rx;
  // Before any full report the carried-over switch byte seeds a fresh record.
  auto r = feed(rx, chair_frame(5, {3}), 0x12);
  ASSERT_TRUE(r.update);
  ChairStatus expected;
  set_switch(expected, 0x12);
  expected.volume = 3;
  expected.raw = hex_dump(chair_frame(5, {3}));
  EXPECT_EQ(*r.update, expected);

  feed(rx, chair_frame(1, kReport));
  struct Step {
    uint8_t command, value;
    uint8_t ChairStatus::*field;  // none: the switch byte with its flags
  };
  ChairStatus s = *rx.lastStatus;
  for (const Step& step : {Step{2, 7, &ChairStatus::cold},
                           {3, 8, &ChairStatus::hot},
                           {4, 9, &ChairStatus::vibrate},
                           {5, 10, &ChairStatus::volume},
                           {6, 0, &ChairStatus::lumbar},
                           {7, 0x31, nullptr}}) {
    const Bytes frame = chair_frame(step.command, {step.value}, step.command % 2 == 0);
    r = feed(rx, frame, 0xFF);  // the carried byte only matters without a last status
    ASSERT_TRUE(r.update);
    step.field ? void(s.*step.field = step.value) : set_switch(s, step.value);
    s.raw = hex_dump(frame);
    EXPECT_EQ(*r.update, s) << int(step.command);
  }
  EXPECT_TRUE(s.btAudio && s.waterOn && s.heating && !s.motion && !s.headphone && !s.seated);
  EXPECT_EQ(s.temp, 0x1E);
}

TEST(Status, RepeatedReportIsLoggedOnceButReturnedEveryTime) {
  RxState rx;
  const Bytes frame = chair_frame(1, kReport);
  EXPECT_EQ(feed(rx, frame).logs.size(), 1u);
  for (int i = 0; i < 3; ++i) {
    const auto r = feed(rx, frame);
    EXPECT_TRUE(r.logs.empty());
    EXPECT_TRUE(r.update);
  }
}

TEST(Status, ResetDropsBufferAndStatusButRemembersTheLastLoggedFrame) {
  RxState rx;
  const Bytes frame = chair_frame(1, kReport);
  feed(rx, frame);
  feed(rx, Bytes(frame.begin(), frame.begin() + 4));
  rx.reset();
  EXPECT_TRUE(rx.rxBuffer.empty());
  EXPECT_FALSE(rx.lastStatus);
  EXPECT_TRUE(feed(rx, frame).logs.empty());
  // A single value after reset starts from the carried switch again, not the old report.
  const auto r = (rx.reset(), feed(rx, chair_frame(2, {4}), 0x01));
  ASSERT_TRUE(r.update);
  EXPECT_EQ(r.update->hot, 0);
  EXPECT_TRUE(r.update->btAudio);
}

TEST(Status, StrayHeaderWithLargeLengthHoldsAtMostItsSpan) {
  RxState rx;
  const Bytes real = chair_frame(1, kReport);
  // 55 01 0B FF: waits for 255 + 5 bytes, swallowing the real frames inside that span.
  auto r = feed(rx, concat({hex("55 01 0B FF"), real, real}));
  EXPECT_FALSE(r.update);
  size_t fed = 4 + 2 * real.size();
  while (fed + real.size() < 260) {
    r = feed(rx, real);
    fed += real.size();
    EXPECT_FALSE(r.update);
    EXPECT_LE(rx.rxBuffer.size(), kMaxPendingRx);
  }
  EXPECT_EQ(rx.rxBuffer.size(), fed);
  // The span ends inside this piece; after it the stream decodes again.
  Bytes rest(260 - fed, 0x00);
  r = feed(rx, concat({rest, real}));
  ASSERT_TRUE(r.update);
  EXPECT_EQ(r.update->raw, hex_dump(real));
  EXPECT_TRUE(rx.rxBuffer.empty());
}

TEST(Status, LongNoisyNotificationIsHandledInLinearTime) {
  // Two megabytes of 55 00 00 00 00: four hundred thousand short frames in one notification.
  // Shifting the buffer per cut frame would take minutes here.
  Bytes noise;
  for (int i = 0; i < 400000; ++i) noise.insert(noise.end(), {0x55, 0, 0, 0, 0});
  RxState rx;
  const auto r = feed(rx, concat({noise, chair_frame(1, kReport)}));
  EXPECT_EQ(r.logs.size(), 2u);
  EXPECT_TRUE(r.update);
  EXPECT_TRUE(rx.rxBuffer.empty());
  EXPECT_LE(rx.rxBuffer.capacity(), 4096u);
}

// Raw text of a frame whose trailer had not arrived yet when it was cut lacks " AA"; the reports
// are otherwise independent of where the platform splits the stream.
std::optional<ChairStatus> without_trailer(std::optional<ChairStatus> s) {
  if (s) {
    while (s->raw.size() >= 3 && s->raw.ends_with(" AA")) s->raw.resize(s->raw.size() - 3);
  }
  return s;
}

TEST(Status, ArbitrarySplitsDecodeTheSameReports) {
  std::mt19937 rng(20240611);
  auto byte = [&] { return static_cast<uint8_t>(rng()); };
  for (int round = 0; round < 200; ++round) {
    SCOPED_TRACE(round);
    Bytes stream;
    const int segments = 1 + rng() % 12;
    for (int i = 0; i < segments; ++i) {
      switch (rng() % 5) {
        case 0: {
          Bytes p(7 + rng() % 3);
          for (auto& b : p) b = byte();
          stream = concat({stream, chair_frame(1, p, rng() % 2)});
          break;
        }
        case 1: stream = concat({stream, chair_frame(2 + rng() % 6, {byte()}, rng() % 2)}); break;
        case 2: {  // noise, possibly with stray headers
          Bytes p(rng() % 8);
          for (auto& b : p) b = rng() % 4 == 0 ? 0x55 : byte();
          stream = concat({stream, p});
          break;
        }
        case 3: {  // a frame with a corrupted byte
          Bytes f = chair_frame(1 + rng() % 7, {byte(), byte()}, rng() % 2);
          f[1 + rng() % (f.size() - 1)] ^= 1 + rng() % 255;
          stream = concat({stream, f});
          break;
        }
        default: stream = concat({stream, chair_frame(1 + rng() % 7, {byte()}, rng() % 2, kToChair)});
      }
    }
    const uint8_t carried = byte();

    // Byte by byte every cut frame finishes in its own call, so every report is seen.
    RxState single;
    std::vector<std::optional<ChairStatus>> all;
    for (uint8_t b : stream) {
      if (auto r = on_chair_bytes(single, Bytes{b}, carried); r.update) all.push_back(without_trailer(r.update));
      ASSERT_LE(single.rxBuffer.size(), kMaxPendingRx);
    }

    RxState whole;
    const auto w = on_chair_bytes(whole, stream, carried);
    EXPECT_EQ(without_trailer(w.update), all.empty() ? std::nullopt : all.back());
    EXPECT_EQ(without_trailer(whole.lastStatus), without_trailer(single.lastStatus));

    // Random pieces return an ordered selection of the same reports, ending with the same one.
    RxState pieces;
    size_t next = 0;
    std::optional<ChairStatus> latest;
    for (size_t at = 0; at < stream.size();) {
      const size_t len = std::min<size_t>(stream.size() - at, 1 + rng() % 20);
      const auto r = on_chair_bytes(pieces, std::span(stream).subspan(at, len), carried);
      at += len;
      ASSERT_LE(pieces.rxBuffer.size(), kMaxPendingRx);
      if (!r.update) continue;
      expect_flags_match(*r.update);
      latest = without_trailer(r.update);
      while (next < all.size() && all[next] != latest) ++next;
      ASSERT_LT(next, all.size()) << "a report the byte-by-byte decoding never produced";
      ++next;
    }
    EXPECT_EQ(latest, all.empty() ? std::nullopt : all.back());
  }
}

}  // namespace
}  // namespace chair::ble
