#include "sys/child.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>

#include "sys/paths.h"
#include "test_env.h"

namespace chair::sys {
namespace {

using namespace std::chrono_literals;
using Why = MissingLine::Why;

std::unique_ptr<Child> sh(const std::string& script, ChildStreams streams = {}) {
  auto child = Child::start("sh", {"-c", script}, streams);
  EXPECT_TRUE(child.ok()) << child.error();
  return child ? std::move(*child) : nullptr;
}

TEST(Child, ReadsTheAnnouncedLineOrSaysWhyItDidNotCome) {
  struct Case {
    const char* what;
    std::string script;
    std::chrono::milliseconds timeout;
    bool give_up;
    std::optional<std::string> line;  // when it comes
    Why why;                          // when it does not
  };
  const Case cases[] = {
      {"after other lines, without its CR",
       "printf 'one\\nLISTEN_URL=http://x:1\\r\\nafter\\n'; sleep 5",
       5s,
       false,
       "http://x:1",
       {}},
      {"split over two writes", "printf 'LISTEN_'; sleep 0.1; printf 'URL=two\\n'; sleep 5", 5s, false, "two", {}},
      {"the prefix inside a line does not count",
       "echo ' LISTEN_URL=no'; echo 'LISTEN_URL=yes'; sleep 5",
       5s,
       false,
       "yes",
       {}},
      {"an empty rest", "echo LISTEN_URL=; sleep 5", 5s, false, "", {}},
      {"the output ends first", "echo nothing here", 5s, false, {}, Why::kOutputEnded},
      {"a last line without a line feed is not announced",
       "printf 'LISTEN_URL=half'",
       5s,
       false,
       {},
       Why::kOutputEnded},
      {"silence until the deadline", "sleep 5", 200ms, false, {}, Why::kTimedOut},
      {"the caller gives up", "sleep 5", 5s, true, {}, Why::kGaveUp},
  };
  for (const Case& c : cases) {
    auto child = sh(c.script);
    ASSERT_TRUE(child);
    const auto started = std::chrono::steady_clock::now();
    auto line = child->read_line("LISTEN_URL=", c.timeout, [&] { return c.give_up; });
    if (c.line) {
      ASSERT_TRUE(line.ok()) << c.what;
      EXPECT_EQ(*line, *c.line) << c.what;
    } else {
      ASSERT_FALSE(line.ok()) << c.what;
      EXPECT_EQ(line.failure().why, c.why) << c.what;
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, 3s) << c.what;
    child->end(1s);
  }
  test::expect_no_children();
}

TEST(Child, EndsWithTermThenKillAndAlwaysReaps) {
  struct Case {
    const char* what;
    std::string script;
    std::string ended;
  };
  const Case cases[] = {
      {"goes on SIGTERM", "sleep 30", "was killed by signal 15"},
      {"ignores SIGTERM", "trap '' TERM; echo ready; while :; do sleep 0.05; done", "was killed by signal 9"},
      {"had ended by itself", "echo ready; exit 3", "exited with code 3"},
  };
  for (const Case& c : cases) {
    auto child = sh(c.script);
    ASSERT_TRUE(child);
    // Past the shell's start-up, so a trap is in place before the signal comes.
    if (c.script.find("ready") != std::string::npos) {
      ASSERT_TRUE(child->read_line("ready", 5s).ok()) << c.what;
    }
    if (c.ended.find("code") != std::string::npos) {
      ASSERT_TRUE(test::eventually([&] { return child->poll_exit().has_value(); })) << c.what;
    }
    EXPECT_EQ(child->end(300ms).text(), c.ended) << c.what;
    EXPECT_EQ(child->end(300ms).text(), c.ended) << c.what << ": asked again";
  }
  test::expect_no_children();
}

// The panel blocks its stop signals in every thread; a child must not inherit that, or SIGTERM
// would never end it. It also leads its own process group, so a Ctrl-C at the terminal reaches
// only us and we end it in order.
TEST(Child, GetsDefaultSignalsAndItsOwnProcessGroup) {
  sigset_t term;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  sigset_t old;
  pthread_sigmask(SIG_BLOCK, &term, &old);
  struct sigaction ignore {
  }, old_action{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGINT, &ignore, &old_action);

  auto status = Child::start("grep", {"-E", "^Sig(Blk|Ign)", "/proc/self/status"});
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  sigaction(SIGINT, &old_action, nullptr);
  ASSERT_TRUE(status.ok()) << status.error();
  auto blocked = (*status)->read_line("SigBlk:", 5s);
  auto ignored = (*status)->read_line("SigIgn:", 5s);
  ASSERT_TRUE(blocked.ok() && ignored.ok());
  EXPECT_EQ(std::stoull(*blocked, nullptr, 16) & (1ull << (SIGTERM - 1)), 0u) << "SIGTERM still blocked";
  EXPECT_EQ(std::stoull(*ignored, nullptr, 16) & (1ull << (SIGINT - 1)), 0u) << "SIGINT still ignored";
  (*status)->end();

  auto child = sh("sleep 30");
  ASSERT_TRUE(child);
  EXPECT_EQ(::getpgid(child->pid()), child->pid());
  EXPECT_EQ(child->end(2s).text(), "was killed by signal 15");
  test::expect_no_children();
}

TEST(Child, StartFailuresNameTheProgram) {
  auto missing = Child::start("/nonexistent/chair-service", {});
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error(), "cannot start /nonexistent/chair-service: No such file or directory");
  // Standard input is empty and discarded output reads as ended.
  auto quiet = sh("cat; echo LISTEN_URL=x", {.capture_output = false, .keep_errors = false});
  ASSERT_TRUE(quiet);
  EXPECT_EQ(quiet->read_line("LISTEN_URL=", 5s).failure().why, Why::kOutputEnded);
  ASSERT_TRUE(test::eventually([&] { return quiet->poll_exit().has_value(); }));
  EXPECT_TRUE(quiet->poll_exit()->success());
  test::expect_no_children();
}

TEST(Child, LetGoLeavesItRunning) {
  auto child = sh("sleep 30");
  ASSERT_TRUE(child);
  const int pid = child->pid();
  child->let_go();
  child.reset();
  EXPECT_EQ(::kill(pid, 0), 0) << "still running";
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

TEST(CompanionProgram, BesideUs) {
  const std::filesystem::path beside = companion_program("chair-service", {"../libexec/chair-service"});
  EXPECT_EQ(beside.parent_path(), running_program()->parent_path());
}

}  // namespace
}  // namespace chair::sys
