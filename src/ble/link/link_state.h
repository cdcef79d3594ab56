// Inside the chair link: the record of the current link, shared by the link's public object,
// its connect, handshake and poll workers and its notification callback. The record is
// private; every change of it is one of the named transitions below, each written once, in
// link_state.cpp. Not for use outside src/ble/link.
#pragma once

#include <atomic>
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
#include "ble/link/connect_requests.h"
#include "ble/link/write_path.h"
#include "ble/platform/platform.h"
#include "ble/protocol/commands.h"
#include "ble/protocol/settings.h"
#include "ble/protocol/status.h"
#include "common/result.h"

namespace chair::ble {

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

// The characteristics a handshake chose for its link.
struct ChosenCharacteristics {
  GattCharacteristic notify;
  GattCharacteristic write;
  bool prefer_without_response = false;
};

class LinkState : public std::enable_shared_from_this<LinkState> {
 public:
  LinkState(PlatformPtr platform, LinkEvents& events, LinkDirectory& directory, LinkTimings timings);

  Platform& platform() const { return *platform_; }
  LinkEvents& events() const { return events_; }
  LinkDirectory& directory() const { return directory_; }
  const LinkTimings& timings() const { return timings_; }
  ConnectRequests& requests() { return requests_; }

  // ---- transitions ----
  // A device just opened becomes the link (Opening), with a new generation; the previous
  // link's connection is released. 0, and nothing changes, when `abandoned` was set first.
  uint64_t open(const std::string& address, ConnectionPtr connection, const std::atomic<bool>& abandoned);
  // Characteristics set up: frames can be written (Ready). False when `gen` is not current.
  bool ready(uint64_t gen, const ChosenCharacteristics& chosen);
  // The chair answered (Connected). False when `gen` is not current.
  bool connected(uint64_t gen, const std::string& name);
  // Closing: whatever link there is, the link of one generation while it is current, or a
  // link still in its handshake. Always leaves the record closed and cleared when it closes;
  // true when a link was open.
  bool close();
  bool close(uint64_t gen);
  bool close_handshake();
  // A failure of link `gen`: when it is still current, the message, the close, then Idle.
  void lost(uint64_t gen, const std::string& message);

  // ---- the thermal memory and the user's settings ----
  // A setting the user changed on a ready link: initial settings still to come leave it alone.
  void user_set(uint8_t setting);
  // The user's cooling or heating level, remembered for the poll to re-assert.
  void user_thermal_level(uint8_t mode, uint8_t level);
  // The user's water switch: off forgets cooling or heating, on brings the last one back.
  void user_thermal_switch(bool on);
  // The initial settings' cooling or heating, unless the user has set it on this link.
  bool initial_thermal(uint64_t gen, const InitPlan& plan);
  ThermalSnapshot thermal() const;
  // What the poll re-asserts on this beat; nullopt when link `gen` is over or not ready.
  std::optional<ThermalSnapshot> poll_beat(uint64_t gen) const;

  // ---- the silent shutdown ----
  // Waits for a shutdown under way, then, when a chair is ready, keeps every other frame off
  // it until the link closes and forgets cooling or heating. True when a chair is ready.
  bool begin_quiet();

  // ---- reading ----
  LinkView view() const;
  bool current(uint64_t gen) const;
  // The connection of link `gen`, or null when it is not current.
  ConnectionPtr connection_of(uint64_t gen) const;
  uint64_t status_count() const;
  // Sleeps for `d` unless the link `gen` stops being current first; true when it still is.
  bool pause(uint64_t gen, std::chrono::milliseconds d);
  // Waits up to status_wait for a report newer than `before` while `gen` stays current.
  bool wait_for_status(uint64_t gen, uint64_t before);

  // ---- writing and hearing ----
  Status write_frame(std::span<const uint8_t> bytes, WriteTicket ticket);
  // The notification callback.
  void on_notification(std::span<const uint8_t> value);

  // ---- workers ----
  // Runs `body` on a detached thread that counts as one of the link's workers.
  bool spawn(std::function<void()> body);
  // Counts a worker or callback in; false when the link object is going away.
  bool enter();
  void leave();
  // The link object is going away: waiting steps end, every link is closed, and this
  // returns once no worker or callback runs any more.
  void stop_and_wait();

 private:
  bool open_locked() const { return phase_ != LinkPhase::Closed; }
  bool ready_locked() const { return phase_ == LinkPhase::Ready || phase_ == LinkPhase::Connected; }
  // The link `gen` may go on: open, still the newest, and no shutdown silencing it.
  bool current_locked(uint64_t gen) const { return open_locked() && generation_ == gen && !quieting_; }
  Result<WriteTarget> target_for(const WriteTicket& ticket);
  // Closes when `closes` says so of the record; see close().
  bool close_if(const std::function<bool()>& closes);

  const PlatformPtr platform_;
  LinkEvents& events_;
  LinkDirectory& directory_;
  const LinkTimings timings_;
  WritePath writes_;
  ConnectRequests requests_;
  // Receive buffer of the notification path; its own lock, never taken with `mutex_`.
  RxState rx_;

  // The record. `mutex_` guards every field below it and is held for field reads and writes
  // only: never across a platform call, a sleep or an event.
  mutable std::mutex mutex_;
  std::condition_variable changed_;  // generation, phase, status count, workers
  uint64_t next_generation_ = 1;
  uint64_t generation_ = 0;  // 0 never names a link
  LinkPhase phase_ = LinkPhase::Closed;
  std::string address_;
  std::string name_;
  std::chrono::steady_clock::time_point opened_at_ = std::chrono::steady_clock::now();
  ConnectionPtr connection_;
  std::optional<ChosenCharacteristics> chosen_;
  uint8_t last_switch_ = 0;
  ThermalMode thermal_;
  uint64_t status_count_ = 0;  // reports decoded (once per notification that held one)
  bool quieting_ = false;      // a shutdown is silencing the chair: only its frames pass
  uint8_t user_settings_ = 0;  // Setting bits the user changed on this link
  int workers_ = 0;            // worker threads and callbacks running
  bool stopping_ = false;      // the link object is going away
};

// Serves one request for a link on the connect worker: opens the device, makes it the link
// and starts its handshake (connect.cpp).
ConnectOutcome open_link(LinkState& state, const ConnectRequest& request, const std::atomic<bool>& abandoned);

}  // namespace chair::ble
