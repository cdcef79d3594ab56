// The panel's pages as the panel sees them: each open page holds a stream to /presence for as
// long as it is open, so that the panel can end like a desktop program once the last one has
// been closed (a reload closes the stream for a moment only).
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

#include "http/server.h"

namespace chair::panel {

class Pages {
 public:
  using Clock = std::chrono::steady_clock;

  explicit Pages(std::chrono::milliseconds ping = std::chrono::seconds(2)) : ping_(ping) {}

  // The reply to /presence: the page is counted from its first byte to the failed write that
  // shows it gone (a ping every few seconds finds that out).
  http::Reply stream(std::string head);

  int open() const;
  // How long no page has been open, once a page was; nullopt while one is, or before the first.
  std::optional<Clock::duration> unattended_for() const;
  // Ends every stream; later ones end at once.
  void close();

 private:
  void serve(http::ByteSink& sink, const std::string& head);

  const std::chrono::milliseconds ping_;
  mutable std::mutex mutex_;  // guards the fields below
  std::condition_variable closing_;
  int open_ = 0;
  bool ever_ = false;
  bool closed_ = false;
  Clock::time_point last_left_;
};

}  // namespace chair::panel
