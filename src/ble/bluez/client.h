// Our client of the Bluetooth daemon over one bus connection: the connection and its loop,
// the object cache, discovery, the device links and the characteristic values, wired to the
// daemon's signals. Made at the first use of the backend and again after the connection broke.
//
// A daemon restart (its bus name changing owner) makes its objects vanish without any other
// signal: the cache and the links are dropped and the epoch advances, so handles made before
// fail from then on, the service notices the lost link and builds a new one.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include <sdbus-c++/sdbus-c++.h>

#include "ble/bluez/bus.h"
#include "ble/bluez/device_links.h"
#include "ble/bluez/discovery.h"
#include "ble/bluez/notifications.h"
#include "ble/bluez/object_cache.h"
#include "common/result.h"

namespace chair::ble::bluez {

class Client {
 public:
  // Connects, subscribes to the daemon's signals, starts the loop and seeds the cache.
  static Result<std::shared_ptr<Client>> open();
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool alive() const { return bus_->alive(); }
  // The daemon instance handles belong to.
  uint64_t epoch() const { return epoch_.load(); }
  // Fails with a text when a handle of `handle_epoch` belongs to a daemon that has gone.
  Status check_epoch(uint64_t handle_epoch) const;

  BusConnection& bus() { return *bus_; }
  ObjectCache& cache() { return cache_; }
  Discovery& discovery() { return discovery_; }
  DeviceLinks& links() { return links_; }
  Notifications& notifications() { return notifications_; }

 private:
  explicit Client(std::unique_ptr<BusConnection> bus);
  Status start();
  void reseed(uint64_t for_epoch);

  // Signal handlers (loop thread).
  void on_interfaces_added(sdbus::Message& msg);
  void on_interfaces_removed(sdbus::Message& msg);
  void on_properties_changed(sdbus::Message& msg);
  void on_name_owner_changed(sdbus::Message& msg);

  // The connection outlives every piece that calls through it; its loop ends in ~Client
  // before any of them goes.
  std::unique_ptr<BusConnection> bus_;
  std::atomic<uint64_t> epoch_{1};
  ObjectCache cache_;
  Discovery discovery_;
  DeviceLinks links_;
  Notifications notifications_;

  friend struct ClientDeleter;
};

}  // namespace chair::ble::bluez
