// One thread that runs every change of the simulated Bluetooth world, in order: method calls are
// handed over from the D-Bus threads, timers (connect delays, announcements) are queued here too.
// Running everything on one thread keeps the signals of one change in the order a peer expects.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <queue>
#include <thread>
#include <vector>

namespace chair::sim {

class Scheduler {
 public:
  using Clock = std::chrono::steady_clock;

  Scheduler();
  ~Scheduler();
  Scheduler(const Scheduler&) = delete;
  Scheduler& operator=(const Scheduler&) = delete;

  void post(std::function<void()> task) { post_after(std::chrono::milliseconds(0), std::move(task)); }
  void post_after(std::chrono::milliseconds delay, std::function<void()> task);

  // Runs `task` on the scheduler thread and waits for its result. Never call from that thread.
  // Throws std::future_error when the scheduler stops before the task ran.
  template <class F>
  auto call(F task) -> decltype(task()) {
    auto packaged = std::make_shared<std::packaged_task<decltype(task())()>>(std::move(task));
    auto result = packaged->get_future();
    post([packaged] { (*packaged)(); });
    return result.get();
  }

  // Drops queued tasks and joins the thread.
  void stop();

 private:
  struct Entry {
    Clock::time_point at;
    uint64_t seq;
    std::function<void()> task;
    bool operator>(const Entry& o) const { return at != o.at ? at > o.at : seq > o.seq; }
  };

  void run();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::priority_queue<Entry, std::vector<Entry>, std::greater<Entry>> queue_;
  uint64_t next_seq_ = 0;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace chair::sim
