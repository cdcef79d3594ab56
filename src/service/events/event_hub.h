// Fans every published event out to the open event streams.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "common/seeded_hash.h"
#include "service/events/event.h"

namespace chair {

// One subscriber's queue. Pushing never blocks; a subscriber that lets too much pile
// up (it stopped reading but keeps its connection) is cut off instead of growing.
class EventQueue {
 public:
  static constexpr size_t kMaxEvents = 4096;
  static constexpr size_t kMaxBytes = 4 * 1024 * 1024;

  enum class Pop { Message, Timeout, Closed };

  // False when the receiver is gone or the queue overflowed (it is then closed).
  bool push(std::shared_ptr<const std::string> text);
  // Waits up to `timeout` for a message.
  Pop pop(std::shared_ptr<const std::string>& out, std::chrono::milliseconds timeout);
  // The receiving end goes away: later pushes fail.
  void close();
  bool closed() const;
  bool empty() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::shared_ptr<const std::string>> items_;
  size_t bytes_ = 0;
  bool closed_ = false;
};

class EventHub {
 public:
  // Serialises once, offers the text to every subscriber, drops the dead ones. Events
  // published at the same time reach every subscriber in one order.
  void publish(const ServiceEvent& event);
  void publish_log(std::string text);
  void publish_status(std::string name);

  // Registers a new subscriber; returns its number and queue.
  std::pair<uint64_t, std::shared_ptr<EventQueue>> subscribe();
  void unsubscribe(uint64_t id);
  size_t subscriber_count() const;
  // Waits until every subscriber has taken its queued events, or the timeout passes.
  void wait_delivered(std::chrono::milliseconds timeout);

 private:
  std::atomic<uint64_t> next_id_{1};
  mutable std::mutex mutex_;
  std::unordered_map<uint64_t, std::shared_ptr<EventQueue>, SeededHash> subscribers_;
};

}  // namespace chair
