// A small loopback HTTP/1.1 server that knows nothing of chairs: exact-path routing, a
// pre-routing hook, JSON and streaming replies, one request per connection.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/result.h"
#include "http/request.h"

namespace chair::http {

// Connections served at once; the next one is closed at once, without a reply.
inline constexpr int kMaxConnections = 512;

// Where a streaming reply writes.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Everything or nothing more: false once a write failed (the client is gone, or one send
  // stayed blocked longer than the write timeout).
  virtual bool write_all(std::string_view bytes) = 0;
  virtual void set_write_timeout(std::chrono::milliseconds timeout) = 0;
};

class Reply {
 public:
  // 200 with a compact JSON body whose object keys are in ascending byte order at every
  // level, and the CORS header.
  static Reply json(const nlohmann::json& value);
  // Exactly these bytes, head included.
  static Reply raw(std::string bytes);
  // The 64-byte "404 Not Found" reply.
  static Reply not_found();
  // The handler writes the whole reply itself, head included, for as long as it likes.
  static Reply stream(std::function<void(ByteSink&)> writer);

  const std::string& bytes() const { return bytes_; }
  bool streaming() const { return static_cast<bool>(writer_); }
  const std::function<void(ByteSink&)>& writer() const { return writer_; }

 private:
  std::string bytes_;
  std::function<void(ByteSink&)> writer_;
};

// Runs on the connection's own thread. An exception that leaves it closes the connection
// without a reply; nothing else happens to the server.
using Handler = std::function<Reply(const Request&)>;

// Exact, case-sensitive paths; the method plays no part.
class Router {
 public:
  // When a path is added twice, the first handler serves it.
  void add(std::string path, Handler handler);
  // nullptr when no route has this path (or its handler is empty).
  const Handler* find(std::string_view path) const;
  std::vector<std::string> paths() const;

 private:
  std::vector<std::pair<std::string, Handler>> routes_;
};

// Runs before routing, for every request the reader accepted (unmatched paths included); a
// reply it returns is sent instead of the route's. Exceptions as for Handler.
using PreRouting = std::function<std::optional<Reply>(const Request&)>;

// One request per connection, at most kMaxConnections served at once. Connections are
// served on a pool of detached threads that grows with the connections being served (an
// event stream keeps its thread) and shrinks again when they are idle. A request the reader
// refuses (the limits of request.h, a malformed request line, a body shorter than announced,
// the deadline) is closed without a reply.
class Server {
 public:
  explicit Server(Router router, PreRouting pre_routing = {});
  // Stops, waits for run() to return and for the handlers still running (an event stream's
  // until its client goes or a write to it fails): no handler runs once the server is gone.
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds 127.0.0.1:port (0: the system picks) and listens; the bound port (the requested one
  // when the system cannot tell), or the system's error text. Also prepares the process:
  // sockets initialised, SIGPIPE ignored, the soft descriptor limit raised.
  Result<uint16_t> listen(uint16_t port);
  // Serves connections until stop(); returns at once without a listener.
  void run();
  // Refuses new connections at once and makes run() return; connections being served
  // finish on their own threads, and the port is free once they have. Safe from any thread,
  // and before run() was called.
  void stop();

  // Connections being served now (event streams included).
  int active_connections() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Compact JSON, keys in ascending byte order at every level, invalid UTF-8 replaced.
std::string json_text(const nlohmann::json& value);

// The Host header names this machine's loopback (127.0.0.1, localhost or [::1], any port).
bool is_loopback_host(std::string_view host);
// The request may be served by a loopback-only service: it has no Host header, or exactly
// one that names the loopback. A second Host header is refused whatever it names: servers and
// proxies disagree on which of them counts.
bool host_is_loopback(const Request& request);

// A browser's preflight (OPTIONS with Access-Control-Request-Method) gets this reply, which
// allows the request it asks about, and no route runs for it; every other request, a plain
// OPTIONS included, gets nullopt.
std::optional<Reply> preflight_reply(const Request& request);

}  // namespace chair::http
