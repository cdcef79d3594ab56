// Faults of the Bluetooth side, end to end: the daemon restarting in the middle of a
// handshake, the radio switched off during a scan and during a connection, and the chair
// vanishing and coming back. Each case owns its bus, simulator and service.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "bluez_rig.h"

namespace chair::test {
namespace {

constexpr const char* kChair = "C0:FF:EE:01:02:0A";
constexpr const char* kName = "TAMRO-X1";
constexpr const char* kRadioOff = "蓝牙未开启，请在系统设置中打开蓝牙，或运行 bluetoothctl power on";
constexpr const char* kLinkGone = "座椅连接已断开，将自动重连";

std::string chair_spec(const std::string& extra = "") { return std::string(kChair) + ",name=" + kName + extra; }

const Json kOk = Json::parse(R"({"ok":true})");

// A link that the service gave up: a message ending in "reconnecting" (or the supervisor's
// own), then "idle". Returns the index of the "idle" status.
std::optional<size_t> wait_link_given_up(Journal& events, size_t from, std::chrono::milliseconds timeout) {
  auto message = events.wait_log(
      [](const std::string& log) { return ends_with(log, "reconnecting") || log == kLinkGone; }, timeout, from);
  if (!message) return std::nullopt;
  return events.wait_status("idle", 2s, *message);
}

bool is_connected_status(const Json& j) {
  return j.value("type", "") == "status" && j.value("status", "") == "connected";
}

// ---- the daemon restarting while a handshake is under way ----

struct RestartCase {
  const char* label;
  std::string first_sim_extra;  // chair options of the daemon that dies
  std::vector<std::string> first_sim_args;
  std::string stage_log;  // the handshake has got this far when the daemon dies
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const RestartCase& c, std::ostream* os) { *os << c.label; }

class RestartDuringHandshake : public ::testing::TestWithParam<RestartCase> {};

TEST_P(RestartDuringHandshake, LinkEndsCleanlyAndTheBoundChairIsReconnected) {
  const RestartCase& c = GetParam();
  std::vector<std::string> sim_args{"--chair", chair_spec(",paired" + c.first_sim_extra)};
  sim_args.insert(sim_args.end(), c.first_sim_args.begin(), c.first_sim_args.end());
  BluezRig rig({.sim_args = sim_args, .bound_address = kChair, .bound_name = kName});
  Journal& events = rig.events();

  const auto stage = events.wait_log([&](const std::string& log) { return log == c.stage_log; }, 8s);
  ASSERT_TRUE(stage) << events.dump();
  rig.kill_sim();
  rig.start_sim({"--chair", chair_spec(",paired")});

  const auto idle = wait_link_given_up(events, *stage, 12s);
  ASSERT_TRUE(idle) << "the half-made link was not ended\n" << events.dump(*stage);
  const auto early = events.wait(is_connected_status, 0ms, *stage);
  EXPECT_TRUE(!early || *early > *idle) << "connected to a daemon that had gone\n" << events.dump(*stage);

  // The supervisor makes a new link on the restarted daemon, and it carries commands.
  const auto connected = events.wait(is_connected_status, 12s, *idle);
  ASSERT_TRUE(connected) << events.dump(*stage);
  EXPECT_EQ(events.at(*connected).value("name", ""), kName);
  EXPECT_NE(rig.sim_device(kChair).find("connected=1"), std::string::npos) << rig.ctl({"list"});
  const size_t before_query = events.size();
  EXPECT_EQ(rig.api("/api/cmd/query"), kOk);
  EXPECT_TRUE(events.wait([](const Json& j) { return j.value("type", "") == "chair"; }, 3s, before_query))
      << events.dump(before_query);
}

INSTANTIATE_TEST_SUITE_P(Faults, RestartDuringHandshake,
                         ::testing::Values(
                             // The daemon dies with our Connect still pending.
                             RestartCase{"WhileConnecting",
                                         "",
                                         {"--connect-delay", "4000"},
                                         std::string("link opened ") + kName + " (" + kChair + ")"},
                             // Subscribed and waiting for the chair's first report, which a silent chair never sends.
                             RestartCase{"WhileAwaitingFirstStatus", ",silent", {}, "querying initial status..."}),
                         [](const ::testing::TestParamInfo<RestartCase>& info) {
                           return std::string(info.param.label);
                         });

// ---- the radio switched off ----

TEST(RadioOff, DuringScanTheServiceStaysSaneAndTheNextStartSaysTheRadioIsOff) {
  BluezRig rig({.sim_args = {"--chair", chair_spec(), "--announce-interval", "200"}});
  Journal& events = rig.events();
  auto is_chair_device = [](const Json& j) {
    return j.value("type", "") == "device" && j["device"].value("address", "") == kChair;
  };

  ASSERT_EQ(rig.api("/api/scan/start"), kOk);
  ASSERT_TRUE(events.wait(is_chair_device, 5s)) << events.dump();
  ASSERT_EQ(rig.ctl({"power", "off"}), "");

  // What was found stays listed, and every route still answers.
  const Json devices = rig.api("/api/devices");
  ASSERT_EQ(devices.size(), 1u) << devices.dump();
  EXPECT_EQ(devices[0].value("address", ""), kChair);

  size_t from = events.size();
  EXPECT_EQ(rig.api("/api/scan/start"), Json({{"error", kRadioOff}, {"ok", false}}));
  EXPECT_TRUE(events.wait([](const Json& j) { return is_log(j, std::string("scan blocked: ") + kRadioOff); }, 3s, from))
      << events.dump(from);
  EXPECT_EQ(rig.api("/api/connect?addr=00:11:22:33:44:55"), Json({{"error", "connect failed"}, {"ok", false}}));
  EXPECT_EQ(rig.api("/api/scan/stop"), kOk);
  EXPECT_EQ(rig.api("/api/scan/start"), Json({{"error", kRadioOff}, {"ok", false}}));

  // Back on, a scan works as before: the service did not keep a discovery the daemon forgot.
  ASSERT_EQ(rig.ctl({"power", "on"}), "");
  from = events.size();
  ASSERT_EQ(rig.api("/api/scan/start"), kOk);
  EXPECT_TRUE(events.wait(is_chair_device, 5s, from)) << events.dump(from);
  EXPECT_EQ(rig.api("/api/scan/stop"), kOk);
}

// The daemon ends every discovery when the radio goes off. The scan the user started is still
// on as far as the service is concerned, so it must hear devices again once the radio is back,
// without anyone starting it anew; and stopping it afterwards still ends the daemon's discovery.
TEST(RadioOff, OffAndOnAgainDuringScanTheScanResumesByItself) {
  BluezRig rig({.sim_args = {"--chair", chair_spec(), "--announce-interval", "200"}});
  Journal& events = rig.events();
  auto is_chair_device = [](const Json& j) {
    return j.value("type", "") == "device" && j["device"].value("address", "") == kChair;
  };
  auto discovering = [&] { return rig.adapter_flag("Discovering"); };

  ASSERT_EQ(rig.api("/api/scan/start"), kOk);
  ASSERT_TRUE(events.wait(is_chair_device, 5s)) << events.dump();
  const size_t scan_started = events.size();

  ASSERT_EQ(rig.ctl({"power", "off"}), "");
  ASSERT_TRUE(wait_for_condition([&] { return discovering() == false; }, 3s)) << "the daemon kept its discovery";
  ASSERT_EQ(rig.ctl({"power", "on"}), "");
  EXPECT_TRUE(wait_for_condition([&] { return discovering() == true; }, 5s)) << "discovery was not started again";
  const size_t resumed = events.size();
  EXPECT_TRUE(events.wait(is_chair_device, 5s, resumed)) << "the scan went silent\n" << events.dump(scan_started);
  EXPECT_FALSE(events.wait_log("scan started", 0ms, scan_started)) << events.dump(scan_started);

  EXPECT_EQ(rig.api("/api/scan/stop"), kOk);
  EXPECT_TRUE(wait_for_condition([&] { return discovering() == false; }, 3s)) << "the resumed discovery was kept";
}

TEST(RadioOff, DuringConnectionTheLinkIsLostAndTheBoundChairComesBackWithTheRadio) {
  BluezRig rig({.sim_args = {"--chair", chair_spec(",paired")}, .bound_address = kChair, .bound_name = kName});
  Journal& events = rig.events();
  const auto first = events.wait(is_connected_status, 10s);
  ASSERT_TRUE(first) << events.dump();

  ASSERT_EQ(rig.ctl({"power", "off"}), "");
  const auto idle = wait_link_given_up(events, *first, 12s);
  ASSERT_TRUE(idle) << events.dump(*first);
  EXPECT_EQ(rig.api("/api/cmd/query"), Json({{"error", "not connected or characteristic not found"}, {"ok", false}}));

  const size_t powered_on = events.size();
  ASSERT_EQ(rig.ctl({"power", "on"}), "");
  const auto again = events.wait(is_connected_status, 15s, *idle);
  ASSERT_TRUE(again) << events.dump(*idle);
  EXPECT_GE(*again, powered_on) << "connected while the radio was off\n" << events.dump(*idle);
  EXPECT_NE(rig.sim_device(kChair).find("connected=1"), std::string::npos) << rig.ctl({"list"});
  EXPECT_EQ(rig.api("/api/cmd/query"), kOk);
}

// ---- the chair vanishing ----

// The daemon forgets the chair while it is connected, but the chair is still in range: the
// supervisor's lookup finds it again by discovery.
TEST(ChairVanishes, RemovedFromTheDaemonItIsFoundAgainAndReconnected) {
  BluezRig rig({.sim_args = {"--chair", chair_spec(",paired"), "--announce-interval", "200"},
                .bound_address = kChair,
                .bound_name = kName});
  Journal& events = rig.events();
  const auto first = events.wait(is_connected_status, 10s);
  ASSERT_TRUE(first) << events.dump();

  ASSERT_EQ(rig.ctl({"remove", kChair}), "");
  const auto idle = wait_link_given_up(events, *first, 12s);
  ASSERT_TRUE(idle) << events.dump(*first);
  const auto again = events.wait(is_connected_status, 15s, *idle);
  ASSERT_TRUE(again) << events.dump(*idle);
  EXPECT_NE(rig.sim_device(kChair).find("connected=1"), std::string::npos) << rig.ctl({"list"});
  EXPECT_EQ(rig.api("/api/cmd/query"), kOk);
}

// Switched off and forgotten: attempts fail and say so until the chair is back.
TEST(ChairVanishes, GoneTheAttemptsFailUntilItIsPresentAgain) {
  BluezRig rig({.sim_args = {"--chair", chair_spec(",paired"), "--announce-interval", "200"},
                .bound_address = kChair,
                .bound_name = kName});
  Journal& events = rig.events();
  const auto first = events.wait(is_connected_status, 10s);
  ASSERT_TRUE(first) << events.dump();

  ASSERT_EQ(rig.ctl({"drop", kChair}), "");
  ASSERT_EQ(rig.ctl({"remove", kChair}), "");
  const auto idle = wait_link_given_up(events, *first, 12s);
  ASSERT_TRUE(idle) << events.dump(*first);

  const auto not_found = events.wait(
      [](const Json& j) { return is_log(j, std::string("connect failed: device ") + kChair + " not found"); }, 18s,
      *idle);
  ASSERT_TRUE(not_found) << events.dump(*idle);
  EXPECT_TRUE(events.wait(
      [](const Json& j) { return j.value("type", "") == "autoconnect" && j.value("status", "") == "waiting"; }, 2s,
      *not_found))
      << events.dump(*idle);
  EXPECT_FALSE(events.wait(is_connected_status, 0ms, *idle)) << events.dump(*idle);

  ASSERT_EQ(rig.ctl({"present", kChair}), "");
  const auto again = events.wait(is_connected_status, 20s, *not_found);
  ASSERT_TRUE(again) << events.dump(*not_found);
  EXPECT_NE(rig.sim_device(kChair).find("connected=1"), std::string::npos) << rig.ctl({"list"});
}

}  // namespace
}  // namespace chair::test
