#include "ble/protocol/commands.h"

#include <gtest/gtest.h>

#include <limits>

#include "ble/protocol/function_lookup.h"
#include "ble/protocol/settings.h"
#include "frames.h"

namespace chair::ble {
namespace {

using chair::test::hex;

std::vector<std::string> dumps(const std::vector<Bytes>& frames) {
  std::vector<std::string> out;
  for (const auto& f : frames) out.push_back(hex_dump(f));
  return out;
}

TEST(Commands, EncodersProduceTheExactFrames) {
  EXPECT_EQ(hex_dump(query_frame()), "55 01 0A 02 00 09 AA");
  EXPECT_EQ(hex_dump(zero_frame(4)), "55 04 0A 02 00 0C AA");
  EXPECT_EQ(hex_dump(switch_frame(0x04)), "55 07 0A 02 04 0B AA");
  EXPECT_EQ(hex_dump(switch_frame(0x01)), "55 07 0A 02 01 0E AA");
  auto level = level_frame(2, 5);
  ASSERT_TRUE(level.ok());
  EXPECT_EQ(hex_dump(*level), "55 02 0A 02 05 0F AA");
  EXPECT_TRUE(level_frame(6, 10).ok() && level_frame(3, 1).ok());
}

TEST(Commands, LevelOutsideOneToTenIsRefusedWithTheCallersValue) {
  const std::pair<int64_t, const char*> cases[] = {
      {0, "强度必须 1-10，当前 0"},
      {11, "强度必须 1-10，当前 11"},
      {-1, "强度必须 1-10，当前 -1"},
      {257, "强度必须 1-10，当前 257"},  // would be level 1 if narrowed first
      {std::numeric_limits<int64_t>::min(), "强度必须 1-10，当前 -9223372036854775808"},
  };
  for (const auto& [level, message] : cases) {
    const auto r = level_frame(2, level);
    ASSERT_FALSE(r.ok()) << level;
    EXPECT_EQ(r.error(), message);
  }
}

TEST(Commands, RawHexKeepsOnlyHexDigits) {
  struct Case {
    const char* text;
    const char* bytes;  // nullptr: refused
  };
  const Case cases[] = {
      {"55 01 0a 02 00 09 aa", "55 01 0A 02 00 09 AA"},
      {"0x5", "05"},
      {"de:AD-be_Ef", "DE AD BE EF"},
      {"abc", nullptr},
      {"", nullptr},
      {"xyz !", nullptr},
  };
  for (const auto& c : cases) {
    const auto r = raw_bytes(c.text);
    if (!c.bytes) {
      ASSERT_FALSE(r.ok()) << c.text;
      EXPECT_EQ(r.error(), "hex length must be even");
    } else {
      ASSERT_TRUE(r.ok()) << c.text;
      EXPECT_EQ(*r, hex(c.bytes));
    }
  }
}

TEST(Commands, SilentFramesInSendingOrder) {
  EXPECT_EQ(dumps(silent_frames()),
            (std::vector<std::string>{"55 02 0A 02 00 0A AA", "55 03 0A 02 00 0B AA", "55 06 0A 02 00 0E AA",
                                      "55 04 0A 02 00 0C AA", "55 05 0A 02 00 0D AA", "55 07 0A 02 04 0B AA",
                                      "55 07 0A 02 02 0D AA", "55 07 0A 02 01 0E AA"}));
}

TEST(Commands, FunctionsAreNamedByTheirFramesAndCountAsTheirSettings) {
  std::vector<std::string_view> names;
  for (const Bytes& frame : silent_frames()) names.push_back(function_name_of(frame));
  EXPECT_EQ(names, (std::vector<std::string_view>{"cooling", "heating", "lumbar", "vibration", "volume", "water",
                                                  "motion", "Bluetooth audio"}));
  EXPECT_EQ(function_name_of(switch_frame(0x40)), "switches");
  EXPECT_EQ(function_name_of(query_frame()), "");
  std::vector<int> settings;
  for (uint8_t code = 0; code <= 8; ++code) settings.push_back(setting_of(code));
  EXPECT_EQ(settings, (std::vector<int>{0, 0, kSettingWater, kSettingWater, kSettingVibrate, kSettingVolume,
                                        kSettingLumbar, 0, 0}));
}

TEST(Thermal, MemoryKeepsTheLastRealLevelAndModeAcrossOff) {
  ThermalMode t;
  auto is = [&](bool active, uint8_t mode, uint8_t level) {
    return t.thermal_snapshot() == ThermalSnapshot{active, mode, level};
  };
  EXPECT_TRUE(is(false, 0, 0));
  t.set_thermal(true, 0, 7);
  EXPECT_TRUE(is(true, 0, 7));
  t.set_thermal(true, 1, 0);  // heating with no level: level stays
  EXPECT_TRUE(is(true, 1, 7));
  t.set_thermal(true, 1, 11);
  EXPECT_TRUE(is(true, 1, 7));
  t.set_thermal(false, 0, 0);  // off keeps mode and level for the next 0x40
  EXPECT_TRUE(is(false, 1, 7));
  t.set_thermal(true, 1, 10);
  EXPECT_TRUE(is(true, 1, 10));
}

TEST(Thermal, ReassertionFollowsTheSnapshot) {
  EXPECT_TRUE(thermal_reassertion_frames({false, 1, 4}).empty());
  EXPECT_EQ(dumps(thermal_reassertion_frames({true, 1, 4})),
            (std::vector<std::string>{"55 07 0A 02 40 4F AA", "55 03 0A 02 04 0F AA"}));
  EXPECT_EQ(dumps(thermal_reassertion_frames({true, 0, 10})),
            (std::vector<std::string>{"55 07 0A 02 40 4F AA", "55 02 0A 02 0A 00 AA"}));
  EXPECT_EQ(dumps(thermal_reassertion_frames({true, 0, 0})), (std::vector<std::string>{"55 07 0A 02 40 4F AA"}));
}

TEST(InitSettings, TurnsSettingsIntoTimedFramesAndThermalMemory) {
  struct Case {
    const char* name;
    InitConfig init;
    ThermalSnapshot before;
    std::vector<std::pair<unsigned, std::string>> frames;
    ThermalSnapshot after;
  };
  const std::string on = "55 07 0A 02 40 4F AA";
  const Case cases[] = {
      {"defaults cool at 10 with lumbar 3",
       {},
       {},
       {{0, on}, {150, "55 02 0A 02 0A 00 AA"}, {150, "55 06 0A 02 03 0D AA"}},
       {true, 0, 10}},
      {"off clears active only", {"off", 5, 5, 0, 0, 0}, {true, 1, 4}, {{0, "55 07 0A 02 04 0B AA"}}, {false, 1, 4}},
      {"heat is limited to 10", {"heat", 0, 99, 0, 0, 0}, {}, {{0, on}, {150, "55 03 0A 02 0A 01 AA"}}, {true, 1, 10}},
      {"water is case-sensitive", {"Heat", 2, 9, 0, 0, 0}, {}, {{0, on}, {150, "55 02 0A 02 02 08 AA"}}, {true, 0, 2}},
      {"unknown water cools", {"", 1, 9, 0, 0, 0}, {}, {{0, on}, {150, "55 02 0A 02 01 0B AA"}}, {true, 0, 1}},
      // No level frame, so the 150 ms the handshake waits after 0x40 lands before lumbar.
      {"negative heat keeps the stored level",
       {"heat", 0, -3, 12, 0, 0},
       {true, 0, 7},
       {{0, on}, {300, "55 06 0A 02 0A 04 AA"}},
       {true, 1, 7}},
      {"vibrate and volume each after a pause",
       {"off", 0, 0, -1, 4, 20},
       {},
       {{0, "55 07 0A 02 04 0B AA"}, {150, "55 04 0A 02 04 08 AA"}, {150, "55 05 0A 02 0A 07 AA"}},
       {false, 0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ThermalMode thermal;
    if (c.before.active || c.before.level) thermal.set_thermal(true, c.before.mode, c.before.level);
    if (!c.before.active) thermal.set_thermal(false, 0, 0);
    // The link applies the plan's thermal setting as the frames' memory, once, before any frame.
    const InitPlan plan = init_settings_plan(c.init);
    thermal.set_thermal(plan.thermal_active, plan.thermal_mode, plan.thermal_level);
    std::vector<std::pair<unsigned, std::string>> got;
    for (const auto& f : plan.frames) got.emplace_back(f.pause_ms, hex_dump(f.frame));
    EXPECT_EQ(got, c.frames);
    EXPECT_EQ(thermal.thermal_snapshot(), c.after);
  }
}

}  // namespace
}  // namespace chair::ble
