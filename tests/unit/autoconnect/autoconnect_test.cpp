// The supervisor that keeps the bound chair connected, and the attempts it shares with the
// binding routes, driven against a scripted chair.
#include "autoconnect/autoconnect.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "service_rig.h"

namespace chair::test {
namespace {

using Clock = std::chrono::steady_clock;

const std::string kAutoConnecting = std::string("auto connecting ") + kChairText + " ...";
const std::string kLostLink = "座椅连接已断开，将自动重连";
const Result<bool> kDown = false;
const Result<bool> kUp = true;

// Waits for a record and returns the moment the test saw it.
Clock::time_point seen(EventStream& events, const std::function<bool(const nlohmann::json&)>& pred,
                       const std::string& what, std::chrono::milliseconds timeout = 5s) {
  EXPECT_TRUE(events.wait_for(pred, timeout).has_value()) << "no event: " << what;
  return Clock::now();
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

nlohmann::json ok_reply() { return nlohmann::json{{"ok", true}}; }

// Service discovery that hangs in the platform: the link stays open and never becomes
// connected, while every step of the handshake overruns its budget.
void hang_handshake(FakeDevice& device) { device.script_discovery({FakeDiscovery{{}, "unreachable", 60s}}); }

// The rig with the usual chair, the service and the supervisor running.
struct Supervised : ServiceRig {
  explicit Supervised(std::optional<bind::BindConfig> file = bound_to(kChairText))
      : ServiceRig(std::move(file)), chair(add_answering_chair(*fake)) {}
  void run(Timings timings = fast_timings()) { start(timings, /*supervisor=*/true); }
  FakeChair chair;
};

TEST(AutoConnect, StaysQuietUntilTheBindingAndTheRadioAllowAnAttempt) {
  // While a row's blocker holds, the supervisor must not touch the chair; once it is lifted
  // (for the scan and Bluetooth rows) the next pass connects.
  struct Row {
    const char* name;
    std::optional<bind::BindConfig> file;
    std::function<void(ServiceRig&)> block, lift;
  };
  const std::vector<Row> rows = {
      {"no chair bound", std::nullopt, nullptr, nullptr},
      {"auto-connect off", bound_to(kChairText, false), nullptr, nullptr},
      {"scan started through the API", bound_to(kChairText),
       [](ServiceRig& r) { EXPECT_EQ(r.call("/api/scan/start"), ok_reply()); },
       [](ServiceRig& r) { EXPECT_EQ(r.call("/api/scan/stop"), ok_reply()); }},
      // The scanning flag is set before the platform's scan starts: no attempt in between.
      {"scan begun, not yet started", bound_to(kChairText), [](ServiceRig& r) { r.svc().scanner().begin(); },
       [](ServiceRig& r) { r.svc().scanner().stop(); }},
      {"Bluetooth unavailable", bound_to(kChairText),
       [](ServiceRig& r) { r.fake->set_availability(ble::Availability::no_adapter("bluetoothd gone")); },
       [](ServiceRig& r) { r.fake->set_availability({}); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ServiceRig rig(row.file);
    add_answering_chair(*rig.fake);
    rig.start();
    if (row.block) row.block(rig);
    rig.svc().autoconnect().start();

    // About ten passes.
    std::this_thread::sleep_for(10 * fast_timings().autoconnect.pause);
    int told = 0;  // an unusable Bluetooth is told once, not at every pass
    for (const auto& record : rig.drained()) {
      EXPECT_FALSE(phase_is("connecting")(record) || log_is(kAutoConnecting)(record)) << record;
      told += log_starts("bluetooth unavailable: ")(record);
    }
    EXPECT_EQ(told, row.name == std::string("Bluetooth unavailable") ? 1 : 0);
    EXPECT_TRUE(rig.fake->connections().empty());

    if (row.lift) {
      row.lift(rig);
      EXPECT_TRUE(rig.events->wait_for(phase_is("connecting")));
      EXPECT_TRUE(rig.events->wait_log(kAutoConnecting));
      EXPECT_TRUE(rig.events->wait_for(status_is("connected")));
    }
  }
}

TEST(AutoConnect, ReconnectsAfterTheUserDisconnects) {
  Supervised rig;
  rig.run();
  auto announced = rig.events->wait_for(phase_is("connecting"));
  ASSERT_TRUE(announced);
  EXPECT_EQ((*announced)["bind"]["boundAddress"], kChairText);
  ASSERT_TRUE(rig.events->wait_for(status_is("connected")));

  EXPECT_EQ(rig.call("/api/disconnect"), ok_reply());
  ASSERT_TRUE(rig.events->wait_for(status_is("idle")));
  EXPECT_TRUE(rig.events->wait_log(kAutoConnecting));
  EXPECT_TRUE(rig.events->wait_for(status_is("connected")));
  EXPECT_EQ(rig.fake->connections().size(), 2u);
  EXPECT_GE(rig.chair.device->closes(), 1);
}

TEST(AutoConnect, AnUnreachableChairIsAnnouncedAsWaitingAndRetried) {
  Supervised rig(bound_to("c0:ff:ee:0b:ad:00"));  // nobody answers there
  rig.run();
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    // The attempt works with the stored address in upper case.
    EXPECT_TRUE(rig.events->wait_log("auto connecting C0:FF:EE:0B:AD:00 ..."));
    auto waiting = rig.events->wait_for(phase_is("waiting"));
    ASSERT_TRUE(waiting);
    EXPECT_EQ((*waiting)["bind"]["boundAddress"], "c0:ff:ee:0b:ad:00");
  }
}

TEST(AutoConnect, AHungHandshakeIsDroppedOnceTheLimitHasPassed) {
  Supervised rig;
  hang_handshake(*rig.chair.device);
  rig.run();
  EventStream& events = *rig.events;
  // The limit follows from the link's own budget, in whole seconds.
  const double limit = seconds(ble::handshake_limit(fast_timings().link));
  ASSERT_GE(limit, seconds(ble::handshake_budget(fast_timings().link)));

  const auto opened = seen(events, log_starts("link opened"), "link opened");
  const auto dropped = seen(events, status_is("idle"), "idle after the limit", 10s);
  EXPECT_TRUE(events.wait_log("connect handshake timed out; retrying"));
  const double waited = seconds(dropped - opened);
  EXPECT_GE(waited, limit - 0.05);
  EXPECT_LT(waited, limit + 1.0) << "dropped long after the limit";
  EXPECT_GE(rig.chair.device->closes(), 1);

  // The next pass starts over.
  EXPECT_TRUE(events.wait_log(kAutoConnecting));
  EXPECT_TRUE(events.wait_for(log_starts("link opened")));
}

TEST(AutoConnect, AHandshakeSlowInEveryStepButWithinItsBudgetIsNotCut) {
  // Eleven discoveries that fail, each taking nearly its allowance, and a chair that answers
  // only the third query: more than a whole second, but inside the budget.
  Supervised rig;
  std::vector<FakeDiscovery> script(11, FakeDiscovery{{}, "not yet", fast_timings().link.call_allowance - 2ms});
  script.push_back(FakeDiscovery{rig.chair.services, {}});
  rig.chair.device->script_discovery(script);
  answer_queries(rig.chair, usual_report(), [](int n) { return n >= 3; });
  rig.run();

  const auto opened = seen(*rig.events, log_starts("link opened"), "link opened");
  const auto connected = seen(*rig.events, status_is("connected"), "connected");
  EXPECT_GE(seconds(connected - opened), 1.0) << "a handshake the old fixed limit would have cut";
  for (const auto& line : rig.drain()) EXPECT_NE(line, "log:connect handshake timed out; retrying");
}

TEST(AutoConnect, AConnectedLinkIsDroppedOnlyAfterThreeDisconnectedReadingsInARow) {
  const auto pause = fast_timings().autoconnect.health_pause;
  struct Row {
    const char* name;
    std::vector<Result<bool>> readings;  // the last one repeats
    int pauses_before_loss;
  };
  const std::vector<Row> rows = {
      {"three disconnected readings", {kDown, kDown, kDown}, 3},
      // The first check ends at the Connected reading; only the next pass finds three.
      {"a connected reading ends the check", {kDown, kDown, kUp, kDown, kDown, kDown}, 5},
      {"an unreadable status", {Result<bool>(fail("device gone"))}, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Supervised rig;
    rig.chair.device->script_connection(row.readings);
    rig.run();

    const auto connected = seen(*rig.events, status_is("connected"), "connected");
    const auto lost = seen(*rig.events, status_is("idle"), "idle after the loss");
    EXPECT_TRUE(rig.events->wait_log(kLostLink));
    EXPECT_GE(seconds(lost - connected), seconds(row.pauses_before_loss * pause) - 0.05);
    EXPECT_GE(rig.chair.device->closes(), 1);
  }
}

TEST(AutoConnect, AHealthCheckNeverDropsALinkThatReplacedTheOneItWasChecking) {
  // The bound chair's radio reports Disconnected for ever; while the supervisor sits in its
  // pauses between readings the user connects another chair, which answers as Connected.
  Supervised rig;
  rig.chair.device->script_connection({kDown});
  add_answering_chair(*rig.fake, 0xC0FFEE0B0B0B);
  Timings timings = fast_timings();
  timings.autoconnect.health_pause = 400ms;
  rig.run(timings);

  ASSERT_TRUE(rig.events->wait_for(status_is("connected")));
  std::this_thread::sleep_for(3 * timings.autoconnect.pause);  // the check is under way
  EXPECT_EQ(rig.call("/api/connect?addr=C0:FF:EE:0B:0B:0B"), ok_reply());
  ASSERT_TRUE(rig.events->wait_for(status_is("connected")));

  EXPECT_FALSE(rig.events->wait_log(kLostLink, 4 * timings.autoconnect.health_pause));
  const auto view = rig.svc().link().view();
  EXPECT_EQ(view.phase, ble::LinkPhase::Connected);
  EXPECT_EQ(view.address, "C0:FF:EE:0B:0B:0B");
}

TEST(AutoConnect, AYoungConnectedLinkIsLeftAloneUntilTheGraceTimeHasPassed) {
  Supervised rig;
  rig.chair.device->script_connection({kDown});
  Timings timings = fast_timings();
  timings.autoconnect.health_grace = 2s;
  rig.run(timings);

  const auto opened = seen(*rig.events, log_starts("link opened"), "link opened");
  const auto lost = seen(*rig.events, log_is(kLostLink), "the loss", 10s);
  EXPECT_GE(seconds(lost - opened), 2.0 + seconds(3 * timings.autoconnect.health_pause) - 0.05);
}

TEST(AutoConnect, BindThenConnectGoesAheadWhereTheSupervisorWouldWait) {
  // Auto-connect off, nothing bound, a scan running and another chair's link stuck in its
  // handshake: every reason the supervisor has to hold back.
  ServiceRig rig(bound_to("", false));
  add_answering_chair(*rig.fake);
  auto other = add_answering_chair(*rig.fake, 0xC0FFEE0B0B0B);
  hang_handshake(*other.device);
  rig.start();

  EXPECT_EQ(rig.call("/api/connect?addr=C0:FF:EE:0B:0B:0B"), ok_reply());
  ASSERT_TRUE(rig.events->wait_for(log_starts("link opened")));
  // Begun by hand: starting a scan through the API would drop the stuck link.
  rig.svc().scanner().begin();

  rig.svc().autoconnect().connect_bound_soon(kChairText);
  auto announced = rig.events->wait_for(phase_is("connecting"));
  ASSERT_TRUE(announced);
  EXPECT_EQ((*announced)["bind"]["autoConnect"], false);
  EXPECT_TRUE(rig.events->wait_log(std::string("绑定后立即连接 ") + kChairText + " ..."));
  EXPECT_TRUE(rig.events->wait_for(status_is("connected")));
  EXPECT_FALSE(rig.svc().scanner().scanning());

  // An address nobody answers at ends in the waiting phase.
  rig.svc().autoconnect().connect_bound_soon("C0:FF:EE:0B:AD:00");
  EXPECT_TRUE(rig.events->wait_for(phase_is("connecting")));
  EXPECT_TRUE(rig.events->wait_for(phase_is("waiting")));
}

TEST(AutoConnect, AFloodOfRequestsIsServedNewestFirstAndTheRestEndWaiting) {
  // Every request lands while the first attempt is still blocked in the platform: each one
  // supersedes the one waiting before it, which ends in "waiting" at once. Only the first and
  // the newest reach the platform.
  ServiceRig rig(bound_to("", false));
  add_answering_chair(*rig.fake);
  rig.fake->set_call_delay(300ms);
  rig.start();
  auto& autoconnect = rig.svc().autoconnect();
  autoconnect.connect_bound_soon("C0:FF:EE:0B:AD:00");
  ASSERT_TRUE(eventually([&] { return rig.fake->opens() == 1; }));
  for (int i = 1; i <= 50; ++i) autoconnect.connect_bound_soon("C0:FF:EE:0B:AD:" + std::to_string(10 + i));
  autoconnect.connect_bound_soon(kChairText);
  int waiting = 0;
  auto connected = rig.events->wait_for(
      [&](const nlohmann::json& e) {
        waiting += phase_is("waiting")(e);
        return status_is("connected")(e);
      },
      10s);
  ASSERT_TRUE(connected);
  EXPECT_EQ(waiting, 51) << "fifty superseded, and the first one failed";
  EXPECT_EQ(rig.fake->opens(), 2);
  EXPECT_EQ(rig.svc().link().view().address, kChairText);
}

TEST(AutoConnect, TheUsersConnectAbandonsAnAutomaticAttemptStillOpening) {
  // The platform is still looking for the bound chair when the user connects another one.
  Supervised rig;
  rig.fake->set_open_delay(kChairAddress, 2s);
  add_answering_chair(*rig.fake, 0xC0FFEE0B0B0B);
  rig.run();
  ASSERT_TRUE(rig.events->wait_log(kAutoConnecting));
  ASSERT_TRUE(eventually([&] { return rig.fake->opens() == 1; }));

  EXPECT_EQ(rig.call("/api/connect?addr=C0:FF:EE:0B:0B:0B"), ok_reply());
  EXPECT_EQ(rig.fake->connections().size(), 1u) << "answered while the automatic opening still looked";
  EXPECT_TRUE(rig.events->wait_for(phase_is("waiting")));
  ASSERT_TRUE(rig.events->wait_for(status_is("connected")));

  // What the abandoned opening found is closed without a word, and the user's link stays.
  ASSERT_TRUE(eventually([&] { return rig.chair.device->closes() == 1; }, 5s));
  std::this_thread::sleep_for(5 * fast_timings().autoconnect.pause);
  for (const auto& line : rig.drain()) {
    for (const char* told : {"status:", "log:connecting", "log:connect failed"})
      EXPECT_NE(line.rfind(told, 0), 0u) << line;
  }
  EXPECT_EQ(rig.svc().link().view().address, "C0:FF:EE:0B:0B:0B");
  EXPECT_EQ(rig.fake->opens(), 2) << "no further attempt once the user's link is up";
}

TEST(AutoConnect, ASupersededConnectSaysSo) {
  // The first request is still opening; of the two that wait behind it the older is superseded.
  ServiceRig rig(bound_to("", false));
  rig.fake->set_open_delay(0xC0FFEE0BAD00, 1s);
  rig.start();
  std::thread first([&] { (void)rig.call("/api/connect?addr=C0:FF:EE:0B:AD:00"); });
  ASSERT_TRUE(eventually([&] { return rig.fake->opens() == 1; }));
  nlohmann::json replies[2];
  std::thread waiting[2];
  const std::string addresses[2] = {"C0:FF:EE:0B:AD:01", "C0:FF:EE:0B:AD:02"};
  for (int i = 0; i < 2; ++i)
    waiting[i] = std::thread([&, i] { replies[i] = rig.call("/api/connect?addr=" + addresses[i]); });
  for (auto& t : waiting) t.join();
  first.join();
  // Either may be the older one; the stream names the request it failed.
  const auto lines = rig.drain();
  int superseded = 0;
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(replies[i], (nlohmann::json{{"error", "connect failed"}, {"ok", false}}));
    superseded += std::ranges::count(lines, "log:connect " + addresses[i] + " superseded by a newer request");
  }
  EXPECT_EQ(superseded, 1);
  EXPECT_EQ(rig.fake->opens(), 2);
}

TEST(AutoConnect, AfterAShutdownNoAttemptIsMadeUntilTheUIAsksForALinkAgain) {
  const std::vector<std::pair<std::string, std::string>> asks = {
      {"/api/connect?addr=" + std::string(kChairText), ""},
      {"/api/bind/set?addr=" + std::string(kChairText) + "&name=Den", ""},
      {"/api/bind/import", R"({"boundAddress":"C0:FF:EE:01:02:0A","autoConnect":true})"},
      {"/api/bind/autoconnect?on=1", ""},
  };
  for (const auto& [ask, body] : asks) {
    SCOPED_TRACE(ask);
    Supervised rig;
    rig.run();
    ASSERT_TRUE(rig.events->wait_for(status_is("connected")));
    ASSERT_EQ(rig.call("/api/shutdown"), ok_reply());
    // Requests that do not ask for a link leave the hold as it is.
    EXPECT_EQ(
        rig.call("/api/bind/init", R"({"water":"off","coolLevel":0,"heatLevel":0,"lumbar":0,"vibrate":0,"volume":0})"),
        ok_reply());
    EXPECT_EQ(rig.call("/api/scan/start"), ok_reply());
    EXPECT_EQ(rig.call("/api/scan/stop"), ok_reply());
    std::this_thread::sleep_for(10 * fast_timings().autoconnect.pause);
    for (const auto& record : rig.drained())
      EXPECT_FALSE(phase_is("connecting")(record) || log_is(kAutoConnecting)(record)) << record;
    EXPECT_EQ(rig.fake->connections().size(), 1u);
    EXPECT_TRUE(rig.stored().autoConnect) << "the next start reconnects as before";

    EXPECT_EQ(rig.call(ask, body), ok_reply());
    EXPECT_TRUE(rig.events->wait_for(status_is("connected")));
    EXPECT_EQ(rig.fake->connections().size(), 2u);
  }
}

TEST(AutoConnect, ALinkThatOpensAfterTheShutdownCameIsClosedAgainUntouched) {
  // The shutdown arrives while the device is still being opened, by the supervisor or for the
  // UI's own connect: once open, the link is closed before its handshake writes anything.
  for (const bool by_supervisor : {true, false}) {
    SCOPED_TRACE(by_supervisor ? "the supervisor's attempt" : "/api/connect");
    Supervised rig(by_supervisor ? bound_to(kChairText) : bound_to("", false));
    rig.fake->set_call_delay(300ms);
    rig.run();
    std::thread connecting;
    nlohmann::json reply;
    if (!by_supervisor) connecting = std::thread([&] { reply = rig.connect(); });
    ASSERT_TRUE(eventually([&] { return rig.fake->opens() == 1; }));
    EXPECT_EQ(rig.call("/api/shutdown"), ok_reply());
    EXPECT_TRUE(rig.events->wait_log(std::string("shut down meanwhile; the link opened for ") + kChairText +
                                     " is closed again"));
    if (connecting.joinable()) connecting.join();
    if (!by_supervisor) {
      EXPECT_EQ(reply, (nlohmann::json{{"error", "connect failed"}, {"ok", false}}));
    }
    EXPECT_EQ(rig.svc().link().view().phase, ble::LinkPhase::Closed);
    std::this_thread::sleep_for(5 * fast_timings().autoconnect.pause);
    EXPECT_TRUE(rig.chair.data->writes().empty());
    EXPECT_EQ(rig.fake->opens(), 1);
  }
}

}  // namespace
}  // namespace chair::test
