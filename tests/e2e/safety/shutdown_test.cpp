// The chair does what it was last told: after a shutdown it stays quiet, whatever the
// supervisor would otherwise do.
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <thread>

#include "ble/protocol/commands.h"
#include "ble/protocol/frame.h"
#include "ble/protocol/switch_bits.h"
#include "common/address.h"
#include "eventually.h"
#include "installation.h"

namespace chair::test {
namespace {

constexpr const char* kChair = "C0:FF:EE:01:02:0A";
constexpr const char* kChairName = "TAMRO-X1";
const std::string kPairedChair = std::string(kChair) + ",name=TAMRO-X1,paired";
const Json kOk = Json::parse(R"({"ok":true})");

// The frames of the silent shutdown, as the chair's write record shows them.
std::vector<std::string> silent_frames() {
  std::vector<std::string> out;
  for (const auto& frame : ble::silent_frames()) out.push_back(ble::hex_dump(frame));
  return out;
}

// The chair as the simulator holds it: every level at 0 and the water off.
void expect_quiet(Installation& rig) {
  const Json state = rig.chair_status(kChair);
  for (const char* level : {"cold", "hot", "vibrate", "volume", "lumbar"}) EXPECT_EQ(state[level], 0) << level;
  EXPECT_EQ(state["switchByte"].get<int>() & ble::kWaterOn, 0) << state.dump();
}

// Waits until the chair has taken the last of the default initial settings.
void wait_init_done(Installation& rig) {
  const std::string last = ble::hex_dump(*ble::level_frame(ble::kLumbar, 3));
  ASSERT_TRUE(eventually(
      [&] {
        const auto frames = rig.frames(kChair);
        return !frames.empty() && frames.back() == last;
      },
      5s))
      << joined(rig.frames(kChair));
}

bool link_activity(const Json& record) {
  const std::string type = record.value("type", "");
  const std::string status = record.value("status", "");
  return type == "autoconnect" || (type == "status" && (status == "connecting" || status == "connected"));
}

TEST(ShutdownHolds, TheBoundChairIsNotReconnectedUntilTheUIAsks) {
  Installation rig({.sim_args = {"--chair", kPairedChair}, .bound_address = kChair, .bound_name = kChairName});
  ASSERT_TRUE(rig.events().wait_status("connected", 10s)) << rig.events().dump();

  const size_t at = rig.events().size();
  ASSERT_EQ(rig.api("/api/shutdown"), kOk);
  ASSERT_TRUE(rig.events().wait_status("idle", 3s, at)) << rig.events().dump(at);
  ASSERT_TRUE(eventually([&] { return rig.chair_status(kChair)["connected"] == false; }, 5s));
  const size_t held = rig.events().size();
  const size_t writes = rig.writes(kChair).size();

  // The supervisor passes every 3 s: three of its passes and more.
  EXPECT_FALSE(rig.events().wait(link_activity, 10s, held)) << rig.events().dump(held);
  EXPECT_EQ(rig.chair_status(kChair)["connected"], false);
  EXPECT_EQ(rig.writes(kChair).size(), writes) << "the chair heard nothing more";
  EXPECT_EQ(rig.api("/api/bind/get")["autoConnect"], true) << "the next start reconnects as before";

  rig.connect(kChair, kChairName);
}

TEST(ShutdownRace, AShutdownTheMomentTheChairConnectsLeavesItQuiet) {
  // The initial settings start right after "connected": the shutdown must cut them off, so
  // that the chair hears nothing but the silent frames from the first of them on.
  Installation rig({.sim_args = {"--chair", kPairedChair}});
  ASSERT_EQ(rig.api("/api/bind/autoconnect?on=0"), kOk);
  const auto silent = silent_frames();
  for (int run = 0; run < 6; ++run) {
    SCOPED_TRACE(run);
    const size_t from = rig.events().size();
    const size_t before = rig.writes(kChair).size();
    ASSERT_EQ(rig.api(std::string("/api/connect?addr=") + kChair), kOk);
    ASSERT_TRUE(rig.events().wait_status("connected", 10s, from)) << rig.events().dump(from);
    ASSERT_EQ(rig.api("/api/shutdown"), kOk);

    auto frames = rig.frames(kChair);
    frames.erase(frames.begin(), frames.begin() + static_cast<std::ptrdiff_t>(before));
    const auto first = std::find(frames.begin(), frames.end(), silent.front());
    ASSERT_NE(first, frames.end()) << joined(frames);
    EXPECT_EQ(std::vector<std::string>(first, frames.end()), silent) << joined(frames);
    expect_quiet(rig);
    ASSERT_TRUE(eventually([&] { return rig.chair_status(kChair)["connected"] == false; }, 5s));
  }
}

TEST(Signals, EachTerminationSignalQuietsAConnectedChairAndEndsTheServiceWithZero) {
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(signal);
    Installation rig({.sim_args = {"--chair", kPairedChair}});
    rig.connect(kChair, kChairName);
    wait_init_done(rig);
    ASSERT_NE(rig.chair_status(kChair)["cold"], 0) << "the default settings turned cooling on";

    const size_t before = rig.writes(kChair).size();
    const size_t at = rig.events().size();
    const auto sent = std::chrono::steady_clock::now();
    rig.service().kill(signal);
    EXPECT_EQ(rig.service().wait(5s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 2500ms) << "bounded to 2 s";

    // The streams had the whole sequence before the process ended.
    EXPECT_TRUE(rig.events().wait_log("chair entered silent state", 1s, at)) << rig.events().dump(at);
    EXPECT_TRUE(rig.events().wait_status("idle", 1s, at)) << rig.events().dump(at);
    auto frames = rig.frames(kChair);
    frames.erase(frames.begin(), frames.begin() + static_cast<std::ptrdiff_t>(before));
    // The status poll may slip a query in between; nothing else may.
    std::erase(frames, ble::hex_dump(ble::query_frame()));
    EXPECT_EQ(frames, silent_frames());
    expect_quiet(rig);
    EXPECT_TRUE(eventually([&] { return rig.chair_status(kChair)["connected"] == false; }, 5s));
  }
}

TEST(ShutdownRefused, AChairThatTakesNoSilentFrameIsNeverReportedOff) {
  const std::string incomplete =
      "silent shutdown incomplete: the chair may still be running (not switched off: cooling, heating, lumbar, "
      "vibration, volume, water, motion, Bluetooth audio)";
  Installation rig({.sim_args = {"--chair", kPairedChair}});
  ASSERT_EQ(rig.api("/api/bind/autoconnect?on=0"), kOk);
  for (const bool by_signal : {false, true}) {
    SCOPED_TRACE(by_signal ? "SIGTERM" : "/api/shutdown");
    ASSERT_EQ(rig.ctl({"accept-writes", kChair}), "");
    rig.connect(kChair, kChairName);
    wait_init_done(rig);
    ASSERT_EQ(rig.ctl({"refuse-writes", kChair}), "");
    const size_t at = rig.events().size();
    if (by_signal) {
      // The process still ends with 0: it was asked to end, and the log says what is left.
      rig.service().kill(SIGTERM);
      EXPECT_EQ(rig.service().wait(5s), 0);
    } else {
      EXPECT_EQ(rig.api("/api/shutdown"), (Json{{"error", incomplete}, {"ok", false}}));
    }
    EXPECT_TRUE(rig.events().wait_log(incomplete, 1s, at)) << rig.events().dump(at);
    EXPECT_TRUE(rig.events().wait_status("idle", 3s, at)) << rig.events().dump(at);
    EXPECT_FALSE(rig.events().wait_log("chair entered silent state", 0s, at));
    EXPECT_NE(rig.chair_status(kChair)["cold"], 0) << "the chair really is still cooling";
  }
}

TEST(ConnectFlood, SixteenClientsBindingChairsAtRandomKeepThreadsAndMemoryBounded) {
  Installation rig({.sim_args = {"--chair", kPairedChair}});
  const auto start = process_figures(rig.service_pid());
  ASSERT_TRUE(start);

  constexpr int kClients = 16;
  std::atomic<bool> stop{false};
  std::atomic<int> requests{0}, refused{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      std::mt19937_64 random(static_cast<uint64_t>(c));
      while (!stop) {
        const std::string address = format_address(random() & 0xFFFFFFFFFFFF);
        const Json reply = get_json(rig.port(), "/api/bind/set?addr=" + address + "&name=flood");
        ++requests;
        if (reply != kOk) ++refused;
      }
    });
  }
  ProcessFigures peak = *start;
  const auto until = std::chrono::steady_clock::now() + 4s;
  while (std::chrono::steady_clock::now() < until) {
    if (auto now = process_figures(rig.service_pid())) {
      peak.threads = std::max(peak.threads, now->threads);
      peak.rss_kib = std::max(peak.rss_kib, now->rss_kib);
    }
    (void)rig.events().size();  // keeps reading, as a UI does
    std::this_thread::sleep_for(50ms);
  }
  stop = true;
  for (auto& t : clients) t.join();

  EXPECT_GT(requests.load(), 100);
  EXPECT_EQ(refused.load(), 0);
  // One thread per request in flight (at most one per client), one connect thread for every
  // attempt, the stream's and a few of the platform's.
  EXPECT_LE(peak.threads, start->threads + kClients + 8) << "from " << start->threads;
  if (kResidentSizeTells) {
    EXPECT_LE(peak.rss_kib, start->rss_kib + 32 * 1024) << "from " << start->rss_kib << " KiB";
  }

  // The newest binding won, and the chair can still be had.
  ASSERT_EQ(rig.api(std::string("/api/bind/set?addr=") + kChair + "&name=" + kChairName), kOk);
  EXPECT_TRUE(rig.events().wait_status("connected", 10s, rig.events().size())) << rig.events().dump();
  std::fprintf(stderr, "connect flood: %d requests, threads %ld -> %ld peak, rss %ld -> %ld KiB peak\n",
               requests.load(), start->threads, peak.threads, start->rss_kib, peak.rss_kib);
}

}  // namespace
}  // namespace chair::test
