#include <map>

#include <gtest/gtest.h>

#include "http/request.h"

namespace chair::http {
namespace {

TEST(RequestReader, RequestLineForms) {
  auto a = parse_request("GET /api/devices HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->method, "GET");
  EXPECT_EQ(a->path, "/api/devices");
  // The target survives the header lines that follow it.
  auto h =
      parse_request("GET /api/events?a=1 HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Long: " + std::string(300, 'x') + "\r\n\r\n");
  ASSERT_TRUE(h);
  EXPECT_EQ(h->path, "/api/events");
  EXPECT_EQ(*h->param("a"), "1");
  auto b = parse_request("POST   /api/devices\r\n\r\n");
  ASSERT_TRUE(b);
  EXPECT_EQ(b->path, "/api/devices");
  EXPECT_FALSE(parse_request("GET\r\n\r\n"));
  EXPECT_FALSE(parse_request(""));
  EXPECT_FALSE(parse_request("GET /\xff HTTP/1.1\r\n\r\n"));
  EXPECT_FALSE(parse_request("GET / HTTP/1.1\r\nX: \xc3\x28\r\n\r\n"));
  // A request line cut off by the end of the stream is still a request line.
  EXPECT_TRUE(parse_request("GET /x"));
}

TEST(RequestReader, QueryParsing) {
  auto r = parse_request("GET /api/devices?&&addr=a&addr=b&=x&flag&k=%41%42 HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->path, "/api/devices");
  EXPECT_EQ(*r->param("addr"), "b");
  EXPECT_EQ(*r->param(""), "x");
  EXPECT_EQ(*r->param("flag"), "");
  EXPECT_EQ(*r->param("k"), "AB");
  EXPECT_EQ(r->param("missing"), nullptr);
  auto empty = parse_request("GET /api/devices? HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->query.empty());
  // The path itself is never decoded.
  EXPECT_EQ(parse_request("GET /api/devices%2F HTTP/1.1\r\n\r\n")->path, "/api/devices%2F");
}

TEST(RequestReader, UrlDecode) {
  struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"a%zz", "a%zz"},        {"x%4", "x%4"}, {"%41%42", "AB"}, {"a+b", "a b"},
      {"%FF", "\xEF\xBF\xBD"}, {"%", "%"},     {"%%41", "%A"},   {"%e4%b8%ad", "中"},
  };
  for (const auto& c : cases) EXPECT_EQ(url_decode(c.in), c.out) << c.in;
}

TEST(RequestReader, ContentLength) {
  auto r = parse_request("POST /a HTTP/1.1\r\nCONTENT-LENGTH:  5  \r\n\r\nhelloEXTRA");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body, "hello");
  auto neg = parse_request("POST /a HTTP/1.1\r\nContent-Length: -5\r\n\r\nhello");
  ASSERT_TRUE(neg);
  EXPECT_EQ(neg->body, "");
  auto later = parse_request("POST /a\r\nContent-Length: 9\r\nContent-Length: +2\r\n\r\nhello");
  ASSERT_TRUE(later);
  EXPECT_EQ(later->body, "he");
  // The stream ending before the announced body: no request at all.
  EXPECT_FALSE(parse_request("POST /a\r\nContent-Length: 5\r\n\r\nhel"));
  // Headers end at the end of the stream too.
  EXPECT_TRUE(parse_request("GET /a\r\nX: y\r\n"));
}

TEST(RequestReader, Limits) {
  // A line may be kMaxLineBytes long with its CR LF, not one byte more.
  auto line_of = [](size_t total) { return "GET /" + std::string(total - 16, 'a') + " HTTP/1.1\r\n"; };
  ASSERT_EQ(line_of(kMaxLineBytes).size(), kMaxLineBytes);
  EXPECT_TRUE(parse_request(line_of(kMaxLineBytes) + "\r\n"));
  EXPECT_FALSE(parse_request(line_of(kMaxLineBytes + 1) + "\r\n"));
  EXPECT_FALSE(parse_request("GET / HTTP/1.1\r\nX: " + std::string(kMaxLineBytes, 'v') + "\r\n\r\n"));

  std::string headers = "GET /a HTTP/1.1\r\n";
  for (size_t i = 0; i < kMaxHeaders; ++i) headers += "X-" + std::to_string(i) + ": v\r\n";
  EXPECT_TRUE(parse_request(headers + "\r\n"));
  EXPECT_FALSE(parse_request(headers + "X-last: v\r\n\r\n"));

  const std::string full(kMaxBodyBytes, 'b');
  auto at_limit = parse_request("POST /a\r\nContent-Length: " + std::to_string(kMaxBodyBytes) + "\r\n\r\n" + full);
  ASSERT_TRUE(at_limit);
  EXPECT_EQ(at_limit->body.size(), kMaxBodyBytes);
  EXPECT_FALSE(
      parse_request("POST /a\r\nContent-Length: " + std::to_string(kMaxBodyBytes + 1) + "\r\n\r\n" + full + "b"));
  // A length too large to hold is over the limit, not a small number or none: refused
  // before any body byte is read.
  for (const char* huge : {"18446744073709551616", "18446744073709551615", "+99999999999999999999999999",
                           "000000000000000000000018446744073709551616"})
    EXPECT_FALSE(parse_request(std::string("POST /a\r\nContent-Length: ") + huge + "\r\n\r\n")) << huge;
  // Still not a number at all: no body.
  EXPECT_EQ(parse_request("POST /a\r\nContent-Length: 99999999999999999999x\r\n\r\nab")->body, "");
}

TEST(RequestReader, KeepsEveryHeader) {
  auto r = parse_request(
      "OPTIONS / HTTP/1.1\r\nhost:  a.b:1 \r\nORIGIN: http://x\r\nHost: c\r\nno colon here\r\n"
      "Access-Control-Request-Method:  POST \r\naccess-control-request-headers: a\r\n"
      "access-control-request-headers: b\r\nSec-Fetch-Mode: no-cors\r\nX-Empty:\r\n\r\n");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->hosts, (std::vector<std::string>{"a.b:1", "c"}));
  ASSERT_EQ(r->headers.size(), 8u);
  EXPECT_EQ(r->headers[0].name, "host");
  EXPECT_EQ(r->headers[0].value, "a.b:1");
  // Any letter case finds it; the last one of a name wins.
  EXPECT_EQ(*r->header("Origin"), "http://x");
  EXPECT_EQ(*r->header("access-control-request-method"), "POST");
  EXPECT_EQ(*r->header("ACCESS-CONTROL-REQUEST-HEADERS"), "b");
  EXPECT_EQ(*r->header("sec-fetch-mode"), "no-cors");
  EXPECT_EQ(*r->header("x-empty"), "");
  EXPECT_EQ(r->header("sec-fetch-site"), nullptr);
  EXPECT_TRUE(parse_request("GET / HTTP/1.1\r\n\r\n")->hosts.empty());
}

// However the bytes arrive, the reader sees the same request.
TEST(RequestReader, SplitReadsGiveTheSameRequest) {
  const std::string requests[] = {
      "POST /api/bind/set?addr=C0%3AFF&x=1 HTTP/1.1\r\nHost: localhost\r\nContent-Length: "
      "11\r\n\r\n{\"a\":\"中\"}1tail",
      "GET /x HTTP/1.1\r\nX: " + std::string(9000, 'y') + "\r\n\r\n",
      "POST /b\r\nContent-Length: " + std::to_string(20000) + "\r\n\r\n" + std::string(20000, 'z'),
      "POST /b\r\nContent-Length: 4\r\n\r\nab",
  };
  for (const auto& bytes : requests) {
    auto whole = parse_request(bytes);
    for (size_t chunk : {1, 2, 7, 4096, 8191}) {
      MemorySource source(bytes, chunk);
      auto split = read_request(source);
      ASSERT_EQ(split.has_value(), whole.has_value()) << "chunk " << chunk;
      if (!whole) continue;
      EXPECT_EQ(split->path, whole->path);
      // Each map has its own hash seed, so they compare as ordered copies.
      using Ordered = std::map<std::string, std::string>;
      EXPECT_EQ(Ordered(split->query.begin(), split->query.end()), Ordered(whole->query.begin(), whole->query.end()));
      EXPECT_EQ(split->hosts, whole->hosts);
      EXPECT_EQ(split->body, whole->body);
    }
  }
}

// A source whose deadline passes (or that fails) after `good` bytes.
class FailingSource final : public ByteSource {
 public:
  FailingSource(std::string bytes, size_t good) : bytes_(std::move(bytes)), good_(good) {}
  Result<size_t> read_some(char* buf, size_t n) override {
    if (at_ >= good_) return fail("timed out");
    size_t take = std::min(n, good_ - at_);
    bytes_.copy(buf, take, at_);
    at_ += take;
    return take;
  }

 private:
  std::string bytes_;
  size_t good_, at_ = 0;
};

TEST(RequestReader, SourceFailureRefusesTheRequest) {
  const std::string bytes = "POST /a HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\nabc";
  const size_t body_at = bytes.size() - 3;
  for (size_t good : {size_t{0}, size_t{5}, size_t{20}, body_at, body_at + 2}) {
    FailingSource source(bytes, good);
    EXPECT_FALSE(read_request(source)) << "failing after " << good << " bytes";
  }
  FailingSource whole(bytes, bytes.size());
  EXPECT_TRUE(read_request(whole));
}

}  // namespace
}  // namespace chair::http
