// Scan routes: start and stop the advertisement scan, list what it found.
#include <optional>
#include <string>
#include <vector>

#include "ble/link.h"
#include "ble/platform/wait_async.h"
#include "ble/scanner.h"
#include "main/http.h"
#include "main/routes.h"
#include "main/service_state.h"
#include "pnp/paired_names.h"

namespace chair {

namespace {

#ifdef _WIN32
constexpr const char* kRadioOffMessage =
    "Windows 蓝牙未开启，请在「设置 → 蓝牙和其他设备」中打开蓝牙";
#else
constexpr const char* kRadioOffMessage = "蓝牙未开启，请在系统设置中打开蓝牙，或运行 bluetoothctl power on";
#endif

// Whether Bluetooth can be used: an adapter, its radio, and the radio switched on.
// Returns the message for the user when it cannot.
std::optional<std::string> bluetooth_unavailable(ble::Platform& platform) {
  auto adapter = ble::wait_async(platform.get_default_adapter_async());
  if (!adapter) return "未检测到蓝牙适配器 (" + adapter.error() + ")";
  auto radio = ble::wait_async(adapter.value()->get_radio_async());
  if (!radio) return "无法获取蓝牙无线电状态 (" + radio.error() + ")";
  auto state = radio.value()->state();
  if (!state || *state != ble::RadioState::On) return std::string(kRadioOffMessage);
  return std::nullopt;
}

nlohmann::json device_json(const ble::DeviceRecord& r) {
  nlohmann::json j = {{"address", r.address}, {"name", r.name},         {"rssi", r.rssi},
                      {"hits", r.hits},       {"lastSeen", r.lastSeen}};
  if (!r.services.empty()) j["services"] = r.services;
  if (!r.vendors.empty()) j["vendors"] = r.vendors;
  return j;
}

}  // namespace

nlohmann::json route_scan_start(const std::shared_ptr<ServiceState>& state, const HttpRequest&) {
  state->platform->init_thread();
  if (auto message = bluetooth_unavailable(*state->platform)) {
    state->events.publish_log("scan blocked: " + *message);
    return error_reply(*message);
  }

  // A connection still in its handshake would compete with the scan for the radio.
  bool handshaking;
  {
    std::lock_guard lock(state->link.mutex);
    handshaking = state->link.open && !state->link.connected;
  }
  if (handshaking) ble::teardown(*state);

  state->scanActive.exchange(true);
  std::shared_ptr<ble::Watcher> previous;
  {
    std::lock_guard lock(state->devices.mutex);
    previous = std::move(state->devices.watcher);
    state->devices.watcher = nullptr;
    state->devices.scanning = true;
    state->devices.entries.clear();
  }
  if (previous) {
    (void)previous->stop();
    previous.reset();
  }

  state->events.publish_status("scanning");
  state->events.publish_log("scan started");
  pnp::start_paired_listing(state);

  auto started = ble::start_watcher(state);
  if (!started) {
    {
      std::lock_guard lock(state->devices.mutex);
      state->devices.scanning = false;
    }
    state->scanActive.exchange(false);
    state->events.publish_status(status_name(*state));
    state->events.publish_log("scan error: " + started.error());
    return error_reply(started.error());
  }

  // Whatever is in the table now belongs to a start that raced this one, or this start
  // was overtaken by a stop: either way a watcher that is not kept is stopped, since a
  // started watcher keeps delivering until it is stopped.
  std::shared_ptr<ble::Watcher> unused;
  {
    std::lock_guard lock(state->devices.mutex);
    if (state->devices.scanning) {
      unused = std::exchange(state->devices.watcher, std::move(started.value()));
    } else {
      unused = std::move(started.value());
    }
  }
  if (unused) (void)unused->stop();
  return ok_reply();
}

nlohmann::json route_scan_stop(const std::shared_ptr<ServiceState>& state, const HttpRequest&) {
  state->platform->init_thread();
  ble::stop_scanning(*state);
  state->events.publish_status(status_name(*state));
  state->events.publish_log("scan stopped");
  return ok_reply();
}

nlohmann::json route_devices(const std::shared_ptr<ServiceState>& state, const HttpRequest&) {
  std::vector<ble::DeviceRecord> records;
  try {
    {
      std::lock_guard lock(state->devices.mutex);
      records.reserve(state->devices.entries.size());
      for (auto& [address, record] : state->devices.entries) records.push_back(record);
    }
    auto list = nlohmann::json::array();
    for (auto& r : records) list.push_back(device_json(r));
    return list;
  } catch (const std::exception&) {
    return nlohmann::json::array();
  }
}

}  // namespace chair
