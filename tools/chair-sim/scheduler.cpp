#include "scheduler.h"

#include <cstdio>
#include <exception>

namespace chair::sim {

Scheduler::Scheduler() : thread_([this] { run(); }) {}

Scheduler::~Scheduler() { stop(); }

void Scheduler::post_after(std::chrono::milliseconds delay, std::function<void()> task) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    queue_.push(Entry{Clock::now() + delay, next_seq_++, std::move(task)});
  }
  wake_.notify_one();
}

void Scheduler::stop() {
  {
    std::lock_guard lock(mutex_);
    if (stopping_ && !thread_.joinable()) return;
    stopping_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
  // Dropped outside the lock, as run() drops a finished task: a queued task may hold a D-Bus
  // reply whose release takes the connection's lock, and a D-Bus thread posting a task takes
  // that lock first and ours second.
  decltype(queue_) dropped;
  {
    std::lock_guard lock(mutex_);
    dropped.swap(queue_);
  }
}

void Scheduler::run() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    if (queue_.empty()) {
      wake_.wait(lock);
      continue;
    }
    // A copy: wait_until reads the deadline again after it wakes, when a post() may have moved
    // the queue's storage.
    const Clock::time_point next = queue_.top().at;
    if (next > Clock::now()) {
      wake_.wait_until(lock, next);
      continue;
    }
    auto task = std::move(const_cast<Entry&>(queue_.top()).task);
    queue_.pop();
    lock.unlock();
    try {
      task();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "chair-sim: task failed: %s\n", e.what());
    } catch (...) {
      std::fprintf(stderr, "chair-sim: task failed\n");
    }
    task = nullptr;  // captured replies and objects go here, outside the lock
    lock.lock();
  }
}

}  // namespace chair::sim
