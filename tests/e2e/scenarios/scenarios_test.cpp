// The real service against simulated chairs, as a user of the desktop UI would see it, from
// scanning to the silent shutdown: one body per scenario, run on every platform the service is
// built for: Linux over the simulated Bluetooth daemon, and the Windows build on its fake
// runtime, where each case ends proving that every runtime object the service obtained was
// released.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>

#include "ble/protocol/commands.h"
#include "ble/protocol/frame.h"
#include "installation.h"
#include "tools/chair-model/chair_model.h"

namespace chair::test {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr const char* kQuery = "55 01 0A 02 00 09 AA";
constexpr const char* kCold5 = "55 02 0A 02 05 0F AA";
constexpr const char* kLumbar3 = "55 06 0A 02 03 0D AA";
constexpr const char* kVibrate7 = "55 04 0A 02 07 0B AA";
constexpr const char* kSwitchByte0B = "55 07 0A 02 0B 04 AA";  // audio, motion, seated
constexpr const char* kVolume4 = "55 05 0A 02 04 09 AA";
// What the default initial settings send after every connection: water on, cooling 10, lumbar 3.
constexpr const char* kWaterOn = "55 07 0A 02 40 4F AA";
constexpr const char* kCold10 = "55 02 0A 02 0A 00 AA";
// All that the quiet initial settings send.
constexpr const char* kWaterOff = "55 07 0A 02 04 0B AA";

auto chair_event(const std::function<bool(const Json&)>& pred) {
  return [pred](const Json& j) { return j.value("type", "") == "chair" && pred(j["chair"]); };
}
auto device_event(const std::string& address) {
  return [address](const Json& j) {
    return j.value("type", "") == "device" && j["device"].value("address", "") == address;
  };
}

// Waits for the initial settings of the current connection to have gone out.
void wait_init_done(Installation& rig, size_t from) {
  ASSERT_TRUE(rig.events().wait_log("applying init config...", 5s, from)) << rig.events().dump(from);
  ASSERT_TRUE(rig.events().wait_log("TX: " + std::string(kWaterOff), 5s, from)) << rig.events().dump(from);
}

class Scenario : public ::testing::TestWithParam<Platform> {
 protected:
  void SetUp() override {
    if (!Installation::available(GetParam()))
      GTEST_SKIP() << "no " << Installation::name(GetParam()) << " installation to run against";
  }
  void TearDown() override {
    if (rig_) rig_->expect_released();
    rig_.reset();
  }

  Installation& start(RigOptions options) {
    options.platform = GetParam();
    rig_ = std::make_unique<Installation>(std::move(options));
    return *rig_;
  }

