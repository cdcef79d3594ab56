// Keeps the bound chair connected without being asked: the supervisor that runs for the life
// of the service, and the one-off attempts the binding routes ask for.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "bind/binding_store.h"
#include "ble/link/chair_link.h"

namespace chair::autoconnect {

using namespace std::chrono_literals;

// The limit for a link still in its handshake follows from the link's own timings
// (ble::handshake_limit), so a handshake within its budget is never cut.
struct Timings {
  std::chrono::milliseconds first_pass = 700ms;
  std::chrono::milliseconds pause = 3000ms;
  std::chrono::seconds health_grace = 8s;
  std::chrono::milliseconds health_pause = 1500ms;
};

// What the supervisor tells the layer above.
class AutoConnectEvents {
 public:
  virtual ~AutoConnectEvents() = default;
  // "connecting" before an attempt, "waiting" after one failed; with the binding as it was.
  virtual void on_autoconnect(const std::string& phase, const bind::BindConfig& binding) = 0;
  virtual void on_autoconnect_log(std::string text) = 0;
  // The supervisor closed a link (hung, lost, or opened after a shutdown); the status should
  // be shown again.
  virtual void on_link_dropped() = 0;
};

class AutoConnect {
 public:
  // `scanning` tells whether a scan is running (the radio is busy; no attempt then);
  // `stop_scan` ends one before a connection to a newly bound chair; `usable` tells whether
  // Bluetooth can be used at all (no attempt otherwise), asked only when an attempt is due.
  AutoConnect(ble::ChairLink& link, bind::BindingStore& store, AutoConnectEvents& events,
              std::function<bool()> scanning, std::function<void()> stop_scan, Timings timings = {},
              std::function<bool()> usable = {});
  ~AutoConnect();
  AutoConnect(const AutoConnect&) = delete;
  AutoConnect& operator=(const AutoConnect&) = delete;

  // Starts the supervisor's thread; it runs until the object goes.
  void start();

  // The attempts the UI asks for. Both are announced on the calling thread and handed to
  // the link's connect thread, whose newest request wins; a request superseded before its
  // turn ends in "waiting" like any failed attempt. Neither waits for the chair.
  //
  // One attempt to connect to the bound chair (autoconnect?on=1, import). Does nothing
  // unless a chair is bound with auto-connect on, no link exists and no scan runs; with
  // auto-connect on it also ends a hold.
  void attempt_soon();
  // Connects to a chair just bound, whatever the link and scan do; ends a hold.
  void connect_bound_soon(const std::string& address);

  // After a shutdown the chair stays off: the supervisor makes no attempt until the UI asks
  // for a link again (resume(), or one of the requests above). A link that an attempt
  // under way opens while the hold is on is closed again at once.
  void hold();
  void resume();
  bool held() const;
  // Called right after a link to `address` was opened: while a hold is on (a shutdown came
  // during the opening), that link is closed again before its handshake gets anywhere and
  // the status is shown again. True when it was closed.
  bool close_if_held(const std::string& address);

  // One supervisor pass on the calling thread (tests).
  void pass();

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace chair::autoconnect
