// Feeds arbitrary bytes to the request reader with the limits the service runs with, and
// the same bytes to url_decode.
// The reader's answer is checked against the raw bytes: the body is exactly what follows
// the blank line, as long as the last Content-Length header says; the path stops before
// the first "?"; every decoded query key and value is clean UTF-8.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/text.h"
#include "main/http.h"

namespace {

using namespace chair;

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
  size_t content_length = 0;
  size_t longest_line = 0;  // with its line feed
  size_t header_lines = 0;  // non-blank lines after the request line
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
      if (colon != std::string_view::npos && ieq(trim_ascii(text.substr(0, colon)), "content-length")) {
        uint64_t v = 0;
        f.content_length = parse_u64(trim_ascii(text.substr(colon + 1)), v) ? v : 0;
      }
    }
    if (lf == std::string_view::npos) break;
  }
  f.body_at = at;
  return f;
}

void check_request(std::string_view bytes) {
  const HttpLimits limits;
  const auto req = parse_request_bytes(bytes, limits);
  if (!req) return;
  const Framing f = frame(bytes);

  check(!req->method.empty(), "method present");
  check(f.longest_line <= limits.max_line, "no line beyond the line limit");
  check(f.header_lines <= limits.max_headers, "no more headers than the limit");
  check(req->body.size() <= limits.max_body, "body within the limit");
  check(req->body.size() == f.content_length, "body length is the last Content-Length");
  check(bytes.substr(std::min(f.body_at, bytes.size()), f.content_length) == req->body,
        "body is the bytes after the blank line");
  check(req->path.find('?') == std::string::npos, "path stops before the query");
  check(f.target.substr(0, f.target.find('?')) == req->path, "path is the target up to '?'");
  for (const auto& [key, value] : req->query) {
    check(is_valid_utf8(key), "query key is UTF-8");
    check(is_valid_utf8(value), "query value is UTF-8");
  }
  if (req->host) check(trim_ascii(*req->host) == *req->host, "host is trimmed");
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
