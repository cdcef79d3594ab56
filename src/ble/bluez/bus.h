// One system bus connection to the Bluetooth daemon, with its event-loop thread.
//
// The daemon keys discovery and notification sessions by our unique bus name, so the whole
// backend shares one connection. The loop thread runs every signal handler and every
// asynchronous reply; those never block and never hold a lock of this class across a D-Bus
// call. Blocking calls are made only from the callers' threads and our own worker.
//
// A daemon restart (its name changing owner) drops the cached objects and advances the
// epoch: handles made before it fail from then on, so the service notices the lost link
// and builds a new one.
//
// Switching the adapter off ends every discovery session in the daemon, ours included. A
// discovery still in use when the adapter comes back on is started again by a worker of
// this class: the loop thread only hands it the adapter, since starting needs the
// discovery lock and blocking calls.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <sdbus-c++/sdbus-c++.h>

#include "ble/bluez/props.h"
#include "ble/platform/platform.h"
#include "common/result.h"

namespace chair::ble::bluez {

using Clock = std::chrono::steady_clock;
using AdvertisementSink = std::function<void(const std::shared_ptr<AdvertisementArgs>&)>;

// One writer at a time, waiting at most a bounded time for its turn. Held across the write
// call itself; only callers' threads use it.
class WriteGate {
 public:
  bool enter(std::chrono::milliseconds timeout);
  void leave();

 private:
  std::mutex mutex_;
  std::condition_variable free_;
  bool busy_ = false;
};

class Bus {
 public:
  // Connects, subscribes to the daemon's signals, starts the loop and seeds the cache.
  static Result<std::shared_ptr<Bus>> open();
  ~Bus();
  Bus(const Bus&) = delete;
  Bus& operator=(const Bus&) = delete;

  // False once the connection broke; the platform then opens a new one.
  bool alive() const { return alive_.load(); }
  uint64_t epoch() const { return epoch_.load(); }
  // Fails with a text when a handle of `handle_epoch` belongs to a daemon that has gone.
  Status check_epoch(uint64_t handle_epoch) const;

  // Blocking calls (never from the loop thread).
  Result<sdbus::MethodReply> call(const std::string& path, const char* iface, const char* method,
                                  const std::function<void(sdbus::MethodCall&)>& args = {},
                                  std::chrono::microseconds timeout = kCallTimeout);
  Result<ObjectSnapshot> managed_objects();
  Result<bool> get_bool(const std::string& path, const char* iface, const char* name);

  // The adapter chosen by the latest default-adapter lookup; advertisements come from below it.
  void set_adapter(const std::string& path);

  // Discovery count shared by started watchers and device lookups.
  Status acquire_discovery(const std::string& adapter);
  void release_discovery();

  uint64_t add_advertisement_sink(AdvertisementSink sink);
  void remove_advertisement_sink(uint64_t id);

  // Waits (on the caller's thread) until a device with this address is known or the deadline passes.
  std::optional<std::string> wait_for_device(uint64_t address, Clock::time_point deadline);
  std::optional<std::string> find_cached_device(uint64_t address);

  // Sessions and the connection they keep.
  void session_opened(const std::string& path, uint64_t handle_epoch);
  // The last session of a path sends Disconnect.
  void session_closed(const std::string& path, bool was_maintaining, uint64_t handle_epoch);
  void set_maintained(const std::string& path, bool on, uint64_t handle_epoch);
  // Sends Connect unless connected or one is in flight; from a caller's thread it first waits
  // for our own pending Disconnect, which would otherwise tear the new link down.
  void request_connect(const std::string& path, bool wait_for_disconnect);
  // Waits until the device is connected and its services are resolved; the error text tells why not.
  Status wait_services_resolved(const std::string& path, uint64_t handle_epoch, Clock::time_point deadline);

  // Characteristic value notifications.
  int64_t add_value_handler(const std::string& path, ValueChangedHandler handler);
  // Returns true when that was the path's last handler and it had been subscribed.
  bool remove_value_handler(const std::string& path, int64_t token);
  void mark_subscribed(const std::string& path, bool on);
  // StopNotify without waiting, for handles released on any thread.
  void stop_notify_async(const std::string& path);

