// The keeper against a stand-in service: a shell script that announces the address of an HTTP
// server inside the test, which plays the service's /api/shutdown.
#include "tools/chair-panel/keeper.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "http/server.h"
#include "test_env.h"

namespace chair::panel {
namespace {

using namespace std::chrono_literals;

bool zombie(int pid) {
  const std::string stat = test::read_file("/proc/" + std::to_string(pid) + "/stat");
  const size_t paren = stat.rfind(')');
  return paren != std::string::npos && stat.compare(paren + 2, 1, "Z") == 0;
}

// What /api/shutdown answers, and whether the service's process still ran when it was asked.
enum class Answer { kOk, kRefused, kGarbage, kNever };

class FakeService {
 public:
  explicit FakeService(Answer answer) : answer_(answer) {
    http::Router router;
    router.add("/api/shutdown", [this](const http::Request&) {
      ++calls;
      caller_alive = running_pid.load() > 0 && ::kill(running_pid.load(), 0) == 0;
      switch (answer_) {
        case Answer::kOk: return http::Reply::json({{"ok", true}});
        case Answer::kRefused: return http::Reply::json({{"ok", false}, {"error", "busy"}});
        case Answer::kGarbage: return http::Reply::raw("HTTP/1.1 500 Oops\r\nConnection: close\r\n\r\n");
        case Answer::kNever: break;
      }
      std::this_thread::sleep_for(2s);
      return http::Reply::json({{"ok", true}});
    });
    server_ = std::make_unique<http::Server>(std::move(router));
    port = *server_->listen(0);
    thread_ = std::thread([this] { server_->run(); });
  }
  ~FakeService() {
    server_->stop();
    thread_.join();
  }

  uint16_t port = 0;
  std::atomic<int> calls{0};
  std::atomic<bool> caller_alive{false};
  std::atomic<int> running_pid{-1};

 private:
  Answer answer_;
  std::unique_ptr<http::Server> server_;
  std::thread thread_;
};

// A service program: logs its arguments, refuses --port while the file "busy" exists, then
// prints the lines of "say" (or the fake's address) and waits.
class Rig {
 public:
  explicit Rig(Answer answer = Answer::kOk, std::string script_tail = "")
      : fake(answer), address(std::make_shared<ServiceAddress>()) {
    const std::string d = dir.path().string();
    dir.script("service", "echo \"$*\" >> '" + d +
                              "/starts'\n"
                              "if [ \"$1\" = --port ] && [ -e '" +
                              d + "/busy' ]; then echo 'listen failed' >&2; exit 1; fi\n" +
                              (script_tail.empty() ? "echo '[*] up'\necho 'LISTEN_URL=http://127.0.0.1:" +
                                                         std::to_string(fake.port) + "'\nexec sleep 60"
                                                   : script_tail));
  }

  std::unique_ptr<ServiceKeeper> keeper(std::function<bool()> give_up = {}) {
    KeeperTimings t;
    t.start_timeout = 2s;
    t.same_port_for = 300ms;
    t.retry_pause = 20ms;
    t.max_retry_pause = 100ms;
    t.shutdown_timeout = 500ms;
    t.end_grace = 1s;
    return std::make_unique<ServiceKeeper>(
        dir.file("service"), address,
        [this](const std::string& line) {
          std::lock_guard lock(mutex);
          notes.push_back(line);
        },
        std::move(give_up), t);
  }

