// Faults of the Bluetooth side, end to end: the daemon restarting under a link (in the middle
// of a handshake too), the radio switched off during a scan and during a connection, and the chair
// vanishing and coming back. Each case owns its bus, simulator and service.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "installation.h"

namespace chair::test {
namespace {

constexpr const char* kRadioOff = "蓝牙未开启，请在系统设置中打开蓝牙，或运行 bluetoothctl power on";
constexpr const char* kLinkGone = "座椅连接已断开，将自动重连";

std::string chair_spec(const std::string& extra = "") { return std::string(kChair) + ",name=" + kChairName + extra; }

// A link that the service gave up: a message ending in "reconnecting" (or the supervisor's
// own), then "idle". Returns the index of the "idle" status.
std::optional<size_t> wait_link_given_up(Journal& events, size_t from, std::chrono::milliseconds timeout) {
  auto message = events.wait_log(
      [](const std::string& log) { return log.ends_with("reconnecting") || log == kLinkGone; }, timeout, from);
  if (!message) return std::nullopt;
  return events.wait_status("idle", 2s, *message);
}

bool is_connected_status(const Json& j) {
  return j.value("type", "") == "status" && j.value("status", "") == "connected";
}

bool is_chair_device(const Json& j) {
  return j.value("type", "") == "device" && j["device"].value("address", "") == kChair;
}

// The supervisor made a new link after `from`: the daemon shows it, and it carries commands.
void expect_connected_again(Installation& rig, size_t from, std::chrono::milliseconds timeout) {
  const auto again = rig.events().wait(is_connected_status, timeout, from);
  ASSERT_TRUE(again) << rig.events().dump(from);
  EXPECT_EQ(rig.events().at(*again).value("name", ""), kChairName);
  EXPECT_NE(rig.sim_device(kChair).find("connected=1"), std::string::npos) << rig.ctl({"list"});
  const size_t asked = rig.events().size();
  EXPECT_EQ(rig.api("/api/cmd/query"), kOk);
  EXPECT_TRUE(rig.events().wait([](const Json& j) { return j.value("type", "") == "chair"; }, 3s, asked))
      << rig.events().dump(asked);
}

// ---- the daemon restarting under a link ----

struct RestartCase {
  const char* label;
  std::string first_sim_extra;  // chair options of the daemon that dies
  std::vector<std::string> first_sim_args;
  std::string stage_log;  // the link has got this far when the daemon dies
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const RestartCase& c, std::ostream* os) { *os << c.label; }

class DaemonRestart : public ::testing::TestWithParam<RestartCase> {};

TEST_P(DaemonRestart, LinkEndsCleanlyAndTheBoundChairIsReconnected) {
  const RestartCase& c = GetParam();
  std::vector<std::string> sim_args{"--chair", chair_spec(",paired" + c.first_sim_extra)};
  sim_args.insert(sim_args.end(), c.first_sim_args.begin(), c.first_sim_args.end());
  Installation rig({.sim_args = sim_args, .bound_address = kChair, .bound_name = kChairName});
  Journal& events = rig.events();

  const auto stage = events.wait_log([&](const std::string& log) { return log == c.stage_log; }, 8s);
  ASSERT_TRUE(stage) << events.dump();
  rig.daemon().kill();
  rig.daemon().start({"--chair", chair_spec(",paired")});

  const auto idle = wait_link_given_up(events, *stage, 12s);
  ASSERT_TRUE(idle) << "the link was not ended\n" << events.dump(*stage);
  const auto early = events.wait(is_connected_status, 0ms, *stage);
  EXPECT_TRUE(!early || *early > *idle) << "connected to a daemon that had gone\n" << events.dump(*stage);
  // The supervisor makes a new link on the restarted daemon.
  expect_connected_again(rig, *idle, 12s);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, DaemonRestart,
    ::testing::Values(
        // The daemon dies with our Connect still pending.
        RestartCase{"WhileConnecting",
                    "",
                    {"--connect-delay", "4000"},
                    std::string("link opened ") + kChairName + " (" + kChair + ")"},
        // Subscribed and waiting for the chair's first report, which a silent chair never sends.
        RestartCase{"WhileAwaitingFirstStatus", ",silent", {}, "querying initial status..."},
        // Connected and past the handshake.
        RestartCase{"WhileConnected", "", {}, std::string("connected ") + kChairName + " (" + kChair + ")"}),
    [](const ::testing::TestParamInfo<RestartCase>& info) { return std::string(info.param.label); });

// ---- the radio switched off during a scan ----

class ScanningWhenTheRadioGoesOff : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(rig_.api("/api/scan/start"), kOk);
    ASSERT_TRUE(rig_.events().wait(is_chair_device, 5s)) << rig_.events().dump();
    scan_started_ = rig_.events().size();
    ASSERT_EQ(rig_.ctl({"power", "off"}), "");
  }
  std::optional<bool> discovering() { return rig_.daemon().adapter_flag("Discovering"); }

  Installation rig_{{.sim_args = {"--chair", chair_spec(), "--announce-interval", "200"}}};
  size_t scan_started_ = 0;
};

