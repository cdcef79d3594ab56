// Our discovery on the adapter, shared by every running scan and every device lookup, and the
// scans' listeners.
//
// The daemon allows one discovery session per client, so a count decides: the first user
// sets the filter and starts, the last one stops. Switching the adapter off ends every
// discovery session in the daemon, ours included; a discovery still in use when the adapter
// comes back on is started again by a worker of this class (the loop thread only hands it the
// adapter, since starting takes blocking calls).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "ble/bluez/bus.h"
#include "ble/platform/platform.h"
#include "common/result.h"

namespace chair::ble::bluez {

class Discovery {
 public:
  // `epoch` is the daemon instance the bus currently talks to.
  Discovery(BusConnection& bus, const std::atomic<uint64_t>& epoch);
  ~Discovery();
  Discovery(const Discovery&) = delete;
  Discovery& operator=(const Discovery&) = delete;

  Status start_worker();
  // Ends the worker; its calls need the loop, so this comes before the loop stops.
  void stop_worker();

  // One more user; the first one starts the discovery on `adapter`, and its error is the result.
  Status acquire(const std::string& adapter);
  // One user fewer; the last one stops the discovery (errors ignored).
  void release();

  // Listeners hear every advertisement while they are registered.
  uint64_t add_listener(AdvertisementHandler listener);
  void remove_listener(uint64_t id);

  // ---- loop thread ----
  void advertise(const std::string& path, const DeviceProps& device);
  void adapter_powered_on(const std::string& adapter);

 private:
  // Filter and StartDiscovery, the two calls that begin a discovery of ours. Count lock held.
  Status send_start(const std::string& adapter);
  void resume_loop();
  void resume(const std::string& adapter);

  BusConnection& bus_;
  const std::atomic<uint64_t>& epoch_;

  // Held across the D-Bus start and stop calls on purpose, so that the count and the daemon
  // agree (a release may not stop what an acquire is still starting); callers' threads and the
  // resume worker take it, never the loop thread, whose replies those calls wait for.
  std::mutex count_mutex_;
  int count_ = 0;
  uint64_t count_epoch_ = 0;
  std::string adapter_;

  std::mutex listeners_mutex_;
  std::map<uint64_t, AdvertisementHandler> listeners_;
  uint64_t next_listener_ = 1;

  // Adapters switched back on, waiting for the worker; the loop thread only adds to them.
  std::mutex resume_mutex_;
  std::condition_variable resume_wake_;
  std::set<std::string> resume_adapters_;
  bool resume_stopping_ = false;
  std::thread resume_worker_;
};

}  // namespace chair::ble::bluez
