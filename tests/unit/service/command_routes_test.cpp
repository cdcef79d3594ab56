// The chair command routes: validation messages and their precedence, the thermal memory,
// and the bytes that reach the chair.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ble/protocol/commands.h"
#include "service_rig.h"

namespace chair::test {
namespace {

using ::testing::Contains;
using ::testing::IsEmpty;

nlohmann::json ok_reply() { return nlohmann::json{{"ok", true}}; }
nlohmann::json error_reply(const std::string& text) { return nlohmann::json{{"error", text}, {"ok", false}}; }

const std::string kNotConnected = "not connected or characteristic not found";

struct Thermal {
  bool active;
  uint8_t mode, level;
  bool operator==(const Thermal&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Thermal& t) {
  return os << "{" << t.active << "," << int(t.mode) << "," << int(t.level) << "}";
}

struct RouteCase {
  std::string target;
  std::string error;  // the reply's error text
  Thermal after;      // starting from cooling at 7, active unless `start_off`
  bool start_off = false;
};

TEST(CommandRoutes, ValidationAndThermalMemoryWithoutAChair) {
  const Thermal kept{true, 0, 7};
  const std::string range = "强度必须 1-10，当前 ";
  const RouteCase cases[] = {
      // intensity: value first, then fn, then the range
      {"/api/cmd/intensity", "invalid value", kept},
      {"/api/cmd/intensity?value=&fn=cold", "invalid value", kept},
      {"/api/cmd/intensity?value=abc&fn=cold", "invalid value", kept},
      {"/api/cmd/intensity?value=%205&fn=cold", "invalid value", kept},
      {"/api/cmd/intensity?value=5%20&fn=cold", "invalid value", kept},
      {"/api/cmd/intensity?value=-&fn=cold", "invalid value", kept},
      {"/api/cmd/intensity?value=%2B-5&fn=cold", "invalid value", kept},
      {"/api/cmd/intensity?value=2147483648&fn=cold", "invalid value", kept},
      {"/api/cmd/intensity?value=x&fn=BAD", "invalid value", kept},
      {"/api/cmd/intensity?value=5", "invalid fn: ", kept},
      {"/api/cmd/intensity?value=5&fn=", "invalid fn: ", kept},
      {"/api/cmd/intensity?value=5&fn=COLD", "invalid fn: COLD", kept},
      {"/api/cmd/intensity?value=5&fn=%20cold", "invalid fn:  cold", kept},
      {"/api/cmd/intensity?value=0&fn=BAD", "invalid fn: BAD", kept},
      {"/api/cmd/intensity?value=0&fn=hot", range + "0", kept},
      {"/api/cmd/intensity?value=11&fn=hot", range + "11", kept},
      {"/api/cmd/intensity?value=-1&fn=hot", range + "-1", kept},
      {"/api/cmd/intensity?value=257&fn=hot", range + "257", kept},
      {"/api/cmd/intensity?value=-2147483648&fn=cold", range + "-2147483648", kept},
      // past validation: the thermal memory changes even though nothing can be written
      {"/api/cmd/intensity?value=4&fn=hot", kNotConnected, {true, 1, 4}},
      {"/api/cmd/intensity?value=%2B9&fn=cold", kNotConnected, {true, 0, 9}},
      {"/api/cmd/intensity?value=10&fn=hot", kNotConnected, {true, 1, 10}, true},
      {"/api/cmd/intensity?value=3&fn=lumbar", kNotConnected, kept},
      {"/api/cmd/intensity?value=3&fn=vibrate", kNotConnected, kept},
      {"/api/cmd/intensity?value=3&fn=volume", kNotConnected, kept},
      // switch
      {"/api/cmd/switch", "invalid bits", kept},
      {"/api/cmd/switch?bits=", "invalid bits", kept},
      {"/api/cmd/switch?bits=%20", "invalid bits", kept},
      {"/api/cmd/switch?bits=0x100", "invalid bits", kept},
      {"/api/cmd/switch?bits=256", "invalid bits", kept},
      {"/api/cmd/switch?bits=-1", "invalid bits", kept},
      {"/api/cmd/switch?bits=0x", "invalid bits", kept},
      {"/api/cmd/switch?bits=0xg", "invalid bits", kept},
      {"/api/cmd/switch?bits=1%202", "invalid bits", kept},
      {"/api/cmd/switch?bits=%2B%2B1", "invalid bits", kept},
      {"/api/cmd/switch?bits=0x04", kNotConnected, {false, 0, 7}},
      {"/api/cmd/switch?bits=4", kNotConnected, {false, 0, 7}},
      {"/api/cmd/switch?bits=0X40", kNotConnected, {true, 0, 7}, true},
      {"/api/cmd/switch?bits=%200x40%09", kNotConnected, {true, 0, 7}, true},
      {"/api/cmd/switch?bits=%E3%80%8064%C2%A0", kNotConnected, {true, 0, 7}, true},  // U+3000, U+00A0
      {"/api/cmd/switch?bits=%2B64", kNotConnected, {true, 0, 7}, true},
      {"/api/cmd/switch?bits=0x41", kNotConnected, {false, 0, 7}, true},
      {"/api/cmd/switch?bits=0x44", kNotConnected, kept},
      // query and raw
      {"/api/cmd/query", kNotConnected, kept},
      {"/api/cmd/raw", "hex length must be even", kept},
      {"/api/cmd/raw?hex=%20:%20:", "hex length must be even", kept},
      {"/api/cmd/raw?hex=abc", "hex length must be even", kept},
      {"/api/cmd/raw?hex=55%2001", kNotConnected, kept},
  };

  ServiceRig rig;
  rig.start();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    // Cooling at 7 through the routes themselves; switched off with 0x04 when asked.
    rig.call("/api/cmd/intensity?value=7&fn=cold");
    if (c.start_off) rig.call("/api/cmd/switch?bits=4");

    EXPECT_EQ(rig.call(c.target), error_reply(c.error));
    auto t = rig.svc().link().thermal();
    EXPECT_EQ((Thermal{t.active, t.mode, t.level}), c.after);
  }
  // Nothing was logged: refused writes never reach the "TX" line.
  EXPECT_THAT(rig.drain(), IsEmpty());
}

TEST(CommandRoutes, BytesWrittenToAReadyChair) {
  ServiceRig rig;
  auto chair = add_answering_chair(*rig.fake);
  rig.start();
  EXPECT_EQ(rig.connect(), ok_reply());
  rig.until("log:TX: 55 06 0A 02 03 0D AA");
  auto& data = chair.data;
  // The line goes out just before its write: the query and the three initial settings.
  ASSERT_TRUE(eventually([&] { return data->writes().size() == 4; }));

  const std::pair<std::string, Bytes> cases[] = {
      {"/api/cmd/intensity?fn=cold&value=5", {0x55, 0x02, 0x0A, 0x02, 0x05, 0x0F, 0xAA}},
      {"/api/cmd/intensity?fn=volume&value=%2B10", *ble::level_frame(ble::kVolume, 10)},
      {"/api/cmd/intensity?fn=vibrate&value=1", *ble::level_frame(ble::kVibrate, 1)},
      {"/api/cmd/switch?bits=0x40", ble::switch_frame(0x40)},
      {"/api/cmd/switch?bits=0X40", ble::switch_frame(0x40)},
      {"/api/cmd/switch?bits=64", ble::switch_frame(0x40)},
      {"/api/cmd/switch?bits=0xFf", ble::switch_frame(0xFF)},
      {"/api/cmd/switch?bits=0", ble::switch_frame(0x00)},
      {"/api/cmd/query", ble::query_frame()},
      // raw bytes go out as given, unframed
      {"/api/cmd/raw?hex=55%2001%200a%2002%2000%2009%20aa", ble::query_frame()},
      {"/api/cmd/raw?hex=0x5", {0x05}},
      {"/api/cmd/raw?hex=55:AA", {0x55, 0xAA}},
  };
  for (const auto& [target, bytes] : cases) {
    SCOPED_TRACE(target);
    const size_t before = data->writes().size();
    EXPECT_EQ(rig.call(target), ok_reply());
    ASSERT_EQ(data->writes().size(), before + 1);
    EXPECT_EQ(data->writes().back().bytes, bytes);
    EXPECT_THAT(rig.drain(), Contains("log:TX: " + hex(bytes)));
  }
}

}  // namespace
}  // namespace chair::test
