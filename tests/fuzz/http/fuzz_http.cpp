// Feeds arbitrary bytes to the request reader, whole and in small reads, and the same bytes
// to url_decode.
// The reader's answer is checked against the raw bytes: the body is exactly what follows
// the blank line, as long as the last Content-Length header says (a number beyond the limit,
// however large, refuses the request); the path stops before
// the first "?"; the Host values are every Host header's, in order; every decoded query key
// and value is clean UTF-8; and how the bytes arrive changes nothing.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "common/text.h"
#include "http/request.h"

namespace {

using namespace chair;
using namespace chair::http;

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

bool ieq(std::string_view a, std::string_view b) { return to_lower_ascii(a) == to_lower_ascii(b); }

struct Framing {
  std::string_view target;  // second token of the request line
  size_t body_at = 0;       // where the header block ends
  uint64_t content_length = 0;
  bool length_over_limit = false;  // the last Content-Length is a number beyond the body limit
  size_t longest_line = 0;         // with its line feed
  size_t header_lines = 0;         // non-blank lines after the request line
  std::vector<std::string_view> hosts;
};

// The framing of an accepted request, worked out from the raw bytes alone.
Framing frame(std::string_view bytes) {
  Framing f;
  size_t at = 0;
  for (bool first = true;; first = false) {
    size_t lf = bytes.find('\n', at);
    size_t end = lf == std::string_view::npos ? bytes.size() : lf + 1;
    std::string_view line = bytes.substr(at, end - at);
    f.longest_line = std::max(f.longest_line, line.size());
    at = end;
    std::string_view text = trim_ascii_end(line);
    if (first) {
      text = trim_ascii(text);
      size_t gap = 0;
      while (gap < text.size() && !is_ascii_space(text[gap])) ++gap;
      text = trim_ascii(text.substr(gap));
      size_t stop = 0;
      while (stop < text.size() && !is_ascii_space(text[stop])) ++stop;
      f.target = text.substr(0, stop);
    } else {
      if (text.empty()) break;
      ++f.header_lines;
      size_t colon = text.find(':');
      if (colon != std::string_view::npos) {
        std::string_view name = trim_ascii(text.substr(0, colon));
        std::string_view value = trim_ascii(text.substr(colon + 1));
        if (ieq(name, "content-length")) {
          uint64_t v = 0;
          f.content_length = parse_u64(value, v) ? v : 0;
          std::string_view digits = value.substr(value.starts_with('+') ? 1 : 0);
          f.length_over_limit = !digits.empty() && digits.find_first_not_of("0123456789") == std::string_view::npos &&
                                (f.content_length > kMaxBodyBytes || !parse_u64(value, v));
        } else if (ieq(name, "host")) {
          f.hosts.push_back(value);
        }
      }
    }
    if (lf == std::string_view::npos) break;
  }
  f.body_at = at;
  return f;
}

using Ordered = std::map<std::string, std::string>;
Ordered ordered(const auto& map) { return Ordered(map.begin(), map.end()); }

void check_request(std::string_view bytes) {
  const auto req = parse_request(bytes);

  // Reads of a few bytes at a time, the size picked by the input, give the same answer.
  MemorySource trickle(bytes, 1 + bytes.size() % 61);
  const auto split = read_request(trickle);
  check(split.has_value() == req.has_value(), "split reads accept what whole reads accept");
  const Framing f = frame(bytes);
  check(!(req && f.length_over_limit), "a length beyond the limit, however large, is refused");
  if (!req) return;
  check(split->method == req->method && split->path == req->path && split->body == req->body &&
            split->hosts == req->hosts && ordered(split->query) == ordered(req->query) &&
            split->headers == req->headers,
        "split reads give the same request");

  check(!req->method.empty(), "method present");
  check(f.longest_line <= kMaxLineBytes, "no line beyond the line limit");
  check(f.header_lines <= kMaxHeaders, "no more headers than the limit");
  check(req->body.size() <= kMaxBodyBytes, "body within the limit");
  check(req->body.size() == f.content_length, "body length is the last Content-Length");
  check(bytes.substr(std::min(f.body_at, bytes.size()), f.content_length) == req->body,
        "body is the bytes after the blank line");
  check(req->path.find('?') == std::string::npos, "path stops before the query");
  check(f.target.substr(0, f.target.find('?')) == req->path, "path is the target up to '?'");
  for (const auto& [key, value] : req->query) {
    check(is_valid_utf8(key), "query key is UTF-8");
    check(is_valid_utf8(value), "query value is UTF-8");
  }
  check(req->hosts.size() == f.hosts.size(), "one host per Host header");
  for (size_t i = 0; i < req->hosts.size(); ++i) check(req->hosts[i] == f.hosts[i], "hosts in order, trimmed");
  check(req->headers.size() <= f.header_lines, "at most one header per line");
  for (const auto& [name, value] : req->headers) {
    check(trim_ascii(name) == name && trim_ascii(value) == value, "header names and values are trimmed");
    check(req->header(name) != nullptr, "every kept header is found by its name");
  }
}

void check_url_decode(std::string_view bytes) {
  const std::string out = url_decode(bytes);
  check(is_valid_utf8(out), "url_decode gives UTF-8");
  // Each input byte becomes at most one replacement character of three bytes.
  check(out.size() <= 3 * bytes.size(), "url_decode output bound");
  if (bytes.find_first_of("%+") == std::string_view::npos && is_valid_utf8(bytes)) {
    check(out == bytes, "text without escapes decodes to itself");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  check_request(bytes);
  check_url_decode(bytes);
  return 0;
}
