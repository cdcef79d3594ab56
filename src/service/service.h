// The composition root: builds the components, wires their events to the hub, holds the
// policy that spans components (a scan ends a handshake, a connect ends a scan, ...), owns
// the start-up order and the threads, and serves the HTTP routes over all of it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "autoconnect/autoconnect.h"
#include "bind/binding_store.h"
#include "ble/link/chair_link.h"
#include "ble/platform/platform.h"
#include "ble/scanner/scanner.h"
#include "common/result.h"
#include "http/server.h"
#include "paired/paired_names.h"
#include "service/events/event_hub.h"
#include "service/report_history.h"
#include "service/session_timer.h"

namespace chair {

// Every pause and deadline. Tests of the state machines shrink them; the service always
// runs with these values.
struct Timings {
  ble::LinkTimings link{};
  autoconnect::Timings autoconnect{};
};

struct ServiceOptions {
  Timings timings{};
  bool start_supervisor = true;
  bool start_listing = true;
  std::filesystem::path binding_file = bind::data_file_path();
};

class Service final : private ble::LinkEvents,
                      private ble::LinkDirectory,
                      private ble::ScanEvents,
                      private autoconnect::AutoConnectEvents {
 public:
  Service(ble::PlatformPtr platform, ServiceOptions options = {});
  ~Service() override;
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Start-up order: the paired listing, the binding, the supervisor (as the options say).
  void start();

  EventHub& events() { return hub_; }
  ble::ChairLink& link() { return *link_; }
  ble::Scanner& scanner() { return *scanner_; }
  bind::BindingStore& binding() { return *store_; }
  paired::PairedNames& paired() { return *paired_; }
  autoconnect::AutoConnect& autoconnect() { return *autoconnect_; }
  SessionTimer& timer() { return *timer_; }
  ReportHistory& history() { return history_; }
  const Timings& timings() const { return options_.timings; }

  // "connected", "connecting", "scanning" or "idle".
  std::string status_name() const;
  // Publishes the state as it is now (never a fixed name): status_name(), and a connected
  // chair with its display name.
  void publish_status();

  // The policy that spans components, for the routes.
  // A fresh scan: a link still in its handshake is dropped first (it would compete for the
  // radio), "scanning" and "scan started" are published, the paired names refreshed. The
  // text is the user's message when Bluetooth cannot be used or the scan did not start.
  Status start_scan();
  void stop_scan();  // publishes the state and "scan stopped"
  // Ends a scan, then opens a link (true once it is open). Ends a hold of the supervisor.
  bool connect(const std::string& address);
  // Drops whatever link there is; false when there was none.
  bool disconnect();

  // The binding, changed as the UI asks. A change is saved first; only a saved change is
  // announced (one "bind" record with the binding as stored, then its log line) and acted
  // on. The error is the store's own text, and nothing has changed then.
  // Binds the chair, turns auto-connect on and connects to it, unless a link to it is
  // already open or being opened: that one is kept as it is.
  Status bind_chair(const std::string& address, const std::string& name);
  // Forgets the chair; a link to it stays up.
  Status unbind_chair();
  // Turned on, it also makes one attempt at once.
  Status set_autoconnect(bool on);
  // Applied after the next connection's setup, not sent to a chair connected now.
  Status set_initial_settings(const ble::InitConfig& init);
  // Replaces the whole binding and makes one attempt at once.
  Status import_binding(const bind::BindConfig& record);
  // Asks the platform whether Bluetooth can be used now. When the answer's state differs from
  // the one last seen (at first: ready), a "bluetooth" record is published, and with
  // `log_change` one log line too.
  ble::Availability check_bluetooth(bool log_change);
  // What a new event stream gets after its status: the last seen Bluetooth state, unless ready.
  std::vector<ServiceEvent> stream_snapshot() const;

  // Quiets the chair as "/api/shutdown" does: silent frames when a chair is ready, the link
  // torn down, the state published ("idle"). The supervisor then holds until the UI asks for a link
  // again; the stored auto-connect setting stays as it is, so the next start reconnects. The
  // error is the logged text naming what the chair may still be running.
  Status shutdown();

  // The routes, ready for a server.
  http::Router router();

 private:
  // ble::LinkEvents, ble::LinkDirectory, ble::ScanEvents, autoconnect::AutoConnectEvents:
  // everything the components report becomes an event record on the hub.
  void on_link_log(std::string text) override;
  void on_link_status(ble::LinkStatus status, const std::string& name) override;
  void on_chair_status(ble::ChairStatus status) override;
  std::string remembered_name(const std::string& address) override;
  ble::InitConfig initial_settings() override;
  void on_device(ble::DeviceRecord record) override;
  void on_autoconnect(const std::string& phase, const bind::BindConfig& binding) override;
  void on_autoconnect_log(std::string text) override;
  void on_link_dropped() override;

  std::string status_of(const ble::LinkView& view) const;
  Result<bind::BindConfig> change_binding(const std::function<void(bind::BindConfig&)>& change);
  // The session timer ran out: what "/api/shutdown" does, said to be the timer's doing.
  void on_timer_expired();

  ServiceOptions options_;
  ble::PlatformPtr platform_;
  EventHub hub_;
  // Before the components: the supervisor asks for it until it is gone.
  mutable std::mutex bluetooth_mutex_;  // guards bluetooth_ alone
  ble::Availability bluetooth_;         // as last seen; ready until asked
  std::unique_ptr<paired::PairedNames> paired_;
  std::unique_ptr<bind::BindingStore> store_;
  std::unique_ptr<ble::Scanner> scanner_;
  std::unique_ptr<ble::ChairLink> link_;
  std::unique_ptr<autoconnect::AutoConnect> autoconnect_;
  ReportHistory history_;
  // Last, so it goes first: its thread is joined before what an expiry would shut down.
  std::unique_ptr<SessionTimer> timer_ = std::make_unique<SessionTimer>([this] { on_timer_expired(); });
};

// What every request meets before its route (read once, when the server is made).
http::PreRouting pre_route();

// "ready", "noAdapter", "noRadio" or "radioOff", as the API names them.
const char* availability_name(ble::Availability::State state);

// The process: start-up, the three announcement lines, serving. Returns only on a listener
// failure, with the exit code 1.
int run_service(const std::vector<std::string>& args, ble::PlatformPtr platform);

}  // namespace chair
