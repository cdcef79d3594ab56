// One connection to the system bus and the thread that runs its event loop.
//
// The daemon keys discovery and notification sessions by our unique bus name, so the whole
// backend shares this one connection. The loop thread runs every signal handler and every
// asynchronous reply; blocking calls are made only from other threads (a blocking call from
// the loop thread would stall every other reply until it returns).
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sdbus-c++/sdbus-c++.h>

#include "ble/bluez/props.h"
#include "ble/bluez/timeouts.h"
#include "common/result.h"

namespace chair::ble::bluez {

class BusConnection {
 public:
  using SignalHandler = std::function<void(sdbus::Message&)>;
  // On the loop thread; `error` is null for a successful reply.
  using ReplyHandler = std::function<void(sdbus::MethodReply& reply, const sdbus::Error* error)>;
  using Arguments = std::function<void(sdbus::MethodCall&)>;

  // The system bus (DBUS_SYSTEM_BUS_ADDRESS when set).
  static Result<std::unique_ptr<BusConnection>> open();
  ~BusConnection();
  BusConnection(const BusConnection&) = delete;
  BusConnection& operator=(const BusConnection&) = delete;

  // Before start(): a match rule whose handler runs on the loop thread. Whatever the handler
  // throws ends there.
  Status add_match(const std::string& rule, SignalHandler handler);
  // Starts the loop thread. `lost` runs on it once, when the connection broke.
  Status start(std::function<void()> lost);
  // Ends the loop and joins its thread; never from the loop thread itself.
  void stop();

  // False once the connection broke.
  bool alive() const { return alive_.load(); }
  bool on_loop_thread() const { return loop_id_.load() == std::this_thread::get_id(); }

  // A blocking call.
  Result<sdbus::MethodReply> call(const std::string& path, const char* iface, const char* method,
                                  const Arguments& args = {}, std::chrono::microseconds timeout = kCallTimeout);
  // An asynchronous call; `done` runs on the loop thread unless sending failed, which is the
  // error returned here (`done` then never runs).
  Status call_async(const std::string& path, const char* iface, const char* method, std::chrono::microseconds timeout,
                    ReplyHandler done, const Arguments& args = {});

  Result<ObjectSnapshot> managed_objects();
  // A boolean property, read with a bounded call.
  Result<bool> get_bool(const std::string& path, const char* iface, const char* name);

 private:
  explicit BusConnection(std::unique_ptr<sdbus::IConnection> connection);

  // Destroyed bottom-up: slots and proxies before the connection.
  std::unique_ptr<sdbus::IConnection> connection_;
  std::thread loop_;
  std::atomic<std::thread::id> loop_id_{};
  std::atomic<bool> alive_{true};
  std::vector<sdbus::Slot> slots_;

  // Proxies of asynchronous calls, kept until the connection goes: destroying a proxy drops
  // the reply it waits for.
  std::mutex proxies_mutex_;
  std::map<std::string, std::unique_ptr<sdbus::IProxy>> proxies_;
};

}  // namespace chair::ble::bluez
