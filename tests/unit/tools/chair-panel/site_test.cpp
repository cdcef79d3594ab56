#include "tools/chair-panel/site.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sys/sockets.h"
#include "test_env.h"
#include "tools/chair-panel/link_watch.h"
#include "tools/chair-panel/pages.h"

namespace chair::panel {
namespace {

constexpr const char* kService = "http://127.0.0.1:5000";
const WebFile kFiles[] = {
    {"/index.html", "<!doctype html>"},
    {"/app.mjs", "go()"},
    {"/vendor/uPlot.min.css", ".u{}"},
};

struct Parsed {
  std::string status;  // the status line without its CRLF
  std::map<std::string, std::string> headers;
  std::string body;
};

Parsed parse(const std::string& bytes) {
  Parsed p;
  const size_t head_end = bytes.find("\r\n\r\n");
  EXPECT_NE(head_end, std::string::npos) << bytes;
  const std::string head = bytes.substr(0, head_end);
  p.body = bytes.substr(head_end + 4);
  size_t at = head.find("\r\n");
  p.status = head.substr(0, at);
  while (at != std::string::npos) {
    const size_t next = head.find("\r\n", at + 2);
    const std::string line = head.substr(at + 2, next == std::string::npos ? std::string::npos : next - at - 2);
    const size_t colon = line.find(": ");
    p.headers[line.substr(0, colon)] = line.substr(colon + 2);
    at = next;
  }
  return p;
}

Parsed ask(const std::string& method, const std::string& path, std::vector<std::string> hosts = {"127.0.0.1:8000"}) {
  http::Request request;
  request.method = method;
  request.path = path;
  request.hosts = std::move(hosts);
  return parse(answer(request, kFiles, kService).bytes());
}

TEST(PanelSite, ServesOnlyItsOwnFilesToItsOwnHost) {
  struct Case {
    std::string method, path;
    std::vector<std::string> hosts;
    std::string status, type, body;
  };
  const std::vector<std::string> local = {"127.0.0.1:8000"};
  const Case cases[] = {
      {"GET", "/", local, "HTTP/1.1 200 OK", "text/html; charset=utf-8", "<!doctype html>"},
      {"GET", "/index.html", {"localhost:8000"}, "HTTP/1.1 200 OK", "text/html; charset=utf-8", "<!doctype html>"},
      {"GET", "/app.mjs", {}, "HTTP/1.1 200 OK", "text/javascript; charset=utf-8", "go()"},
      {"GET", "/vendor/uPlot.min.css", local, "HTTP/1.1 200 OK", "text/css; charset=utf-8", ".u{}"},
      {"GET", "/config.json", local, "HTTP/1.1 200 OK", "application/json; charset=utf-8",
       R"({"link":null,"serviceUrl":"http://127.0.0.1:5000"})"},
      {"HEAD", "/app.mjs", local, "HTTP/1.1 200 OK", "text/javascript; charset=utf-8", ""},
      // Paths are taken as sent: nothing outside the carried files can be named.
      {"GET", "/../index.html", local, "HTTP/1.1 404 Not Found", "text/plain; charset=utf-8", "not found\n"},
      {"GET", "/%2e%2e/index.html", local, "HTTP/1.1 404 Not Found", "text/plain; charset=utf-8", "not found\n"},
      {"GET", "//index.html", local, "HTTP/1.1 404 Not Found", "text/plain; charset=utf-8", "not found\n"},
      {"GET", "/INDEX.HTML", local, "HTTP/1.1 404 Not Found", "text/plain; charset=utf-8", "not found\n"},
      {"GET", "/vendor", local, "HTTP/1.1 404 Not Found", "text/plain; charset=utf-8", "not found\n"},
      {"GET", "", local, "HTTP/1.1 404 Not Found", "text/plain; charset=utf-8", "not found\n"},
      {"POST", "/config.json", local, "HTTP/1.1 405 Method Not Allowed", "text/plain; charset=utf-8", ""},
      {"get", "/", local, "HTTP/1.1 405 Method Not Allowed", "text/plain; charset=utf-8", ""},
      // A page elsewhere under a rebound name; every Host header counts.
      {"GET",
       "/config.json",
       {"evil.example:8000"},
       "HTTP/1.1 403 Forbidden",
       "text/plain; charset=utf-8",
       "forbidden\n"},
      {"GET",
       "/",
       {"127.0.0.1:8000", "evil.example"},
       "HTTP/1.1 403 Forbidden",
       "text/plain; charset=utf-8",
       "forbidden\n"},
  };
  for (const Case& c : cases) {
    const std::string what = c.method + " " + c.path;
    Parsed reply = ask(c.method, c.path, c.hosts);
    EXPECT_EQ(reply.status, c.status) << what;
    EXPECT_EQ(reply.headers["Content-Type"], c.type) << what;
    EXPECT_EQ(reply.body, c.body) << what;
    // HEAD announces the body it leaves out.
    const size_t length = c.method == "HEAD" ? 4 : c.body.size();
    EXPECT_EQ(reply.headers["Content-Length"], std::to_string(length)) << what;
    EXPECT_EQ(reply.headers["Connection"], "close") << what;
    EXPECT_EQ(reply.headers["X-Content-Type-Options"], "nosniff") << what;
    EXPECT_EQ(reply.headers["Content-Security-Policy"], content_security_policy(kService)) << what;
    EXPECT_EQ(reply.headers.count("Allow"), c.status.find("405") != std::string::npos ? 1u : 0u) << what;
  }
}

TEST(PanelSite, HandlerFollowsTheServiceAddressAndTheConnectedChair) {
  auto address = std::make_shared<ServiceAddress>();
  address->set("http://127.0.0.1:1111");
  std::optional<ConnectedChair> chair;
  const http::PreRouting handler = site_handler({kFiles, address, [&chair] { return chair; }});
  http::Request request;
  request.method = "GET";
  request.path = "/config.json";
  EXPECT_EQ(parse(handler(request)->bytes()).body, R"({"link":null,"serviceUrl":"http://127.0.0.1:1111"})");
  address->set("http://127.0.0.1:2222");
  chair = ConnectedChair{"C0:FF:EE:01:02:0A", "Den"};
  Parsed moved = parse(handler(request)->bytes());
  EXPECT_EQ(moved.body,
            R"({"link":{"address":"C0:FF:EE:01:02:0A","name":"Den"},"serviceUrl":"http://127.0.0.1:2222"})");
  EXPECT_NE(moved.headers["Content-Security-Policy"].find("'self' http://127.0.0.1:2222;"), std::string::npos);
  // Without a page tracker there is no presence stream.
  request.path = "/presence";
  EXPECT_EQ(parse(handler(request)->bytes()).status, "HTTP/1.1 404 Not Found");
}

// A page counts from its stream's first byte until a ping finds it gone; closing ends them all.
TEST(PanelPages, CountTheOpenPagesAndEndTheirStreams) {
  Pages pages(std::chrono::milliseconds(20));
  auto address = std::make_shared<ServiceAddress>();
  http::Server server(http::Router{}, site_handler({kFiles, address, {}, &pages}));
  const auto port = server.listen(0);
  ASSERT_TRUE(port.ok()) << port.error();
  std::thread serving([&server] { server.run(); });
  auto open_page = [&] {
    auto socket = sys::connect_loopback(*port, std::chrono::seconds(2));
    EXPECT_TRUE(socket && socket->write_all("GET /presence HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    return std::move(*socket);
  };
  EXPECT_FALSE(pages.unattended_for()) << "no page was ever open";
  sys::Socket page = open_page();
  EXPECT_TRUE(test::eventually([&] { return pages.open() == 1; }));
  page.close();
  EXPECT_TRUE(test::eventually([&] { return pages.open() == 0 && pages.unattended_for(); }));
  page = open_page();
  EXPECT_TRUE(test::eventually([&] { return pages.open() == 1; }));
  pages.close();
  EXPECT_TRUE(test::eventually([&] { return pages.open() == 0; }));
  server.stop();
  serving.join();
}

// The snapshot that opens a stream names no chair; the link's own lines name its address.
TEST(PanelLinkRecords, KnowTheConnectedChairFromTheStream) {
  using Json = nlohmann::json;
  const Json connecting = {{"type", "log"}, {"log", "connecting C0:FF:EE:01:02:0A ..."}};
  const Json connected = {{"type", "status"}, {"status", "connected"}, {"name", "TAMRO (X1)"}};
  const Json line = {{"type", "log"}, {"log", "connected TAMRO (X1) (C0:FF:EE:01:02:0A)"}};
  const Json snapshot = {{"type", "status"}, {"status", "connected"}};
  const Json idle = {{"type", "status"}, {"status", "idle"}};
  const Json scanning = {{"type", "status"}, {"status", "scanning"}};
  const ConnectedChair x1{"C0:FF:EE:01:02:0A", "TAMRO (X1)"};
  struct Case {
    const char* what;
    std::vector<Json> records;
    std::optional<ConnectedChair> expected;
  };
  const Case cases[] = {
      {"status after the line", {connecting, line, connected}, x1},
      {"status before the line", {connecting, connected, line}, x1},
      {"status alone", {connecting, connected}, x1},
      {"a snapshot changes nothing", {connecting, connected, snapshot, scanning}, x1},
      {"only a snapshot", {snapshot}, std::nullopt},
      {"a name without its address", {connected}, ConnectedChair{"", "TAMRO (X1)"}},
      {"idle ends it", {connecting, line, connected, idle}, std::nullopt},
      {"records of no use", {Json(5), Json::array(), {{"type", "log"}, {"log", "connected "}}}, std::nullopt},
  };
  for (const Case& c : cases) {
    LinkRecords records;
    for (const Json& r : c.records) records.apply(r);
    EXPECT_EQ(records.connected(), c.expected) << c.what;
  }
}

}  // namespace
}  // namespace chair::panel
