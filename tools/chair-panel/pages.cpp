#include "tools/chair-panel/pages.h"

namespace chair::panel {

http::Reply Pages::stream(std::string head) {
  return http::Reply::stream([this, head = std::move(head)](http::ByteSink& sink) { serve(sink, head); });
}

void Pages::serve(http::ByteSink& sink, const std::string& head) {
  // Only pings follow: they are what notices a page that has gone.
  sink.set_write_timeout(ping_ * 2);
  if (!sink.write_all(head)) return;
  std::unique_lock lock(mutex_);
  if (closed_) return;
  ++open_;
  ever_ = true;
  for (;;) {
    if (closing_.wait_for(lock, ping_, [this] { return closed_; })) break;
    lock.unlock();
    const bool alive = sink.write_all(": ping\n\n");
    lock.lock();
    if (!alive) break;
  }
  --open_;
  last_left_ = Clock::now();
}

int Pages::open() const {
  std::lock_guard lock(mutex_);
  return open_;
}

std::optional<Pages::Clock::duration> Pages::unattended_for() const {
  std::lock_guard lock(mutex_);
  if (!ever_ || open_ > 0) return std::nullopt;
  return Clock::now() - last_left_;
}

void Pages::close() {
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }
  closing_.notify_all();
}

}  // namespace chair::panel
