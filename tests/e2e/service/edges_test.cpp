// The service's HTTP edges as a client meets them: a restart on its own port, and requests that
// must not run their route (a browser's preflight, more than one Host header, a Content-Length
// too large to hold).
#include <gtest/gtest.h>

#include <memory>

#include "data_dir.h"
#include "http_client.h"
#include "service_process.h"

namespace chair::test {
namespace {

TEST(ServiceEdges, RestartsOnItsPortRightAfterServing) {
  TempDataDir data;
  auto first = start_service({});
  const uint16_t port = first->port();
  ASSERT_NE(port, 0) << first->err();
  // The service closes each connection first, so they linger on its port once it is gone.
  for (int i = 0; i < 20; ++i) ASSERT_EQ(get(port, "/api/devices").status, 200);
  first.reset();
  auto second = start_service({"--port", std::to_string(port)});
  EXPECT_EQ(second->port(), port) << second->err();
  EXPECT_EQ(get(port, "/api/devices").body, "[]");
}

TEST(ServiceEdges, RequestsThatMustNotRunTheirRoute) {
  TempDataDir data;
  auto service = start_service({});
  const uint16_t port = service->port();
  ASSERT_NE(port, 0) << service->err();
  ASSERT_EQ(get_json(port, "/api/bind/set?addr=C0:FF:EE:01:02:0A&name=T")["ok"], true);
  auto unchanged = [&] {
    const auto binding = get_json(port, "/api/bind/get");
    return binding["boundAddress"] == "C0:FF:EE:01:02:0A" && binding["autoConnect"] == true;
  };

  const std::string allow =
      "HTTP/1.1 204 No Content\r\nAccess-Control-Allow-Origin: *\r\n"
      "Access-Control-Allow-Methods: GET, POST, OPTIONS\r\nAccess-Control-Allow-Headers: ";
  const std::string allow_end = "\r\nAccess-Control-Max-Age: 600\r\nConnection: close\r\n\r\n";
  const std::string forbidden = "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  struct {
    std::string request;
    std::optional<std::string> reply;  // nullopt: closed without a reply
  } cases[] = {
      {"OPTIONS /api/bind/clear HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: http://localhost:5173\r\n"
       "Access-Control-Request-Method: DELETE\r\n\r\n",
       allow + "Content-Type" + allow_end},
      {"OPTIONS /api/bind/autoconnect?on=0 HTTP/1.1\r\nHost: 127.0.0.1\r\nAccess-Control-Request-Method: POST\r\n"
       "Access-Control-Request-Headers: content-type\r\n\r\n",
       allow + "content-type" + allow_end},
      {"GET /api/bind/clear HTTP/1.1\r\nHost: rebind.example\r\nHost: 127.0.0.1\r\n\r\n", forbidden},
      {"GET /api/bind/autoconnect?on=0 HTTP/1.1\r\nHost: 127.0.0.1\r\nHost: localhost\r\n\r\n", forbidden},
      {"GET /api/bind/clear HTTP/1.1\r\nHost: 127.0.0.1\r\nSec-Fetch-Mode: no-cors\r\n\r\n", forbidden},
      {"POST /api/bind/autoconnect?on=0 HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 18446744073709551616\r\n\r\n{}",
       std::nullopt},
      {"POST /api/bind/clear HTTP/1.1\r\nContent-Length: " + std::string(26, '9') + "\r\n\r\n", std::nullopt},
  };
  for (const auto& c : cases) {
    auto r = raw_request(port, c.request, true);
    if (c.reply) {
      EXPECT_EQ(r.raw, *c.reply) << c.request;
    } else {
      EXPECT_FALSE(r.replied) << c.request;
    }
    EXPECT_TRUE(unchanged()) << c.request;
  }

  // A plain OPTIONS is still served like any other method.
  auto plain = raw_request(port, "OPTIONS /api/bind/autoconnect?on=0 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  EXPECT_EQ(plain.body, R"({"ok":true})");
  EXPECT_EQ(get_json(port, "/api/bind/get")["autoConnect"], false);
}

}  // namespace
}  // namespace chair::test
