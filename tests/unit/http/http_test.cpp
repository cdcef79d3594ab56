#include <gtest/gtest.h>

#include "main/events/event.h"
#include "main/http.h"

namespace chair {
namespace {

TEST(RequestReader, RequestLineForms) {
  auto a = parse_request_bytes("GET /api/devices HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->method, "GET");
  EXPECT_EQ(a->path, "/api/devices");
  // The target survives the header lines that follow it.
  auto h = parse_request_bytes("GET /api/events?a=1 HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Long: " +
                               std::string(300, 'x') + "\r\n\r\n");
  ASSERT_TRUE(h);
  EXPECT_EQ(h->path, "/api/events");
  EXPECT_EQ(*h->param("a"), "1");
  auto b = parse_request_bytes("POST   /api/devices\r\n\r\n");
  ASSERT_TRUE(b);
  EXPECT_EQ(b->path, "/api/devices");
  EXPECT_FALSE(parse_request_bytes("GET\r\n\r\n"));
  EXPECT_FALSE(parse_request_bytes(""));
  EXPECT_FALSE(parse_request_bytes("GET /\xff HTTP/1.1\r\n\r\n"));
  // A request line cut off by the end of the stream is still a request line.
  EXPECT_TRUE(parse_request_bytes("GET /x"));
}

TEST(RequestReader, QueryParsing) {
  auto r = parse_request_bytes("GET /api/devices?&&addr=a&addr=b&=x&flag&k=%41%42 HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->path, "/api/devices");
  EXPECT_EQ(*r->param("addr"), "b");
  EXPECT_EQ(*r->param(""), "x");
  EXPECT_EQ(*r->param("flag"), "");
  EXPECT_EQ(*r->param("k"), "AB");
  auto empty = parse_request_bytes("GET /api/devices? HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->query.empty());
  // The path itself is never decoded.
  EXPECT_EQ(parse_request_bytes("GET /api/devices%2F HTTP/1.1\r\n\r\n")->path, "/api/devices%2F");
}

TEST(RequestReader, UrlDecode) {
  struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"a%zz", "a%zz"}, {"x%4", "x%4"}, {"%41%42", "AB"}, {"a+b", "a b"},
      {"%FF", "\xEF\xBF\xBD"}, {"%", "%"}, {"%%41", "%A"}, {"%e4%b8%ad", "中"},
  };
  for (const auto& c : cases) EXPECT_EQ(url_decode(c.in), c.out) << c.in;
}

TEST(RequestReader, ContentLength) {
  auto r = parse_request_bytes("POST /a HTTP/1.1\r\nCONTENT-LENGTH:  5  \r\n\r\nhelloEXTRA");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body, "hello");
  auto neg = parse_request_bytes("POST /a HTTP/1.1\r\nContent-Length: -5\r\n\r\nhello");
  ASSERT_TRUE(neg);
  EXPECT_EQ(neg->body, "");
  auto later = parse_request_bytes("POST /a\r\nContent-Length: 9\r\nContent-Length: +2\r\n\r\nhello");
  ASSERT_TRUE(later);
  EXPECT_EQ(later->body, "he");
  // The stream ending before the announced body: no request at all.
  EXPECT_FALSE(parse_request_bytes("POST /a\r\nContent-Length: 5\r\n\r\nhel"));
  // Headers end at the end of the stream too.
  EXPECT_TRUE(parse_request_bytes("GET /a\r\nX: y\r\n"));
}

TEST(RequestReader, Limits) {
  HttpLimits limits;
  std::string long_line = "GET /" + std::string(limits.max_line, 'a') + " HTTP/1.1\r\n\r\n";
  EXPECT_FALSE(parse_request_bytes(long_line));
  std::string headers = "GET /a HTTP/1.1\r\n";
  for (size_t i = 0; i < limits.max_headers; ++i) headers += "X-" + std::to_string(i) + ": v\r\n";
  EXPECT_TRUE(parse_request_bytes(headers + "\r\n"));
  EXPECT_FALSE(parse_request_bytes(headers + "X-last: v\r\n\r\n"));
  std::string big = "POST /a\r\nContent-Length: " + std::to_string(limits.max_body + 1) + "\r\n\r\n";
  EXPECT_FALSE(parse_request_bytes(big + std::string(16, 'x')));
  // An overflowing length is no length at all.
  EXPECT_EQ(parse_request_bytes("POST /a\r\nContent-Length: 99999999999999999999999\r\n\r\n")->body, "");
}

TEST(LoopbackGuard, HostNames) {
  for (const char* ok : {"127.0.0.1", "127.0.0.1:8080", "localhost", "LocalHost:1", "[::1]", "[::1]:80"})
    EXPECT_TRUE(is_loopback_host(ok)) << ok;
  for (const char* bad : {"evil.example", "evil.example:80", "127.0.0.1.evil.example", "localhost.evil",
                          "[::1]x", "[::2]", "", "127.0.0.2", "[::1"})
    EXPECT_FALSE(is_loopback_host(bad)) << bad;
  auto r = parse_request_bytes("GET / HTTP/1.1\r\nhost:  a.b:1 \r\nHost: c\r\n\r\n");
  ASSERT_TRUE(r && r->host);
  EXPECT_EQ(*r->host, "c");
  EXPECT_FALSE(parse_request_bytes("GET / HTTP/1.1\r\n\r\n")->host);
}

TEST(ReplyBody, KeysAscendAtEveryLevel) {
  nlohmann::json v = {{"ok", false}, {"error", "坏"}, {"z", {{"b", 1}, {"a", 2}}}};
  EXPECT_EQ(json_body(v), R"({"error":"坏","ok":false,"z":{"a":2,"b":1}})");
  EXPECT_EQ(json_body(error_reply("x")), R"({"error":"x","ok":false})");
  EXPECT_EQ(json_body(ok_reply()), R"({"ok":true})");
}

TEST(EventRecords, MemberOrderAndOmissions) {
  ServiceEvent bare;
  bare.type = "x";
  EXPECT_EQ(to_json(bare), R"({"type":"x"})");
  EXPECT_EQ(to_json(make_status_event("idle")), R"({"type":"status","status":"idle"})");
  EXPECT_EQ(to_json(make_connected_event("TAMRO A")), R"({"type":"status","status":"connected","name":"TAMRO A"})");
  ble::DeviceRecord d;
  d.address = "C0:FF:EE:01:02:0A";
  d.rssi = -70;
  d.hits = 3;
  EXPECT_EQ(to_json(make_device_event(d)),
            R"({"type":"device","device":{"address":"C0:FF:EE:01:02:0A","name":"","rssi":-70,"hits":3,"lastSeen":""}})");
  d.services = {"fe95", "180f"};
  d.vendors = {65535, 76};
  EXPECT_EQ(to_json(make_device_event(d)),
            R"({"type":"device","device":{"address":"C0:FF:EE:01:02:0A","name":"","rssi":-70,"hits":3,"lastSeen":"","services":["fe95","180f"],"vendors":[65535,76]}})");
  ble::ChairStatus c;
  c.cold = 5;
  c.switchByte = 0x31;
  c.btAudio = c.waterOn = c.heating = true;
  c.raw = "55";
  EXPECT_EQ(to_json(make_chair_event(c)),
            R"({"type":"chair","chair":{"cold":5,"hot":0,"vibrate":0,"volume":0,"lumbar":0,"temp":0,"switchByte":49,"btAudio":true,"motion":false,"headphone":false,"seated":false,"waterOn":true,"heating":true,"raw":"55"}})");
  EXPECT_EQ(to_json(make_autoconnect_event("waiting", bind::BindConfig{})),
            R"({"type":"autoconnect","status":"waiting","bind":{"boundAddress":"","boundName":"","autoConnect":true,"init":{"water":"cool","coolLevel":10,"heatLevel":6,"lumbar":3,"vibrate":0,"volume":0}}})");
}

TEST(EventRecords, Escapes) {
  EXPECT_EQ(to_json(make_log_event("a\nb\t\"c\"\\/\x7f")), "{\"type\":\"log\",\"log\":\"a\\nb\\t\\\"c\\\"\\\\/\x7f\"}");
  EXPECT_EQ(to_json(make_log_event("\x01\x1f\x08\x0c\r")), R"({"type":"log","log":"\u0001\u001f\b\f\r"})");
  EXPECT_EQ(to_json(make_log_event("已绑定座椅")), R"({"type":"log","log":"已绑定座椅"})");
}

}  // namespace
}  // namespace chair
