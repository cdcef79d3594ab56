// Lets calls of one user's callback through until the user ends it: once close() has returned,
// no call starts and none is still running, except one on the thread that closes (a callback
// that ends its own scan or connection).
#pragma once

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace chair::ble::bluez {

class CallbackGate {
 public:
  // False once closed; otherwise the caller runs the callback and then calls leave().
  bool enter() {
    std::lock_guard lock(mutex_);
    if (closed_) return false;
    running_.push_back(std::this_thread::get_id());
    return true;
  }

  void leave() {
    {
      std::lock_guard lock(mutex_);
      auto it = std::find(running_.begin(), running_.end(), std::this_thread::get_id());
      if (it != running_.end()) running_.erase(it);
    }
    left_.notify_all();
  }

  void close() {
    const auto self = std::this_thread::get_id();
    std::unique_lock lock(mutex_);
    closed_ = true;
    left_.wait(lock, [&] {
      return std::all_of(running_.begin(), running_.end(), [&](std::thread::id id) { return id == self; });
    });
  }

  // Runs `callback` with `args` unless the gate is closed.
  template <class F, class... Args>
  void pass(const F& callback, Args&&... args) {
    if (!enter()) return;
    try {
      callback(std::forward<Args>(args)...);
    } catch (...) {
    }
    leave();
  }

 private:
  std::mutex mutex_;
  std::condition_variable left_;
  std::vector<std::thread::id> running_;
  bool closed_ = false;
};

}  // namespace chair::ble::bluez
