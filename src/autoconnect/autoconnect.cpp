#include "bind/autoconnect.h"

#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

#include "bind/binding_store.h"
#include "ble/link.h"
#include "ble/scanner.h"
#include "common/text.h"
#include "main/events/event.h"
#include "main/service_state.h"
#include "sys/thread.h"

namespace chair::bind {

namespace {

using Clock = std::chrono::steady_clock;

// What one supervisor pass decides from: the link's flags and age, read in one short lock.
struct LinkView {
  bool open = false;
  bool connected = false;
  uint64_t generation = 0;
  std::chrono::seconds age{0};  // whole seconds since the link was opened
};

LinkView read_link(ServiceState& state) {
  std::lock_guard lock(state.link.mutex);
  return LinkView{
      state.link.open, state.link.connected, state.link.generation,
      std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - state.link.openedAt)};
}

bool scan_running(ServiceState& state) {
  if (state.scanActive.load()) return true;
  std::lock_guard lock(state.devices.mutex);
  return state.devices.scanning;
}

void publish_phase(ServiceState& state, const char* phase, BindConfig binding) {
  state.events.publish(make_autoconnect_event(phase, std::move(binding)));
}

// Drops the link the supervisor looked at, and only that one: by the time the decision is
// taken somebody may have disconnected and opened a new link, which must not be closed.
void drop_link(ServiceState& state, uint64_t generation, const char* message) {
  if (!ble::is_current(state, generation)) return;
  ble::teardown(state);
  state.events.publish_status("idle");
  state.events.publish_log(message);
}

enum class Health { Healthy, Lost, Replaced };

// The platform may keep a link "connected" on our side after the chair has gone; its own
// connection status is the second opinion. A few Disconnected readings in a row are needed
// because the status flickers while the radio re-establishes the connection.
Health check_health(ServiceState& state, uint64_t generation) {
  ble::DevicePtr device;
  {
    std::lock_guard lock(state.link.mutex);
    if (!state.link.open || state.link.generation != generation) return Health::Replaced;
    device = state.link.device;
  }
  if (!device) return Health::Lost;
  constexpr int kReadings = 3;
  for (int reading = 0; reading < kReadings; ++reading) {
    auto status = device->connection_status();
    if (!status) return Health::Lost;
    if (*status == ble::ConnectionStatus::Connected) return Health::Healthy;
    if (!ble::is_current(state, generation)) return Health::Replaced;
    std::this_thread::sleep_for(state.timings.health_pause);
  }
  return Health::Lost;
}

void supervisor_pass(const std::shared_ptr<ServiceState>& state) {
  const LinkView link = read_link(*state);
  if (!link.open) {
    autoconnect_attempt(state);
    return;
  }
  if (!link.connected) {
    if (link.age >= state->timings.handshake_limit)
      drop_link(*state, link.generation, "connect handshake timed out; retrying");
    return;
  }
  if (link.age < state->timings.health_grace) return;
  if (check_health(*state, link.generation) == Health::Lost)
    drop_link(*state, link.generation, "座椅连接已断开，将自动重连");
}

// Nothing may escape a thread body; a worker that cannot be created is reported, not fatal.
bool start_worker(const std::shared_ptr<ServiceState>& state, std::function<void()> body,
                  const char* what) {
  bool started = sys::spawn_detached([body = std::move(body)] {
    try {
      body();
    } catch (...) {
    }
  });
  if (!started) state->events.publish_log(std::string("could not start ") + what);
  return started;
}

}  // namespace

void autoconnect_attempt(const std::shared_ptr<ServiceState>& state) {
  const BindConfig binding = binding_snapshot(*state);
  if (!binding.autoConnect || binding.boundAddress.empty()) return;
  {
    std::lock_guard lock(state->link.mutex);
    if (state->link.open) return;  // a link exists or is being made
  }
  if (scan_running(*state)) return;  // the user is looking for chairs; the radio is busy

  const std::string address = to_upper_ascii(binding.boundAddress);
  publish_phase(*state, "connecting", binding);
  state->events.publish_log("auto connecting " + address + " ...");
  state->platform->init_thread();
  if (!ble::connect_chair(state, address))
    publish_phase(*state, "waiting", binding_snapshot(*state));
}

void bind_then_connect(std::shared_ptr<ServiceState> state, std::string address) {
  state->platform->init_thread();
  ble::stop_scanning(*state);
  publish_phase(*state, "connecting", binding_snapshot(*state));
  state->events.publish_log("绑定后立即连接 " + address + " ...");
  if (!ble::connect_chair(state, address))
    publish_phase(*state, "waiting", binding_snapshot(*state));
}

void autoconnect_supervisor(std::shared_ptr<ServiceState> state) {
  state->platform->init_thread();
  std::this_thread::sleep_for(state->timings.supervisor_first);
  for (;;) {
    try {
      supervisor_pass(state);
    } catch (...) {
      // A pass that failed half-way is simply repeated on the next beat.
    }
    std::this_thread::sleep_for(state->timings.supervisor_pause);
  }
}

bool start_autoconnect_supervisor(const std::shared_ptr<ServiceState>& state) {
  return start_worker(
      state, [state] { autoconnect_supervisor(state); }, "the auto-connect supervisor");
}

bool start_autoconnect_once(const std::shared_ptr<ServiceState>& state) {
  return start_worker(
      state,
      [state] {
        state->platform->init_thread();
        autoconnect_attempt(state);
      },
      "an auto-connect attempt");
}

bool start_bind_then_connect(const std::shared_ptr<ServiceState>& state,
                             const std::string& address) {
  return start_worker(
      state, [state, address] { bind_then_connect(state, address); },
      "the connection to the bound chair");
}

}  // namespace chair::bind
