#include "http/request.h"

#include <algorithm>
#include <cstring>

#include "common/hex.h"
#include "common/text.h"

namespace chair::http {

Result<size_t> MemorySource::read_some(char* buf, size_t n) {
  size_t take = std::min({n, chunk_, bytes_.size()});
  std::memcpy(buf, bytes_.data(), take);
  bytes_.remove_prefix(take);
  return take;
}

namespace {

// Reads a source through one 8 KiB buffer, so a request arriving in one segment costs one
// read however many lines it has.
class LineReader {
 public:
  explicit LineReader(ByteSource& source) : source_(source) {}

  enum class Line { Ok, End, Error, TooLong };

  // Up to and including the first line feed, which stays in `out`. A last line that the
  // stream ends without a line feed is still a line.
  Line read_line(std::string& out, size_t max) {
    out.clear();
    for (;;) {
      if (pos_ == len_ && !refill()) {
        if (failed_) return Line::Error;
        return out.empty() ? Line::End : Line::Ok;
      }
      const char* start = buf_ + pos_;
      size_t avail = len_ - pos_;
      const void* lf = std::memchr(start, '\n', avail);
      size_t take = lf ? static_cast<size_t>(static_cast<const char*>(lf) - start) + 1 : avail;
      if (out.size() + take > max) return Line::TooLong;
      out.append(start, take);
      pos_ += take;
      if (lf) return Line::Ok;
    }
  }

  // Exactly n bytes; false when the stream ends or fails first.
  bool read_exact(std::string& out, size_t n) {
    out.clear();
    out.reserve(n);
    while (out.size() < n) {
      if (pos_ == len_ && !refill()) return false;
      size_t take = std::min(n - out.size(), len_ - pos_);
      out.append(buf_ + pos_, take);
      pos_ += take;
    }
    return true;
  }

 private:
  bool refill() {
    if (eof_ || failed_) return false;
    auto got = source_.read_some(buf_, sizeof buf_);
    if (!got) {
      failed_ = true;
      return false;
    }
    if (*got == 0) {
      eof_ = true;
      return false;
    }
    pos_ = 0;
    len_ = *got;
    return true;
  }

  ByteSource& source_;
  char buf_[8192];
  size_t pos_ = 0, len_ = 0;
  bool eof_ = false, failed_ = false;
};

// Room for the headers a browser sends, so that the list is allocated once.
constexpr size_t kUsualHeaders = 16;

// A plain unsigned decimal (one leading "+" allowed) is the length; anything else means no
// body. A number too large to hold is still a number, and far over the body limit: it must
// not wrap around to a small length, or to none.
uint64_t parse_content_length(std::string_view value) {
  if (!value.empty() && value.front() == '+') value.remove_prefix(1);
  if (value.empty()) return 0;
  uint64_t length = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return 0;
    length = length > (UINT64_MAX - 9) / 10 ? UINT64_MAX : length * 10 + static_cast<uint64_t>(c - '0');
  }
  return length;
}

void parse_query(std::string_view qs, Request& req) {
  while (!qs.empty()) {
    size_t amp = qs.find('&');
    std::string_view piece = qs.substr(0, amp);
    qs = amp == std::string_view::npos ? std::string_view{} : qs.substr(amp + 1);
    if (piece.empty()) continue;
    size_t eq = piece.find('=');
    std::string key = url_decode(piece.substr(0, eq));
    std::string value = eq == std::string_view::npos ? std::string{} : url_decode(piece.substr(eq + 1));
    req.query.insert_or_assign(std::move(key), std::move(value));
  }
}

}  // namespace

std::string url_decode(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%' && i + 2 < s.size() && is_hex_digit(s[i + 1]) && is_hex_digit(s[i + 2])) {
      out += static_cast<char>(hex_digit_value(s[i + 1]) << 4 | hex_digit_value(s[i + 2]));
      i += 2;
    } else {
      out += c;
    }
  }
  return sanitize_utf8(out);
}

std::optional<Request> read_request(ByteSource& source) {
  LineReader reader(source);
  std::string line;
  if (reader.read_line(line, kMaxLineBytes) != LineReader::Line::Ok) return std::nullopt;
  if (!is_valid_utf8(line)) return std::nullopt;
  std::string_view rest = trim_ascii_end(line);
  std::string_view tokens[2];
  for (auto& token : tokens) {
    while (!rest.empty() && is_ascii_space(rest.front())) rest.remove_prefix(1);
    size_t end = 0;
    while (end < rest.size() && !is_ascii_space(rest[end])) ++end;
    token = rest.substr(0, end);
    rest.remove_prefix(end);
    if (token.empty()) return std::nullopt;
  }
  Request req;
  req.method = std::string(tokens[0]);
  const std::string target(tokens[1]);  // `line` is reused for the headers

  uint64_t content_length = 0;
  for (size_t count = 0;; ++count) {
    auto r = reader.read_line(line, kMaxLineBytes);
    if (r == LineReader::Line::End) break;
    if (r != LineReader::Line::Ok) return std::nullopt;
    if (!is_valid_utf8(line)) return std::nullopt;
    std::string_view h = trim_ascii_end(line);
    if (h.empty()) break;
    if (count >= kMaxHeaders) return std::nullopt;
    size_t colon = h.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view name = trim_ascii(h.substr(0, colon));
    std::string_view value = trim_ascii(h.substr(colon + 1));
    if (equal_ignoring_ascii_case(name, "host")) {
      req.hosts.emplace_back(value);
    } else if (equal_ignoring_ascii_case(name, "content-length")) {
      content_length = parse_content_length(value);
    }
    if (req.headers.empty()) req.headers.reserve(kUsualHeaders);
    req.headers.push_back(Header{std::string(name), std::string(value)});
  }
  // Checked before anything is allocated for the body.
  if (content_length > kMaxBodyBytes) return std::nullopt;
  if (content_length > 0 && !reader.read_exact(req.body, static_cast<size_t>(content_length))) return std::nullopt;

  size_t q = target.find('?');
  req.path = target.substr(0, q);
  if (q != std::string::npos) parse_query(std::string_view(target).substr(q + 1), req);
  return req;
}

const std::string* Request::header(std::string_view name) const {
  for (auto it = headers.rbegin(); it != headers.rend(); ++it) {
    if (equal_ignoring_ascii_case(it->name, name)) return &it->value;
  }
  return nullptr;
}

std::optional<Request> parse_request(std::string_view bytes) {
  MemorySource source(bytes);
  return read_request(source);
}

}  // namespace chair::http
