// A hundred connections made and dropped in a row: every link's threads, descriptors, bus
// subscriptions and memory must go with it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>

#include "installation.h"

namespace chair::test {
namespace {

constexpr int kWarmUp = 10;
constexpr int kCycles = 100;
// Allocator arenas and caches settle after the warm-up; a leak of a link's records, its
// handler closures or its proxies would pass this within the hundred cycles.
constexpr long kRssToleranceKib = 1536;

// The service at rest: a link's setup thread may still finish its last pause and a request
// thread its reply just after a cycle, so the figures are the lowest seen over a short while.
ProcessFigures quiet_figures(pid_t pid) {
  ProcessFigures low{1L << 30, 1L << 30, 0};
  const auto end = std::chrono::steady_clock::now() + 1500ms;
  while (std::chrono::steady_clock::now() < end) {
    if (auto f = process_figures(pid)) {
      low.threads = std::min(low.threads, f->threads);
      low.fds = std::min(low.fds, f->fds);
      low.rss_kib = f->rss_kib;
    }
    std::this_thread::sleep_for(50ms);
  }
  return low;
}

TEST(ConnectCycles, HundredCyclesLeaveNoThreadsDescriptorsMatchRulesOrMemoryBehind) {
  Installation rig({.sim_args = {"--chair", std::string(kChair) + ",name=TAMRO-X1,paired", "--connect-delay", "10",
                                 "--disconnect-delay", "10"}});
  Journal& events = rig.events();

  auto cycle = [&](int n) {
    const size_t from = events.size();
    ASSERT_EQ(rig.api(std::string("/api/connect?addr=") + kChair), kOk) << "cycle " << n;
    ASSERT_TRUE(events.wait_status("connected", 10s, from)) << "cycle " << n << "\n" << events.dump(from);
    ASSERT_EQ(rig.api("/api/disconnect"), kOk) << "cycle " << n;
  };

  for (int n = 1; n <= kWarmUp; ++n) {
    cycle(n);
    if (HasFatalFailure()) return;
  }
  const ProcessFigures before = quiet_figures(rig.service_pid());
  std::string why;
  const auto rules_before = rig.daemon().match_rules(rig.service_pid(), &why);

  for (int n = 1; n <= kCycles; ++n) {
    cycle(n);
    if (HasFatalFailure()) return;
  }

  ProcessFigures after{};
  const bool settled = eventually(
      [&] {
        auto f = process_figures(rig.service_pid());
        if (!f) return false;
        after = *f;
        return after.threads <= before.threads && after.fds <= before.fds;
      },
      // Connection threads left idle by the cycles end after 10 s without a connection.
      15s);
  const auto rules_after = rig.daemon().match_rules(rig.service_pid());
  after.rss_kib = quiet_figures(rig.service_pid()).rss_kib;

  std::printf("after %d warm-up cycles: threads %ld, fds %ld, rss %ld KiB, match rules %s\n", kWarmUp, before.threads,
              before.fds, before.rss_kib,
              rules_before ? std::to_string(*rules_before).c_str() : ("n/a (" + why + ")").c_str());
  std::printf("after %d more cycles:    threads %ld, fds %ld, rss %ld KiB, match rules %s\n", kCycles, after.threads,
              after.fds, after.rss_kib, rules_after ? std::to_string(*rules_after).c_str() : "n/a");

  EXPECT_TRUE(settled) << "threads " << before.threads << " -> " << after.threads << ", fds " << before.fds << " -> "
                       << after.fds;
  if (kResidentSizeTells) {
    EXPECT_LE(after.rss_kib, before.rss_kib + kRssToleranceKib);
  }
  // The private daemon keeps statistics; without them there is nothing to compare.
  ASSERT_TRUE(rules_before) << why;
  ASSERT_TRUE(rules_after);
  EXPECT_LE(*rules_after, *rules_before);

  // No link is left behind in the daemon either.
  EXPECT_TRUE(eventually([&] { return rig.sim_device(kChair).find("connected=0") != std::string::npos; }, 3s))
      << rig.ctl({"list"});
}

}  // namespace
}  // namespace chair::test
