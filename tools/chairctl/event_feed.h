// chairctl's end of the service's event stream: the records of "/api/events", read on the
// calling thread between other requests.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <deque>
#include <memory>
#include <string>

#include "tools/chairctl/client.h"
#include "tools/chairctl/sse.h"

namespace chairctl {

class EventFeed {
 public:
  using Clock = std::chrono::steady_clock;

  // Opens "/api/events" and waits (up to `timeout`) for the state snapshot that the
  // service sends first: once it is here, no later event can be missed.
  static Result<std::unique_ptr<EventFeed>, Failure> open(const ServiceClient& client,
                                                          std::chrono::milliseconds timeout);
  ~EventFeed();
  EventFeed(const EventFeed&) = delete;
  EventFeed& operator=(const EventFeed&) = delete;

  enum class Wait { Record, Timeout, Closed, Interrupted };
  // The next record (JSON text as received). Bytes keep arriving in the socket while
  // the caller does other things, so nothing is lost between calls.
  Wait next(std::string& record, Clock::time_point deadline);
  // Why the stream ended, after next() returned Closed.
  const Failure& closed_reason() const { return closed_; }
  // The stream ended without a transfer error: the service closed it, or went away.
  bool closed_by_service() const { return closed_by_service_; }

 private:
  EventFeed() = default;
  static size_t on_bytes(char* data, size_t size, size_t count, void* self);
  void pump(std::chrono::milliseconds wait);

  CURLM* multi_ = nullptr;
  CURL* easy_ = nullptr;
  std::string url_;
  char error_buffer_[CURL_ERROR_SIZE] = {};
  SseSplitter splitter_{kMaxReceived};
  std::deque<std::string> records_;
  bool done_ = false;
  bool closed_by_service_ = false;
  Failure closed_;
};

}  // namespace chairctl
