// The radio links to devices: which of our connections use each device, the Connect and
// Disconnect calls under way, and the device's connection state as the daemon reports it.
//
// Several connections of ours may use one device (a reconnect opens the new one before the
// old one closes); the device is disconnected only when the last of them closes, and while
// any is open a link that drops is connected again, once. A Connect that fails is reported
// once, to the next wait for services, which then sends a new one.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "ble/bluez/bus.h"
#include "ble/bluez/props.h"
#include "common/result.h"

namespace chair::ble::bluez {

class DeviceLinks {
 public:
  using Clock = std::chrono::steady_clock;

  explicit DeviceLinks(BusConnection& bus);

  // ---- from the loop thread, in the order the bus delivered ----

  void seed(uint64_t epoch, const std::map<std::string, DeviceProps>& devices);
  // `device` is the merged copy after the change; `connected_reported` when the change
  // carried Connected.
  void device_state(const std::string& path, const DeviceProps& device, bool connected_reported);
  void device_removed(const std::string& path);
  // A new daemon: links and sessions of the old one are forgotten (their handles fail).
  void daemon_restarted(uint64_t epoch);
  void connection_lost();

  // ---- from callers' threads ----

  // One more connection of ours uses the device at `path`; the id names it from now on.
  uint64_t open_session(const std::string& path, uint64_t epoch);
  // The last session of a device sends Disconnect. Wakes a wait of this session.
  void close_session(uint64_t session);
  // Sends Connect unless connected or one is in flight; from a caller's thread it first waits
  // for our own pending Disconnect, which would otherwise tear the new link down.
  void request_connect(const std::string& path, bool wait_for_disconnect);
  // Waits until the session's device is connected and its services are resolved; the error
  // text tells why not.
  Status wait_services_resolved(uint64_t session, Clock::time_point deadline);

 private:
  struct DeviceState {
    bool connected = false;
    bool resolved = false;
  };
  // Our use of one device's radio link.
  struct DeviceLink {
    uint64_t epoch = 0;
    int sessions = 0;
    bool connect_in_flight = false;
    bool connect_canceled = false;  // our own Disconnect cancels it; its error is not the link's
    bool disconnect_pending = false;
    std::optional<std::string> connect_error;  // kept for the next wait for services
  };
  struct Session {
    std::string path;
    uint64_t epoch = 0;
  };

  void send_connect(const std::string& path);
  void send_disconnect(const std::string& path);
  // The reason the session cannot be waited for, if any. Lock held.
  std::optional<std::string> unusable_locked(uint64_t session) const;
  DeviceLink& link_locked(const std::string& path);

  BusConnection& bus_;
  std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t epoch_ = 1;
  bool lost_ = false;
  std::map<std::string, DeviceState> devices_;  // every device object of the daemon
  std::map<std::string, DeviceLink> links_;
  std::map<uint64_t, Session> sessions_;  // open sessions only
  uint64_t next_session_ = 1;
};

}  // namespace chair::ble::bluez
