// Opening a link and the setup handshake, seen through what the link reports.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "ble/protocol/commands.h"
#include "link_fixture.h"

namespace chair::test::link {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Not;

const Bytes kReport = full_report({3, 0, 2, 5, 4, 30, 0x18});

TEST(Handshake, FullSequenceFromConnectToInitialSettingsAndFirstPoll) {
  LinkRig rig;
  auto chair = add_data_chair(*rig.fake);
  answer_queries(chair, kReport);

  EXPECT_TRUE(rig.connect());
  EXPECT_THAT(rig.events.until("log:TX: 55 06 0A 02 03 0D AA"),
              ElementsAre("status:connecting", "log:connecting C0:FF:EE:01:02:0A ...",
                          "log:link opened TAMRO S1 (C0:FF:EE:01:02:0A)", "log:found 1 services",
                          "log:  Service 0000fff0-0000-1000-8000-00805f9b34fb",
                          "log:    Char 7772e5db-3868-4112-a1a9-f2669d106bf3 props=[Read,WriteNoResp,Write,Notify]",
                          "log:write/notify share one characteristic", "log:write mode = WriteWithoutResponse",
                          "log:notifications subscribed", "log:querying initial status...",
                          "log:TX: 55 01 0A 02 00 09 AA", "log:RX: " + hex(kReport), "chair:" + hex(kReport),
                          "status:connected/TAMRO S1", "log:connected TAMRO S1 (C0:FF:EE:01:02:0A)",
                          // The default settings: cooling at 10, lumbar 3.
                          "log:applying init config...", "log:TX: 55 07 0A 02 40 4F AA", "log:TX: 55 02 0A 02 0A 00 AA",
                          "log:TX: 55 06 0A 02 03 0D AA"));

  // The first poll re-asserts cooling, then queries; the repeated report is not logged again.
  EXPECT_THAT(rig.events.until("chair:" + hex(kReport)),
              ElementsAre("log:TX: 55 07 0A 02 40 4F AA", "log:TX: 55 02 0A 02 0A 00 AA",
                          "log:TX: 55 01 0A 02 00 09 AA", "chair:" + hex(kReport)));

  auto& data = chair.chars[0];
  EXPECT_THAT(data->subscriptions(), ElementsAre(ble::Subscription::Notify));
  for (const auto& w : data->writes()) EXPECT_EQ(w.option, ble::WriteOption::WithoutResponse);
  ASSERT_EQ(rig.fake->connections().size(), 1u);
  const auto view = rig.link->view();
  EXPECT_EQ(view.phase, ble::LinkPhase::Connected);
  EXPECT_EQ(view.address, kChairText);
  EXPECT_EQ(view.name, "TAMRO S1");
  EXPECT_EQ(view.generation, 1u);
}

// A report that comes on a platform thread of its own is out, its "RX" line and "chair" event,
// before the handshake it wakes says "connected"; a slow reader of the events must not turn
// the order round.
TEST(Handshake, TheFirstReportIsPublishedBeforeConnected) {
  class SlowReports final : public ble::LinkEvents, public ble::LinkDirectory {
   public:
    void on_link_log(std::string text) override {
      if (text.rfind("RX: ", 0) == 0) std::this_thread::sleep_for(100ms);
      add("log:" + text);
    }
    void on_link_status(ble::LinkStatus status, const std::string& name) override {
      if (status == ble::LinkStatus::Connected) add("status:connected/" + name);
    }
    void on_chair_status(ble::ChairStatus status) override { add("chair:" + status.raw); }
    std::string remembered_name(const std::string&) override { return {}; }
    ble::InitConfig initial_settings() override { return {}; }
    std::vector<std::string> lines() {
      std::lock_guard lock(mutex_);
      return lines_;
    }

   private:
    void add(std::string line) {
      std::lock_guard lock(mutex_);
      lines_.push_back(std::move(line));
    }
    std::mutex mutex_;
    std::vector<std::string> lines_;
  };
  auto fake = std::make_shared<FakePlatform>();
  auto chair = add_data_chair(*fake);
  auto data = chair.chars[0];
  // Weak: the hook lives inside the characteristic it answers on.
  data->on_write([weak = std::weak_ptr<FakeCharacteristic>(data)](const Bytes& bytes) {
    if (bytes != ble::query_frame()) return;
    std::thread([weak] {
      if (auto d = weak.lock()) d->notify(kReport);
    }).detach();
  });
  SlowReports events;
  auto link = std::make_unique<ble::ChairLink>(fake, events, events, fast_timings());
  ASSERT_TRUE(link->connect(kChairText));
  const std::string connected = "status:connected/TAMRO S1";
  ASSERT_TRUE(eventually([&] { return std::ranges::count(events.lines(), connected) == 1; }));
  const auto lines = events.lines();
  const auto at = [&](const std::string& line) { return std::ranges::find(lines, line) - lines.begin(); };
  EXPECT_LT(at("log:RX: " + hex(kReport)), at(connected));
  EXPECT_LT(at("chair:" + hex(kReport)), at(connected));
  link.reset();
}

TEST(Handshake, DisplayName) {
  struct Case {
    const char* what;
    std::string remembered;
    Result<std::string> device_name;
    std::string expected;
  };
  const Case cases[] = {
      {"a remembered name, used untrimmed", "  Den chair ", std::string(" "), "  Den chair "},
      {"nothing remembered: the address", " \t", fail("no name"), kChairText},
      {"the chair's own name wins", "Den chair", std::string("TAMRO S1"), "TAMRO S1"},
  };

  LinkRig rig;
  auto chair = add_data_chair(*rig.fake);
  answer_queries(chair, kReport);
  std::vector<std::string> asked;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    rig.events.set_names([&asked, name = c.remembered](const std::string& address) {
      asked.push_back(address);
      return name;
    });
    chair.device->set_name(c.device_name);

    EXPECT_TRUE(rig.connect());
    EXPECT_TRUE(rig.events.wait_line("log:link opened " + c.expected + " (C0:FF:EE:01:02:0A)"));
    EXPECT_TRUE(rig.events.wait_line("status:connected/" + c.expected));
    rig.link->teardown();
  }
  EXPECT_THAT(asked, ElementsAre(kChairText, kChairText, kChairText));
}

