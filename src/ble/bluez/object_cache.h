// The daemon's Device1 objects as its signals describe them: seeded by one GetManagedObjects
// answer that the loop handles in order with the signals, so a change sent before the answer
// is in it and one sent after lands on top of it.
//
// It answers the questions asked of devices without a bus call: which object has this address
// (lookups wait here while a discovery runs), and whether a change counts as an
// advertisement of a device below the adapter that scans use.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ble/bluez/props.h"

namespace chair::ble::bluez {

class ObjectCache {
 public:
  using Clock = std::chrono::steady_clock;

  // ---- from the loop thread, in the order the bus delivered ----

  // The answer to GetManagedObjects sent for daemon `epoch`; nullopt when it could not be
  // read (signals still fill the cache). An answer for a daemon that has gone is dropped.
  void seed(uint64_t epoch, std::optional<std::map<std::string, DeviceProps>> devices);
  struct DeviceChange {
    DeviceProps device;       // the merged copy after the change
    bool advertised = false;  // the change counts as an advertisement
  };
  DeviceChange device_added(const std::string& path, const Props& props);
  DeviceChange device_changed(const std::string& path, const Props& changed,
                              const std::vector<std::string>& invalidated);
  void device_removed(const std::string& path);
  // The daemon's objects vanished without a word: everything is forgotten until the seed of
  // `epoch` arrives.
  void daemon_restarted(uint64_t epoch);
  void connection_lost();

  // ---- from callers' threads ----

  // Waits for the first seed; false when the connection broke first or time ran out.
  bool wait_seeded(std::chrono::milliseconds timeout);
  // The adapter chosen by the latest default-adapter lookup; advertisements come from below it.
  void set_adapter(const std::string& path);
  // The object of a device with this address, waiting until one appears or the deadline passes.
  std::optional<std::string> wait_for_device(uint64_t address, Clock::time_point deadline);

 private:
  std::optional<std::string> find_locked(uint64_t address) const;
  bool advertises_locked(const std::string& path, const Props& changed) const;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, DeviceProps> devices_;
  std::string adapter_;
  uint64_t epoch_ = 1;
  bool seeded_ = false;
  bool lost_ = false;
};

}  // namespace chair::ble::bluez
