#include "ble/bluez/device_links.h"

#include "ble/bluez/names.h"
#include "ble/bluez/texts.h"
#include "ble/bluez/timeouts.h"

namespace chair::ble::bluez {

DeviceLinks::DeviceLinks(BusConnection& bus) : bus_(bus) {}

void DeviceLinks::seed(uint64_t epoch, const std::map<std::string, DeviceProps>& devices) {
  {
    std::lock_guard lock(mutex_);
    if (epoch != epoch_) return;
    devices_.clear();
    for (const auto& [path, device] : devices) {
      devices_[path] = DeviceState{device.connected.value_or(false), device.services_resolved.value_or(false)};
    }
  }
  changed_.notify_all();
}

void DeviceLinks::device_state(const std::string& path, const DeviceProps& device, bool connected_reported) {
  bool reconnect = false;
  {
    std::lock_guard lock(mutex_);
    auto& state = devices_[path];
    const bool was_connected = state.connected;
    state.connected = device.connected.value_or(false);
    state.resolved = device.services_resolved.value_or(false);
    auto link = links_.find(path);
    if (link != links_.end() && link->second.epoch == epoch_ && connected_reported && !state.connected) {
      link->second.disconnect_pending = false;
      // A link that drops while one of ours uses it is connected again, once.
      reconnect = was_connected && link->second.sessions > 0 && !link->second.connect_in_flight;
    }
  }
  changed_.notify_all();
  if (reconnect) send_connect(path);
}

void DeviceLinks::device_removed(const std::string& path) {
  {
    std::lock_guard lock(mutex_);
    devices_.erase(path);
  }
  changed_.notify_all();
}

void DeviceLinks::daemon_restarted(uint64_t epoch) {
  {
    std::lock_guard lock(mutex_);
    epoch_ = epoch;
    devices_.clear();
    links_.clear();
    // A session opened while the restart was being taken in already belongs to the new daemon.
    for (const auto& [id, session] : sessions_) {
      if (session.epoch == epoch) ++link_locked(session.path).sessions;
    }
  }
  changed_.notify_all();
}

void DeviceLinks::connection_lost() {
  {
    std::lock_guard lock(mutex_);
    lost_ = true;
  }
  changed_.notify_all();
}

DeviceLinks::DeviceLink& DeviceLinks::link_locked(const std::string& path) {
  auto& link = links_[path];
  if (link.epoch != epoch_) {
    link = DeviceLink{};
    link.epoch = epoch_;
  }
  return link;
}

uint64_t DeviceLinks::open_session(const std::string& path, uint64_t epoch) {
  std::lock_guard lock(mutex_);
  const uint64_t id = next_session_++;
  sessions_[id] = Session{path, epoch};
  if (epoch == epoch_) {
    auto& link = link_locked(path);
    // An error of a Connect sent before any of ours used the device is not theirs.
    if (++link.sessions == 1) link.connect_error.reset();
  }
  return id;
}

void DeviceLinks::close_session(uint64_t session) {
  std::string path;
  {
    std::lock_guard lock(mutex_);
    auto it = sessions_.find(session);
    if (it == sessions_.end()) return;
    const Session closed = it->second;
    sessions_.erase(it);
    // A session of a daemon that has gone has nothing left to disconnect.
    if (closed.epoch != epoch_ || lost_) {
      path.clear();
    } else {
      auto& link = link_locked(closed.path);
      if (link.sessions > 0) --link.sessions;
      // Another session of ours still uses the link (a reconnect to the same chair): keep it.
      if (link.sessions == 0) {
        link.disconnect_pending = true;
        if (link.connect_in_flight) link.connect_canceled = true;
        path = closed.path;
      }
    }
  }
  changed_.notify_all();
  if (!path.empty()) send_disconnect(path);
}

void DeviceLinks::send_disconnect(const std::string& path) {
  uint64_t sent_in = 0;
  {
    std::lock_guard lock(mutex_);
    sent_in = epoch_;
  }
  auto settle = [this, path, sent_in] {
    {
      std::lock_guard lock(mutex_);
      if (epoch_ != sent_in) return;
      auto it = links_.find(path);
      if (it != links_.end()) it->second.disconnect_pending = false;
    }
    changed_.notify_all();
  };
  // The reply comes once the link is down; whatever it says, nothing is pending any more.
  auto sent = bus_.call_async(path, kDeviceIface, kDisconnect, kCallTimeout,
                              [settle](sdbus::MethodReply&, const sdbus::Error*) { settle(); });
  if (!sent) settle();
}

void DeviceLinks::send_connect(const std::string& path) {
  uint64_t sent_in = 0;
  {
    std::lock_guard lock(mutex_);
    if (lost_) return;
    auto& link = link_locked(path);
    auto device = devices_.find(path);
    const bool connected = device != devices_.end() && device->second.connected;
    if (connected || link.connect_in_flight) return;
    link.connect_in_flight = true;
    link.connect_canceled = false;
    link.connect_error.reset();
    sent_in = epoch_;
  }
  auto finish = [this, path, sent_in](std::optional<std::string> error) {
    {
      std::lock_guard lock(mutex_);
      if (epoch_ != sent_in) return;
      auto& link = link_locked(path);
      link.connect_in_flight = false;
      if (error && !link.connect_canceled) link.connect_error = std::move(error);
      link.connect_canceled = false;
    }
    changed_.notify_all();
  };
  auto sent = bus_.call_async(path, kDeviceIface, kConnect, kConnectTimeout,
                              [finish](sdbus::MethodReply&, const sdbus::Error* error) {
                                finish(error ? std::optional<std::string>(error->what()) : std::nullopt);
                              });
  if (!sent) finish(sent.error());
}

void DeviceLinks::request_connect(const std::string& path, bool wait_for_disconnect) {
  if (wait_for_disconnect && !bus_.on_loop_thread()) {
    // The daemon delays a requested disconnection; a Connect in that window would "succeed"
    // on the dying link.
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, kDisconnectWait, [&] {
      auto it = links_.find(path);
      return lost_ || it == links_.end() || it->second.epoch != epoch_ || !it->second.disconnect_pending;
    });
  }
  send_connect(path);
}

std::optional<std::string> DeviceLinks::unusable_locked(uint64_t session) const {
  if (lost_) return std::string(kConnectionLostText);
  auto it = sessions_.find(session);
  if (it == sessions_.end()) return std::string(kClosedText);
  if (it->second.epoch != epoch_) return std::string(kRestartedText);
  return std::nullopt;
}

Status DeviceLinks::wait_services_resolved(uint64_t session, Clock::time_point deadline) {
  std::string path;
  {
    std::lock_guard lock(mutex_);
    if (auto why = unusable_locked(session)) return fail(*why);
    path = sessions_.at(session).path;
    // The failed Connect is reported once; this wait sends a new one.
    auto& link = link_locked(path);
    if (link.connect_error) {
      auto error = std::move(*link.connect_error);
      link.connect_error.reset();
      return fail(error);
    }
  }
  request_connect(path, true);

  std::unique_lock lock(mutex_);
  for (bool last_look = false;;) {
    if (auto why = unusable_locked(session)) return fail(*why);
    auto device = devices_.find(path);
    if (device == devices_.end()) return fail("device removed");
    if (device->second.connected && device->second.resolved) return {};
    auto& link = link_locked(path);
    if (link.connect_error) {
      auto error = std::move(*link.connect_error);
      link.connect_error.reset();
      return fail(error);
    }
    if (last_look) return fail("services not resolved in time");
    last_look = changed_.wait_until(lock, deadline) == std::cv_status::timeout;
  }
}

}  // namespace chair::ble::bluez