TEST(Handshake, AddressForms) {
  LinkRig rig;
  auto chair = add_data_chair(*rig.fake);
  answer_queries(chair, kReport);

  // Separators do not matter; the address is shown as given.
  for (std::string addr : {"C0:FF:EE:01:02:0A", "c0ffee01020a", "C0-FF-EE-01-02-0A"}) {
    SCOPED_TRACE(addr);
    EXPECT_TRUE(rig.connect(addr));
    // Waiting for the last initial setting leaves no handshake step to report later.
    auto lines = rig.events.until("log:TX: 55 06 0A 02 03 0D AA");
    EXPECT_THAT(lines, Contains("log:link opened TAMRO S1 (" + addr + ")"));
    rig.link->teardown();
    rig.events.drain();
  }

  // Every hex digit counts, also those of a prefix; no status is reported.
  for (std::string addr : {"C0:FF:EE:01:02:0", "C0:FF:EE:01:02:0A:1", "ID:C0:FF:EE:01:02:0A", "zz", ""}) {
    SCOPED_TRACE(addr);
    EXPECT_FALSE(rig.connect(addr));
    EXPECT_THAT(rig.events.drain(), ElementsAre("log:MAC parse failed"));
  }
  EXPECT_EQ(rig.fake->connections().size(), 3u);
}

TEST(Handshake, DeviceThatCannotBeOpened) {
  LinkRig rig;
  auto chair = add_data_chair(*rig.fake);
  rig.fake->set_open_error(kChairAddress, "device gone");
  EXPECT_FALSE(rig.connect());
  EXPECT_THAT(rig.events.drain(), ElementsAre("status:connecting", "log:connecting C0:FF:EE:01:02:0A ...",
                                              "status:idle", "log:connect failed: device gone"));
  EXPECT_EQ(rig.phase(), ble::LinkPhase::Closed);

  // No chair at that address at all.
  EXPECT_FALSE(rig.connect("11:22:33:44:55:66"));
  EXPECT_THAT(rig.events.drain(), ElementsAre("status:connecting", "log:connecting 11:22:33:44:55:66 ...",
                                              "status:idle", "log:connect failed: device 11:22:33:44:55:66 not found"));
}

TEST(Handshake, ServiceDiscoveryRetries) {
  FakeDiscovery empty;
  FakeDiscovery failing;
  failing.error = "busy";

  {
    SCOPED_TRACE("failures and empty lists, twelve times");
    LinkRig rig;
    auto chair = add_data_chair(*rig.fake);
    chair.device->script_discovery({failing, empty});
    EXPECT_TRUE(rig.connect());
    auto lines = rig.events.until("status:idle");
    EXPECT_THAT(lines, Contains("log:discover services failed; reconnecting"));
    EXPECT_THAT(lines, Not(Contains(::testing::StartsWith("log:found"))));
    EXPECT_EQ(chair.device->discoveries(), 12);
    EXPECT_EQ(chair.device->closes(), 1);
    EXPECT_EQ(rig.phase(), ble::LinkPhase::Closed);
  }
  {
    SCOPED_TRACE("the twelfth attempt succeeds");
    LinkRig rig;
    auto chair = add_data_chair(*rig.fake);
    std::vector<FakeDiscovery> script(11, failing);
    script.push_back(FakeDiscovery{chair.services, {}});
    chair.device->script_discovery(script);
    answer_queries(chair, kReport);
    EXPECT_TRUE(rig.connect());
    EXPECT_THAT(rig.events.until("status:connected/TAMRO S1"), Contains("log:found 1 services"));
    EXPECT_EQ(chair.device->discoveries(), 12);
  }
}

