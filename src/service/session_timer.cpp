#include "service/session_timer.h"

#include <system_error>
#include <utility>

namespace chair {

SessionTimer::SessionTimer(std::function<void()> on_expiry) : on_expiry_(std::move(on_expiry)) {}

SessionTimer::~SessionTimer() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  std::thread last;
  {
    std::lock_guard lock(thread_mutex_);
    last = std::move(thread_);
  }
  if (last.joinable()) last.join();
}

Status SessionTimer::set(std::chrono::seconds duration) {
  bool start = false;
  {
    std::lock_guard lock(mutex_);
    deadline_ = Clock::now() + duration;
    start = !thread_running_;
    thread_running_ = true;
  }
  // A thread that sleeps towards the old deadline wakes and sleeps again towards the new one.
  changed_.notify_all();
  if (!start) return {};

  std::thread finished;
  bool started = true;
  {
    std::lock_guard lock(thread_mutex_);
    // The thread of an earlier countdown has said it ends; it is joined below.
    finished = std::move(thread_);
    try {
      thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
      started = false;
    }
  }
  if (finished.joinable()) finished.join();
  if (started) return {};
  {
    std::lock_guard lock(mutex_);
    deadline_.reset();
    thread_running_ = false;
  }
  return fail("cannot start the timer's thread");
}

bool SessionTimer::cancel() {
  bool was_running = false;
  {
    std::lock_guard lock(mutex_);
    was_running = deadline_.has_value();
    deadline_.reset();
  }
  changed_.notify_all();
  return was_running;
}

int64_t SessionTimer::seconds_left() const {
  std::lock_guard lock(mutex_);
  if (!deadline_) return 0;
  const auto left = *deadline_ - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  return std::chrono::ceil<std::chrono::seconds>(left).count();
}

void SessionTimer::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (stopping_ || !deadline_) {
      thread_running_ = false;
      return;
    }
    const Clock::time_point deadline = *deadline_;
    if (Clock::now() < deadline) {
      changed_.wait_until(lock, deadline);
      continue;
    }
    deadline_.reset();
    lock.unlock();
    // Nothing may leave the thread; the service's shutdown reports its own failures.
    try {
      on_expiry_();
    } catch (...) {
    }
    lock.lock();
  }
}

}  // namespace chair
