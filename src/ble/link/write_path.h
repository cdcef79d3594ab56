// The one way a frame reaches the chair. One frame at a time (the write turn); a frame that
// has its turn is checked then, against the link as it is at that moment, so nothing decided
// before a newer step of the link can reach the chair after it. Every frame that passes its
// check is logged once, then written with the preferred option and, failing that, the other.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>

#include "ble/link/link_events.h"
#include "ble/platform/platform.h"
#include "common/result.h"

namespace chair::ble {

inline constexpr const char* kNotReady = "not connected or characteristic not found";

// Where a frame goes once its check has passed.
struct WriteTarget {
  ConnectionPtr connection;
  GattCharacteristic characteristic;
  bool prefer_without_response = false;
};

class WritePath {
 public:
  explicit WritePath(LinkEvents& events) : events_(events) {}

  // Waits for the turn, then asks `check` where the frame may go (or why it may not).
  Status write(std::span<const uint8_t> bytes, const std::function<Result<WriteTarget>()>& check);

  // Frames waiting for their turn, and later ones, are refused.
  void stop();

 private:
  LinkEvents& events_;
  std::mutex mutex_;  // guards the two flags
  std::condition_variable turn_free_;
  bool writing_ = false;
  bool stopping_ = false;
};

}  // namespace chair::ble
