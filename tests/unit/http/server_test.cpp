#include <atomic>
#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "http/guard.h"
#include "http/server.h"
#include "http_client.h"

namespace chair::http {
namespace {

using test::eventually;
using test::get;
using test::raw_request;

const std::string kJsonHead = "HTTP/1.1 200 OK\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: ";
const std::string kNotFound = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

// Holds stream handlers until the test lets them go.
class Gate {
 public:
  void wait() {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [&] { return open_; });
  }
  void open() {
    {
      std::lock_guard lock(mutex_);
      open_ = true;
    }
    cv_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

// Threads of this process now.
size_t thread_count() {
  size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++n;
  return n;
}

// A server on a port of its own (0: an ephemeral one), run on a thread of its own.
class Running {
 public:
  explicit Running(Router router, PreRouting pre = {}, uint16_t port_wanted = 0)
      : server_(std::move(router), std::move(pre)) {
    auto port = server_.listen(port_wanted);
    EXPECT_TRUE(port) << port.error();
    port_ = port ? *port : 0;
    thread_ = std::thread([this] { server_.run(); });
  }
  ~Running() {
    server_.stop();
    thread_.join();
  }
  uint16_t port() const { return port_; }
  Server& server() { return server_; }

 private:
  Server server_;
  uint16_t port_ = 0;
  std::thread thread_;
};

Router basic_routes() {
  Router r;
  r.add("/api/devices", [](const Request&) { return Reply::json(nlohmann::json::array()); });
  r.add("/echo", [](const Request& req) {
    return Reply::json({{"method", req.method}, {"body", req.body}, {"q", req.param("q") ? *req.param("q") : ""}});
  });
  r.add("/throws", [](const Request&) -> Reply { throw std::runtime_error("boom"); });
  r.add("/raw", [](const Request&) { return Reply::raw("HTTP/1.1 204 No Content\r\n\r\n"); });
  return r;
}

TEST(JsonText, KeysAscendAtEveryLevel) {
  nlohmann::json v = {{"ok", false}, {"error", "坏"}, {"z", {{"b", 1}, {"a", 2}, {"B", {{"y", 1}, {"x", 2}}}}}};
  EXPECT_EQ(json_text(v), R"({"error":"坏","ok":false,"z":{"B":{"x":2,"y":1},"a":2,"b":1}})");
  EXPECT_EQ(json_text({{"error", "x"}, {"ok", false}}), R"({"error":"x","ok":false})");
  // Byte order, not code point order of UTF-16 or locale order.
  EXPECT_EQ(json_text({{"\xc3\xa9", 1}, {"z", 2}, {"Z", 3}}), "{\"Z\":3,\"z\":2,\"\xc3\xa9\":1}");
  EXPECT_EQ(json_text({{"v", std::nan("")}, {"w", INFINITY}}), R"({"v":null,"w":null})");
  EXPECT_EQ(json_text({{"t", "a\xff"}}), "{\"t\":\"a\xEF\xBF\xBD\"}");
}

TEST(LoopbackGuard, HostNames) {
  for (const char* ok : {"127.0.0.1", "127.0.0.1:8080", "localhost", "LocalHost:1", "[::1]", "[::1]:80"})
    EXPECT_TRUE(is_loopback_host(ok)) << ok;
  for (const char* bad : {"evil.example", "evil.example:80", "127.0.0.1.evil.example", "localhost.evil", "[::1]x",
                          "[::2]", "", "127.0.0.2", "[::1"})
    EXPECT_FALSE(is_loopback_host(bad)) << bad;
}

TEST(LoopbackGuard, EveryHostHeaderCounts) {
  struct {
    const char* headers;
    bool served;
  } cases[] = {
      {"", true},
      {"Host: 127.0.0.1:8080\r\n", true},
      {"HOST: [::1]:80\r\n", true},
      {"Host: rebind.example\r\n", false},
      {"Host: rebind.example\r\nHost: 127.0.0.1\r\n", false},
      {"Host: 127.0.0.1\r\nHost: rebind.example\r\n", false},
      // Two are refused even when both name the loopback.
      {"Host: localhost\r\nHost: 127.0.0.1\r\n", false},
  };
  for (const auto& c : cases) {
    auto request = parse_request(std::string("GET /api/bind/clear HTTP/1.1\r\n") + c.headers + "\r\n");
    ASSERT_TRUE(request);
    EXPECT_EQ(host_is_loopback(*request), c.served) << c.headers;
  }
}

TEST(Preflight, OnlyABrowsersPreflightIsAnswered) {
  const std::string head =
      "HTTP/1.1 204 No Content\r\nAccess-Control-Allow-Origin: *\r\n"
      "Access-Control-Allow-Methods: GET, POST, OPTIONS\r\nAccess-Control-Allow-Headers: ";
  const std::string tail = "\r\nAccess-Control-Max-Age: 600\r\nConnection: close\r\n\r\n";
  struct {
    std::string request;
    std::optional<std::string> allowed_headers;  // nullopt: not a preflight
  } cases[] = {
      {"OPTIONS /api/cmd/intensity?fn=cold&value=7 HTTP/1.1\r\nAccess-Control-Request-Method: POST\r\n",
       "Content-Type"},
      {"OPTIONS /api/bind/clear HTTP/1.1\r\naccess-control-request-method: DELETE\r\n"
       "Access-Control-Request-Headers: content-type, x-chair\r\n",
       "content-type, x-chair"},
      // A value that would break our own head, or is not plain ASCII, is not echoed.
      {"OPTIONS /a HTTP/1.1\r\nAccess-Control-Request-Method: POST\r\nAccess-Control-Request-Headers: a\rb\r\n",
       "Content-Type"},
      {"OPTIONS /a HTTP/1.1\r\nAccess-Control-Request-Method: POST\r\nAccess-Control-Request-Headers: \xe4\xb8\xad\r\n",
       "Content-Type"},
      // A plain OPTIONS, or another method with the header, is served like any request.
      {"OPTIONS /api/devices HTTP/1.1\r\nOrigin: http://x\r\n", std::nullopt},
      {"POST /api/devices HTTP/1.1\r\nAccess-Control-Request-Method: POST\r\n", std::nullopt},
      {"options /api/devices HTTP/1.1\r\nAccess-Control-Request-Method: POST\r\n", std::nullopt},
  };
  for (const auto& c : cases) {
    auto request = parse_request(c.request + "\r\n");
    ASSERT_TRUE(request) << c.request;
    auto reply = preflight_reply(*request);
    ASSERT_EQ(reply.has_value(), c.allowed_headers.has_value()) << c.request;
    if (reply) {
      EXPECT_EQ(reply->bytes(), head + *c.allowed_headers + tail) << c.request;
    }
  }
}

// "/hold" streams once the gate opens; "/api/devices" answers at once.
Router holding_routes(Gate& gate) {
  Router r;
  r.add("/hold", [&gate](const Request&) {
    return Reply::stream([&gate](ByteSink& sink) {
      gate.wait();
      sink.write_all("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    });
  });
  r.add("/api/devices", [](const Request&) { return Reply::json(nlohmann::json::array()); });
  return r;
}

// Opens `n` connections that each ask for "/hold"; their sockets go to `held`.
void hold(uint16_t port, int n, std::vector<int>& held) {
  for (int i = 0; i < n; ++i) {
    int fd = test::connect_loopback(port);
    ASSERT_GE(fd, 0);
    held.push_back(fd);
    ASSERT_TRUE(test::send_all(fd, "GET /hold HTTP/1.1\r\n\r\n"));
  }
}

TEST(Server, JsonAndRawReplies) {
  Running s(basic_routes());
  // Any method, any version or none, gets the route's full reply.
  auto r = raw_request(s.port(), "OPTIONS /api/devices?&& HTTP/1.1\r\n\r\n");
  EXPECT_EQ(r.raw, kJsonHead + "2\r\nConnection: close\r\nAccess-Control-Allow-Origin: *\r\n\r\n[]");
  auto echo = raw_request(s.port(), "POST /echo?q=%E4%B8%AD\r\nContent-Length: 3\r\n\r\nabcdef");
  EXPECT_EQ(echo.body, R"({"body":"abc","method":"POST","q":"中"})");
  EXPECT_EQ(echo.head, kJsonHead + std::to_string(echo.body.size()) +
                           "\r\nConnection: close\r\nAccess-Control-Allow-Origin: *\r\n\r\n");
  EXPECT_EQ(get(s.port(), "/raw").raw, "HTTP/1.1 204 No Content\r\n\r\n");
}

TEST(Server, QuietClientsWaitForNobody) {
  Running s(basic_routes());
  // Connections that have sent nothing yet: the one that speaks after a pause is served
  // like any other, and meanwhile the others are.
  int quiet = test::connect_loopback(s.port());
  int late = test::connect_loopback(s.port());
  ASSERT_GE(quiet, 0);
  ASSERT_GE(late, 0);
  EXPECT_EQ(get(s.port(), "/api/devices").body, "[]");
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  ASSERT_TRUE(test::send_all(late, "GET /api/devices HTTP/1.1\r\n\r\n"));
  std::string got;
  char buf[512];
  for (ssize_t n; (n = ::read(late, buf, sizeof buf)) > 0;) got.append(buf, static_cast<size_t>(n));
  EXPECT_EQ(got, kJsonHead + "2\r\nConnection: close\r\nAccess-Control-Allow-Origin: *\r\n\r\n[]");
  ::close(late);
  ::close(quiet);
}

TEST(Server, UnmatchedPathsGetTheExactNotFound) {
  Running s(basic_routes());
  ASSERT_EQ(kNotFound.size(), 64u);
  for (const char* target : {"/API/devices", "/api/devices/", "/api/devices%2F", "/nope", "/api/device", "/"})
    EXPECT_EQ(get(s.port(), target).raw, kNotFound) << target;
}

TEST(Server, RefusedRequestsAndFailingHandlersCloseWithoutReply) {
  Running s(basic_routes());
  // The reader's own limits are checked over memory; here only that a refusal closes at once.
  const std::string refused[] = {
      "GET\r\n\r\n",
      // Three body bytes of five announced, then the client half-closes.
      "POST /api/devices HTTP/1.1\r\nContent-Length: 5\r\n\r\nabc",
      "POST /api/devices HTTP/1.1\r\nContent-Length: " + std::to_string(kMaxBodyBytes + 1) + "\r\n\r\n",
      "GET /throws HTTP/1.1\r\n\r\n",
  };
  for (const auto& bytes : refused) EXPECT_FALSE(raw_request(s.port(), bytes, true).replied) << bytes;
  // Still serving.
  EXPECT_EQ(get(s.port(), "/api/devices").body, "[]");
  EXPECT_TRUE(eventually([&] { return s.server().active_connections() == 0; }));
}

TEST(Server, PreRoutingAnswersFirst) {
  std::atomic<int> routed{0};
  Router r;
  r.add("/a", [&](const Request&) {
    ++routed;
    return Reply::json({{"ok", true}});
  });
  Running s(std::move(r), [](const Request& req) -> std::optional<Reply> {
    if (!req.hosts.empty() && !is_loopback_host(req.hosts.back()))
      return Reply::raw("HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    if (req.path == "/throw") throw std::runtime_error("hook");
    return std::nullopt;
  });
  EXPECT_EQ(raw_request(s.port(), "GET /a HTTP/1.1\r\nHost: rebound.example\r\n\r\n").status, 403);
  // The hook sees unmatched paths too.
  EXPECT_EQ(raw_request(s.port(), "GET /none HTTP/1.1\r\nHost: rebound.example\r\n\r\n").status, 403);
  EXPECT_EQ(routed, 0);
  EXPECT_FALSE(raw_request(s.port(), "GET /throw HTTP/1.1\r\n\r\n").replied);
  EXPECT_EQ(get(s.port(), "/a").body, R"({"ok":true})");
  EXPECT_EQ(get(s.port(), "/none").raw, kNotFound);
  EXPECT_EQ(routed, 1);
}

// A page's request that the browser marks as made without CORS, or as a navigation another
// site started, or that carries an origin nobody named, is refused before routing; the rest
// go on to their route (PreRoutingAnswersFirst: an answer of the hook runs no route).
TEST(RequestGuard, BrowserRequestsThePageWasNotAllowed) {
  const RequestGuard open, listed(parse_origin_list(" http://127.0.0.1:41234 , ,http://localhost:5173,"));
  enum Outcome { kServed, kRefused, kPreflight };
  struct {
    const char* headers;
    Outcome open, listed;
  } cases[] = {
      {"", kServed, kServed},  // curl, chairctl, the desktop UI
      {"Sec-Fetch-Mode: no-cors\r\nSec-Fetch-Site: same-site\r\n", kRefused, kRefused},  // <img> from another port
      {"Sec-Fetch-Mode: navigate\r\nSec-Fetch-Site: cross-site\r\nOrigin: null\r\n", kRefused, kRefused},
      {"Sec-Fetch-Mode: navigate\r\nSec-Fetch-Site: none\r\n", kServed, kServed},  // typed by the user
      {"Sec-Fetch-Mode: cors\r\nSec-Fetch-Site: cross-site\r\nOrigin: http://127.0.0.1:41234\r\n", kServed, kServed},
      {"Sec-Fetch-Mode: cors\r\nOrigin: http://localhost:5173\r\n", kServed, kServed},
      {"Sec-Fetch-Mode: cors\r\nOrigin: http://127.0.0.1:8000\r\n", kServed, kRefused},
      {"Origin: http://127.0.0.1:41234/\r\n", kServed, kRefused},  // exact origins only
      {"Origin: null\r\n", kServed, kRefused},
      {"Origin: http://127.0.0.1:41234\r\nAccess-Control-Request-Method: POST\r\n", kPreflight, kPreflight},
      {"Origin: http://evil.example\r\nAccess-Control-Request-Method: POST\r\n", kPreflight, kRefused},
  };
  const std::string forbidden = "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  for (const auto& c : cases) {
    const std::string method = std::string(c.headers).find("Access-Control") == std::string::npos ? "GET" : "OPTIONS";
    auto request = parse_request(method + " /a HTTP/1.1\r\nHost: 127.0.0.1\r\n" + c.headers + "\r\n");
    ASSERT_TRUE(request) << c.headers;
    for (auto [guard, outcome] : {std::pair{&open, c.open}, std::pair{&listed, c.listed}}) {
      const auto reply = (*guard)(*request);
      const char* which = guard == &open ? " (no list)" : " (listed origins)";
      EXPECT_EQ(reply.has_value(), outcome != kServed) << c.headers << which;
      EXPECT_EQ(reply && reply->bytes().starts_with("HTTP/1.1 204"), outcome == kPreflight) << c.headers << which;
      EXPECT_EQ(reply && reply->bytes() == forbidden, outcome == kRefused) << c.headers << which;
    }
  }
}

TEST(Server, StreamReplyWritesUntilTheClientGoes) {
  std::atomic<bool> ended{false};
  Router r;
  r.add("/api/events", [&](const Request&) {
    return Reply::stream([&](ByteSink& sink) {
      if (sink.write_all("HTTP/1.1 200 OK\r\n\r\n")) {
        for (int i = 0; sink.write_all("data: " + std::to_string(i) + "\n\n"); ++i)
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      ended = true;
    });
  });
  Running s(std::move(r));
  {
    test::EventStream events(s.port());
    EXPECT_EQ(events.next(), "0");
    EXPECT_EQ(events.next(), "1");
    EXPECT_EQ(s.server().active_connections(), 1);
  }
  EXPECT_TRUE(eventually([&] { return ended.load(); }));
  EXPECT_TRUE(eventually([&] { return s.server().active_connections() == 0; }));
}

TEST(Server, StreamWriteTimeoutEndsAStalledClient) {
  std::atomic<bool> failed{false};
  Router r;
  r.add("/stall", [&](const Request&) {
    return Reply::stream([&](ByteSink& sink) {
      sink.set_write_timeout(std::chrono::milliseconds(200));
      const std::string chunk(1 << 20, 'x');
      while (sink.write_all(chunk)) {
      }
      failed = true;
    });
  });
  Running s(std::move(r));
  int fd = test::connect_loopback(s.port());
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(test::send_all(fd, "GET /stall HTTP/1.1\r\n\r\n"));
  // The client never reads; the socket buffers fill and one send stays blocked.
  EXPECT_TRUE(eventually([&] { return failed.load(); }, std::chrono::seconds(20)));
  ::close(fd);
}

TEST(Server, ConnectionCap) {
  Gate gate;
  Running s(holding_routes(gate));
  std::vector<int> held;
  ASSERT_NO_FATAL_FAILURE(hold(s.port(), kMaxConnections, held));
  ASSERT_TRUE(eventually([&] { return s.server().active_connections() == kMaxConnections; }, std::chrono::seconds(30)));
  // One more is closed at once, without a reply; the timeout tells a hang from a close.
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(raw_request(s.port(), "GET /api/devices HTTP/1.1\r\n\r\n", false, std::chrono::seconds(10)).replied);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  gate.open();
  for (int fd : held) ::close(fd);
  EXPECT_TRUE(eventually([&] { return s.server().active_connections() == 0; }, std::chrono::seconds(30)));
  EXPECT_EQ(get(s.port(), "/api/devices").body, "[]");
}

TEST(Server, ConnectionThreadsAreReused) {
  std::mutex mutex;
  std::set<std::thread::id> threads;
  Router r;
  r.add("/who", [&](const Request&) {
    std::lock_guard lock(mutex);
    threads.insert(std::this_thread::get_id());
    return Reply::json({{"ok", true}});
  });
  Running s(std::move(r));
  for (int i = 0; i < 100; ++i) ASSERT_EQ(get(s.port(), "/who").status, 200);
  // One connection after another finds a thread waiting: no thread is started per connection
  // (a loaded machine may have one still on its way back to the pool now and then).
  EXPECT_LE(threads.size(), 10u);
}

TEST(Server, IdleThreadsLeaveAndOneKeepsAccepting) {
  // A thread run first: a sanitizer's runtime starts a helper thread with the first thread.
  std::thread([] {}).join();
  const size_t before = thread_count();
  Gate gate;
  Running s(holding_routes(gate));
  std::vector<int> held;
  ASSERT_NO_FATAL_FAILURE(hold(s.port(), 40, held));
  ASSERT_TRUE(eventually([&] { return s.server().active_connections() == 40; }, std::chrono::seconds(10)));
  EXPECT_GT(thread_count(), before + 40);
  gate.open();
  for (int fd : held) ::close(fd);
  // Back to the runner's thread and one waiting for connections, once the rest sat idle.
  EXPECT_TRUE(eventually([&] { return thread_count() == before + 2; }, std::chrono::seconds(30)))
      << thread_count() << " threads, " << before << " before";
  EXPECT_EQ(get(s.port(), "/api/devices").body, "[]");
}

TEST(Server, StopEndsRunAndClosesThePort) {
  Server before(basic_routes());
  ASSERT_TRUE(before.listen(0));
  before.stop();
  before.run();  // returns at once

  Gate gate;
  std::atomic<bool> streamed{false}, holding{false};
  Router r = basic_routes();
  r.add("/hold", [&](const Request&) {
    return Reply::stream([&](ByteSink& sink) {
      holding = true;
      gate.wait();
      streamed = sink.write_all("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    });
  });
  Server server(std::move(r));
  auto port = server.listen(0);
  ASSERT_TRUE(port);
  std::atomic<bool> returned{false};
  std::thread runner([&] {
    server.run();
    returned = true;
  });
  EXPECT_EQ(get(*port, "/api/devices").body, "[]");
  int held = test::connect_loopback(*port);
  ASSERT_GE(held, 0);
  ASSERT_TRUE(test::send_all(held, "GET /hold HTTP/1.1\r\n\r\n"));
  // Its handler runs (the connection count alone could still be the one of the request
  // before, not yet taken off).
  ASSERT_TRUE(eventually([&] { return holding.load(); }));
  // run() returns and the port refuses at once; the connection being served goes on.
  server.stop();
  EXPECT_TRUE(eventually([&] { return returned.load(); }));
  runner.join();
  EXPECT_LT(test::connect_loopback(*port), 0);
  gate.open();
  EXPECT_TRUE(eventually([&] { return streamed.load(); }));
  ::close(held);
}

TEST(Server, RestartsOnItsPortWhileClosedConnectionsLinger) {
  uint16_t port = 0;
  {
    Running first(basic_routes());
    port = first.port();
    // The server closes each of these first, so they linger in TIME_WAIT on its port.
    for (int i = 0; i < 5; ++i) ASSERT_EQ(get(port, "/api/devices").body, "[]");
  }
  Running again(basic_routes(), {}, port);
  EXPECT_EQ(again.port(), port);
  EXPECT_EQ(get(port, "/api/devices").body, "[]");
}

TEST(Server, ListenFailsOnAPortInUseAndRaisesTheDescriptorLimit) {
  rlimit lim{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
  const bool can_check = lim.rlim_max == RLIM_INFINITY || lim.rlim_max >= 4096;
  if (can_check) {
    lim.rlim_cur = 1024;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lim), 0);
  }
  Server first(basic_routes()), second(basic_routes());
  auto port = first.listen(0);
  ASSERT_TRUE(port);
  auto clash = second.listen(*port);
  ASSERT_FALSE(clash);
  EXPECT_FALSE(clash.error().empty());
  if (can_check) {
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
    EXPECT_EQ(lim.rlim_cur, 4096u);
  }
}

}  // namespace
}  // namespace chair::http
