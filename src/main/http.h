// The small HTTP/1.1 subset the service speaks: one request per connection.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include <nlohmann/json.hpp>

#include "common/seeded_hash.h"
#include "sys/sockets.h"

namespace chair {

struct ServiceState;

struct HttpRequest {
  std::string method;
  std::string path;
  std::unordered_map<std::string, std::string, SeededHash> query;
  std::string body;
  std::optional<std::string> host;  // the last Host header, trimmed

  // The query value, or nullptr when the key is absent.
  const std::string* param(const std::string& key) const {
    auto it = query.find(key);
    return it == query.end() ? nullptr : &it->second;
  }
};

struct HttpLimits {
  size_t max_line = 8 * 1024;             // request line and each header line
  size_t max_headers = 100;
  size_t max_body = 1024 * 1024;
  std::chrono::milliseconds request_timeout = std::chrono::seconds(30);
};

// Reads bytes through an 8 KiB buffer with one deadline for the whole request.
class BufferedReader {
 public:
  BufferedReader(sys::Socket& socket, std::chrono::steady_clock::time_point deadline)
      : socket_(socket), deadline_(deadline) {}
  virtual ~BufferedReader() = default;

  enum class Line { Ok, End, Error, TooLong };
  // Reads up to and including the first line feed (kept in `out`).
  Line read_line(std::string& out, size_t max);
  // Exactly n bytes; false when the stream ends or fails first.
  bool read_exact(std::string& out, size_t n);

 protected:
  virtual Result<size_t> fill(char* buf, size_t n);

 private:
  bool refill();
  sys::Socket& socket_;
  std::chrono::steady_clock::time_point deadline_;
  char buf_[8192];
  size_t pos_ = 0, len_ = 0;
  bool eof_ = false, failed_ = false;
};

// Reads and parses one request; nullopt means close without a reply.
std::optional<HttpRequest> read_request(BufferedReader& reader, const HttpLimits& limits = {});
std::optional<HttpRequest> parse_request_bytes(std::string_view bytes, const HttpLimits& limits = {});
std::string url_decode(std::string_view bytes);

// Compact JSON, keys in ascending byte order at every level.
std::string json_body(const nlohmann::json& value);
void send_json(sys::Socket& socket, const nlohmann::json& value);
void send_not_found(sys::Socket& socket);
void send_forbidden(sys::Socket& socket);

// The Host header names this machine's loopback (127.0.0.1, localhost or [::1], any port).
// A page in the user's browser that reaches us through a rebound DNS name carries its own
// host name instead, and is refused before any route runs.
bool is_loopback_host(std::string_view host);

// The connection worker: one request, one reply (or an event stream), then close.
void serve_connection(std::shared_ptr<ServiceState> state, sys::Socket socket);

// {"ok":true} and {"error":text,"ok":false}.
nlohmann::json ok_reply();
nlohmann::json error_reply(std::string_view text);

}  // namespace chair