  // Serializes writes per characteristic: the daemon refuses a write while another one is pending.
  std::shared_ptr<WriteGate> write_gate(const std::string& path);

 private:
  struct LinkState {
    int sessions = 0;
    int maintained = 0;
    bool connect_in_flight = false;
    bool connect_canceled = false;  // our own Disconnect cancels it; its error is not the link's
    bool disconnect_pending = false;
    std::optional<std::string> connect_error;  // kept for the next services call
  };

  explicit Bus(std::unique_ptr<sdbus::IConnection> connection);
  Status start();
  void run_loop();
  // Filter and StartDiscovery, the two calls that begin a discovery of ours. Discovery lock held.
  Status send_discovery_start(const std::string& adapter);
  // Worker thread: restarts the discovery on adapters handed over by `on_adapter_changed`.
  void resume_loop();
  void resume_discovery(const std::string& adapter);
  void stop_resume_worker();
  bool on_loop_thread() const;

  // Asynchronous call through a proxy kept until the bus goes away; `done` runs on the loop thread.
  using ReplyHandler = std::function<void(sdbus::MethodReply&, const sdbus::Error*)>;
  void call_async(const std::string& path, const char* iface, const char* method,
                  std::chrono::microseconds timeout, ReplyHandler done);
  void send_connect(const std::string& path);
  void send_disconnect(const std::string& path);
  void reseed(uint64_t for_epoch);

  // Signal handlers (loop thread).
  void on_interfaces_added(sdbus::Message& msg);
  void on_interfaces_removed(sdbus::Message& msg);
  void on_properties_changed(sdbus::Message& msg);
  void on_name_owner_changed(sdbus::Message& msg);
  void on_adapter_changed(const std::string& path, const Props& changed);
  void on_device_changed(const std::string& path, const Props& changed,
                         const std::vector<std::string>& invalidated);
  void on_value_changed(const std::string& path, std::vector<uint8_t> value);
  void advertise(const std::string& path, const DeviceProps& device);

  // Members are destroyed bottom-up: the loop stops (destructor body) before the proxies
  // drop their pending replies, and the connection goes last.
  std::unique_ptr<sdbus::IConnection> connection_;
  std::thread loop_;
  std::atomic<std::thread::id> loop_id_{};
  std::atomic<bool> alive_{true};
  std::atomic<uint64_t> epoch_{1};

  std::mutex proxies_mutex_;
  std::map<std::string, std::unique_ptr<sdbus::IProxy>> proxies_;  // for asynchronous calls
  std::vector<sdbus::Slot> slots_;

  // Cache of Device1 properties and the state of our links, with one condition variable for
  // everyone waiting on either.
  std::mutex cache_mutex_;
  std::condition_variable cache_changed_;
  std::map<std::string, DeviceProps> devices_;
  std::map<std::string, LinkState> links_;
  bool seeded_ = false;
  std::string adapter_;

  std::mutex sinks_mutex_;
  std::map<uint64_t, AdvertisementSink> sinks_;
  uint64_t next_sink_ = 1;

  // Held across SetDiscoveryFilter/StartDiscovery/StopDiscovery so that the count and the
  // daemon agree; callers' threads and the resume worker take it, never the loop thread.
  std::mutex discovery_mutex_;
  int discovery_count_ = 0;
  uint64_t discovery_epoch_ = 0;
  std::string discovery_adapter_;

  // Adapters switched back on, waiting for the worker; the loop thread only adds to them.
  std::mutex resume_mutex_;
  std::condition_variable resume_wake_;
  std::set<std::string> resume_adapters_;
  bool resume_stopping_ = false;
  std::thread resume_worker_;

  std::mutex notify_mutex_;
  std::map<std::string, std::map<int64_t, ValueChangedHandler>> value_handlers_;
  std::set<std::string> subscribed_;
  std::map<std::string, std::shared_ptr<WriteGate>> write_gates_;
  std::atomic<int64_t> next_token_{1};

  friend struct BusDeleter;
};

}  // namespace chair::ble::bluez
