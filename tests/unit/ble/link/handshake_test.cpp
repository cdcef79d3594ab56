// Opening a link and the setup handshake, seen through the API and the event stream.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <mutex>

#include "ble/link.h"
#include "ble/protocol/commands.h"
#include "link_rig.h"
#include "main/http.h"
#include "main/service_state.h"

namespace chair::test::link {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Not;

const Bytes kReport = full_report({3, 0, 2, 5, 4, 30, 0x18});

bool link_open(Rig& rig) {
  std::lock_guard lock(rig.state().link.mutex);
  return rig.state().link.open;
}

TEST(Handshake, FullSequenceFromConnectToInitialSettingsAndFirstPoll) {
  Rig rig;
  auto chair = add_data_chair(*rig.fake);
  answer_queries(chair, kReport);

  EXPECT_EQ(rig.connect(), ok_reply());
  EXPECT_THAT(rig.until("log:TX: 55 06 0A 02 03 0D AA"),
              ElementsAre("status:connecting", "log:connecting C0:FF:EE:01:02:0A ...",
                          "log:link opened TAMRO S1 (C0:FF:EE:01:02:0A)", "log:found 1 services",
                          "log:  Service 0000fff0-0000-1000-8000-00805f9b34fb",
                          "log:    Char 7772e5db-3868-4112-a1a9-f2669d106bf3 props=[Read,WriteNoResp,Write,Notify]",
                          "log:write/notify share one characteristic", "log:write mode = WriteWithoutResponse",
                          "log:notifications subscribed", "log:querying initial status...",
                          "log:TX: 55 01 0A 02 00 09 AA", "log:RX: " + hex(kReport), "chair:" + hex(kReport),
                          "status:connected/TAMRO S1", "log:connected TAMRO S1 (C0:FF:EE:01:02:0A)",
                          // The default settings: cooling at 10, lumbar 3.
                          "log:applying init config...", "log:TX: 55 07 0A 02 40 4F AA",
                          "log:TX: 55 02 0A 02 0A 00 AA", "log:TX: 55 06 0A 02 03 0D AA"));

  // The first poll re-asserts cooling, then queries; the repeated report is not logged again.
  EXPECT_THAT(rig.until("chair:" + hex(kReport)),
              ElementsAre("log:TX: 55 07 0A 02 40 4F AA", "log:TX: 55 02 0A 02 0A 00 AA",
                          "log:TX: 55 01 0A 02 00 09 AA", "chair:" + hex(kReport)));

  auto& data = chair.chars[0];
  EXPECT_THAT(data->cccd_writes(), ElementsAre(ble::CccdValue::Notify));
  for (const auto& w : data->writes()) EXPECT_EQ(w.option, ble::WriteOption::WithoutResponse);
  ASSERT_EQ(rig.fake->sessions().size(), 1u);
  EXPECT_TRUE(rig.fake->sessions()[0]->maintain_connection());
  EXPECT_GE(rig.fake->init_thread_calls(), 2);  // the setup and poll threads
  std::lock_guard lock(rig.state().link.mutex);
  EXPECT_TRUE(rig.state().link.connected);
  EXPECT_EQ(rig.state().link.address, kChairText);
  EXPECT_EQ(rig.state().link.lastSwitch, 0x18);
}

TEST(Handshake, DisplayNameChoice) {
  struct Case {
    const char* what;
    std::string bound_address, bound_name, table_name, paired_name;
    Result<std::string> device_name;
    std::string expected;
  };
  const Case cases[] = {
      {"binding, matched in another spelling", "c0ffee01020a", "Den chair", "TAMRO Adv", "TAMRO Paired", std::string(""),
       "Den chair"},
      {"binding names are used untrimmed", kChairText, "  Den chair ", "", "", std::string(" "), "  Den chair "},
      {"blank binding name: advertised name", kChairText, " \t", "TAMRO Adv", "TAMRO Paired", std::string(""),
       "TAMRO Adv"},
      {"other chair bound, blank advertised name: paired name", "11:22:33:44:55:66", "Other", "  ", "TAMRO Paired",
       std::string(""), "TAMRO Paired"},
      {"nothing known: the address", "", "", "", "", fail("no name"), kChairText},
      {"the chair's own name wins", kChairText, "Den chair", "TAMRO Adv", "TAMRO Paired", std::string("TAMRO S1"),
       "TAMRO S1"},
  };

  Rig rig;
  auto chair = add_data_chair(*rig.fake);
  answer_queries(chair, kReport);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    rig.set_binding(c.bound_address, c.bound_name);
    {
      std::lock_guard lock(rig.state().devices.mutex);
      rig.state().devices.entries.clear();
      ble::DeviceRecord record;
      record.address = kChairText;
      record.name = c.table_name;
      rig.state().devices.entries[kChairText] = record;
    }
    {
      std::lock_guard lock(rig.state().paired.mutex);
      rig.state().paired.names.clear();
      if (!c.paired_name.empty()) rig.state().paired.names["C0FFEE01020A"] = c.paired_name;
    }
    chair.device->set_name(c.device_name);

    EXPECT_EQ(rig.connect(), ok_reply());
    EXPECT_TRUE(rig.wait_line("log:link opened " + c.expected + " (C0:FF:EE:01:02:0A)"));
    EXPECT_TRUE(rig.wait_line("status:connected/" + c.expected));
    EXPECT_EQ(rig.call("/api/disconnect"), ok_reply());
    rig.drain();
  }
}

