// Opening a chair link: the address, the device and its GATT session on the caller's thread,
// then the setup handshake on a thread of its own.
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ble/link.h"
#include "ble/platform/wait_async.h"
#include "ble/protocol/commands.h"
#include "ble/scanner.h"
#include "bind/binding_store.h"
#include "common/text.h"
#include "main/events/event.h"
#include "main/service_state.h"
#include "pnp/paired_names.h"
#include "sys/thread.h"

namespace chair::ble {

namespace {

// The pause the protocol layer attaches to an initial-settings frame is counted in steps of
// this length; the handshake takes each step from the timings so tests can shrink it.
constexpr unsigned kInitStepMs = 150;

bool can_write(uint32_t props) { return (props & (kPropWriteWithoutResponse | kPropWrite)) != 0; }
bool can_notify(uint32_t props) { return (props & (kPropNotify | kPropIndicate)) != 0; }

bool is_blank(const std::string& text) { return trim_unicode(text).empty(); }

std::optional<uint64_t> parse_mac(const std::string& text) {
  std::string digits;
  for (char c : text) {
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')) digits.push_back(c);
  }
  if (digits.size() != 12) return std::nullopt;
  return std::stoull(digits, nullptr, 16);
}

std::string props_text(uint32_t props) {
  static const std::pair<uint32_t, const char*> names[] = {
      {kPropRead, "Read"},   {kPropWriteWithoutResponse, "WriteNoResp"}, {kPropWrite, "Write"},
      {kPropNotify, "Notify"}, {kPropIndicate, "Indicate"},
  };
  std::string out;
  for (const auto& [bit, name] : names) {
    if (!(props & bit)) continue;
    if (!out.empty()) out += ',';
    out += name;
  }
  return out;
}

std::string display_name(ServiceState& state, const std::string& address, const DevicePtr& device) {
  const std::string wanted = pnp::normalize_address(address);
  std::string name;

  const auto binding = bind::binding_snapshot(state);
  if (pnp::normalize_address(binding.boundAddress) == wanted && !is_blank(binding.boundName)) {
    name = binding.boundName;
  }
  if (name.empty()) {
    std::lock_guard lock(state.devices.mutex);
    for (const auto& [key, record] : state.devices.entries) {
      if (pnp::normalize_address(record.address) == wanted && !is_blank(record.name)) {
        name = record.name;
        break;
      }
    }
  }
  if (name.empty()) {
    auto paired = pnp::lookup_paired_name(state, address);
    if (!is_blank(paired)) name = std::move(paired);
  }
  if (name.empty()) name = address;

  // What the chair calls itself wins over every remembered name.
  if (auto own = device->name(); own && !is_blank(*own)) name = std::move(*own);
  return name;
}

// The characteristics found while walking the services, and the choice made from them.
struct Candidates {
  CharacteristicPtr target_notify, target_write;
  CharacteristicPtr service_notify, service_write;
  CharacteristicPtr any_notify, any_write;
};

uint32_t props_of(const CharacteristicPtr& c) {
  auto props = c->properties();
  return props ? *props : 0;
}

void walk_services(ServiceState& state, const std::vector<ServicePtr>& services, const Uuid& data_uuid,
                   Candidates& found) {
  for (const auto& service : services) {
    if (!service) continue;
    if (auto uuid = service->uuid()) state.events.publish_log("  Service " + uuid->to_string());

    auto listing = wait_async(service->get_characteristics_async());
    if (!listing) {
      state.events.publish_log("    discover characteristics failed: " + listing.error());
      continue;
    }
    auto characteristics = (*listing)->characteristics();
    if (!characteristics) continue;

    CharacteristicPtr first_notify, first_write;
    bool has_target = false;
    for (const auto& c : *characteristics) {
      if (!c) continue;
      const uint32_t props = props_of(c);
      auto uuid = c->uuid();
      if (uuid) state.events.publish_log("    Char " + uuid->to_string() + " props=[" + props_text(props) + "]");

      if (uuid && *uuid == data_uuid) {
        has_target = true;
        if (can_notify(props)) found.target_notify = first_notify = found.any_notify = c;
        if (can_write(props)) found.target_write = first_write = found.any_write = c;
        continue;
      }
      if (can_notify(props)) {
        if (!first_notify) first_notify = c;
        if (!found.any_notify) found.any_notify = c;
      }
      if (can_write(props)) {
        if (!first_write) first_write = c;
        if (!found.any_write) found.any_write = c;
      }
    }
    // The data characteristic's own service is the next best place for what it lacks.
    if (has_target) {
      if (first_notify) found.service_notify = first_notify;
      if (first_write) found.service_write = first_write;
    }
  }
}

void sleep_for(std::chrono::milliseconds d) {
  if (d.count() > 0) std::this_thread::sleep_for(d);
}

}  // namespace

bool connect_chair(const std::shared_ptr<ServiceState>& state_ptr, const std::string& address) {
  ServiceState& state = *state_ptr;

  bool stale_handshake = false;
  {
    std::lock_guard lock(state.link.mutex);
    stale_handshake = state.link.open && !state.link.connected;
  }
  // A handshake still under way is abandoned; a connected link is simply replaced below.
  if (stale_handshake) teardown(state);

  stop_scanning(state);

  auto mac = parse_mac(address);
  if (!mac) {
    state.events.publish_log("MAC parse failed");
    return false;
  }

  state.events.publish_status("connecting");
  state.events.publish_log("connecting " + address + " ...");

  auto connect_failed = [&](const std::string& error) {
    state.events.publish_status("idle");
    state.events.publish_log("connect failed: " + error);
    return false;
  };

  auto device = wait_async(state.platform->device_from_address_async(*mac));
  if (!device) return connect_failed(device.error());
  auto device_id = (*device)->device_id();
  if (!device_id) return connect_failed(device_id.error());
  auto session = wait_async(state.platform->session_from_device_id_async(*device_id));
  if (!session) return connect_failed(session.error());
  if (auto kept = (*session)->set_maintain_connection(true); !kept) return connect_failed(kept.error());

  const uint64_t generation = state.generationCounter.fetch_add(1);
  DevicePtr old_device;
  SessionPtr old_session;
  CharacteristicPtr old_notify, old_write;
  int64_t old_token = 0;
  {
    std::lock_guard lock(state.link.mutex);
    auto& link = state.link;
    // The previous link's objects are released, not closed: releasing the last reference
    // is what ends them.
    old_device = std::exchange(link.device, *device);
    old_session = std::exchange(link.gattSession, *session);
    old_notify = std::exchange(link.notifyChar, nullptr);
    old_write = std::exchange(link.writeChar, nullptr);
    old_token = std::exchange(link.notifyToken, 0);
    link.open = true;
    link.connected = false;
    link.ready = false;
    link.generation = generation;
    link.preferWithoutResponse = false;
    link.address = address;
    link.openedAt = std::chrono::steady_clock::now();
  }
  // Its handler registration must go, though: while it lives, every notification of the old
  // characteristic (the same one when the same chair is connected again) is fed into the
  // receive buffer a second time, and a frame split over notifications is then garbled.
  if (old_notify && old_token != 0) (void)old_notify->remove_value_changed(old_token);
  old_notify.reset();
  old_write.reset();
  old_session.reset();
  old_device.reset();

  std::string name = display_name(state, address, *device);
  state.events.publish_log("link opened " + name + " (" + address + ")");

  const bool started = sys::spawn_detached(
      [state_ptr, address, name, device = *device, generation]() mutable {
        gatt_setup(std::move(state_ptr), std::move(address), std::move(name), std::move(device), generation);
      });
  if (!started) {
    link_lost(state, generation, "start gatt setup failed; reconnecting");
    return false;
  }
  return true;
}

void gatt_setup(std::shared_ptr<ServiceState> state_ptr, std::string address, std::string name,
                DevicePtr device, uint64_t generation) {
  ServiceState& state = *state_ptr;
  state.platform->init_thread();
  const Timings& t = state.timings;

  // Services: a chair that has just connected may not list them yet.
  std::vector<ServicePtr> services;
  for (int attempt = 1;; ++attempt) {
    if (!is_current(state, generation)) return;
    auto result = wait_async(device->get_gatt_services_async());
    if (result) {
      auto status = (*result)->status();
      auto list = (*result)->services();
      if (status && *status == GattStatus::Success && list && !list->empty()) {
        services = std::move(*list);
        break;
      }
    }
    if (attempt >= t.discovery_attempts) {
      link_lost(state, generation, "discover services failed; reconnecting");
      return;
    }
    sleep_for(t.discovery_retry);
  }
  state.events.publish_log("found " + std::to_string(services.size()) + " services");

  const Uuid data_uuid = *Uuid::parse(kDataCharacteristicUuid);
  Candidates found;
  walk_services(state, services, data_uuid, found);

  CharacteristicPtr notify_char = found.target_notify   ? found.target_notify
                                  : found.service_notify ? found.service_notify
                                                         : found.any_notify;
  if (!notify_char) {
    link_lost(state, generation, "BCA4 notify characteristic not found; reconnecting");
    return;
  }
  CharacteristicPtr write_char = found.target_write                  ? found.target_write
                                 : found.service_write                ? found.service_write
                                 : can_write(props_of(notify_char))   ? notify_char
                                                                      : found.any_write;
  if (!write_char) {
    link_lost(state, generation, "BCA4 write characteristic not found; reconnecting");
    return;
  }

  auto write_uuid = write_char->uuid();
  auto notify_uuid = notify_char->uuid();
  const bool shared = (write_uuid && notify_uuid) ? *write_uuid == *notify_uuid : (!write_uuid && !notify_uuid);
  if (shared) {
    state.events.publish_log("write/notify share one characteristic");
  } else {
    state.events.publish_log("write characteristic = " + (write_uuid ? write_uuid->to_string() : std::string()));
  }

  const bool without_response = (props_of(write_char) & kPropWriteWithoutResponse) != 0;
  state.events.publish_log(std::string("write mode = ") +
                           (without_response ? "WriteWithoutResponse" : "WriteWithResponse"));

  // Notify wins when the characteristic offers both.
  const auto notify_props = notify_char->properties();
  CccdValue cccd = CccdValue::None;
  std::string kind;
  if (notify_props && (*notify_props & kPropNotify)) {
    cccd = CccdValue::Notify;
    kind = "notifications";
  } else if (notify_props && (*notify_props & kPropIndicate)) {
    cccd = CccdValue::Indicate;
    kind = "indications";
  } else {
    link_lost(state, generation, "BCA4 characteristic cannot notify; reconnecting");
    return;
  }

  // The handler must not keep the state alive through the characteristic it hangs on.
  std::weak_ptr<ServiceState> weak = state_ptr;
  auto token = notify_char->add_value_changed([weak](const std::shared_ptr<ValueChangedArgs>& args) {
    try {
      if (auto s = weak.lock()) on_value_changed(*s, args);
    } catch (...) {
      // A platform thread must never see an exception from us.
    }
  });
  if (!token) {
    link_lost(state, generation, "subscribe " + kind + " failed: " + token.error() + "; reconnecting");
    return;
  }
  auto unregister = [&] { (void)notify_char->remove_value_changed(*token); };

  auto subscribed = wait_async(notify_char->write_cccd_async(cccd));
  if (!subscribed || *subscribed != GattStatus::Success) {
    const std::string error =
        subscribed ? "GattCommunicationStatus(" + std::to_string(static_cast<int>(*subscribed)) + ")"
                   : subscribed.error();
    unregister();
    link_lost(state, generation, "subscribe " + kind + " failed: " + error + "; reconnecting");
    return;
  }
  state.events.publish_log(kind + " subscribed");

  bool stored = false;
  {
    std::lock_guard lock(state.link.mutex);
    auto& link = state.link;
    if (link.open && link.generation == generation) {
      link.notifyChar = notify_char;
      link.writeChar = write_char;
      link.notifyToken = *token;
      link.preferWithoutResponse = without_response;
      link.connected = false;
      link.ready = true;
      stored = true;
    }
  }
  if (!stored) {
    unregister();
    return;
  }

  sleep_for(t.after_subscribe);
  state.events.publish_log("querying initial status...");

  const auto query = query_frame();
  bool answered = false;
  for (int attempt = 1; attempt <= 3; ++attempt) {
    const uint64_t before = state.statusCounter.load();
    if (auto written = write_frame(state, query); !written) {
      link_lost(state, generation, "initial query failed: " + written.error() + "; reconnecting");
      return;
    }
    if (wait_for_status(state, generation, before)) {
      answered = true;
      break;
    }
    state.events.publish_log("initial status timeout (" + std::to_string(attempt) + "/3)");
  }
  if (!answered) {
    link_lost(state, generation, "initial status not received; reconnecting");
    return;
  }

  {
    std::lock_guard lock(state.link.mutex);
    if (!state.link.open || state.link.generation != generation) return;
    state.link.connected = true;
  }
  state.events.publish(make_connected_event(name));
  state.events.publish_log("connected " + name + " (" + address + ")");

  sleep_for(t.before_init);
  // Settings of a link that has meanwhile been closed or replaced must not reach the chair
  // of a newer link, nor revive the thermal memory that teardown cleared.
  if (!is_current(state, generation)) return;
  const auto binding = bind::binding_snapshot(state);
  state.events.publish_log("applying init config...");
  for (const auto& step : init_config_frames(binding.init, state.thermal)) {
    sleep_for(t.init_step * step.pause_ms / kInitStepMs);
    (void)write_frame(state, step.frame);
  }

  if (!sys::spawn_detached([state_ptr, generation]() mutable { status_poll(std::move(state_ptr), generation); })) {
    link_lost(state, generation, "start status poll failed; reconnecting");
  }
}

}  // namespace chair::ble