  std::unique_ptr<Installation> rig_;
};

INSTANTIATE_TEST_SUITE_P(Platforms, Scenario, ::testing::Values(Platform::BlueZ, Platform::Windows),
                         [](const auto& info) { return std::string(Installation::name(info.param)); });

TEST_P(Scenario, ScanListsNamedAndPairedChairsAndNothingElse) {
  auto& rig = start({.sim_args = {"--chair", std::string(kChair) + ",name=TAMRO-X1",
                                  // paired, renamed by the user, advertising without a name
                                  "--chair", "C0:FF:EE:01:02:0B,alias=TAMRO-Study,paired", "--chair",
                                  "C0:FF:EE:01:02:0C",                              // nameless and unknown
                                  "--chair", "C0:FF:EE:01:02:0D,name=Chair TAMRO",  // the word not first
                                  "--chair", "C0:FF:EE:01:02:0E,name=tamro 座椅",   // lower case, not ASCII
                                  "--device", "11:22:33:44:55:66,name=Phone", "--device",
                                  "11:22:33:44:55:77,alias=Headset,paired", "--announce-interval", "150"}});
  const std::set<std::string> chairs{kChair, "C0:FF:EE:01:02:0B", "C0:FF:EE:01:02:0E"};
  ASSERT_EQ(rig.api("/api/scan/start"), kOk);
  ASSERT_TRUE(rig.events().wait_status("scanning"));
  ASSERT_TRUE(rig.events().wait_log("scan started"));
  const auto named = rig.events().wait(device_event(kChair), 5s);
  ASSERT_TRUE(named) << rig.events().dump();
  const auto paired = rig.events().wait(device_event("C0:FF:EE:01:02:0B"), 5s);
  ASSERT_TRUE(paired) << rig.events().dump();
  const auto foreign = rig.events().wait(device_event("C0:FF:EE:01:02:0E"), 5s);
  ASSERT_TRUE(foreign) << rig.events().dump();
  EXPECT_EQ(rig.events().at(*named)["device"]["name"], "TAMRO-X1");
  EXPECT_EQ(rig.events().at(*paired)["device"]["name"], "TAMRO-Study") << "the paired name stands in";
  EXPECT_EQ(rig.events().at(*foreign)["device"]["name"], "tamro 座椅") << "the name's text arrives intact";
  EXPECT_EQ(rig.events().at(*named)["device"]["services"], Json::parse(R"(["fff0"])"));
  EXPECT_LT(rig.events().at(*named)["device"]["rssi"].get<int>(), 0);

  // Several announcements more, so that the others had their chances too.
  Json devices;
  ASSERT_TRUE(eventually(
      [&] {
        devices = rig.api("/api/devices");
        return devices.size() == chairs.size() &&
               std::all_of(devices.begin(), devices.end(), [](const Json& d) { return d["hits"].get<int>() >= 3; });
      },
      5s))
      << devices.dump();
  std::set<std::string> addresses;
  for (const auto& d : devices) addresses.insert(d["address"]);
  EXPECT_EQ(addresses, chairs);
  for (size_t i = 0; i < rig.events().size(); ++i) {
    const Json e = rig.events().at(i);
    if (e.value("type", "") == "device") {
      EXPECT_TRUE(chairs.count(e["device"]["address"])) << e.dump();
    }
  }

  ASSERT_EQ(rig.api("/api/scan/stop"), kOk);
  ASSERT_TRUE(rig.events().wait_log("scan stopped"));
  EXPECT_EQ(rig.api("/api/devices").size(), chairs.size()) << "results stay after the scan";
  EXPECT_THAT(rig.ctl({"list"}), HasSubstr(std::string(kChair) + " name=TAMRO-X1 chair=1 exported=1 connected=0"));
}

TEST_P(Scenario, ScanWithTheAdapterOffIsBlockedUntilItIsOn) {
  auto& rig = start(
      {.sim_args = {"--chair", std::string(kChair) + ",name=TAMRO-X1", "--powered-off", "--announce-interval", "150"}});
  const size_t from = rig.events().size();
  const std::string radio_off = rig.radio_off_text();
  EXPECT_EQ(rig.api("/api/scan/start"), error_reply(radio_off));
  EXPECT_TRUE(rig.events().wait_log("scan blocked: " + radio_off, 3s, from));
  EXPECT_FALSE(rig.events().wait_status("scanning", 300ms, from)) << "the scan state stays as it was";
  EXPECT_EQ(rig.api("/api/devices"), Json::array());

  EXPECT_EQ(rig.ctl({"power", "on"}), "");
  EXPECT_EQ(rig.api("/api/scan/start"), kOk);
  EXPECT_TRUE(rig.events().wait(device_event(kChair), 5s, from)) << rig.events().dump(from);
}

TEST_P(Scenario, ConnectRunsTheHandshakeAndAppliesTheInitialSettings) {
  auto& rig = start({.sim_args = {"--chair", kPairedChair}});
  const size_t from = rig.events().size();
  ASSERT_EQ(rig.api("/api/connect?addr=%20c0:ff:ee:01:02:0a%20"), kOk);
  const auto connected = rig.events().wait_status("connected", 10s, from);
  ASSERT_TRUE(connected) << rig.events().dump(from);
  EXPECT_EQ(rig.events().at(*connected).value("name", ""), kChairName);
  ASSERT_TRUE(rig.events().wait_log("TX: " + std::string(kLumbar3), 5s, from)) << rig.events().dump(from);

  const std::vector<std::string> handshake{
      "connecting C0:FF:EE:01:02:0A ...",
      "link opened TAMRO-X1 (C0:FF:EE:01:02:0A)",
      "found 1 services",
      "  Service 0000fff0-0000-1000-8000-00805f9b34fb",
      "    Char 7772e5db-3868-4112-a1a9-f2669d106bf3 props=[Read,WriteNoResp,Write,Notify]",
      "write/notify share one characteristic",
      "write mode = WriteWithoutResponse",
      "notifications subscribed",
      "querying initial status...",
      "TX: " + std::string(kQuery),
      "RX: 55 01 0B 08 00 00 00 00 00 1C 08 16 AA",
      "connected TAMRO-X1 (C0:FF:EE:01:02:0A)",
      "applying init config...",
      "TX: " + std::string(kWaterOn),
      "TX: " + std::string(kCold10),
      "TX: " + std::string(kLumbar3),
  };
  EXPECT_TRUE(in_order(rig.events().logs(from), handshake)) << joined(rig.events().logs(from));
  std::vector<std::string> statuses;
  for (size_t i = from; i < rig.events().size(); ++i) {
    if (rig.events().at(i).value("type", "") == "status") statuses.push_back(rig.events().at(i)["status"]);
  }
  EXPECT_EQ(statuses, (std::vector<std::string>{"connecting", "connected"}));

  // The chair received the query and the settings, as commands (it offers write-without-response).
  const auto writes = rig.writes(kChair);
  EXPECT_TRUE(in_order(writes, {std::string("command ") + kQuery, std::string("command ") + kWaterOn,
                                std::string("command ") + kCold10, std::string("command ") + kLumbar3}))
      << joined(writes);
  const Json state = rig.chair_status(kChair);
  EXPECT_EQ(state["cold"], 10);
  EXPECT_EQ(state["lumbar"], 3);
  EXPECT_EQ(state["notifying"], true);
}

// The chair cuts its answers and merges them across notifications.
TEST_P(Scenario, CommandsReachTheChairInOrderAndItsReportsComeBackWhole) {
  auto& rig = start({.sim_args = {"--chair", kPairedChair + ",chunking,seed=7"}});
  rig.quiet_init();
  const size_t from = rig.events().size();
  rig.connect(kChair, kChairName);
  wait_init_done(rig, from);

  const size_t sent = rig.events().size();
  EXPECT_EQ(rig.api("/api/cmd/intensity?fn=cold&value=5"), kOk);
  EXPECT_EQ(rig.api("/api/cmd/intensity?fn=lumbar&value=%2B3"), kOk);
  EXPECT_EQ(rig.api("/api/cmd/intensity?fn=vibrate&value=7"), kOk);
  EXPECT_EQ(rig.api("/api/cmd/switch?bits=11"), kOk);
  EXPECT_EQ(rig.api("/api/cmd/raw?hex=55:05:0a:02:04:09:aa"), kOk);
  EXPECT_EQ(rig.api("/api/cmd/query"), kOk);
  // Refused before anything is written.
  EXPECT_EQ(rig.api("/api/cmd/intensity?fn=hot&value=11"), error_reply("强度必须 1-10，当前 11"));
  EXPECT_EQ(rig.api("/api/cmd/raw?hex=5"), error_reply("hex length must be even"));

  // Single-value answers update the status too; the query's full report carries all of it.
  const auto report = rig.events().wait(chair_event([](const Json& c) {
                                          return c["raw"].get<std::string>().rfind("55 01 0B", 0) == 0 &&
                                                 c["cold"] == 5 && c["lumbar"] == 3 && c["vibrate"] == 7 &&
                                                 c["volume"] == 4 && c["switchByte"] == 0x0B;
                                        }),
                                        5s, sent);
  ASSERT_TRUE(report) << rig.events().dump(sent);
  const Json chair = rig.events().at(*report)["chair"];
  EXPECT_THAT(chair["raw"].get<std::string>(), StartsWith("55 01 0B 08 05 00 07 04 03"));
  EXPECT_EQ(chair["btAudio"], true);
  EXPECT_EQ(chair["motion"], true);
  EXPECT_EQ(chair["waterOn"], false);

  const std::vector<std::string> mine{kCold5, kLumbar3, kVibrate7, kSwitchByte0B, kVolume4, kQuery};
  const auto frames = rig.frames(kChair);
  EXPECT_TRUE(in_order(frames, mine)) << joined(frames);
  std::vector<std::string> tx;
  for (const auto& f : mine) tx.push_back("TX: " + f);
  EXPECT_TRUE(in_order(rig.events().logs(sent), tx)) << joined(rig.events().logs(sent));
  for (const auto& f : frames) EXPECT_NE(f.rfind("55 03", 0), 0u) << "a refused command reached the chair: " << f;

  // Every answer decoded once, whole, in the order the same chair without chunking sends them.
  std::vector<std::string> expected, received;
  EXPECT_TRUE(eventually([&] {
    sim::ChairModel reference;
    expected.clear();
    for (const auto& f : rig.frames(kChair)) {
      for (const auto& answer : reference.on_write(*ble::raw_bytes(f))) expected.push_back(ble::hex_dump(answer));
    }
    received.clear();
    for (size_t i = 0; i < rig.events().size(); ++i) {
      if (rig.events().at(i).value("type", "") == "chair") received.push_back(rig.events().at(i)["chair"]["raw"]);
    }
    return received == expected;
  })) << "expected:\n"
      << joined(expected) << "received:\n"
      << joined(received);
}

struct LayoutCase {
  const char* layout;
  std::vector<std::string> logs;  // in this order
  const char* write_type;         // how the frames reach the chair; nullptr: no connection
};

void handshake_chooses_the_characteristics(Installation& rig, const LayoutCase& c) {
  rig.quiet_init();
  const size_t from = rig.events().size();
  ASSERT_EQ(rig.api(std::string("/api/connect?addr=") + kChair), kOk);
  if (!c.write_type) {
    ASSERT_TRUE(rig.events().wait_status("idle", 10s, from)) << rig.events().dump(from);
    EXPECT_TRUE(in_order(rig.events().logs(from), c.logs)) << joined(rig.events().logs(from));
    EXPECT_FALSE(rig.events().wait_status("connected", 300ms, from));
    EXPECT_EQ(rig.api("/api/cmd/query"), error_reply("not connected or characteristic not found"));
    EXPECT_EQ(rig.writes(kChair), std::vector<std::string>{});
    EXPECT_TRUE(eventually([&] { return rig.chair_status(kChair)["connected"] == false; }, 5s))
        << "the failed link is let go";
    return;
  }
  ASSERT_TRUE(rig.events().wait_status("connected", 10s, from)) << rig.events().dump(from);
  wait_init_done(rig, from);
  EXPECT_TRUE(in_order(rig.events().logs(from), c.logs)) << joined(rig.events().logs(from));

  const size_t sent = rig.events().size();
  EXPECT_EQ(rig.api("/api/cmd/intensity?fn=cold&value=5"), kOk);
  EXPECT_EQ(rig.api("/api/cmd/query"), kOk);
  EXPECT_TRUE(rig.events().wait(chair_event([](const Json& j) { return j["cold"] == 5; }), 5s, sent))
      << rig.events().dump(sent);
  EXPECT_TRUE(in_order(rig.writes(kChair), {std::string(c.write_type) + " " + kCold5})) << joined(rig.writes(kChair));
}

TEST_P(Scenario, TheHandshakeChoosesTheCharacteristicsOfAnIndicatingChair) {
  handshake_chooses_the_characteristics(start({.sim_args = {"--chair", kPairedChair + ",layout=indicate-only"}}),
                                        {"indicate-only",
                                         {"    Char 7772e5db-3868-4112-a1a9-f2669d106bf3 props=[Read,Write,Indicate]",
                                          "write/notify share one characteristic", "write mode = WriteWithResponse",
                                          "indications subscribed", "connected TAMRO-X1 (C0:FF:EE:01:02:0A)"},
                                         "request"});
}

TEST_P(Scenario, TheHandshakeChoosesTheCharacteristicsOfAChairWithASeparateNotifier) {
  handshake_chooses_the_characteristics(
      start({.sim_args = {"--chair", kPairedChair + ",layout=write-only-with-notifier"}}),
      {"write-only-with-notifier",
       {"    Char 7772e5db-3868-4112-a1a9-f2669d106bf3 props=[WriteNoResp,Write]",
        "    Char 0000fff1-0000-1000-8000-00805f9b34fb props=[Notify]",
        "write characteristic = 7772e5db-3868-4112-a1a9-f2669d106bf3", "write mode = WriteWithoutResponse",
        "notifications subscribed", "connected TAMRO-X1 (C0:FF:EE:01:02:0A)"},
       "command"});
}

// No data characteristic: the service's notifying one takes the frames as well.
TEST_P(Scenario, TheHandshakeChoosesTheCharacteristicsOfAChairWithAForeignCharacteristic) {
  handshake_chooses_the_characteristics(start({.sim_args = {"--chair", kPairedChair + ",layout=foreign-char"}}),
                                        {"foreign-char",
                                         {"    Char 0000fff1-0000-1000-8000-00805f9b34fb props=[Read,Write,Notify]",
                                          "write/notify share one characteristic", "write mode = WriteWithResponse",
                                          "notifications subscribed", "connected TAMRO-X1 (C0:FF:EE:01:02:0A)"},
                                         "request"});
}

TEST_P(Scenario, TheHandshakeGivesUpAChairWithoutADataCharacteristic) {
  handshake_chooses_the_characteristics(
      start({.sim_args = {"--chair", kPairedChair + ",layout=no-data-char"}}),
      {"no-data-char",
       {"found 1 services", "    Char 0000fff2-0000-1000-8000-00805f9b34fb props=[Read]",
        "BCA4 notify characteristic not found; reconnecting"},
       nullptr});
}

TEST_P(Scenario, BoundChairConnectsByItselfAndComesBackAfterTheLinkDrops) {
  auto& rig = start({.sim_args = {"--chair", kPairedChair}});
  size_t from = rig.events().size();
  ASSERT_EQ(rig.api(std::string("/api/bind/set?addr=") + kChair + "&name=My%20chair"), kOk);
  ASSERT_TRUE(rig.events().wait_log("已绑定座椅 My chair (C0:FF:EE:01:02:0A)", 3s, from));
  const auto first = rig.events().wait_status("connected", 10s, from);
  ASSERT_TRUE(first) << rig.events().dump(from);
  EXPECT_EQ(rig.events().at(*first)["name"], kChairName) << "the device's own name wins";

  // Switched off: the service notices, lets the link go and waits for the chair.
  from = rig.events().size();
  EXPECT_EQ(rig.ctl({"drop", kChair}), "");
  const auto lost = rig.events().wait_status("idle", 12s, from);
  ASSERT_TRUE(lost) << rig.events().dump(from);
  const auto logs = rig.events().logs(from);
  EXPECT_TRUE(in_order(logs, {"status poll failed; reconnecting"}) || in_order(logs, {"座椅连接已断开，将自动重连"}))
      << joined(logs);

  EXPECT_EQ(rig.ctl({"present", kChair}), "");
  ASSERT_TRUE(rig.events().wait_status("connected", 12s, *lost)) << rig.events().dump(*lost);
  EXPECT_EQ(rig.chair_status(kChair)["connected"], true);
}

TEST_P(Scenario, SilentChairIsGivenUpAfterThreePollsAndReconnectedWhenItAnswers) {
  auto& rig = start({.sim_args = {"--chair", kPairedChair}});
  rig.quiet_init();
  ASSERT_EQ(rig.api(std::string("/api/bind/set?addr=") + kChair + "&name=X"), kOk);
  ASSERT_TRUE(rig.events().wait_status("connected", 10s));

  size_t from = rig.events().size();
  EXPECT_EQ(rig.ctl({"silent", "on", kChair}), "");
  const auto timeout = rig.events().wait_log("status poll timeout", 8s, from);
  ASSERT_TRUE(timeout) << rig.events().dump(from);
  const auto failed = rig.events().wait_log("status poll failed; reconnecting", 10s, *timeout);
  ASSERT_TRUE(failed) << rig.events().dump(from);
  ASSERT_TRUE(rig.events().wait_status("idle", 2s, *failed));
  const auto logs = rig.events().logs(from);
  EXPECT_EQ(std::count(logs.begin(), logs.end(), "status poll timeout"), 1) << "only the first failure of a run";

  EXPECT_EQ(rig.ctl({"silent", "off", kChair}), "");
  ASSERT_TRUE(rig.events().wait_log("auto connecting C0:FF:EE:01:02:0A ...", 5s, *failed));
  EXPECT_TRUE(rig.events().wait_status("connected", 8s, *failed)) << rig.events().dump(*failed);
}

TEST_P(Scenario, ShutdownSilencesTheChairFrameByFrameAndDropsTheLink) {
  auto& rig = start({.sim_args = {"--chair", kPairedChair}});
  rig.quiet_init();
  const size_t from = rig.events().size();
  rig.connect(kChair, kChairName);
  wait_init_done(rig, from);
  EXPECT_EQ(rig.api("/api/cmd/intensity?fn=vibrate&value=7"), kOk);

  const size_t before = rig.writes(kChair).size();
  const size_t at = rig.events().size();
  EXPECT_EQ(rig.api("/api/shutdown"), kOk);
  const std::vector<std::string> silent{
      "55 02 0A 02 00 0A AA", "55 03 0A 02 00 0B AA", "55 06 0A 02 00 0E AA", "55 04 0A 02 00 0C AA",
      "55 05 0A 02 00 0D AA", "55 07 0A 02 04 0B AA", "55 07 0A 02 02 0D AA", "55 07 0A 02 01 0E AA",
  };
  auto frames = rig.frames(kChair);
  frames.erase(frames.begin(), frames.begin() + static_cast<std::ptrdiff_t>(before));
  // The status poll may slip a query in between; nothing else may.
  std::erase(frames, std::string(kQuery));
  EXPECT_EQ(frames, silent);
  std::vector<std::string> expected_logs{"silent shutdown: turning off all chair functions..."};
  for (const auto& f : silent) expected_logs.push_back("TX: " + f);
  expected_logs.push_back("chair entered silent state");
  EXPECT_TRUE(in_order(rig.events().logs(at), expected_logs)) << joined(rig.events().logs(at));
  EXPECT_TRUE(rig.events().wait_status("idle", 2s, at));

  const Json state = rig.chair_status(kChair);
  for (const char* level : {"cold", "hot", "vibrate", "volume", "lumbar"}) EXPECT_EQ(state[level], 0) << level;
  EXPECT_TRUE(eventually([&] { return rig.chair_status(kChair)["connected"] == false; }, 5s));
  EXPECT_EQ(rig.api("/api/cmd/query"), error_reply("not connected or characteristic not found"));
}

TEST_P(Scenario, RefusedWritesAreReportedAndTheLinkSurvivesAShortRefusal) {
  auto& rig = start({.sim_args = {"--chair", kPairedChair}});
  const std::string refused = rig.refused_write_text();
  rig.quiet_init();
  const size_t from = rig.events().size();
  rig.connect(kChair, kChairName);
  wait_init_done(rig, from);

  const size_t refused_at = rig.events().size();
  EXPECT_EQ(rig.ctl({"refuse-writes", kChair}), "");
  const size_t before = rig.writes(kChair).size();
  EXPECT_EQ(rig.api("/api/cmd/intensity?fn=cold&value=5"), error_reply(refused));
  EXPECT_TRUE(rig.events().wait_log("TX: " + std::string(kCold5), 2s, refused_at)) << "logged once, tried twice";
  EXPECT_TRUE(rig.events().wait_log("status poll write failed: " + refused, 5s, refused_at))
      << rig.events().dump(refused_at);
  EXPECT_EQ(rig.writes(kChair).size(), before);

  EXPECT_EQ(rig.ctl({"accept-writes", kChair}), "");
  const size_t accepted_at = rig.events().size();
  EXPECT_EQ(rig.api("/api/cmd/intensity?fn=cold&value=5"), kOk);
  EXPECT_TRUE(rig.events().wait(chair_event([](const Json& c) { return c["cold"] == 5; }), 3s, accepted_at));
  // A later poll is answered and the count starts again: the link stays.
  const auto poll = rig.events().wait_log("TX: " + std::string(kQuery), 6s, accepted_at);
  ASSERT_TRUE(poll);
  EXPECT_TRUE(rig.events().wait(chair_event([](const Json&) { return true; }), 3s, *poll));
  EXPECT_FALSE(rig.events().wait_status("idle", 10ms, refused_at)) << rig.events().dump(refused_at);
  EXPECT_EQ(rig.chair_status(kChair)["connected"], true);
}

}  // namespace
}  // namespace chair::test
