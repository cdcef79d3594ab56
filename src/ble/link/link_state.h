// Inside the chair link: the record of the current link, shared by the link's public object,
// its handshake and poll workers and its notification callback. Not for use outside
// src/ble/link.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "ble/link/chair_link.h"
#include "ble/platform/platform.h"
#include "ble/protocol/commands.h"
#include "ble/protocol/status.h"
#include "common/result.h"

namespace chair::ble {

inline constexpr const char* kNotReady = "not connected or characteristic not found";

// Who a frame is written for, checked when the frame gets its turn.
struct WriteTicket {
  enum class Kind {
    User,   // a command of the user's: whatever link is ready, unless a shutdown is quieting it
    Link,   // the link's own workers: only while `generation` is current
    Quiet,  // the silent sequence of a shutdown
  };
  Kind kind = Kind::User;
  uint64_t generation = 0;
  // Initial settings: skipped when the user has set this already on this link.
  uint8_t unless_user_set = 0;

  static WriteTicket user() { return {}; }
  static WriteTicket link(uint64_t generation, uint8_t unless_user_set = 0) {
    return {Kind::Link, generation, unless_user_set};
  }
  static WriteTicket quiet() { return {Kind::Quiet, 0, 0}; }
};

// A request for a link, waiting for the connect worker.
struct ConnectRequest {
  std::string address;
  std::function<void(bool)> done;
};

struct LinkState : std::enable_shared_from_this<LinkState> {
  LinkState(PlatformPtr platform, LinkEvents& events, LinkDirectory& directory, LinkTimings timings)
      : platform(std::move(platform)), events(events), directory(directory), timings(timings) {}

  const PlatformPtr platform;
  LinkEvents& events;
  LinkDirectory& directory;
  const LinkTimings timings;

  // The record. `mutex` guards every field below it and is held for field reads and writes
  // only: never across a platform call, a sleep or an event.
  mutable std::mutex mutex;
  std::condition_variable changed;  // generation, phase, status count, write turn, workers
  uint64_t next_generation = 1;
  uint64_t generation = 0;  // 0 never names a link
  LinkPhase phase = LinkPhase::Closed;
  std::string address;
  std::string name;
  std::chrono::steady_clock::time_point opened_at = std::chrono::steady_clock::now();
  ConnectionPtr connection;
  std::optional<GattCharacteristic> notify_char;
  std::optional<GattCharacteristic> write_char;
  bool prefer_without_response = false;
  uint8_t last_switch = 0;
  ThermalMode thermal;
  uint64_t status_count = 0;              // reports decoded (once per notification that held one)
  bool writing = false;                   // one frame at a time goes to the chair
  bool quieting = false;                  // a shutdown is silencing the chair: only its frames pass
  uint8_t user_settings = 0;              // Setting bits the user changed on this link (initial settings skip them)
  std::optional<ConnectRequest> pending;  // the newest request not yet served
  bool connecting = false;                // the connect worker runs
  int workers = 0;                        // worker threads and callbacks running
  bool stopping = false;                  // the link object is going away

  // Receive buffer of the notification path; its own lock, never taken with `mutex`.
  RxState rx;

  bool open_locked() const { return phase != LinkPhase::Closed; }
  // The link `gen` may go on: open, still the newest, and no shutdown silencing it.
  bool current_locked(uint64_t gen) const { return open_locked() && generation == gen && !quieting; }
  bool current(uint64_t gen) const {
    std::lock_guard lock(mutex);
    return current_locked(gen);
  }

  // Counts a worker or callback in; false when the link object is going away.
  bool enter();
  void leave();

  // Sleeps for `d` unless the link `gen` stops being current first; true when it still is.
  bool pause(uint64_t gen, std::chrono::milliseconds d);

  // Writes one frame: waits for its turn, checks the ticket, logs "TX: {}", tries the
  // preferred write option and then the other one.
  Status write_frame(std::span<const uint8_t> bytes, WriteTicket ticket);

  // Waits up to status_wait for a report newer than `before` while `gen` stays current.
  bool wait_for_status(uint64_t gen, uint64_t before);
  uint64_t status_count_now() const {
    std::lock_guard lock(mutex);
    return status_count;
  }

  // Clears the record (only while `gen` is current, when given) and returns the connection
  // it held; the caller closes it outside the lock.
  ConnectionPtr clear_locked();
  // Closes the link (only while `gen` is current, when given); true when it did.
  bool close_link(std::optional<uint64_t> gen);
  // A failure of link `gen`: when it is still current, the message, the teardown, Idle.
  void link_lost(uint64_t gen, const std::string& message);

  // The notification callback.
  void on_notification(std::span<const uint8_t> value);

  // Opens a link to `address` on the calling thread (the connect worker) and starts its
  // handshake; true once open.
  bool open_link(const std::string& address);
  // The connect worker's loop: serves the newest request until none is left.
  void serve_connect_requests();
};

}  // namespace chair::ble