  std::vector<std::string> starts() const {
    std::vector<std::string> lines;
    std::istringstream in(test::read_file(dir.file("starts")));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  test::TempDir dir;
  FakeService fake;
  std::shared_ptr<ServiceAddress> address;
  std::mutex mutex;
  std::vector<std::string> notes;
};

TEST(ServiceKeeper, StartsTheServiceAndHasItQuietTheChairBeforeEndingIt) {
  Rig rig;
  auto keeper = rig.keeper();
  ASSERT_TRUE(keeper->start().ok());
  EXPECT_EQ(rig.address->get(), "http://127.0.0.1:" + std::to_string(rig.fake.port));
  EXPECT_EQ(rig.starts(), std::vector<std::string>{""}) << "the first service takes any free port";
  const int pid = keeper->pid();
  rig.fake.running_pid = pid;
  const Status stopped = keeper->stop();
  EXPECT_TRUE(stopped.ok()) << stopped.error();
  EXPECT_EQ(rig.fake.calls, 1);
  EXPECT_TRUE(rig.fake.caller_alive) << "the service was ended before it was asked";
  EXPECT_EQ(keeper->pid(), -1);
  test::expect_no_children();
}

TEST(ServiceKeeper, StopFailsUnlessTheServiceConfirmsAndEndsItAnyway) {
  struct Case {
    const char* what;
    Answer answer;
    bool killed_first;
    const char* error;
  };
  const Case cases[] = {
      {"refused", Answer::kRefused, false,
       "the service did not confirm that the chair is quiet: the service says: busy"},
      {"not HTTP 200", Answer::kGarbage, false,
       "the service did not confirm that the chair is quiet: unexpected reply: HTTP/1.1 500 Oops"},
      {"no reply in time", Answer::kNever, false,
       "the service did not confirm that the chair is quiet: no reply within 500 ms"},
      {"the service died just before", Answer::kOk, true, "chair-service was killed by signal 9 before it could"},
  };
  for (const Case& c : cases) {
    Rig rig(c.answer);
    auto keeper = rig.keeper();
    ASSERT_TRUE(keeper->start().ok()) << c.what;
    if (c.killed_first) {
      ::kill(keeper->pid(), SIGKILL);
      // Dead, not reaped: that is the keeper's to do.
      ASSERT_TRUE(test::eventually([&] { return zombie(keeper->pid()); }));
    }
    const Status stopped = keeper->stop();
    ASSERT_FALSE(stopped.ok()) << c.what;
    EXPECT_EQ(stopped.error().rfind(c.error, 0), 0u) << c.what << ": " << stopped.error();
    test::expect_no_children();
  }
}

TEST(ServiceKeeper, ReplacesADeadServiceOnItsPortWhileThatCanBeHadThenOnAnyPort) {
  Rig rig;
  auto keeper = rig.keeper();
  ASSERT_TRUE(keeper->start().ok());
  const std::string port = std::to_string(rig.fake.port);

  const int first = keeper->pid();
  ::kill(first, SIGKILL);
  ASSERT_TRUE(test::eventually([&] {
    keeper->check();
    return keeper->pid() > 0 && keeper->pid() != first;
  }));
  EXPECT_EQ(rig.starts(), (std::vector<std::string>{"", "--port " + port}));

  // The old port stays taken: after a while the service may take another.
  std::ofstream(rig.dir.file("busy")).put('x');
  const int second = keeper->pid();
  ::kill(second, SIGKILL);
  ASSERT_TRUE(test::eventually([&] {
    keeper->check();
    return keeper->pid() > 0 && keeper->pid() != second;
  }));
  const auto starts = rig.starts();
  ASSERT_GE(starts.size(), 4u);
  EXPECT_EQ(starts[2], "--port " + port);
  EXPECT_EQ(starts.back(), "") << "the last try takes any port";
  {
    std::lock_guard lock(rig.mutex);
    ASSERT_FALSE(rig.notes.empty());
    EXPECT_EQ(rig.notes.front(), "chair-service was killed by signal 9; starting a new one");
    EXPECT_EQ(rig.notes.back(), "chair-service is back at http://127.0.0.1:" + port);
  }
  EXPECT_TRUE(keeper->stop().ok());
  test::expect_no_children();
}

TEST(ServiceKeeper, SaysWhyNoServiceCameUp) {
  struct Case {
    const char* what;
    std::string script_tail;
    std::string error;  // after the program's path
  };
  const Case cases[] = {
      {"it exits first", "echo '监听失败: in use' >&2; exit 1", " exited with code 1 before announcing its address"},
      {"it stays silent", "exec sleep 60", " did not announce its address within 2000 ms (it was killed by signal 15)"},
      // Never put into a header or handed to the page.
      {"an address elsewhere", "echo LISTEN_URL=http://evil.example:80; exec sleep 60",
       " announced an unusable address: LISTEN_URL=http://evil.example:80"},
      {"not a port", "echo 'LISTEN_URL=http://127.0.0.1:80; script-src *'; exec sleep 60",
       " announced an unusable address: LISTEN_URL=http://127.0.0.1:80; script-src *"},
  };
  for (const Case& c : cases) {
    Rig rig(Answer::kOk, c.script_tail);
    auto keeper = rig.keeper();
    const Status started = keeper->start();
    ASSERT_FALSE(started.ok()) << c.what;
    EXPECT_EQ(started.error(), rig.dir.file("service") + c.error) << c.what;
    EXPECT_EQ(rig.address->get(), "") << c.what;
    test::expect_no_children();
  }
}

// A second Ctrl-C while the service takes its time.
TEST(ServiceKeeper, GivesUpWaitingWhenAskedTo) {
  Rig rig(Answer::kNever);
  std::atomic<bool> give_up{false};
  auto keeper = rig.keeper([&] { return give_up.load(); });
  ASSERT_TRUE(keeper->start().ok());
  give_up = true;
  const auto started = std::chrono::steady_clock::now();
  const Status stopped = keeper->stop();
  EXPECT_LT(std::chrono::steady_clock::now() - started, 400ms);
  ASSERT_FALSE(stopped.ok());
  EXPECT_NE(stopped.error().find("stopped waiting for the service's reply"), std::string::npos) << stopped.error();
  test::expect_no_children();
}

TEST(ServiceUrl, OnlyThisMachinesLoopbackWithAPort) {
  const std::pair<const char*, const char*> cases[] = {
      {"http://127.0.0.1:8080", "http://127.0.0.1:8080"},
      {"http://127.0.0.1:8080/", "http://127.0.0.1:8080"},
      {"http://127.0.0.1:65535", "http://127.0.0.1:65535"},
      {"http://127.0.0.1:65536", nullptr},
      {"http://127.0.0.1:0", nullptr},
      {"http://127.0.0.1:+80", nullptr},
      {"http://127.0.0.1:", nullptr},
      {"http://127.0.0.1", nullptr},
      {"http://127.0.0.1:80/api", nullptr},
      {"http://127.0.0.1:80\r", nullptr},
      {"https://127.0.0.1:80", nullptr},
      {"http://localhost:80", nullptr},
      {"http://10.0.0.1:80", nullptr},
      {"", nullptr},
  };
  for (const auto& [announced, base] : cases) {
    const auto url = parse_service_url(announced);
    if (base) {
      ASSERT_TRUE(url) << announced;
      EXPECT_EQ(url->base, base);
      EXPECT_EQ("http://127.0.0.1:" + std::to_string(url->port), base);
    } else {
      EXPECT_FALSE(url) << announced;
    }
  }
}

}  // namespace
}  // namespace chair::panel
