// Characteristic values: who listens to which characteristic, which ones hold a notify
// session of ours, and one writer at a time per characteristic.
//
// The daemon keeps one notify session per client and characteristic, whichever of our
// connections asked for it; it ends only when the last of our listeners goes. It refuses a
// write while another one is pending on the same characteristic, so writes queue here.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "ble/platform/platform.h"

namespace chair::ble::bluez {

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

class Notifications {
 public:
  // A listener of daemon `epoch`; values of another daemon never reach it.
  uint64_t add_listener(const std::string& path, uint64_t epoch, NotificationHandler listener);
  // True when that was the last listener of a characteristic we hold a session on: the
  // caller sends StopNotify.
  bool remove_listener(const std::string& path, uint64_t token);
  // StartNotify succeeded for `token`. True when the listener went meanwhile and nobody else
  // listens: the caller ends the session it has just opened.
  bool started(const std::string& path, uint64_t token);

  std::shared_ptr<WriteGate> write_gate(const std::string& path);

  // ---- loop thread ----
  void dispatch(const std::string& path, const std::vector<uint8_t>& value);
  // The sessions were the old daemon's; so were its listeners.
  void daemon_restarted(uint64_t epoch);

 private:
  struct Listener {
    uint64_t epoch = 0;
    NotificationHandler handler;
  };
  // Whether a listener of the current daemon remains on `path`. Lock held.
  bool has_current_locked(const std::string& path) const;

  mutable std::mutex mutex_;
  uint64_t epoch_ = 1;
  std::map<std::string, std::map<uint64_t, Listener>> listeners_;
  std::set<std::string> sessions_;
  std::map<std::string, std::shared_ptr<WriteGate>> write_gates_;
  uint64_t next_token_ = 1;
};

}  // namespace chair::ble::bluez
