// The one way tests wait: for a condition, never for a fixed time.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace chair::test {

// Polls `cond` every 5 ms until it holds or `timeout` passes; the last look decides.
inline bool eventually(const std::function<bool()>& cond,
                       std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return cond();
}

}  // namespace chair::test
