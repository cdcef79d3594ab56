// The one way every asynchronous platform operation is awaited.
#pragma once

#include <chrono>
#include <memory>
#include <thread>
#include <type_traits>

#include "ble/platform/platform.h"

namespace chair::ble {

inline constexpr auto kAsyncPollStep = std::chrono::milliseconds(10);
inline constexpr int kAsyncMaxReads = 2001;  // about 20 s

template <class T>
struct is_shared_ptr : std::false_type {};
template <class T>
struct is_shared_ptr<std::shared_ptr<T>> : std::true_type {};

// Reads the status every 10 ms while it is Started, at most 2001 reads, then fetches the
// result whatever the last status was. A missing operation or an empty result is an error.
template <class T>
Result<T> wait_async(const Async<T>& op) {
  if (!op) return fail("operation could not be started");
  for (int reads = 1;; ++reads) {
    auto st = op->status();
    if (!st) return st.take_error();
    if (*st != AsyncStatus::Started || reads >= kAsyncMaxReads) break;
    std::this_thread::sleep_for(kAsyncPollStep);
  }
  auto result = op->get_results();
  if constexpr (is_shared_ptr<T>::value) {
    if (result.ok() && !result.value()) return fail("the operation returned no result");
  }
  return result;
}

}  // namespace chair::ble