TEST(Handshake, ChairThatNeverAnswersIsDropped) {
  LinkRig rig;
  auto chair = add_data_chair(*rig.fake);
  answer_queries(chair, kReport, [](int) { return false; });

  EXPECT_TRUE(rig.connect());
  rig.events.until("log:querying initial status...");
  EXPECT_THAT(
      rig.events.until("status:idle"),
      ElementsAre("log:TX: 55 01 0A 02 00 09 AA", "log:initial status timeout (1/3)", "log:TX: 55 01 0A 02 00 09 AA",
                  "log:initial status timeout (2/3)", "log:TX: 55 01 0A 02 00 09 AA",
                  "log:initial status timeout (3/3)", "log:initial status not received; reconnecting", "status:idle"));
  EXPECT_EQ(rig.phase(), ble::LinkPhase::Closed);
  EXPECT_EQ(chair.chars[0]->handlers_active(), 0);
  EXPECT_EQ(chair.device->closes(), 1);
  EXPECT_FALSE(rig.link->thermal().active);
}

TEST(Handshake, InitialQueryWriteFailureDropsTheLink) {
  LinkRig rig;
  auto chair = add_data_chair(*rig.fake);
  chair.chars[0]->set_write_result(ble::WriteOption::WithoutResponse, fail("radio off"));
  chair.chars[0]->set_write_result(ble::WriteOption::WithResponse, fail("still off"));
  EXPECT_TRUE(rig.connect());
  EXPECT_THAT(rig.events.until("status:idle"), Contains("log:initial query failed: still off; reconnecting"));
}

