// What only the Linux service over the Bluetooth daemon's bus can show: no daemon (or no bus) at
// all. The daemon restarting is among the faults (tests/e2e/faults); the scenarios every
// platform shares are in tests/e2e/scenarios.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "installation.h"

namespace chair::test {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::StartsWith;

struct NoDaemonCase {
  const char* name;
  RigOptions options;
  const char* error_name;  // in the adapter message
  friend void PrintTo(const NoDaemonCase& c, std::ostream* os) { *os << c.name; }
};

class ServiceBluezNoDaemon : public ::testing::TestWithParam<NoDaemonCase> {};

TEST_P(ServiceBluezNoDaemon, ScanAndConnectFailWithReasonsAndTheServiceGoesOn) {
  Installation rig(GetParam().options);
  for (int i = 0; i < 2; ++i) {
    const Json reply = rig.api("/api/scan/start");
    ASSERT_EQ(reply["ok"], false) << reply.dump();
    EXPECT_THAT(reply["error"].get<std::string>(), StartsWith("未检测到蓝牙适配器 ("));
    EXPECT_THAT(reply["error"].get<std::string>(), HasSubstr(GetParam().error_name));
  }
  EXPECT_TRUE(rig.events().wait([](const Json& j) {
    return j.value("type", "") == "log" && j.value("log", "").rfind("scan blocked: 未检测到蓝牙适配器 (", 0) == 0;
  }));
  const size_t from = rig.events().size();
  EXPECT_EQ(rig.api(std::string("/api/connect?addr=") + kChair), error_reply("connect failed"));
  EXPECT_TRUE(rig.events().wait(
      [](const Json& j) {
        return j.value("type", "") == "log" && j.value("log", "").rfind("connect failed: ", 0) == 0;
      },
      5s, from))
      << rig.events().dump(from);
  EXPECT_EQ(rig.api("/api/devices"), Json::array());
  EXPECT_EQ(rig.api("/api/scan/stop"), kOk);
  EXPECT_EQ(rig.api("/api/bind/get")["autoConnect"], true);
  EXPECT_EQ(rig.service().wait(0ms), -1) << "still running";
}

INSTANTIATE_TEST_SUITE_P(
    Daemons, ServiceBluezNoDaemon,
    ::testing::Values(
        NoDaemonCase{"no_daemon_on_the_bus", {.start_sim = false, .bus_for_service = true}, "ServiceUnknown"},
        NoDaemonCase{"no_bus", {.start_sim = false, .bus_for_service = false}, "Failed to open bus"}),
    [](const ::testing::TestParamInfo<NoDaemonCase>& info) { return info.param.name; });

}  // namespace
}  // namespace chair::test
