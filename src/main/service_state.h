// The one shared service state every worker and connection thread holds.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "ble/chair_link.h"
#include "ble/device_table.h"
#include "ble/platform/platform.h"
#include "ble/protocol/commands.h"
#include "ble/protocol/status.h"
#include "bind/bind_config.h"
#include "main/events/event_hub.h"
#include "pnp/paired_names.h"

namespace chair {

using namespace std::chrono_literals;

// Every pause and deadline of the link and the supervisor. Tests of the state
// machines shrink them; the service always runs with these values.
struct Timings {
  std::chrono::milliseconds discovery_retry = 500ms;
  int discovery_attempts = 12;
  std::chrono::milliseconds after_subscribe = 300ms;
  std::chrono::milliseconds status_wait = 1500ms;
  std::chrono::milliseconds status_check = 50ms;
  std::chrono::milliseconds before_init = 400ms;
  std::chrono::milliseconds init_step = 150ms;
  std::chrono::milliseconds poll_interval = 2000ms;
  std::chrono::milliseconds silent_step = 50ms;
  std::chrono::milliseconds supervisor_first = 700ms;
  std::chrono::milliseconds supervisor_pause = 3000ms;
  std::chrono::seconds handshake_limit = 15s;
  std::chrono::seconds health_grace = 8s;
  std::chrono::milliseconds health_pause = 1500ms;
};

struct BindingStore {
  std::mutex mutex;
  bind::BindConfig config;
};

struct ServiceState {
  explicit ServiceState(ble::PlatformPtr platform) : platform(std::move(platform)) {
    link.openedAt = createdAt;
  }

  const std::chrono::steady_clock::time_point createdAt = std::chrono::steady_clock::now();
  ble::PlatformPtr platform;
  Timings timings;

  EventHub events;
  ble::RxState rx;
  ble::ChairLink link;
  BindingStore binding;
  ble::DeviceTable devices;
  pnp::PairedNameCache paired;
  ble::ThermalMode thermal;

  std::atomic<uint64_t> generationCounter{1};
  std::atomic<uint64_t> statusCounter{1};
  std::atomic<bool> scanActive{false};
};

using StatePtr = std::shared_ptr<ServiceState>;

// "connected", "connecting", "scanning" or "idle"; takes the link lock, then the
// table lock, never both. Must not be called while holding either.
std::string status_name(ServiceState& state);

}  // namespace chair