TEST(Handshake, InitialSettings) {
  struct Case {
    const char* what;
    ble::InitConfig init;
    std::vector<std::string> frames;  // TX lines after "applying init config..."
    ble::ThermalSnapshot thermal;
  };
  auto init = [](std::string water, int cool, int heat, int lumbar, int vibrate, int volume) {
    return ble::InitConfig{std::move(water), cool, heat, lumbar, vibrate, volume};
  };
  const Case cases[] = {
      {"heat above the top level",
       init("heat", 3, 15, 0, 0, 0),
       {"55 07 0A 02 40 4F AA", "55 03 0A 02 0A 01 AA"},
       {true, 1, 10}},
      {"heat at 0: only the switch", init("heat", 3, 0, 0, 0, 0), {"55 07 0A 02 40 4F AA"}, {true, 1, 0}},
      {"water off, every level",
       init("off", 5, 5, 12, 2, 1),
       {"55 07 0A 02 04 0B AA", "55 06 0A 02 0A 04 AA", "55 04 0A 02 02 0E AA", "55 05 0A 02 01 0C AA"},
       {false, 0, 0}},
      {"water compared exactly: Heat cools",
       init("Heat", 4, 9, 0, 0, 0),
       {"55 07 0A 02 40 4F AA", "55 02 0A 02 04 0E AA"},
       {true, 0, 4}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    LinkRig rig(no_poll_timings());
    rig.events.set_settings(c.init);
    auto chair = add_data_chair(*rig.fake);
    answer_queries(chair, kReport);
    EXPECT_TRUE(rig.connect());
    rig.events.until("log:applying init config...");
    std::vector<std::string> expected;
    for (const auto& f : c.frames) expected.push_back("log:TX: " + f);
    ASSERT_TRUE(eventually([&] { return chair.chars[0]->writes().size() == 1 + c.frames.size(); }));
    EXPECT_EQ(rig.events.drain(), expected);
    auto thermal = rig.link->thermal();
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
  ble::LinkTimings t = fast_timings();
  t.before_init = 400ms;
  LinkRig rig(t);
  auto chair = add_data_chair(*rig.fake);
  answer_queries(chair, kReport);
  EXPECT_TRUE(rig.connect());
  rig.events.until("status:connected/TAMRO S1");
  rig.link->teardown();

  EXPECT_FALSE(rig.events.wait_line("log:applying init config...", 800ms));
  EXPECT_FALSE(rig.link->thermal().active);
  EXPECT_EQ(chair.chars[0]->writes().size(), 1u);
}

TEST(Handshake, SecondConnectAbandonsARunningHandshake) {
  LinkRig rig;
  auto first = add_data_chair(*rig.fake, kDataProps, "TAMRO A");
  first.device->script_discovery({FakeDiscovery{{}, "unreachable"}});
  auto second = add_data_chair(*rig.fake, kDataProps, "TAMRO B", 0x112233445566);
  answer_queries(second, kReport);

  EXPECT_TRUE(rig.connect());
  rig.events.until("log:link opened TAMRO A (C0:FF:EE:01:02:0A)");
  EXPECT_TRUE(rig.connect("11:22:33:44:55:66"));
  // The unfinished link is closed before the new one opens.
  EXPECT_EQ(first.device->closes(), 1);
  rig.events.until("status:connected/TAMRO B");

  // The first handshake ends at its next check instead of failing the new link.
  EXPECT_FALSE(rig.events.wait_line("log:discover services failed; reconnecting", 1s));
  EXPECT_LT(first.device->discoveries(), 12);
  const auto view = rig.link->view();
  EXPECT_EQ(view.phase, ble::LinkPhase::Connected);
  EXPECT_EQ(view.address, "11:22:33:44:55:66");
}

TEST(Handshake, ReplacingAConnectedLinkAndDroppingByGeneration) {
  LinkRig rig;
  auto first = add_data_chair(*rig.fake, kDataProps, "TAMRO A");
  answer_queries(first, kReport);
  auto second = add_data_chair(*rig.fake, kDataProps, "TAMRO B", 0x112233445566);
  answer_queries(second, kReport);

  EXPECT_TRUE(rig.connect());
  rig.events.until("status:connected/TAMRO A");
  const uint64_t old_generation = rig.link->view().generation;
  EXPECT_EQ(old_generation, 1u);

  EXPECT_TRUE(rig.connect("11:22:33:44:55:66"));
  rig.events.until("status:connected/TAMRO B");
  // A connected link is replaced: its connection is released without closing it, which ends
  // its subscription.
  EXPECT_EQ(first.device->closes(), 0);
  EXPECT_EQ(first.device->releases(), 1);
  EXPECT_EQ(first.chars[0]->handlers_active(), 0);

  // Dropping the old generation leaves the new link alone.
  EXPECT_FALSE(rig.link->drop(old_generation));
  EXPECT_TRUE(rig.link->is_current(2));

  rig.link->teardown();
  for (uint64_t g : {0u, 1u, 2u}) EXPECT_FALSE(rig.link->is_current(g)) << g;
  EXPECT_EQ(second.device->closes(), 1);
  EXPECT_EQ(second.chars[0]->handlers_active(), 0);
  EXPECT_FALSE(rig.link->drop(2));
}

TEST(Handshake, ConnectingTheSameChairAgainKeepsOneHandler) {
  LinkRig rig(no_poll_timings());
  auto chair = add_data_chair(*rig.fake);
  answer_queries(chair, kReport, [](int n) { return n <= 2; });
  for (int i = 0; i < 2; ++i) {
    EXPECT_TRUE(rig.connect());
    rig.events.until("log:TX: 55 06 0A 02 03 0D AA");
  }
  EXPECT_EQ(chair.chars[0]->handlers_active(), 1);

  // A report split over two notifications arrives once, whole.
  const Bytes report = full_report({7, 0, 0, 0, 0, 31, 0x10});
  chair.chars[0]->notify(Bytes(report.begin(), report.begin() + 4));
  chair.chars[0]->notify(Bytes(report.begin() + 4, report.end()));
  EXPECT_THAT(rig.events.drain(), ElementsAre("log:RX: " + hex(report), "chair:" + hex(report)));
}

// The handshake at the service's own pauses: three initial queries 1.5 s apart, measured
// where the chair sees them.
TEST(HandshakeRealTime, InitialStatusTimeoutsAreOneAndAHalfSecondsApart) {
  LinkRig rig(ble::LinkTimings{});
  auto chair = add_data_chair(*rig.fake);
  auto times = QueryTimes::attach(chair, kReport, false);
  EXPECT_TRUE(rig.connect());
  EXPECT_THAT(rig.events.until("status:idle", 10s), Contains("log:initial status timeout (3/3)"));
  ASSERT_EQ(times->count(), 3u);
  for (size_t i = 1; i < 3; ++i) {
    EXPECT_GE(times->gap_ms(i), 1450);
    EXPECT_LE(times->gap_ms(i), 2600);
  }
}

}  // namespace
}  // namespace chair::test::link
