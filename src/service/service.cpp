// The composition root: components, their events on the hub, cross-component policy,
// start-up and serving.
#include "service/service.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <optional>
#include <thread>

#include "common/address.h"
#include "common/text.h"
#include "http/guard.h"
#include "service/command_line.h"
#include "sys/parent.h"
#include "sys/paths.h"
#include "sys/termination.h"
#include "sys/thread.h"

namespace chair {

const char* availability_name(ble::Availability::State state) {
  switch (state) {
    case ble::Availability::State::NoAdapter: return "noAdapter";
    case ble::Availability::State::NoRadio: return "noRadio";
    case ble::Availability::State::RadioOff: return "radioOff";
    case ble::Availability::State::Ready: break;
  }
  return "ready";
}

namespace {

ServiceEvent bluetooth_event(const ble::Availability& a) {
  return BluetoothEvent{availability_name(a.state), a.message};
}

}  // namespace

// Before any route. A page on another site may send requests to our port through the
// browser; under a rebound DNS name they would pass as same-origin, so only a Host naming
// this machine's loopback is served, and a second Host header is refused whatever it names.
// What the browser says of a request a page made without asking (an <img>, a foreign form)
// refuses it too, and so does an Origin that the process starting us did not name in
// CHAIR_ALLOWED_ORIGINS (read once, here at start-up; unset: any origin, as the desktop UI's
// is unknown). Then a browser's preflight gets its answer without running the route it asks
// about: the route runs only when the browser sends the request itself.
http::PreRouting pre_route() {
  std::optional<std::vector<std::string>> origins;
  if (auto listed = sys::env_text("CHAIR_ALLOWED_ORIGINS")) origins = http::parse_origin_list(*listed);
  return http::RequestGuard(std::move(origins));
}

namespace {

// Whatever ends the process from outside leaves the chair quiet: at most this long for the
// shutdown sequence, the last status on the open streams and the exit together.
constexpr auto kEndingBound = std::chrono::milliseconds(2000);
// What is left of it for the streams once the sequence has had its time.
constexpr auto kDeliveryReserve = std::chrono::milliseconds(400);
// A stream thread that took the last record from its queue is given this to write it.
constexpr auto kLastWrite = std::chrono::milliseconds(50);

// Asked to end (a termination signal, the console closing) or orphaned (nobody will end us or
// quiet the chair): the chair is quieted as "/api/shutdown" does, the open streams get the
// last status, and the process exits with 0, all within kEndingBound. A sequence stuck in a
// platform call is not waited for beyond its share: "idle" is published and the process ends,
// which ends the link too.
[[noreturn]] void quiet_and_exit(const std::shared_ptr<Service>& service) {
  static std::atomic<bool> ending{false};
  // The watchdog and a signal may both come; the first one ends the process.
  if (ending.exchange(true)) {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
  }
  const auto deadline = std::chrono::steady_clock::now() + kEndingBound;
  auto finished = std::make_shared<std::promise<void>>();
  auto done = finished->get_future();
  const bool on_its_own = sys::spawn_detached([service, finished] {
    try {
      // A chair that did not take every silent frame has been logged; the process ends anyway.
      (void)service->shutdown();
    } catch (...) {
    }
    finished->set_value();
  });
  if (!on_its_own) {
    try {
      (void)service->shutdown();
    } catch (...) {
    }
  } else if (done.wait_until(deadline - kDeliveryReserve) != std::future_status::ready) {
    // Said ahead of the fact: the link ends with the process a moment later.
    service->events().publish_status("idle");
  }
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  service->events().wait_delivered(std::max(left - kLastWrite, std::chrono::milliseconds(0)));
  std::this_thread::sleep_for(kLastWrite);
  std::fflush(stdout);
  std::_Exit(0);
}

}  // namespace

Service::Service(ble::PlatformPtr platform, ServiceOptions options)
    : options_(std::move(options)), platform_(std::move(platform)) {
  paired_ = std::make_unique<paired::PairedNames>(platform_);
  store_ = std::make_unique<bind::BindingStore>(options_.binding_file);
  scanner_ = std::make_unique<ble::Scanner>(platform_, static_cast<ble::ScanEvents&>(*this),
                                            [this](const std::string& address) { return paired_->lookup(address); });
  link_ = std::make_unique<ble::ChairLink>(platform_, static_cast<ble::LinkEvents&>(*this),
                                           static_cast<ble::LinkDirectory&>(*this), options_.timings.link);
  autoconnect_ = std::make_unique<autoconnect::AutoConnect>(
      *link_, *store_, static_cast<autoconnect::AutoConnectEvents&>(*this), [this] { return scanner_->scanning(); },
      [this] { scanner_->stop(); }, options_.timings.autoconnect,
      [this] { return check_bluetooth(/*log_change=*/true).state == ble::Availability::State::Ready; });
}

// The members go in reverse order: the supervisor before the link it drives, the link
// before the scanner and the store it asks.
Service::~Service() = default;

void Service::start() {
  if (options_.start_listing) paired_->refresh();
  store_->load();
  if (options_.start_supervisor) autoconnect_->start();
}

std::string Service::status_name() const { return status_of(link_->view()); }

std::string Service::status_of(const ble::LinkView& view) const {
  // The link first, then the scanner; their locks are never held together.
  switch (view.phase) {
    case ble::LinkPhase::Connected: return "connected";
    case ble::LinkPhase::Opening:
    case ble::LinkPhase::Ready: return "connecting";
    case ble::LinkPhase::Closed: break;
  }
  return scanner_->scanning() ? "scanning" : "idle";
}

void Service::publish_status() {
  // A connected chair is shown with its name, as when it connected: the clients replace
  // whatever they showed with this.
  const ble::LinkView view = link_->view();
  if (view.phase == ble::LinkPhase::Connected) {
    hub_.publish(ConnectedEvent{view.name});
    return;
  }
  hub_.publish_status(status_of(view));
}

ble::Availability Service::check_bluetooth(bool log_change) {
  ble::Availability now = platform_->availability();
  bool changed = false;
  {
    std::lock_guard lock(bluetooth_mutex_);
    changed = now.state != bluetooth_.state;
    if (changed) bluetooth_ = now;
  }
  if (changed) {
    hub_.publish(bluetooth_event(now));
    if (log_change) {
      hub_.publish_log(now.state == ble::Availability::State::Ready ? "bluetooth ready"
                                                                    : "bluetooth unavailable: " + now.message);
    }
  }
  return now;
}

std::vector<ServiceEvent> Service::stream_snapshot() const {
  std::lock_guard lock(bluetooth_mutex_);
  if (bluetooth_.state == ble::Availability::State::Ready) return {};
  return {bluetooth_event(bluetooth_)};
}

Status Service::start_scan() {
  // The scan start says it in its own words (reply and log), as it always has.
  if (ble::Availability a = check_bluetooth(/*log_change=*/false); a.state != ble::Availability::State::Ready) {
    hub_.publish_log("scan blocked: " + a.message);
    return fail(a.message);
  }
  // A connection still in its handshake would compete with the scan for the radio.
  link_->drop_handshake();
  scanner_->begin();
  // Said as it is, also beside a connected chair: clients drive their scan indicator from
  // this record. A later change says the whole state again.
  hub_.publish_status("scanning");
  hub_.publish_log("scan started");
  paired_->refresh();
  auto started = scanner_->start();
  if (!started) {
    publish_status();
    hub_.publish_log("scan error: " + started.error());
  }
  return started;
}

void Service::stop_scan() {
  scanner_->stop();
  publish_status();
  hub_.publish_log("scan stopped");
}

bool Service::connect(const std::string& address) {
  autoconnect_->resume();
  scanner_->stop();
  auto answered = std::make_shared<std::promise<ble::ConnectOutcome>>();
  auto outcome = answered->get_future();
  link_->connect_async(address, ble::ConnectOrigin::User,
                       [answered](ble::ConnectOutcome o) { answered->set_value(o); });
  switch (outcome.get()) {
    case ble::ConnectOutcome::Opened: break;
    case ble::ConnectOutcome::Failed: return false;
    case ble::ConnectOutcome::Superseded:
      // The stream must explain this request's "connect failed": a newer one took its turn.
      hub_.publish_log("connect " + address + " superseded by a newer request");
      return false;
  }
  // A shutdown that came while the device was being opened is the newer word: the link it
  // could not quiet yet is closed, and no link is what the caller gets.
  return !autoconnect_->close_if_held(address);
}

bool Service::disconnect() {
  if (link_->view().phase == ble::LinkPhase::Closed) return false;
  link_->teardown();
  // "idle", or "scanning" when a scan runs on.
  publish_status();
  hub_.publish_log("disconnected");
  return true;
}

Status Service::shutdown() {
  // Held first: no attempt may start between the quieting and the status.
  autoconnect_->hold();
  scanner_->stop();
  const ble::QuietReport quieted = link_->quiet();
  publish_status();
  if (!quieted.ok()) return fail(quieted.failure);
  return {};
}

// ---- what the components report --------------------------------------------------------

void Service::on_link_log(std::string text) { hub_.publish_log(std::move(text)); }

void Service::on_link_status(ble::LinkStatus status, const std::string& name) {
  switch (status) {
    case ble::LinkStatus::Connecting: hub_.publish_status("connecting"); return;
    case ble::LinkStatus::Connected: hub_.publish(ConnectedEvent{name}); return;
    case ble::LinkStatus::Idle:
      // Said from the state as it is now: a scan may be running, or another link may
      // still be up.
      publish_status();
      return;
  }
}

void Service::on_chair_status(ble::ChairStatus status) {
  history_.add(status, unix_now_ms());
  hub_.publish(ChairEvent{std::move(status)});
}

std::string Service::remembered_name(const std::string& address) {
  const std::string wanted = compact_address(address);
  const bind::BindConfig binding = store_->snapshot();
  if (compact_address(binding.boundAddress) == wanted && !is_blank(binding.boundName)) return binding.boundName;
  if (std::string scanned = scanner_->recorded_name(address); !is_blank(scanned)) return scanned;
  if (std::string paired = paired_->lookup(address); !is_blank(paired)) return paired;
  return {};
}

ble::InitConfig Service::initial_settings() { return store_->snapshot().init; }

void Service::on_device(ble::DeviceRecord record) { hub_.publish(DeviceEvent{std::move(record)}); }

void Service::on_autoconnect(const std::string& phase, const bind::BindConfig& binding) {
  hub_.publish(AutoConnectEvent{phase, binding});
}

void Service::on_autoconnect_log(std::string text) { hub_.publish_log(std::move(text)); }

void Service::on_link_dropped() { publish_status(); }

void Service::on_timer_expired() {
  hub_.publish(TimerEvent{0});
  hub_.publish_log("session timer ended: turning the chair off");
  // A chair that did not take the silent frames has been said so on the stream already.
  (void)shutdown();
}

// ---- the process -------------------------------------------------------------------------

int run_service(const std::vector<std::string>& args, ble::PlatformPtr platform) {
  const uint16_t requested = find_port_option(args);
  auto service = std::make_shared<Service>(std::move(platform));

  http::Server server(service->router(), pre_route());
  auto bound = server.listen(requested);
  if (!bound) {
    std::fflush(stdout);
    std::fprintf(stderr, "监听失败: %s\n", bound.error().c_str());
    std::fflush(stderr);
    return 1;
  }
  const unsigned port = *bound;
  sys::watch_parent([service] { quiet_and_exit(service); });
  sys::watch_termination([service] { quiet_and_exit(service); });
  std::printf("[*] 服务监听: http://127.0.0.1:%u\nLISTEN_URL=http://127.0.0.1:%u\n[*] 后端就绪，UI 由主程序接管\n",
              port, port);
  std::fflush(stdout);
  // The address went out as soon as the port was ours: the UI waits on that line alone.
  // Nothing is served before the binding is loaded: connections wait in the listener's queue
  // until the listing, the binding and the supervisor have started, in their usual order.
  service->start();
  server.run();
  return 0;
}

}  // namespace chair
