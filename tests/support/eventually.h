// Waiting on a condition instead of sleeping a guessed time.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace chair::test {

// Polls `cond` every 5 ms until it holds or `timeout` passes; the last answer counts.
inline bool eventually(const std::function<bool()>& cond, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (cond()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace chair::test
