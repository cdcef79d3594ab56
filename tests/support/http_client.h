// Test helpers: raw HTTP over loopback, event-stream reading, waiting on conditions.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "eventually.h"

namespace chair::test {

using namespace std::chrono_literals;

// A blocking TCP connection to 127.0.0.1:port, or -1.
int connect_loopback(uint16_t port);
// Sends every byte; false when a send fails.
bool send_all(int fd, const std::string& data);

struct HttpResponse {
  bool replied = false;  // false: the connection closed without any byte
  std::string raw;       // every byte received until the server closed
  int status = 0;
  std::string head;  // up to and including the blank line
  std::string body;
  nlohmann::json json() const { return nlohmann::json::parse(body); }
};

// Sends `raw` as is, half-closes when asked, reads until the server closes.
HttpResponse raw_request(uint16_t port, const std::string& raw, bool half_close = false,
                         std::chrono::milliseconds timeout = 10s);
// "GET <target> HTTP/1.1" with Host and, when given, a body with Content-Length.
HttpResponse get(uint16_t port, const std::string& target, const std::string& body = {});
// The JSON body of a GET; fails the test when the reply is not 200 JSON.
nlohmann::json get_json(uint16_t port, const std::string& target, const std::string& body = {});

// An open "/api/events" stream; collects every "data: " record as JSON text.
class EventStream {
 public:
  explicit EventStream(uint16_t port);
  ~EventStream();
  EventStream(const EventStream&) = delete;
  EventStream& operator=(const EventStream&) = delete;

  // Waits for the next record (JSON text without framing); nullopt on timeout or close.
  std::optional<std::string> next(std::chrono::milliseconds timeout = 5s);
  // Waits until a record satisfies `pred`; returns it (earlier ones are consumed).
  std::optional<nlohmann::json> wait_for(const std::function<bool(const nlohmann::json&)>& pred,
                                         std::chrono::milliseconds timeout = 5s);
  // Shorthand: the next "log" record whose text equals `text`.
  bool wait_log(const std::string& text, std::chrono::milliseconds timeout = 5s);
  // Every record received so far that has not been consumed, without waiting.
  std::vector<std::string> drain();
  // Raw bytes seen so far (head, records, pings).
  std::string raw() const;
  void close();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace chair::test
