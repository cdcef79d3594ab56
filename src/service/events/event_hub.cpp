#include "service/events/event_hub.h"

#include <thread>
#include <vector>

namespace chair {

bool EventQueue::push(std::shared_ptr<const std::string> text) {
  {
    std::lock_guard lock(mutex_);
    if (closed_) return false;
    if (items_.size() >= kMaxEvents || bytes_ + text->size() > kMaxBytes) {
      // The client stopped reading; end its stream rather than let the queue grow.
      closed_ = true;
      items_.clear();
      bytes_ = 0;
    } else {
      bytes_ += text->size();
      items_.push_back(std::move(text));
    }
  }
  cv_.notify_one();
  return !closed();
}

EventQueue::Pop EventQueue::pop(std::shared_ptr<const std::string>& out, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  if (!cv_.wait_for(lock, timeout, [&] { return closed_ || !items_.empty(); })) return Pop::Timeout;
  if (closed_) return Pop::Closed;
  out = std::move(items_.front());
  items_.pop_front();
  bytes_ -= out->size();
  return Pop::Message;
}

void EventQueue::close() {
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    items_.clear();
    bytes_ = 0;
  }
  cv_.notify_all();
}

bool EventQueue::closed() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

bool EventQueue::empty() const {
  std::lock_guard lock(mutex_);
  return items_.empty();
}

void EventHub::wait_delivered(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    std::vector<std::shared_ptr<EventQueue>> queues;
    {
      std::lock_guard lock(mutex_);
      for (auto& [id, q] : subscribers_) queues.push_back(q);
    }
    bool all_empty = true;
    for (auto& q : queues) all_empty = all_empty && q->empty();
    if (all_empty) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void EventHub::publish(const ServiceEvent& event) {
  auto text = std::make_shared<const std::string>(to_json(event));
  std::vector<uint64_t> dead;
  // The hub's lock stays held while each queue takes its own: two events published at once
  // from two threads then reach every queue in the same order, so every subscriber sees one
  // order of events. The service's one nesting, always this way round (a queue never takes
  // the hub's lock), and short: a push appends or closes, it never waits for the reader.
  std::lock_guard lock(mutex_);
  for (auto& [id, queue] : subscribers_) {
    if (!queue->push(text)) dead.push_back(id);
  }
  for (uint64_t id : dead) subscribers_.erase(id);
}

void EventHub::publish_log(std::string text) { publish(LogEvent{std::move(text)}); }

void EventHub::publish_status(std::string name) { publish(StatusEvent{std::move(name)}); }

std::pair<uint64_t, std::shared_ptr<EventQueue>> EventHub::subscribe() {
  auto queue = std::make_shared<EventQueue>();
  uint64_t id = next_id_.fetch_add(1);
  std::lock_guard lock(mutex_);
  subscribers_.emplace(id, queue);
  return {id, queue};
}

void EventHub::unsubscribe(uint64_t id) {
  std::shared_ptr<EventQueue> queue;
  {
    std::lock_guard lock(mutex_);
    auto it = subscribers_.find(id);
    if (it == subscribers_.end()) return;
    queue = std::move(it->second);
    subscribers_.erase(it);
  }
  queue->close();
}

size_t EventHub::subscriber_count() const {
  std::lock_guard lock(mutex_);
  return subscribers_.size();
}

}  // namespace chair