TEST(Handshake, AddressForms) {
  Rig rig;
  auto chair = add_data_chair(*rig.fake);
  answer_queries(chair, kReport);

  // Separators do not matter; the route passes the address on trimmed and in upper case.
  const std::pair<std::string, std::string> good[] = {
      {"C0:FF:EE:01:02:0A", "C0:FF:EE:01:02:0A"},
      {"c0ffee01020a", "C0FFEE01020A"},
      {"C0-FF-EE-01-02-0A", "C0-FF-EE-01-02-0A"},
      {"%20c0:ff:ee:01:02:0a%09", "C0:FF:EE:01:02:0A"},
  };
  for (const auto& [addr, shown] : good) {
    SCOPED_TRACE(addr);
    EXPECT_EQ(rig.connect(addr), ok_reply());
    // Waiting for the last initial setting leaves no handshake step to report later.
    auto lines = rig.until("log:TX: 55 06 0A 02 03 0D AA");
    EXPECT_THAT(lines, Contains("log:link opened TAMRO S1 (" + shown + ")"));
    EXPECT_EQ(rig.call("/api/disconnect"), ok_reply());
    rig.drain();
  }

  // Every hex digit counts, also those of a prefix; no status event is sent.
  for (std::string addr : {"C0:FF:EE:01:02:0", "C0:FF:EE:01:02:0A:1", "ID:C0:FF:EE:01:02:0A", "zz"}) {
    SCOPED_TRACE(addr);
    EXPECT_EQ(rig.connect(addr), error_reply("connect failed"));
    EXPECT_THAT(rig.drain(), ElementsAre("log:MAC parse failed"));
  }

  for (std::string target : {"/api/connect", "/api/connect?addr=", "/api/connect?addr=%20%09"}) {
    SCOPED_TRACE(target);
    EXPECT_EQ(rig.call(target), error_reply("missing addr param"));
    EXPECT_THAT(rig.drain(), ElementsAre());
  }
  EXPECT_EQ(rig.fake->sessions().size(), 4u);
}

TEST(Handshake, DeviceOrSessionFailure) {
  struct Case {
    const char* what;
    std::function<void(FakePlatform&, FakeChair&)> script;
    std::string error;  // empty: any text
  };
  const Case cases[] = {
      {"device lookup fails", [](FakePlatform& f, FakeChair&) { f.set_device_error(kChairAddress, "device gone"); },
       "device gone"},
      {"device identifier unreadable", [](FakePlatform&, FakeChair& c) { c.device->set_device_id(fail("no id")); },
       "no id"},
      {"session fails", [](FakePlatform& f, FakeChair&) { f.set_session_error("no session"); }, "no session"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Rig rig;
    auto chair = add_data_chair(*rig.fake);
    c.script(*rig.fake, chair);
    EXPECT_EQ(rig.connect(), error_reply("connect failed"));
    EXPECT_THAT(rig.drain(), ElementsAre("status:connecting", "log:connecting C0:FF:EE:01:02:0A ...", "status:idle",
                                         "log:connect failed: " + c.error));
    EXPECT_FALSE(link_open(rig));
  }

  Rig rig;  // no chair at that address: the platform gives an empty result
  EXPECT_EQ(rig.connect(), error_reply("connect failed"));
  auto lines = rig.drain();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[2], "status:idle");
  EXPECT_THAT(lines[3], ::testing::StartsWith("log:connect failed: "));
}

