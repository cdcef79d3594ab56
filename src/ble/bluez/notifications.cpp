#include "ble/bluez/notifications.h"

namespace chair::ble::bluez {

bool WriteGate::enter(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  if (!free_.wait_for(lock, timeout, [this] { return !busy_; })) return false;
  busy_ = true;
  return true;
}

void WriteGate::leave() {
  {
    std::lock_guard lock(mutex_);
    busy_ = false;
  }
  free_.notify_one();
}

uint64_t Notifications::add_listener(const std::string& path, uint64_t epoch, NotificationHandler listener) {
  std::lock_guard lock(mutex_);
  const uint64_t token = next_token_++;
  listeners_[path].emplace(token, Listener{epoch, std::move(listener)});
  return token;
}

bool Notifications::remove_listener(const std::string& path, uint64_t token) {
  NotificationHandler dropped;  // released outside the lock
  std::lock_guard lock(mutex_);
  auto it = listeners_.find(path);
  if (it == listeners_.end()) return false;
  auto entry = it->second.find(token);
  if (entry == it->second.end()) return false;
  const bool current = entry->second.epoch == epoch_;
  dropped = std::move(entry->second.handler);
  it->second.erase(entry);
  const bool others = has_current_locked(path);
  if (it->second.empty()) listeners_.erase(it);
  if (!current || others) return false;
  return sessions_.erase(path) > 0;
}

bool Notifications::started(const std::string& path, uint64_t token) {
  std::lock_guard lock(mutex_);
  auto it = listeners_.find(path);
  if (it != listeners_.end() && it->second.count(token)) {
    sessions_.insert(path);
    return false;
  }
  return !has_current_locked(path);
}

bool Notifications::has_current_locked(const std::string& path) const {
  auto it = listeners_.find(path);
  if (it == listeners_.end()) return false;
  for (const auto& [token, listener] : it->second) {
    if (listener.epoch == epoch_) return true;
  }
  return false;
}

std::shared_ptr<WriteGate> Notifications::write_gate(const std::string& path) {
  std::lock_guard lock(mutex_);
  auto& slot = write_gates_[path];
  if (!slot) slot = std::make_shared<WriteGate>();
  return slot;
}

void Notifications::dispatch(const std::string& path, const std::vector<uint8_t>& value) {
  std::vector<NotificationHandler> handlers;
  {
    std::lock_guard lock(mutex_);
    auto it = listeners_.find(path);
    if (it == listeners_.end()) return;
    for (const auto& [token, listener] : it->second) {
      if (listener.epoch == epoch_) handlers.push_back(listener.handler);
    }
  }
  for (const auto& handler : handlers) {
    try {
      handler(value);
    } catch (...) {
    }
  }
}

void Notifications::daemon_restarted(uint64_t epoch) {
  std::lock_guard lock(mutex_);
  epoch_ = epoch;
  sessions_.clear();
}

}  // namespace chair::ble::bluez
