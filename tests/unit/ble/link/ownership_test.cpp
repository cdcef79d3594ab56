// The link as the one owner of the chair: a shutdown is final whatever else is under way, the
// user's commands win over initial settings still being applied, a failed attempt tells the
// truth about the link that is still up, and a flood of requests is served one at a time.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "ble/link/connect_requests.h"
#include "ble/protocol/commands.h"
#include "link_fixture.h"

namespace chair::test::link {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::Not;

const Bytes kReport = full_report({3, 0, 2, 5, 4, 30, 0x18});

// The writes the chair received from the first silent frame on.
std::vector<Bytes> from_first_silent_frame(const FakeCharacteristicPtr& data) {
  const Bytes first = ble::silent_frames().front();
  std::vector<Bytes> out;
  bool started = false;
  for (const auto& w : data->writes()) {
    started = started || w.bytes == first;
    if (started) out.push_back(w.bytes);
  }
  return out;
}

// Shutdown the moment the chair is connected, while the initial settings are still to come,
// and at points inside them: the chair hears the eight silent frames in order and nothing
// after the first of them, and ends with everything off.
TEST(Shutdown, IsFinalWhateverTheLinkWasDoing) {
  for (auto delay : {0ms, 20ms, 45ms, 60ms, 75ms}) {
    SCOPED_TRACE("shutdown " + std::to_string(delay.count()) + " ms after connected");
    LinkRig rig;
    auto chair = add_data_chair(*rig.fake);
    auto model = attach_model(chair.chars[0]);
    EXPECT_TRUE(rig.connect());
    rig.events.until("status:connected/TAMRO S1");
    std::this_thread::sleep_for(delay);

    // A command racing the shutdown either lands before it or is refused.
    auto racing = std::async(std::launch::async, [&] { return rig.link->send_level(ble::kCold, 7); });
    rig.link->quiet();
    (void)racing.get();
    EXPECT_EQ(rig.phase(), ble::LinkPhase::Closed);
    EXPECT_FALSE(rig.link->thermal().active);

    // Beats of the (fast) poll and the rest of the settings would have come by now.
    std::this_thread::sleep_for(450ms);
    EXPECT_THAT(from_first_silent_frame(chair.chars[0]), ElementsAreArray(ble::silent_frames()));
    const auto state = model->state();
    EXPECT_EQ(state.cold, 0);
    EXPECT_EQ(state.hot, 0);
    EXPECT_EQ(state.lumbar, 0);
    EXPECT_EQ(state.switchByte & (sim::kWaterOn | sim::kHeating | sim::kMotion | sim::kBtAudio), 0);
    EXPECT_THAT(rig.events.drain(), Contains("log:chair entered silent state"));
  }
}

// A chair that does not take some silent frames: each one that failed is tried once more
// after the eight; what is still not taken is named instead of "chair entered silent state".
TEST(Shutdown, FramesTheChairDidNotTakeAreTriedAgainAndNamed) {
  using Outcome = FakeCharacteristic::Outcome;
  const Outcome ok = ble::GattStatus::Success, refused = fail("radio busy");
  const std::string incomplete = "silent shutdown incomplete: the chair may still be running (not switched off: ";
  struct Case {
    const char* what;
    std::vector<Outcome> preferred;  // the preferred option's answers in turn; the other always fails
    size_t tx_lines;
    std::string said;  // "" when the chair took every frame
  };
  const Case cases[] = {
      {"every write fails",
       {refused},
       16,
       incomplete + "cooling, heating, lumbar, vibration, volume, water, motion, Bluetooth audio)"},
      {"two fail once, the second try takes them", {refused, refused, ok}, 10, ""},
      {"cooling fails twice", {refused, ok, ok, ok, ok, ok, ok, ok, refused, ok}, 9, incomplete + "cooling)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    LinkRig rig(no_poll_timings());
    auto chair = connect_quiet_chair(rig);
    chair.chars[0]->script_write_results(ble::WriteOption::WithoutResponse, c.preferred);
    chair.chars[0]->set_write_result(ble::WriteOption::WithResponse, refused);

    const ble::QuietReport report = rig.link->quiet();
    const auto lines = rig.events.drain();
    EXPECT_EQ(std::ranges::count_if(lines, [](const std::string& l) { return l.starts_with("log:TX: "); }),
              static_cast<long>(c.tx_lines));
    EXPECT_EQ(report.failure, c.said);
    EXPECT_EQ(report.ok(), c.said.empty());
    EXPECT_EQ(lines.back(), c.said.empty() ? "log:chair entered silent state" : "log:" + c.said);
    EXPECT_EQ(rig.phase(), ble::LinkPhase::Closed);
  }
}

TEST(Shutdown, DuringTheHandshakeSendsNothingAndEndsIt) {
  LinkRig rig;
  auto chair = add_data_chair(*rig.fake);
  answer_queries(chair, kReport);
  rig.fake->set_call_delay(100ms);
  EXPECT_TRUE(rig.connect());
  EXPECT_EQ(rig.phase(), ble::LinkPhase::Opening);
  rig.link->quiet();
  rig.fake->set_call_delay(0ms);
  EXPECT_FALSE(rig.events.wait_line("log:querying initial status...", 400ms));
  EXPECT_THAT(chair.chars[0]->writes(), ::testing::IsEmpty());
  EXPECT_EQ(chair.device->closes(), 1);
}

// The user sets cooling 7 the moment the chair is connected: the initial settings, still to
// come, leave cooling alone (and so does the poll's memory) but apply the rest.
TEST(InitialSettings, TheUsersCommandWins) {
  ble::LinkTimings t = no_poll_timings();
  t.before_init = 150ms;
  LinkRig rig(t);
  auto chair = add_data_chair(*rig.fake);
  auto model = attach_model(chair.chars[0]);
  EXPECT_TRUE(rig.connect());
  rig.events.until("status:connected/TAMRO S1");
  EXPECT_TRUE(rig.link->send_level(ble::kCold, 7).ok());
  EXPECT_TRUE(rig.events.wait_line("log:TX: 55 06 0A 02 03 0D AA"));  // lumbar 3 still comes
  // The line is published as the write starts; the chair has the frame a moment later.
  EXPECT_TRUE(eventually([&] { return model->state().lumbar == 3; }));
  EXPECT_EQ(model->state().cold, 7);
  EXPECT_EQ(count_writes(chair.chars[0], *ble::level_frame(ble::kCold, 10)), 0);
  EXPECT_EQ(count_writes(chair.chars[0], ble::switch_frame(0x40)), 0);
  const auto thermal = rig.link->thermal();
  EXPECT_TRUE(thermal.active);
  EXPECT_EQ(thermal.level, 7);

  // A new link starts afresh: its settings apply in full.
  rig.link->teardown();
  EXPECT_TRUE(rig.connect());
  EXPECT_TRUE(rig.events.wait_line("log:TX: 55 06 0A 02 03 0D AA"));
  EXPECT_TRUE(eventually([&] { return model->state().lumbar == 3 && model->state().cold == 10; }));
}

TEST(ConnectFailure, AChairStillConnectedIsWhatTheStatusSays) {
  LinkRig rig(no_poll_timings());
  auto chair = add_data_chair(*rig.fake);
  answer_queries(chair, kReport);
  EXPECT_TRUE(rig.connect());
  rig.events.until("log:TX: 55 06 0A 02 03 0D AA");

  EXPECT_FALSE(rig.connect("11:22:33:44:55:66"));
  EXPECT_THAT(rig.events.drain(),
              ElementsAre("status:connecting", "log:connecting 11:22:33:44:55:66 ...", "status:connected/TAMRO S1",
                          "log:connect failed: device 11:22:33:44:55:66 not found"));
  EXPECT_EQ(rig.link->view().phase, ble::LinkPhase::Connected);
  EXPECT_TRUE(rig.link->send_query().ok());
}

TEST(ConnectRequests, AreServedOneAtATimeAndTheNewestWins) {
  LinkRig rig;
  auto chair = add_data_chair(*rig.fake);
  answer_queries(chair, kReport);
  rig.fake->set_call_delay(50ms);

  constexpr int kRequests = 40;
  std::atomic<int> answered{0}, opened{0};
  for (int i = 0; i < kRequests; ++i) {
    // Unknown chairs, then the real one last.
    const std::string address = i + 1 == kRequests ? kChairText : "11:22:33:44:55:" + std::to_string(10 + i);
    rig.link->connect_async(address, ble::ConnectOrigin::User, [&](ble::ConnectOutcome outcome) {
      opened += outcome == ble::ConnectOutcome::Opened;
      ++answered;
    });
  }
  ASSERT_TRUE(eventually([&] { return answered == kRequests; }));
  EXPECT_EQ(opened, 1);
  // At most the first request was being served when the others came; of those only the
  // newest got its turn.
  EXPECT_LE(rig.fake->opens(), 2);
  rig.fake->set_call_delay(0ms);
  EXPECT_TRUE(rig.events.wait_line("status:connected/TAMRO S1"));
  EXPECT_EQ(rig.link->view().address, kChairText);
}

TEST(ConnectRequests, AnAutomaticRequestNeverReplacesAUsersThatWaits) {
  // The user's request still waits for its worker when the supervisor asks.
  std::function<void()> worker;
  std::vector<std::string> answers;
  ble::ConnectRequests requests(
      [](const ble::ConnectRequest&, const std::atomic<bool>&) { return ble::ConnectOutcome::Opened; },
      [&](std::function<void()> run) {
        worker = std::move(run);
        return true;
      });
  for (const auto origin : {ble::ConnectOrigin::User, ble::ConnectOrigin::Automatic}) {
    const std::string who = origin == ble::ConnectOrigin::User ? "user " : "automatic ";
    requests.submit({"", origin, [&, who](ble::ConnectOutcome o) {
                       answers.push_back(who + (o == ble::ConnectOutcome::Opened ? "opened" : "superseded"));
                     }});
  }
  worker();
  EXPECT_EQ(answers, (std::vector<std::string>{"automatic superseded", "user opened"}));
}

}  // namespace
}  // namespace chair::test::link
