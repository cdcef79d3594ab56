// The status the clients are shown after every change is the state as it is, also when a
// chair stays connected through a failed attempt, and a new stream agrees with it; a scan's
// start is always shown as "scanning".
#include <gtest/gtest.h>

#include "service_rig.h"

namespace chair::test {
namespace {

const nlohmann::json kOk = {{"ok", true}};
const std::string kConnected = "status:connected/TAMRO Den";

std::vector<std::string> statuses(const std::vector<std::string>& lines) {
  std::vector<std::string> out;
  for (const auto& line : lines)
    if (line.rfind("status:", 0) == 0) out.push_back(line);
  return out;
}

// What a client that subscribes now is shown first.
std::string snapshot(const ServiceRig& rig) {
  EventStream fresh(rig.port());
  auto first = fresh.next(5s);
  return first ? summary(nlohmann::json::parse(*first)) : "(nothing)";
}

TEST(ShownStatus, EveryChangeShowsTheStateAsItIs) {
  ServiceRig rig(bound_to(kChairText));
  auto chair = add_answering_chair(*rig.fake);
  Timings timings = fast_timings();
  timings.autoconnect.health_pause = 5ms;
  rig.start(timings);  // the supervisor's passes are made by hand

  struct Step {
    const char* what;
    std::function<void()> act;
    std::vector<std::string> shown;  // the statuses the step publishes
    std::string snapshot;            // what a new stream then starts with
  };
  const nlohmann::json failed = {{"error", "connect failed"}, {"ok", false}};
  const std::vector<Step> steps = {
      {"connect", [&] { EXPECT_EQ(rig.connect(), kOk); }, {"status:connecting", kConnected}, "status:connected"},
      {"a scan starts beside the connected chair",
       [&] { EXPECT_EQ(rig.call("/api/scan/start"), kOk); },
       {"status:scanning"},
       "status:connected"},
      {"a connect to an absent chair fails beside it",
       [&] { EXPECT_EQ(rig.connect("C0:FF:EE:0B:AD:00"), failed); },
       {"status:connecting", kConnected},
       "status:connected"},
      {"the scan stops", [&] { EXPECT_EQ(rig.call("/api/scan/stop"), kOk); }, {kConnected}, "status:connected"},
      {"the user disconnects while a scan runs on",
       [&] {
         EXPECT_EQ(rig.call("/api/scan/start"), kOk);
         EXPECT_EQ(rig.call("/api/disconnect"), kOk);
       },
       {"status:scanning", "status:scanning"},
       "status:scanning"},
      {"the supervisor drops a lost link while a scan runs on",
       [&] {
         EXPECT_EQ(rig.connect(), kOk);
         ASSERT_TRUE(rig.events->wait_for(status_is("connected")));
         EXPECT_EQ(rig.call("/api/scan/start"), kOk);
         rig.drain();
         chair.device->script_connection({Result<bool>(false)});
         rig.svc().autoconnect().pass();
       },
       {"status:scanning"},
       "status:scanning"},
      {"shutdown", [&] { EXPECT_EQ(rig.call("/api/shutdown"), kOk); }, {"status:idle"}, "status:idle"},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    step.act();
    // A connection's last status comes from the handshake, after the reply.
    std::vector<std::string> lines;
    if (step.shown.back() == kConnected) lines = rig.until(kConnected);
    for (auto& line : rig.drain()) lines.push_back(std::move(line));
    EXPECT_EQ(statuses(lines), step.shown);
    EXPECT_EQ(snapshot(rig), step.snapshot);
  }
}

}  // namespace
}  // namespace chair::test