TEST_F(ScanningWhenTheRadioGoesOff, TheServiceStaysSaneAndTheNextStartSaysTheRadioIsOff) {
  // What was found stays listed, and every route still answers.
  const Json devices = rig_.api("/api/devices");
  ASSERT_EQ(devices.size(), 1u) << devices.dump();
  EXPECT_EQ(devices[0].value("address", ""), kChair);

  size_t from = rig_.events().size();
  EXPECT_EQ(rig_.api("/api/scan/start"), error_reply(kRadioOff));
  EXPECT_TRUE(rig_.events().wait_log(std::string("scan blocked: ") + kRadioOff, 3s, from)) << rig_.events().dump(from);
  EXPECT_EQ(rig_.api("/api/connect?addr=00:11:22:33:44:55"), error_reply("connect failed"));
  EXPECT_EQ(rig_.api("/api/scan/stop"), kOk);
  EXPECT_EQ(rig_.api("/api/scan/start"), error_reply(kRadioOff));

  // Back on, a scan works as before: the service did not keep a discovery the daemon forgot.
  ASSERT_EQ(rig_.ctl({"power", "on"}), "");
  from = rig_.events().size();
  ASSERT_EQ(rig_.api("/api/scan/start"), kOk);
  EXPECT_TRUE(rig_.events().wait(is_chair_device, 5s, from)) << rig_.events().dump(from);
  EXPECT_EQ(rig_.api("/api/scan/stop"), kOk);
}

// The daemon ends every discovery when the radio goes off. The scan the user started is still
// on as far as the service is concerned, so it must hear devices again once the radio is back,
// without anyone starting it anew; and stopping it afterwards still ends the daemon's discovery.
TEST_F(ScanningWhenTheRadioGoesOff, OnAgainTheScanResumesByItself) {
  ASSERT_TRUE(eventually([&] { return discovering() == false; }, 3s)) << "the daemon kept its discovery";
  ASSERT_EQ(rig_.ctl({"power", "on"}), "");
  EXPECT_TRUE(eventually([&] { return discovering() == true; }, 5s)) << "discovery was not started again";
  const size_t resumed = rig_.events().size();
  EXPECT_TRUE(rig_.events().wait(is_chair_device, 5s, resumed)) << "the scan went silent\n"
                                                                << rig_.events().dump(scan_started_);
  EXPECT_FALSE(rig_.events().wait_log("scan started", 0ms, scan_started_)) << rig_.events().dump(scan_started_);

  EXPECT_EQ(rig_.api("/api/scan/stop"), kOk);
  EXPECT_TRUE(eventually([&] { return discovering() == false; }, 3s)) << "the resumed discovery was kept";
}

// ---- a connected bound chair losing its link ----

class ConnectedBoundChair : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto first = rig_.events().wait(is_connected_status, 10s);
    ASSERT_TRUE(first) << rig_.events().dump();
    first_ = *first;
  }
  // The service gave the link up after `what` happened.
  size_t given_up(const std::vector<std::string>& what) {
    EXPECT_EQ(rig_.ctl(what), "");
    const auto idle = wait_link_given_up(rig_.events(), first_, 12s);
    EXPECT_TRUE(idle) << rig_.events().dump(first_);
    return idle.value_or(first_);
  }

  Installation rig_{{.sim_args = {"--chair", chair_spec(",paired"), "--announce-interval", "200"},
                     .bound_address = kChair,
                     .bound_name = kChairName}};
  size_t first_ = 0;
};

TEST_F(ConnectedBoundChair, TheRadioOffLosesTheLinkAndTheChairComesBackWithTheRadio) {
  const size_t idle = given_up({"power", "off"});
  EXPECT_EQ(rig_.api("/api/cmd/query"), error_reply("not connected or characteristic not found"));
  const size_t powered_on = rig_.events().size();
  ASSERT_EQ(rig_.ctl({"power", "on"}), "");
  expect_connected_again(rig_, idle, 15s);
  const auto again = rig_.events().wait(is_connected_status, 0ms, idle);
  EXPECT_GE(again.value_or(0), powered_on) << "connected while the radio was off\n" << rig_.events().dump(idle);
}

// The daemon forgets the chair while it is connected, but the chair is still in range: the
// supervisor's lookup finds it again by discovery.
TEST_F(ConnectedBoundChair, RemovedFromTheDaemonItIsFoundAgainAndReconnected) {
  expect_connected_again(rig_, given_up({"remove", kChair}), 15s);
}

// Switched off and forgotten: attempts fail and say so until the chair is back.
TEST_F(ConnectedBoundChair, GoneTheAttemptsFailUntilItIsPresentAgain) {
  ASSERT_EQ(rig_.ctl({"drop", kChair}), "");
  const size_t idle = given_up({"remove", kChair});
  const auto not_found =
      rig_.events().wait_log(std::string("connect failed: device ") + kChair + " not found", 18s, idle);
  ASSERT_TRUE(not_found) << rig_.events().dump(idle);
  EXPECT_TRUE(rig_.events().wait(
      [](const Json& j) { return j.value("type", "") == "autoconnect" && j.value("status", "") == "waiting"; }, 2s,
      *not_found))
      << rig_.events().dump(idle);
  EXPECT_FALSE(rig_.events().wait(is_connected_status, 0ms, idle)) << rig_.events().dump(idle);

  ASSERT_EQ(rig_.ctl({"present", kChair}), "");
  expect_connected_again(rig_, *not_found, 20s);
}

}  // namespace
}  // namespace chair::test
