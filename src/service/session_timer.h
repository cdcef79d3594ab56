// The session timer: "heat for 30 minutes, then off". A person who falls asleep in a heated or
// cooled chair should not have to remember to stop it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "common/result.h"

namespace chair {

// One countdown at a time, on the monotonic clock, so a changed wall clock neither shortens nor
// stretches it. Its thread sleeps until the countdown runs out or is changed, and exists only
// while a countdown runs. It does not depend on the link: a lost and regained chair keeps it.
// It ends with the process, which keeps nothing on disk.
class SessionTimer {
 public:
  static constexpr std::chrono::seconds kLongest{86400};

  // `on_expiry` runs on the timer's thread when a countdown runs out, with no lock of the
  // timer held: it may set a new countdown.
  explicit SessionTimer(std::function<void()> on_expiry);
  // A countdown still running ends without `on_expiry`; a running `on_expiry` is waited for.
  ~SessionTimer();
  SessionTimer(const SessionTimer&) = delete;
  SessionTimer& operator=(const SessionTimer&) = delete;

  // Starts a countdown, or replaces the running one. Fails only when no thread can be started;
  // nothing runs then.
  Status set(std::chrono::seconds duration);
  // Ends the running countdown without `on_expiry`; false when none ran.
  bool cancel();
  // Whole seconds left, rounded up; 0 when no countdown runs.
  int64_t seconds_left() const;

 private:
  using Clock = std::chrono::steady_clock;
  void run();

  std::function<void()> on_expiry_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<Clock::time_point> deadline_;
  bool thread_running_ = false;
  bool stopping_ = false;
  // The thread object alone; never held together with mutex_.
  std::mutex thread_mutex_;
  std::thread thread_;
};

}  // namespace chair