TEST(Handshake, ServiceDiscoveryRetries) {
  FakeDiscovery unreachable;
  unreachable.status = ble::GattStatus::Unreachable;
  FakeDiscovery empty;
  FakeDiscovery unreadable;
  unreadable.list_error = "list gone";
  FakeDiscovery failing;
  failing.error = "busy";

  {
    SCOPED_TRACE("every kind of failure, twelve times");
    Rig rig;
    auto chair = add_data_chair(*rig.fake);
    chair.device->script_discovery({failing, empty, unreadable, unreachable});
    EXPECT_EQ(rig.connect(), ok_reply());
    auto lines = rig.until("status:idle");
    EXPECT_THAT(lines, Contains("log:discover services failed; reconnecting"));
    EXPECT_THAT(lines, Not(Contains(::testing::StartsWith("log:found"))));
    EXPECT_EQ(chair.device->discoveries(), 12);
    EXPECT_EQ(chair.device->closes(), 1);
    EXPECT_FALSE(link_open(rig));
  }
  {
    SCOPED_TRACE("the twelfth attempt succeeds");
    Rig rig;
    auto chair = add_data_chair(*rig.fake);
    FakeDiscovery ok;
    ok.services = chair.services;
    std::vector<FakeDiscovery> script(11, unreachable);
    script.push_back(ok);
    chair.device->script_discovery(script);
    answer_queries(chair, kReport);
    EXPECT_EQ(rig.connect(), ok_reply());
    EXPECT_THAT(rig.until("status:connected/TAMRO S1"), Contains("log:found 1 services"));
    EXPECT_EQ(chair.device->discoveries(), 12);
  }
}

TEST(Handshake, ChairThatNeverAnswersIsDropped) {
  Rig rig;
  auto chair = add_data_chair(*rig.fake);
  answer_queries(chair, kReport, [](int) { return false; });

  EXPECT_EQ(rig.connect(), ok_reply());
  rig.until("log:querying initial status...");
  EXPECT_THAT(rig.until("status:idle"),
              ElementsAre("log:TX: 55 01 0A 02 00 09 AA", "log:initial status timeout (1/3)",
                          "log:TX: 55 01 0A 02 00 09 AA", "log:initial status timeout (2/3)",
                          "log:TX: 55 01 0A 02 00 09 AA", "log:initial status timeout (3/3)",
                          "log:initial status not received; reconnecting", "status:idle"));
  EXPECT_FALSE(link_open(rig));
  EXPECT_EQ(chair.chars[0]->handlers_active(), 0);
  EXPECT_EQ(rig.fake->sessions()[0]->closes(), 1);
  EXPECT_EQ(chair.device->closes(), 1);
  EXPECT_FALSE(rig.state().thermal.thermal_snapshot().active);
}

TEST(Handshake, InitialQueryWriteFailureDropsTheLink) {
  Rig rig;
  auto chair = add_data_chair(*rig.fake);
  chair.chars[0]->set_write_result(ble::WriteOption::WithoutResponse, fail("radio off"));
  chair.chars[0]->set_write_result(ble::WriteOption::WithResponse, fail("still off"));
  EXPECT_EQ(rig.connect(), ok_reply());
  EXPECT_THAT(rig.until("status:idle"), Contains("log:initial query failed: still off; reconnecting"));
}

