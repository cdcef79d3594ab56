// The service binary as the desktop UI sees it: a child process, its announcement, raw TCP.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "data_dir.h"
#include "http_client.h"
#include "service_process.h"

namespace chair::test {
namespace {

const char* kHead404 = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

uint16_t free_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

// Every case has a data folder of its own, named to the service in TAMRO_DATA_DIR.
class ServiceStartup : public ::testing::Test {
  TempDataDir data_;
};

TEST_F(ServiceStartup, AnnouncesThreeLinesWithTheChosenPort) {
  auto s = start_service();
  const auto lines = s->lines();
  ASSERT_EQ(lines.size(), 3u) << s->out();
  uint16_t port = s->port();
  ASSERT_NE(port, 0);
  std::string p = std::to_string(port);
  EXPECT_EQ(lines[0], "[*] 服务监听: http://127.0.0.1:" + p);
  EXPECT_EQ(lines[1], "LISTEN_URL=http://127.0.0.1:" + p);
  EXPECT_EQ(lines[2], "[*] 后端就绪，UI 由主程序接管");
  EXPECT_EQ(s->out().find('\r'), std::string::npos);
  EXPECT_EQ(s->err(), "");
}

TEST_F(ServiceStartup, PortOptionForms) {
  struct Case {
    std::vector<std::string> args;
    bool fixed;  // the free port is expected; else the OS picks one
  };
  for (int form = 0; form < 13; ++form) {
    uint16_t want = free_port();
    std::string w = std::to_string(want);
    std::vector<Case> cases = {
        {{"--port", w}, true},
        {{"--port=" + w}, true},
        {{"-port", w}, true},
        {{"-port=" + w}, true},
        {{"-port=+" + w}, true},
        {{"-port", "abc", "--port", w}, false},  // the short name's value fails; no fallback
        {{"--port", w, "-port"}, true},          // short name last, without a value
        {{"-port", "70000"}, false},
        {{"-Port", w, "--port=0x10", "x"}, false},
        {{"--port", "00" + w}, true},  // leading zeros
        {{"--port=0000000000" + w}, true},
        {{"-port", "+0" + w}, true},
        {{"--port", "0065536"}, false},  // too large with its zeros too
    };
    const Case& c = cases[form];
    auto s = start_service(c.args);
    ASSERT_EQ(s->lines().size(), 3u) << "form " << form;
    if (c.fixed)
      EXPECT_EQ(s->port(), want) << "form " << form;
    else
      EXPECT_NE(s->port(), 0) << "form " << form;
  }
}

TEST_F(ServiceStartup, SecondInstanceOnTheSamePortFails) {
  auto first = start_service();
  ASSERT_NE(first->port(), 0);
  ServiceProcess second(bin_path("chair-service"), {"--port", std::to_string(first->port())});
  EXPECT_EQ(second.wait(), 1);
  EXPECT_EQ(second.out(), "");
  EXPECT_EQ(second.err().rfind("监听失败: ", 0), 0u) << second.err();
  EXPECT_EQ(second.err().back(), '\n');
}

class Served : public ServiceStartup {
 protected:
  void SetUp() override {
    s_ = start_service();
    port_ = s_->port();
    ASSERT_NE(port_, 0);
  }
  std::unique_ptr<ServiceProcess> s_;
  uint16_t port_ = 0;
};

TEST_F(Served, NotFoundIsExact) {
  for (const char* target : {"/API/devices", "/api/devices/", "/api/devices%2F", "/nope", "/api/event"}) {
    auto r = get(port_, target);
    EXPECT_EQ(r.raw, kHead404) << target;
    EXPECT_EQ(r.raw.size(), 64u);
  }
}

TEST_F(Served, ForeignHostIsRefusedBeforeAnyRoute) {
  EventStream events(port_);
  ASSERT_TRUE(events.next()) << events.raw();
  const std::string foreign = "Host: rebound.example:" + std::to_string(port_) + "\r\n";
  // A loopback Host after the foreign one does not make it pass: every header counts.
  for (const std::string& hosts : {foreign, foreign + "Host: 127.0.0.1\r\n", "Host: 127.0.0.1\r\n" + foreign}) {
    auto r = raw_request(port_, "GET /api/scan/stop HTTP/1.1\r\n" + hosts + "\r\n");
    EXPECT_EQ(r.raw, "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n") << hosts;
  }
  // No route ran: the scan-stop route would have published its status and log line.
  EXPECT_FALSE(events.next(300ms));
  EXPECT_EQ(raw_request(port_, "GET /api/devices HTTP/1.1\r\nHost: localhost:1\r\n\r\n").status, 200);
}

TEST_F(Served, JsonReplyHead) {
  auto r = raw_request(port_, "OPTIONS /api/devices?&& HTTP/1.1\r\n\r\n");
  EXPECT_EQ(r.raw,
            "HTTP/1.1 200 OK\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: 2\r\n"
            "Connection: close\r\nAccess-Control-Allow-Origin: *\r\n\r\n[]");
}

TEST_F(Served, MalformedRequestsGetNoReply) {
  EXPECT_FALSE(raw_request(port_, "GET\r\n\r\n", true).replied);
  EXPECT_FALSE(raw_request(port_, "", true).replied);
  // Three body bytes of five announced, then the client half-closes.
  EXPECT_FALSE(raw_request(port_, "POST /api/devices HTTP/1.1\r\nContent-Length: 5\r\n\r\nabc", true).replied);
  EXPECT_FALSE(raw_request(port_, "GET /" + std::string(9000, 'a') + " HTTP/1.1\r\n\r\n", true).replied);
  std::string many = "GET /api/devices HTTP/1.1\r\n";
  for (int i = 0; i < 101; ++i) many += "X: y\r\n";
  EXPECT_FALSE(raw_request(port_, many + "\r\n", true).replied);
  EXPECT_FALSE(raw_request(port_, "POST /api/devices HTTP/1.1\r\nContent-Length: 2000000\r\n\r\n", true).replied);
  // The service is still serving.
  EXPECT_EQ(get(port_, "/api/devices").body, "[]");
}

TEST_F(Served, EventStreamHeadAndSnapshot) {
  auto r = raw_request(port_, "GET /api/events HTTP/1.1\r\n\r\n", false, 500ms);
  const std::string head =
      "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache\r\n"
      "Connection: keep-alive\r\nAccess-Control-Allow-Origin: *\r\n\r\n";
  EXPECT_EQ(head.size(), 133u);
  EXPECT_EQ(r.raw, head + "data: {\"type\":\"status\",\"status\":\"idle\"}\n\n");
}

TEST_F(Served, SubscribersSeeTheSameOrder) {
  EventStream a(port_), b(port_);
  ASSERT_TRUE(a.next());
  ASSERT_TRUE(b.next());
  // Each scan stop publishes a status and a log line.
  for (int i = 0; i < 5; ++i) get(port_, "/api/scan/stop");
  std::vector<std::string> ra, rb;
  for (int i = 0; i < 10; ++i) {
    auto x = a.next(), y = b.next();
    ASSERT_TRUE(x && y);
    ra.push_back(*x);
    rb.push_back(*y);
  }
  EXPECT_EQ(ra, rb);
  EXPECT_EQ(ra[1], R"({"type":"log","log":"scan stopped"})");
}

TEST_F(Served, TimerRoutes) {
  EventStream events(port_);
  ASSERT_TRUE(events.next());
  const std::string range = "定时必须 1-86400 秒，当前 ";
  // Decimal digits only, 1 to 86400; anything else changes nothing and publishes nothing.
  const std::pair<std::string, std::string> refused[] = {
      {"", "invalid seconds"},
      {"?seconds=", "invalid seconds"},
      {"?seconds=+5", "invalid seconds"},
      {"?seconds=-5", "invalid seconds"},
      {"?seconds=%205", "invalid seconds"},
      {"?seconds=1.5", "invalid seconds"},
      {"?seconds=5s", "invalid seconds"},
      {"?seconds=0", range + "0"},
      {"?seconds=000", range + "000"},
      {"?seconds=86401", range + "86401"},
      {"?seconds=99999999999999999999", range + "99999999999999999999"},
  };
  for (const auto& [query, error] : refused) {
    EXPECT_EQ(get_json(port_, "/api/timer/set" + query), nlohmann::json({{"error", error}, {"ok", false}})) << query;
  }
  EXPECT_EQ(get_json(port_, "/api/timer/get")["seconds"], 0);
  EXPECT_EQ(get_json(port_, "/api/timer/cancel")["ok"], true);  // none running: nothing published
  EXPECT_FALSE(events.next(200ms));

  EXPECT_EQ(get_json(port_, "/api/timer/set?seconds=86400")["ok"], true);
  EXPECT_EQ(events.next(), R"({"type":"timer","seconds":86400})");
  EXPECT_EQ(get_json(port_, "/api/timer/set?seconds=0600")["ok"], true);  // replaces it
  EXPECT_EQ(events.next(), R"({"type":"timer","seconds":600})");
  const int left = get_json(port_, "/api/timer/get")["seconds"];
  EXPECT_TRUE(left == 600 || left == 599) << left;
  // A new stream learns of the running timer right after its status.
  EventStream late(port_);
  EXPECT_EQ(late.next(), R"({"type":"status","status":"idle"})");
  const auto timer = late.next();
  ASSERT_TRUE(timer);
  EXPECT_TRUE(*timer == R"({"type":"timer","seconds":600})" || *timer == R"({"type":"timer","seconds":599})");
  EXPECT_EQ(get_json(port_, "/api/timer/cancel")["ok"], true);
  EXPECT_EQ(events.next(), R"({"type":"timer","seconds":0})");
  EXPECT_EQ(get_json(port_, "/api/timer/get")["seconds"], 0);
}

TEST_F(Served, HistoryWithoutReports) {
  EXPECT_EQ(get(port_, "/api/history").body, "[]");
  EXPECT_EQ(get(port_, "/api/history?since=0").body, "[]");
  for (const char* since : {"", "-1", "abc", "1e3", "99999999999999999999"}) {
    EXPECT_EQ(get_json(port_, std::string("/api/history?since=") + since),
              nlohmann::json({{"error", "invalid since"}, {"ok", false}}))
        << since;
  }
}

TEST_F(Served, ManyConcurrentClients) {
  std::vector<std::thread> threads;
  std::atomic<int> ok{0};
  for (int i = 0; i < 32; ++i)
    threads.emplace_back([&] {
      for (int k = 0; k < 10; ++k)
        if (get(port_, "/api/devices").body == "[]") ++ok;
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(ok, 320);
}

}  // namespace
}  // namespace chair::test

namespace chair::test {
namespace {

// The two long timers in one case: a quiet stream gets ": ping" every 15 s, and a client
// that stalls mid-request is dropped without a reply after 30 s.
TEST_F(Served, KeepAliveAndStalledClientTimers) {
  EventStream events(port_);
  auto start = std::chrono::steady_clock::now();
  auto stalled = std::async(std::launch::async,
                            [&] { return raw_request(port_, "GET /api/devices HTTP/1.1\r\nHost: x", false, 40s); });
  ASSERT_TRUE(eventually([&] { return events.raw().find(": ping\n\n") != std::string::npos; }, 17s));
  auto first_ping = std::chrono::steady_clock::now() - start;
  EXPECT_GE(first_ping, 14s);
  auto r = stalled.get();
  auto dropped = std::chrono::steady_clock::now() - start;
  EXPECT_FALSE(r.replied);
  EXPECT_GE(dropped, 29s);
  EXPECT_LT(dropped, 35s);
}

}  // namespace
}  // namespace chair::test
