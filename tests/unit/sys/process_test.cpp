#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sys/process.h"
#include "test_env.h"

namespace chair::sys {
namespace {

using namespace std::chrono_literals;
using test::expect_no_children;

Result<std::string> sh(const std::string& command, const ProcessLimits& limits = {}) {
  return run_process("sh", {"-c", command}, limits);
}

TEST(RunProcess, CollectsStandardOutputOnly) {
  // stderr is discarded and stdin is empty: `cat` ends at once instead of waiting on ours.
  auto r = sh("echo out; echo err >&2; cat; printf 'x\\0y'; exit 3");
  ASSERT_TRUE(r.ok()) << r.error();
  EXPECT_EQ(*r, std::string("out\nx\0y", 7)) << "the exit code is not a failure";
  expect_no_children();
}

TEST(RunProcess, PassesArgumentsUnchanged) {
  test::TempDir dir;
  dir.script("show-args", "printf '%s|' \"$@\"");
  test::PathFirst path(dir.path());
  auto r = run_process("show-args", {"a b", "", "$HOME", "'\"", "ü"});
  ASSERT_TRUE(r.ok()) << r.error();
  EXPECT_EQ(*r, "a b||$HOME|'\"|ü|");
  expect_no_children();
}

TEST(RunProcess, MissingProgramFails) {
  auto r = run_process("chair-no-such-program-3f9a", {});
  EXPECT_FALSE(r.ok());
  expect_no_children();
}

TEST(RunProcess, OutputBound) {
  ProcessLimits limits;
  limits.max_output = 1000;
  auto exact = sh("head -c 1000 /dev/zero", limits);
  ASSERT_TRUE(exact.ok()) << exact.error();
  EXPECT_EQ(exact->size(), 1000u);
  EXPECT_FALSE(sh("head -c 1001 /dev/zero", limits).ok());
  expect_no_children();

  // A writer that never stops is cut off by the default 1 MiB bound, not by the deadline.
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(sh("yes chair").ok());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  expect_no_children();
}

TEST(RunProcess, HungChildIsKilledAtTheDeadline) {
  ProcessLimits limits;
  limits.timeout = 300ms;
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(sh("echo partial; sleep 30", limits).ok());
  // Output closed but the process lingers: still bounded.
  EXPECT_FALSE(sh("exec >&-; sleep 30", limits).ok());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  expect_no_children();
}

TEST(RunProcess, GrandchildHoldingTheOutputDiesWithTheChild) {
  test::TempDir dir;
  ProcessLimits limits;
  limits.timeout = 300ms;
  // The child exits at once but leaves a background process with our pipe open.
  auto r = sh("sleep 30 & echo $! > '" + dir.file("pid") + "'", limits);
  EXPECT_FALSE(r.ok());
  pid_t grandchild = std::stoi(test::read_file(dir.file("pid")));
  // Dead once gone or a zombie waiting for whoever inherited it.
  auto dead = [&] {
    std::string stat = test::read_file("/proc/" + std::to_string(grandchild) + "/stat");
    auto state = stat.rfind(") ");
    return stat.empty() || (state != std::string::npos && stat.compare(state + 2, 1, "Z") == 0);
  };
  EXPECT_TRUE(test::eventually(dead)) << "background process " << grandchild << " survived";
  expect_no_children();
}

TEST(RunProcess, NoDescriptorOfTheServiceLeaks) {
  // A descriptor opened without close-on-exec, as some other part of the service might.
  int fd = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::dup2(fd, 77), 77);
  ::close(fd);
  auto r = sh("if [ -e /proc/self/fd/77 ]; then echo leaked; else echo clean; fi");
  ::close(77);
  ASSERT_TRUE(r.ok()) << r.error();
  EXPECT_EQ(*r, "clean\n");
}

TEST(RunProcess, ConcurrentRunsKeepTheirOwnOutput) {
  // One slow child must not hold up the others: a pipe end leaking into a sibling
  // started at the same moment would delay that run's end of output.
  std::vector<std::thread> threads;
  std::vector<Result<std::string>> results(8, Result<std::string>(fail("not run")));
  auto start = std::chrono::steady_clock::now();
  std::chrono::steady_clock::duration fast_runs{};
  std::mutex fast_mutex;
  threads.emplace_back([&] { results[0] = sh("sleep 1; echo slow"); });
  for (int i = 1; i < 8; ++i) {
    threads.emplace_back([&, i] {
      results[i] = sh("echo " + std::to_string(i));
      std::lock_guard lock(fast_mutex);
      fast_runs = std::max(fast_runs, std::chrono::steady_clock::now() - start);
    });
  }
  for (auto& t : threads) t.join();
  ASSERT_TRUE(results[0].ok()) << results[0].error();
  EXPECT_EQ(*results[0], "slow\n");
  for (int i = 1; i < 8; ++i) {
    ASSERT_TRUE(results[i].ok()) << results[i].error();
    EXPECT_EQ(*results[i], std::to_string(i) + "\n");
  }
  EXPECT_LT(fast_runs, 800ms);
  expect_no_children();
}

TEST(RunProcess, ChildStartsWithOrdinarySignalState) {
  // The service ignores SIGPIPE and its threads may block signals; neither may carry over.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction old_action {};
  ::sigaction(SIGPIPE, &ignore, &old_action);
  sigset_t block, old_mask;
  sigemptyset(&block);
  sigaddset(&block, SIGUSR1);
  ::pthread_sigmask(SIG_BLOCK, &block, &old_mask);
  auto r = run_process("grep", {"-E", "^Sig(Ign|Blk)", "/proc/self/status"});
  ::pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  ::sigaction(SIGPIPE, &old_action, nullptr);
  ASSERT_TRUE(r.ok()) << r.error();

  std::istringstream lines(*r);
  std::string name, mask;
  int seen = 0;
  while (lines >> name >> mask) {
    auto bits = std::stoull(mask, nullptr, 16);
    if (name == "SigIgn:") {
      EXPECT_EQ(bits & (1ull << (SIGPIPE - 1)), 0u) << "SIGPIPE still ignored";
    } else if (name == "SigBlk:") {
      EXPECT_EQ(bits & (1ull << (SIGUSR1 - 1)), 0u) << "SIGUSR1 still blocked";
    }
    ++seen;
  }
  EXPECT_EQ(seen, 2) << *r;
}

}  // namespace
}  // namespace chair::sys