TEST(Handshake, InitialSettingsFromTheBinding) {
  struct Case {
    const char* what;
    bind::InitConfig init;
    std::vector<std::string> frames;  // TX lines after "applying init config..."
    ble::ThermalSnapshot thermal;
  };
  auto init = [](std::string water, int cool, int heat, int lumbar, int vibrate, int volume) {
    bind::InitConfig i;
    i.water = std::move(water);
    i.coolLevel = cool;
    i.heatLevel = heat;
    i.lumbar = lumbar;
    i.vibrate = vibrate;
    i.volume = volume;
    return i;
  };
  const Case cases[] = {
      {"heat above the top level", init("heat", 3, 15, 0, 0, 0),
       {"55 07 0A 02 40 4F AA", "55 03 0A 02 0A 01 AA"}, {true, 1, 10}},
      {"heat at 0: only the switch", init("heat", 3, 0, 0, 0, 0), {"55 07 0A 02 40 4F AA"}, {true, 1, 0}},
      {"water off, every level", init("off", 5, 5, 12, 2, 1),
       {"55 07 0A 02 04 0B AA", "55 06 0A 02 0A 04 AA", "55 04 0A 02 02 0E AA", "55 05 0A 02 01 0C AA"},
       {false, 0, 0}},
      {"water compared exactly: Heat cools", init("Heat", 4, 9, 0, 0, 0),
       {"55 07 0A 02 40 4F AA", "55 02 0A 02 04 0E AA"}, {true, 0, 4}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Timings t = fast_timings();
    t.poll_interval = 60s;  // only the settings' own frames
    Rig rig(t);
    {
      std::lock_guard lock(rig.state().binding.mutex);
      rig.state().binding.config.init = c.init;
    }
    auto chair = add_data_chair(*rig.fake);
    answer_queries(chair, kReport);
    EXPECT_EQ(rig.connect(), ok_reply());
    rig.until("log:applying init config...");
    std::vector<std::string> expected;
    for (const auto& f : c.frames) expected.push_back("log:TX: " + f);
    EXPECT_TRUE(eventually([&] { return chair.chars[0]->writes().size() == 1 + c.frames.size(); }));
    EXPECT_EQ(rig.drain(), expected);
    auto thermal = rig.state().thermal.thermal_snapshot();
    EXPECT_EQ(thermal.active, c.thermal.active);
    if (c.thermal.active) {
      EXPECT_EQ(thermal.mode, c.thermal.mode);
      EXPECT_EQ(thermal.level, c.thermal.level);
    }
  }
}

// A link closed during the pause before the initial settings gets none of them, and the
// thermal memory its teardown cleared stays cleared.
TEST(Handshake, NoInitialSettingsForALinkClosedMeanwhile) {
  Timings t = fast_timings();
  t.before_init = 400ms;
  Rig rig(t);
  auto chair = add_data_chair(*rig.fake);
  answer_queries(chair, kReport);
  EXPECT_EQ(rig.connect(), ok_reply());
  rig.until("status:connected/TAMRO S1");
  EXPECT_EQ(rig.call("/api/disconnect"), ok_reply());

  EXPECT_FALSE(rig.wait_line("log:applying init config...", 800ms));
  EXPECT_FALSE(rig.state().thermal.thermal_snapshot().active);
  EXPECT_EQ(chair.chars[0]->writes().size(), 1u);
}

TEST(Handshake, SecondConnectAbandonsARunningHandshake) {
  Rig rig;
  auto first = add_data_chair(*rig.fake, kDataProps, "TAMRO A");
  FakeDiscovery unreachable;
  unreachable.status = ble::GattStatus::Unreachable;
  first.device->script_discovery({unreachable});
  auto second = add_data_chair(*rig.fake, kDataProps, "TAMRO B", 0x112233445566);
  answer_queries(second, kReport);

  EXPECT_EQ(rig.connect(), ok_reply());
  rig.until("log:link opened TAMRO A (C0:FF:EE:01:02:0A)");
  EXPECT_EQ(rig.connect("11:22:33:44:55:66"), ok_reply());
  // The unfinished link is closed before the new one opens.
  EXPECT_EQ(first.device->closes(), 1);
  EXPECT_EQ(rig.fake->sessions()[0]->closes(), 1);
  rig.until("status:connected/TAMRO B");

  // The first setup thread ends at its next check instead of failing the new link.
  EXPECT_FALSE(rig.wait_line("log:discover services failed; reconnecting", 1s));
  EXPECT_LT(first.device->discoveries(), 12);
  std::lock_guard lock(rig.state().link.mutex);
  EXPECT_TRUE(rig.state().link.connected);
  EXPECT_EQ(rig.state().link.address, "11:22:33:44:55:66");
}

TEST(Handshake, ReplacingAConnectedLinkAndStaleLinkLoss) {
  Rig rig;
  auto first = add_data_chair(*rig.fake, kDataProps, "TAMRO A");
  answer_queries(first, kReport);
  auto second = add_data_chair(*rig.fake, kDataProps, "TAMRO B", 0x112233445566);
  answer_queries(second, kReport);

  EXPECT_EQ(rig.connect(), ok_reply());
  rig.until("status:connected/TAMRO A");
  uint64_t old_generation = 0;
  {
    std::lock_guard lock(rig.state().link.mutex);
    old_generation = rig.state().link.generation;
  }
  EXPECT_EQ(old_generation, 1u);

  EXPECT_EQ(rig.connect("11:22:33:44:55:66"), ok_reply());
  rig.until("status:connected/TAMRO B");
  // A connected link is replaced, its objects released without closing them; only its
  // handler is unregistered.
  EXPECT_EQ(first.device->closes(), 0);
  EXPECT_EQ(rig.fake->sessions()[0]->closes(), 0);
  EXPECT_EQ(first.chars[0]->handlers_active(), 0);

  // A late failure of the old link leaves the new one alone.
  ble::link_lost(rig.state(), old_generation, "old link failed; reconnecting");
  EXPECT_THAT(rig.drain(), Not(Contains("log:old link failed; reconnecting")));
  EXPECT_TRUE(ble::is_current(rig.state(), 2));

  ble::teardown(rig.state());
  for (uint64_t g : {0u, 1u, 2u}) EXPECT_FALSE(ble::is_current(rig.state(), g)) << g;
  EXPECT_EQ(second.device->closes(), 1);
  EXPECT_EQ(second.chars[0]->handlers_active(), 0);
}

TEST(Handshake, ConnectingTheSameChairAgainKeepsOneHandler) {
  Timings t = fast_timings();
  t.poll_interval = std::chrono::hours(1);
  Rig rig(t);
  auto chair = add_data_chair(*rig.fake);
  answer_queries(chair, kReport, [](int n) { return n <= 2; });
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(rig.connect(), ok_reply());
    rig.until("log:TX: 55 06 0A 02 03 0D AA");
  }
  EXPECT_EQ(chair.chars[0]->handlers_active(), 1);

  // A report split over two notifications arrives once, whole.
  const Bytes report = full_report({7, 0, 0, 0, 0, 31, 0x10});
  const uint64_t counter = rig.state().statusCounter.load();
  chair.chars[0]->notify(Bytes(report.begin(), report.begin() + 4));
  chair.chars[0]->notify(Bytes(report.begin() + 4, report.end()));
  EXPECT_THAT(rig.drain(), ElementsAre("log:RX: " + hex(report), "chair:" + hex(report)));
  EXPECT_EQ(rig.state().statusCounter.load(), counter + 1);
}

