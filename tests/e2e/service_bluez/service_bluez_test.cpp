// What only the Linux service over the Bluetooth daemon's bus can show: the daemon restarting
// under a bound chair, and no daemon (or no bus) at all. The scenarios every platform shares are
// in tests/e2e/scenarios.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "installation.h"

namespace chair::test {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::StartsWith;

TEST(ServiceBluez, BoundChairIsReconnectedAfterTheDaemonRestarts) {
  Installation rig({.sim_args = {"--chair", kPairedChair}});
  rig.quiet_init();
  ASSERT_EQ(rig.api(std::string("/api/bind/set?addr=") + kChair + "&name=X"), kOk);
  ASSERT_TRUE(rig.events().wait_status("connected", 10s));

  const size_t from = rig.events().size();
  rig.daemon().kill();
  const auto lost = rig.events().wait_status("idle", 10s, from);
  ASSERT_TRUE(lost) << rig.events().dump(from);
  rig.daemon().start({"--chair", kPairedChair});
  ASSERT_TRUE(rig.events().wait_status("connected", 12s, *lost)) << rig.events().dump(*lost);
  EXPECT_EQ(rig.api("/api/cmd/intensity?fn=cold&value=5"), kOk);
  EXPECT_TRUE(eventually([&] { return rig.chair_status(kChair)["cold"] == 5; }, 3s));
}

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
