// What chairctl accepts before it asks the service anything: exactly what the service would
// accept, passed on in a form the service reads as the person meant it.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "tools/chairctl/arguments.h"

namespace chairctl {
namespace {

// nullopt: a usage error is expected.
using Want = std::optional<std::string>;

template <class F>
void expect_checks(F check, const std::vector<std::pair<std::string, Want>>& cases) {
  for (const auto& [input, want] : cases) {
    auto got = check(input);
    if (want) {
      ASSERT_TRUE(got) << "\"" << input << "\": " << got.failure().text;
      EXPECT_EQ(*got, *want) << input;
    } else {
      ASSERT_FALSE(got) << "\"" << input << "\" was accepted as " << *got;
      EXPECT_EQ(got.failure().exit_code, kExitUsage) << input;
    }
  }
}

TEST(ChairctlArguments, LevelsAndSwitchBytesTheServiceAccepts) {
  expect_checks(check_level, {{"1", "1"},
                              {"10", "10"},
                              {"+7", "+7"},
                              {"007", "007"},
                              {"off", "off"},
                              {"0", "off"},
                              {"+00", "off"},
                              {"Off", std::nullopt},
                              {"11", std::nullopt},
                              {"-1", std::nullopt},
                              {" 5", std::nullopt},
                              {"5.0", std::nullopt},
                              {"abc", std::nullopt},
                              {"", std::nullopt},
                              {"99999999999", std::nullopt}});
  expect_checks(check_switch_bits, {{"64", "64"},
                                    {"0x40", "0x40"},
                                    {"0X4f", "0X4f"},
                                    {" 255 ", "255"},
                                    {"+4", "+4"},
                                    {"256", std::nullopt},
                                    {"0x100", std::nullopt},
                                    {"-1", std::nullopt},
                                    {"0x", std::nullopt},
                                    {"0x-1", std::nullopt},
                                    {"", std::nullopt}});
}

TEST(ChairctlArguments, InitialSettingsKeepToTheWaterWordsTheServiceKnows) {
  struct Case {
    const char* settings;
    bool accepted;
    std::vector<std::string> missing;
  };
  const std::vector<Case> cases = {
      {R"({"water":"heat","heatLevel":4,"lumbar":2})", true, {"coolLevel", "vibrate", "volume"}},
      {R"(["off",1,2,3,4,5])", true, {}},
      {R"(["cool",10])", true, {"heatLevel", "lumbar", "vibrate", "volume"}},
      {R"({"water":"hot"})", false, {}},
      {R"({"water":""})", false, {}},
      {R"(["COOL"])", false, {}},
      // No water word, or not a text: the service's own parser says what is wrong.
      {R"({"coolLevel":3})", true, {"heatLevel", "lumbar", "vibrate", "volume"}},
      {R"({"water":3})", true, {"coolLevel", "heatLevel", "lumbar", "vibrate", "volume"}},
  };
  for (const auto& c : cases) {
    const auto settings = nlohmann::json::parse(c.settings);
    auto checked = check_init_settings(settings);
    ASSERT_EQ(static_cast<bool>(checked), c.accepted) << c.settings;
    if (c.accepted) {
      EXPECT_EQ(missing_init_levels(settings), c.missing) << c.settings;
    } else {
      EXPECT_EQ(checked.failure().exit_code, kExitUsage);
    }
  }
}

TEST(ChairctlArguments, AddressesInEveryFormTheServiceOpens) {
  expect_checks(check_address, {{"C0:FF:EE:01:02:0A", "C0:FF:EE:01:02:0A"},
                                {"c0:ff:ee:01:02:0a", "C0:FF:EE:01:02:0A"},
                                {"c0ffee01020a", "C0:FF:EE:01:02:0A"},
                                {" C0-FF-EE-01-02-0A ", "C0:FF:EE:01:02:0A"},
                                {"nonsense", std::nullopt},
                                {"C0:FF:EE:01:02", std::nullopt},
                                {"C0:FF:EE:01:02:0A:0B", std::nullopt},
                                // Every hex digit counts: a word before the address makes it another one.
                                {"MAC C0:FF:EE:01:02:0A", std::nullopt},
                                {"", std::nullopt}});
}

TEST(ChairctlArguments, RawBytesAreWholeHexPairs) {
  auto one = [](const std::string& text) { return check_raw_hex({text}); };
  expect_checks(one, {{"55 01 0A", "55 01 0A"},
                      {"55010a", "55 01 0A"},
                      {"55:01-0a", "55 01 0A"},
                      {"0x55", std::nullopt},
                      {"zz", std::nullopt},
                      {"5", std::nullopt},
                      {"5 501", std::nullopt},
                      {": -", std::nullopt}});
  auto several = check_raw_hex({"55 01", "0a", ":", "AA"});
  ASSERT_TRUE(several) << several.failure().text;
  EXPECT_EQ(*several, "55 01 0A AA");
}

TEST(ChairctlArguments, NamesChooseOneChairOrSayWhichFit) {
  const std::vector<DeviceRow> chairs = {{"C0:FF:EE:01:02:0A", "TAMRO-X1", -50, 1},
                                         {"C0:FF:EE:01:02:0B", "TAMRO-X1 Pro", -60, 1},
                                         {"C0:FF:EE:01:02:0C", "TAMRO-S9", -70, 1},
                                         {"C0:FF:EE:01:02:0D", "TAMRO-S9", -80, 1}};
  struct Case {
    std::string name;
    std::string address;  // empty: no single chair
    std::vector<std::string> listed;
  };
  const std::vector<Case> cases = {
      {"TAMRO-X1 Pro", "C0:FF:EE:01:02:0B", {}},
      {"tamro-x1 p", "C0:FF:EE:01:02:0B", {}},
      // An exact name wins over the longer one it begins.
      {"tamro-x1", "C0:FF:EE:01:02:0A", {}},
      {"TAMRO-X", "", {"C0:FF:EE:01:02:0A", "C0:FF:EE:01:02:0B"}},
      // Two chairs of the same name can only be told apart by address.
      {"TAMRO-S9", "", {"C0:FF:EE:01:02:0C", "C0:FF:EE:01:02:0D"}},
      {"Kettle", "", {"C0:FF:EE:01:02:0A", "C0:FF:EE:01:02:0B", "C0:FF:EE:01:02:0C", "C0:FF:EE:01:02:0D"}},
  };
  for (const auto& c : cases) {
    auto chosen = choose_by_name(chairs, c.name);
    if (!c.address.empty()) {
      ASSERT_TRUE(chosen) << c.name << ": " << chosen.failure().text;
      EXPECT_EQ(chosen->address, c.address) << c.name;
      continue;
    }
    ASSERT_FALSE(chosen) << c.name;
    EXPECT_EQ(chosen.failure().exit_code, kExitService);
    for (const auto& address : c.listed) {
      EXPECT_NE(chosen.failure().text.find("\n  " + address + "  "), std::string::npos)
          << c.name << ": " << chosen.failure().text;
    }
  }
  EXPECT_FALSE(choose_by_name({}, "TAMRO"));
  EXPECT_EQ(choose_by_name(chairs, "  ").failure().exit_code, kExitUsage);
}

}  // namespace
}  // namespace chairctl