// The handshake at the service's own pauses: three initial queries 1.5 s apart, measured
// where the chair sees them.
TEST(HandshakeRealTime, InitialStatusTimeoutsAreOneAndAHalfSecondsApart) {
  Rig rig(Timings{});
  auto chair = add_data_chair(*rig.fake);
  // Shared with the hook, which may still run after the test body has returned.
  struct Times {
    std::mutex mutex;
    std::vector<std::chrono::steady_clock::time_point> at;
  };
  auto times = std::make_shared<Times>();
  answer_queries(chair, kReport, [times](int) {
    std::lock_guard lock(times->mutex);
    times->at.push_back(std::chrono::steady_clock::now());
    return false;
  });
  auto& mutex = times->mutex;
  auto& at = times->at;
  EXPECT_EQ(rig.connect(), ok_reply());
  EXPECT_THAT(rig.until("status:idle", 10s), Contains("log:initial status timeout (3/3)"));
  std::lock_guard lock(mutex);
  ASSERT_EQ(at.size(), 3u);
  for (int i = 1; i < 3; ++i) {
    auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(at[i] - at[i - 1]);
    EXPECT_GE(gap.count(), 1450);
    EXPECT_LE(gap.count(), 2600);
  }
}

}  // namespace
}  // namespace chair::test::link
