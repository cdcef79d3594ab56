#include "tools/chair-model/chair_model.h"

#include <gtest/gtest.h>

#include "ble/protocol/commands.h"
#include "ble/protocol/status.h"

namespace chair::sim {
namespace {

using ble::Bytes;
using ble::hex_dump;

Bytes joined(const std::vector<Bytes>& parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::string answer_hex(ChairModel& chair, const Bytes& written) { return hex_dump(joined(chair.on_write(written))); }

TEST(ChairModel, AnswersEachCommandWithTheExactReport) {
  struct Case {
    const char* what;
    Bytes frame;
    const char* answer;
  };
  // A fresh chair: all levels 0, temperature 0x1C, switch byte 0x08 (seated).
  const std::vector<Case> cases = {
      {"query", ble::query_frame(), "55 01 0B 08 00 00 00 00 00 1C 08 16 AA"},
      {"cooling 5", *ble::level_frame(ble::kCold, 5), "55 02 0B 02 05 0E AA"},
      {"water on (cooling, no heating bit)", ble::switch_frame(0x40), "55 07 0B 02 18 16 AA"},
      {"query after both", ble::query_frame(), "55 01 0B 08 05 00 00 00 00 1C 18 03 AA"},
      {"heating 3 clears cooling, sets heating bit", *ble::level_frame(ble::kHot, 3), "55 03 0B 02 03 09 AA"},
      {"lumbar above 10 counts as 10", ble::build_frame(ble::kLumbar, 0x30), "55 06 0B 02 0A 05 AA"},
      {"water off clears water and heating bits", ble::switch_frame(0x04), "55 07 0B 02 08 06 AA"},
      {"other switch byte is taken as is", ble::switch_frame(0x33), "55 07 0B 02 33 3D AA"},
      {"motion off", ble::switch_frame(0x02), "55 07 0B 02 31 3F AA"},
      {"audio off", ble::switch_frame(0x01), "55 07 0B 02 30 3E AA"},
      {"query at the end", ble::query_frame(), "55 01 0B 08 00 03 00 00 0A 1C 30 27 AA"},
  };
  ChairModel chair;
  for (const auto& c : cases) EXPECT_EQ(answer_hex(chair, c.frame), c.answer) << c.what;
  EXPECT_EQ(chair.state().hot, 3);
  EXPECT_EQ(chair.state().switchByte, 0x30);
}

TEST(ChairModel, ShortLengthFormCountsOnlyThePayload) {
  ChairModelOptions options;
  options.short_length = true;
  ChairModel chair(options);
  EXPECT_EQ(answer_hex(chair, *ble::level_frame(ble::kCold, 5)), "55 02 0B 01 05 0D AA");
  EXPECT_EQ(answer_hex(chair, ble::query_frame()), "55 01 0B 07 05 00 00 00 00 1C 08 1C AA");
}

TEST(ChairModel, ReportsDecodeToTheModelStateInBothLengthForms) {
  for (bool short_length : {false, true}) {
    ChairModelOptions options;
    options.short_length = short_length;
    options.initial = {.cold = 1, .hot = 0, .vibrate = 3, .volume = 4, .lumbar = 5, .temp = 0x1E, .switchByte = 0x94};
    ChairModel chair(options);
    ble::RxState rx;
    const auto result = ble::on_chair_bytes(rx, joined(chair.on_write(ble::query_frame())), 0);
    ASSERT_TRUE(result.update) << short_length;
    const auto& s = *result.update;
    const ChairState m = chair.state();
    EXPECT_EQ((ChairState{s.cold, s.hot, s.vibrate, s.volume, s.lumbar, s.temp, s.switchByte}), m) << short_length;
    EXPECT_EQ(s.raw, hex_dump(chair.full_report()));
  }
}

TEST(ChairModel, InputIsReassembledAndOnlyValidFramesToTheChairCount) {
  ChairModel chair;
  const Bytes query = ble::query_frame();
  const Bytes level = *ble::level_frame(ble::kVolume, 4);
  // Split over writes: nothing until the frame is whole.
  EXPECT_TRUE(chair.on_write(Bytes(query.begin(), query.begin() + 3)).empty());
  EXPECT_EQ(answer_hex(chair, Bytes(query.begin() + 3, query.end())), hex_dump(chair.full_report()));

  struct Case {
    const char* what;
    Bytes written;
  };
  Bytes bad_checksum = level;
  bad_checksum[5] ^= 0xFF;
  Bytes from_chair = level;
  from_chair[2] = ble::kFromChair;
  from_chair[5] ^= ble::kToChair ^ ble::kFromChair;  // valid checksum, wrong direction
  const std::vector<Case> ignored = {
      {"noise without a header", {0x01, 0x02, 0xAA, 0x00}},
      {"bad checksum", bad_checksum},
      {"wrong direction", from_chair},
      {"unknown command", ble::build_frame(0x09, 0x01)},
  };
  for (const auto& c : ignored) {
    EXPECT_TRUE(chair.on_write(c.written).empty()) << c.what;
    EXPECT_EQ(chair.state().volume, 0) << c.what;
  }

  // Noise before a frame is skipped, and two frames in one write get two answers in one notification.
  Bytes two{0x00, 0x13};
  two.insert(two.end(), level.begin(), level.end());
  two.insert(two.end(), query.begin(), query.end());
  const auto answers = chair.on_write(two);
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(hex_dump(answers[0]), "55 05 0B 02 04 08 AA " + hex_dump(chair.full_report()));
}

TEST(ChairModel, SilentChairAppliesButNeverAnswers) {
  ChairModel chair;
  chair.set_silent(true);
  EXPECT_TRUE(chair.on_write(*ble::level_frame(ble::kVibrate, 7)).empty());
  EXPECT_TRUE(chair.on_write(ble::query_frame()).empty());
  EXPECT_EQ(chair.state().vibrate, 7);
  chair.set_silent(false);
  EXPECT_EQ(chair.on_write(ble::query_frame()).size(), 1u);
}

TEST(ChairModel, TemperatureDriftsTowardsTheThermalTargetAndBack) {
  ChairModel chair;
  (void)chair.on_write(*ble::level_frame(ble::kCold, 2));
  for (int i = 0; i < 3; ++i) chair.tick();
  EXPECT_EQ(chair.state().temp, 28) << "water off: no cooling yet";
  (void)chair.on_write(ble::switch_frame(0x40));
  for (int i = 0; i < 10; ++i) chair.tick();
  EXPECT_EQ(chair.state().temp, 24) << "cooling 2 settles 4 below ambient";
  (void)chair.on_write(*ble::level_frame(ble::kHot, 1));
  for (int i = 0; i < 3; ++i) chair.tick();
  EXPECT_EQ(chair.state().temp, 27);
  (void)chair.on_write(ble::switch_frame(0x04));
  for (int i = 0; i < 10; ++i) chair.tick();
  EXPECT_EQ(chair.state().temp, 28);
}

// Chunking must only change where notifications are cut, never the bytes, and the service's
// reassembly must decode the same reports from it.
TEST(ChairModel, ChunkingKeepsTheByteStreamAndIsDeterministic) {
  std::vector<Bytes> writes;
  for (int i = 0; i < 60; ++i) {
    writes.push_back(i % 3 == 0 ? ble::query_frame() : *ble::level_frame(static_cast<uint8_t>(2 + i % 5), 1 + i % 10));
  }
  auto run = [&](bool chunking, uint32_t seed, size_t* notifications, size_t* merged) {
    ChairModelOptions options;
    options.chunking = chunking;
    options.seed = seed;
    options.max_piece = 9;
    ChairModel chair(options);
    Bytes stream;
    ble::RxState rx;
    for (size_t i = 0; i <= writes.size(); ++i) {
      std::vector<Bytes> out;
      if (i < writes.size()) {
        out = chair.on_write(writes[i]);
        if (chunking && out.empty()) ++*merged;
        for (const auto& n : out) EXPECT_TRUE(!chunking || n.size() <= 9u);
      }
      // A held answer goes out with the next write's answers, or on a flush (every fourth
      // write here, and at the end) so both paths run.
      if (i % 4 == 3 || i == writes.size()) {
        auto flushed = chair.flush();
        out.insert(out.end(), flushed.begin(), flushed.end());
      }
      for (const auto& n : out) {
        EXPECT_FALSE(n.empty());
        ++*notifications;
        stream.insert(stream.end(), n.begin(), n.end());
        (void)ble::on_chair_bytes(rx, n, 0);
      }
    }
    return std::make_pair(stream, rx.lastStatus);
  };
  size_t plain_count = 0, chunk_count = 0, again_count = 0, merged = 0, unused = 0;
  const auto plain = run(false, 1, &plain_count, &unused);
  const auto chunked = run(true, 7, &chunk_count, &merged);
  const auto again = run(true, 7, &again_count, &unused);
  EXPECT_EQ(chunked.first, plain.first);
  EXPECT_EQ(chunked.second, plain.second);
  EXPECT_EQ(plain_count, writes.size());
  EXPECT_GT(chunk_count, writes.size() + writes.size() / 2) << "answers are cut into pieces";
  EXPECT_GT(merged, 0u) << "some answers are held back to travel with the next";
  EXPECT_EQ(again.first, chunked.first);
  EXPECT_EQ(again_count, chunk_count);
}

}  // namespace
}  // namespace chair::sim
