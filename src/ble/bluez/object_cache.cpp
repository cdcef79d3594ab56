#include "ble/bluez/object_cache.h"

namespace chair::ble::bluez {

void ObjectCache::seed(uint64_t epoch, std::optional<std::map<std::string, DeviceProps>> devices) {
  {
    std::lock_guard lock(mutex_);
    if (epoch != epoch_) return;
    if (devices) devices_ = std::move(*devices);
    seeded_ = true;
  }
  changed_.notify_all();
}

ObjectCache::DeviceChange ObjectCache::device_added(const std::string& path, const Props& props) {
  DeviceChange change;
  merge_device_props(change.device, props);
  {
    std::lock_guard lock(mutex_);
    devices_[path] = change.device;
    change.advertised = !adapter_.empty() && is_under(path, adapter_);
  }
  changed_.notify_all();
  return change;
}

ObjectCache::DeviceChange ObjectCache::device_changed(const std::string& path, const Props& changed,
                                                      const std::vector<std::string>& invalidated) {
  DeviceChange change;
  {
    std::lock_guard lock(mutex_);
    auto& device = devices_[path];
    merge_device_props(device, changed);
    invalidate_device_props(device, invalidated);
    change.device = device;
    change.advertised = advertises_locked(path, changed);
  }
  changed_.notify_all();
  return change;
}

void ObjectCache::device_removed(const std::string& path) {
  {
    std::lock_guard lock(mutex_);
    devices_.erase(path);
  }
  changed_.notify_all();
}

void ObjectCache::daemon_restarted(uint64_t epoch) {
  {
    std::lock_guard lock(mutex_);
    epoch_ = epoch;
    devices_.clear();
  }
  changed_.notify_all();
}

void ObjectCache::connection_lost() {
  {
    std::lock_guard lock(mutex_);
    lost_ = true;
  }
  changed_.notify_all();
}

bool ObjectCache::wait_seeded(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, timeout, [this] { return seeded_ || lost_; });
  return seeded_ && !lost_;
}

void ObjectCache::set_adapter(const std::string& path) {
  std::lock_guard lock(mutex_);
  adapter_ = path;
}

std::optional<std::string> ObjectCache::wait_for_device(uint64_t address, Clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (auto path = find_locked(address)) return path;
    if (lost_) return std::nullopt;
    if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) return find_locked(address);
  }
}

std::optional<std::string> ObjectCache::find_locked(uint64_t address) const {
  for (const auto& [path, device] : devices_) {
    if (device_address(path, device) == address) return path;
  }
  return std::nullopt;
}

// Keys only invalidated (the daemon drops RSSI when discovery ends) and changes such as
// Connected or Alias are no advertisement.
bool ObjectCache::advertises_locked(const std::string& path, const Props& changed) const {
  return has_advertising_key(changed) && !adapter_.empty() && is_under(path, adapter_);
}

}  // namespace chair::ble::bluez
