#include "main/http.h"

#include <atomic>
#include <cstring>

#include "common/text.h"
#include "main/event_stream.h"
#include "main/routes.h"
#include "main/service_state.h"

namespace chair {

Result<size_t> BufferedReader::fill(char* buf, size_t n) { return socket_.read_some(buf, n, deadline_); }

bool BufferedReader::refill() {
  if (eof_ || failed_) return false;
  auto got = fill(buf_, sizeof buf_);
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

BufferedReader::Line BufferedReader::read_line(std::string& out, size_t max) {
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

bool BufferedReader::read_exact(std::string& out, size_t n) {
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

std::string url_decode(std::string_view s) {
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%' && i + 2 < s.size() && hex(s[i + 1]) >= 0 && hex(s[i + 2]) >= 0) {
      out += static_cast<char>(hex(s[i + 1]) << 4 | hex(s[i + 2]));
      i += 2;
    } else {
      out += c;
    }
  }
  return sanitize_utf8(out);
}

namespace {

bool ieq(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

void parse_query(std::string_view qs, HttpRequest& req) {
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

// A reader over bytes already in memory, for parsing without a socket.
class MemoryReader final : public BufferedReader {
 public:
  MemoryReader(sys::Socket& dummy, std::string_view bytes)
      : BufferedReader(dummy, std::chrono::steady_clock::time_point::max()), bytes_(bytes) {}

 protected:
  Result<size_t> fill(char* buf, size_t n) override {
    size_t take = std::min(n, bytes_.size());
    std::memcpy(buf, bytes_.data(), take);
    bytes_.remove_prefix(take);
    return take;
  }

 private:
  std::string_view bytes_;
};

}  // namespace

std::optional<HttpRequest> read_request(BufferedReader& reader, const HttpLimits& limits) {
  std::string line;
  if (reader.read_line(line, limits.max_line) != BufferedReader::Line::Ok) return std::nullopt;
  if (!is_valid_utf8(line)) return std::nullopt;
  std::string_view rest = trim_ascii_end(line);
  std::string_view tokens[2];
  for (int k = 0; k < 2; ++k) {
    while (!rest.empty() && is_ascii_space(rest.front())) rest.remove_prefix(1);
    size_t end = 0;
    while (end < rest.size() && !is_ascii_space(rest[end])) ++end;
    tokens[k] = rest.substr(0, end);
    rest.remove_prefix(end);
    if (tokens[k].empty()) return std::nullopt;
  }
  HttpRequest req;
  req.method = std::string(tokens[0]);
  const std::string target(tokens[1]);  // `line` is reused for the headers

  size_t content_length = 0;
  for (size_t count = 0;; ++count) {
    auto r = reader.read_line(line, limits.max_line);
    if (r == BufferedReader::Line::End) break;
    if (r != BufferedReader::Line::Ok) return std::nullopt;
    if (!is_valid_utf8(line)) return std::nullopt;
    std::string_view h = trim_ascii_end(line);
    if (h.empty()) break;
    if (count >= limits.max_headers) return std::nullopt;
    size_t colon = h.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view name = trim_ascii(h.substr(0, colon));
    if (ieq(name, "host")) {
      req.host = std::string(trim_ascii(h.substr(colon + 1)));
      continue;
    }
    if (!ieq(name, "content-length")) continue;
    uint64_t v = 0;
    content_length = parse_u64(trim_ascii(h.substr(colon + 1)), v) ? v : 0;
  }
  if (content_length > limits.max_body) return std::nullopt;
  if (content_length > 0 && !reader.read_exact(req.body, content_length)) return std::nullopt;

  size_t q = target.find('?');
  req.path = target.substr(0, q);
  if (q != std::string::npos) parse_query(std::string_view(target).substr(q + 1), req);
  return req;
}

std::optional<HttpRequest> parse_request_bytes(std::string_view bytes, const HttpLimits& limits) {
  sys::Socket none;
  MemoryReader reader(none, bytes);
  return read_request(reader, limits);
}

std::string json_body(const nlohmann::json& value) {
  try {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  } catch (...) {
    return {};
  }
}

void send_json(sys::Socket& socket, const nlohmann::json& value) {
  std::string body = json_body(value);
  std::string out;
  out.reserve(body.size() + 160);
  out += "HTTP/1.1 200 OK\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: ";
  out += std::to_string(body.size());
  out += "\r\nConnection: close\r\nAccess-Control-Allow-Origin: *\r\n\r\n";
  out += body;
  // Head and body leave in one send: the bytes are the same, and a small second
  // segment would otherwise wait on the client's delayed acknowledgement.
  (void)socket.write_all(out);
}

void send_not_found(sys::Socket& socket) {
  (void)socket.write_all("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
}

void send_forbidden(sys::Socket& socket) {
  (void)socket.write_all("HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
}

bool is_loopback_host(std::string_view host) {
  std::string_view name = host;
  if (!name.empty() && name.front() == '[') {
    size_t close = name.find(']');
    if (close == std::string_view::npos) return false;
    std::string_view rest = name.substr(close + 1);
    name = name.substr(0, close + 1);
    if (!rest.empty() && rest.front() != ':') return false;
  } else if (size_t colon = name.find(':'); colon != std::string_view::npos) {
    name = name.substr(0, colon);
  }
  return name == "127.0.0.1" || ieq(name, "localhost") || name == "[::1]";
}

nlohmann::json ok_reply() { return nlohmann::json{{"ok", true}}; }

nlohmann::json error_reply(std::string_view text) {
  return nlohmann::json{{"error", std::string(text)}, {"ok", false}};
}

void serve_connection(std::shared_ptr<ServiceState> state, sys::Socket socket) {
  if (state->platform) state->platform->init_thread();
  auto read_handle = socket.duplicate();
  if (!read_handle) return;
  HttpLimits limits;
  BufferedReader reader(*read_handle, std::chrono::steady_clock::now() + limits.request_timeout);
  auto req = read_request(reader, limits);
  if (!req) return;
  if (req->host && !is_loopback_host(*req->host)) {
    send_forbidden(socket);
    return;
  }

  for (const Route& route : routes()) {
    if (route.path != req->path) continue;
    if (route.path == "/api/events") {
      serve_events(*state, socket);
      return;
    }
    if (!route.handler) break;
    nlohmann::json reply;
    try {
      reply = route.handler(state, *req);
    } catch (const std::exception& e) {
      reply = error_reply(std::string("internal error: ") + e.what());
    }
    send_json(socket, reply);
    return;
  }
  send_not_found(socket);
}

}  // namespace chair
