// The setup handshake: discover, choose, subscribe, ask for the first report, mark the link
// connected, apply the initial settings, start the poll. Every failure ends the link with a
// message that ends in "reconnecting": retrying is the auto-connect supervisor's business.
#include "ble/link/handshake.h"

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "ble/link/poll.h"
#include "ble/protocol/commands.h"
#include "ble/protocol/settings.h"
#include "sys/thread.h"

namespace chair::ble {

namespace {

// The pause the protocol attaches to an initial-settings frame is counted in steps of this
// length; the handshake takes each step from the timings so tests can shrink it.
constexpr unsigned kInitStepMs = 150;
constexpr int kInitialQueries = 3;

bool can_write(uint32_t props) { return (props & (kPropWriteWithoutResponse | kPropWrite)) != 0; }
bool can_notify(uint32_t props) { return (props & (kPropNotify | kPropIndicate)) != 0; }

std::string props_text(uint32_t props) {
  static const std::pair<uint32_t, const char*> names[] = {
      {kPropRead, "Read"},         {kPropWriteWithoutResponse, "WriteNoResp"},
      {kPropWrite, "Write"},       {kPropNotify, "Notify"},
      {kPropIndicate, "Indicate"},
  };
  std::string out;
  for (const auto& [bit, name] : names) {
    if (!(props & bit)) continue;
    if (!out.empty()) out += ',';
    out += name;
  }
  return out;
}

// The characteristics found while walking the services, and the choice made from them.
struct Candidates {
  std::optional<GattCharacteristic> target_notify, target_write;
  std::optional<GattCharacteristic> service_notify, service_write;
  std::optional<GattCharacteristic> any_notify, any_write;
};

void walk_services(LinkState& s, Connection& connection, const std::vector<GattService>& services,
                   const Uuid& data_uuid, Candidates& found) {
  for (const auto& service : services) {
    if (service.uuid) s.events.on_link_log("  Service " + service.uuid->to_string());

    auto listing = connection.characteristics(service);
    if (!listing) {
      s.events.on_link_log("    discover characteristics failed: " + listing.error());
      continue;
    }

    std::optional<GattCharacteristic> first_notify, first_write;
    bool has_target = false;
    for (const auto& c : *listing) {
      const uint32_t props = c.properties;
      if (c.uuid) s.events.on_link_log("    Char " + c.uuid->to_string() + " props=[" + props_text(props) + "]");

      if (c.uuid && *c.uuid == data_uuid) {
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

}  // namespace

void run_handshake(const std::shared_ptr<LinkState>& state, uint64_t generation, const std::string& address,
                   const std::string& name) {
  LinkState& s = *state;
  const LinkTimings& t = s.timings;

  ConnectionPtr connection;
  {
    std::lock_guard lock(s.mutex);
    if (!s.current_locked(generation)) return;
    connection = s.connection;
  }

  // Services: a chair that has just connected may not list them yet.
  std::vector<GattService> services;
  for (int attempt = 1;; ++attempt) {
    if (!s.current(generation)) return;
    auto listed = connection->services();
    if (listed && !listed->empty()) {
      services = std::move(*listed);
      break;
    }
    if (attempt >= t.discovery_attempts) {
      s.link_lost(generation, "discover services failed; reconnecting");
      return;
    }
    if (!s.pause(generation, t.discovery_retry)) return;
  }
  s.events.on_link_log("found " + std::to_string(services.size()) + " services");

  const Uuid data_uuid = *Uuid::parse(kDataCharacteristicUuid);
  Candidates found;
  walk_services(s, *connection, services, data_uuid, found);

  const std::optional<GattCharacteristic> notify_char = found.target_notify    ? found.target_notify
                                                        : found.service_notify ? found.service_notify
                                                                               : found.any_notify;
  if (!notify_char) {
    s.link_lost(generation, "BCA4 notify characteristic not found; reconnecting");
    return;
  }
  const std::optional<GattCharacteristic> write_char = found.target_write                   ? found.target_write
                                                       : found.service_write                ? found.service_write
                                                       : can_write(notify_char->properties) ? notify_char
                                                                                            : found.any_write;
  if (!write_char) {
    s.link_lost(generation, "BCA4 write characteristic not found; reconnecting");
    return;
  }

  const bool shared = (write_char->uuid && notify_char->uuid) ? *write_char->uuid == *notify_char->uuid
                                                              : (!write_char->uuid && !notify_char->uuid);
  if (shared) {
    s.events.on_link_log("write/notify share one characteristic");
  } else {
    s.events.on_link_log("write characteristic = " +
                         (write_char->uuid ? write_char->uuid->to_string() : std::string()));
  }

  const bool without_response = (write_char->properties & kPropWriteWithoutResponse) != 0;
  s.events.on_link_log(std::string("write mode = ") +
                       (without_response ? "WriteWithoutResponse" : "WriteWithResponse"));

  // Notify wins when the characteristic offers both.
  Subscription kind;
  std::string kind_word;
  if (notify_char->properties & kPropNotify) {
    kind = Subscription::Notify;
    kind_word = "notifications";
  } else if (notify_char->properties & kPropIndicate) {
    kind = Subscription::Indicate;
    kind_word = "indications";
  } else {
    s.link_lost(generation, "BCA4 characteristic cannot notify; reconnecting");
    return;
  }

  // The callback must not keep the link alive through the connection it hangs on.
  std::weak_ptr<LinkState> weak = state;
  auto subscribed = connection->subscribe(*notify_char, kind, [weak](std::span<const uint8_t> value) {
    auto s = weak.lock();
    if (!s || !s->enter()) return;
    try {
      s->on_notification(value);
    } catch (...) {
      // A platform thread must never see an exception from us.
    }
    s->leave();
  });
  if (!subscribed || *subscribed != GattStatus::Success) {
    const std::string error = subscribed ? gatt_status_text(*subscribed) : subscribed.error();
    s.link_lost(generation, "subscribe " + kind_word + " failed: " + error + "; reconnecting");
    return;
  }
  s.events.on_link_log(kind_word + " subscribed");

  {
    std::lock_guard lock(s.mutex);
    // A link replaced meanwhile has released its connection, and the subscription with it.
    if (!s.current_locked(generation)) return;
    s.notify_char = notify_char;
    s.write_char = write_char;
    s.prefer_without_response = without_response;
    s.phase = LinkPhase::Ready;
  }
  s.changed.notify_all();

  if (!s.pause(generation, t.after_subscribe)) return;
  s.events.on_link_log("querying initial status...");

  const Bytes query = query_frame();
  bool answered = false;
  for (int attempt = 1; attempt <= kInitialQueries; ++attempt) {
    const uint64_t before = s.status_count_now();
    if (auto written = s.write_frame(query, WriteTicket::link(generation)); !written) {
      s.link_lost(generation, "initial query failed: " + written.error() + "; reconnecting");
      return;
    }
    if (s.wait_for_status(generation, before)) {
      answered = true;
      break;
    }
    if (!s.current(generation)) return;
    s.events.on_link_log("initial status timeout (" + std::to_string(attempt) + "/3)");
  }
  if (!answered) {
    s.link_lost(generation, "initial status not received; reconnecting");
    return;
  }

  {
    std::lock_guard lock(s.mutex);
    if (!s.current_locked(generation)) return;
    s.phase = LinkPhase::Connected;
    s.name = name;
  }
  s.changed.notify_all();
  s.events.on_link_status(LinkStatus::Connected, name);
  s.events.on_link_log("connected " + name + " (" + address + ")");

  // Settings of a link that has meanwhile been closed or replaced must not reach the chair
  // of a newer link, nor revive the thermal memory that closing it cleared.
  if (!s.pause(generation, t.before_init)) return;
  const InitPlan plan = init_settings_plan(s.directory.initial_settings());
  s.events.on_link_log("applying init config...");
  {
    std::lock_guard lock(s.mutex);
    if (!s.current_locked(generation)) return;
    // Cooling or heating the user has set since the link came up is theirs to keep.
    if (!(s.user_settings & kSettingWater)) {
      s.thermal.set_thermal(plan.thermal_active, plan.thermal_mode, plan.thermal_level);
    }
  }
  for (const auto& step : plan.frames) {
    if (!s.pause(generation, t.init_step * step.pause_ms / kInitStepMs)) return;
    (void)s.write_frame(step.frame, WriteTicket::link(generation, step.setting));
  }

  if (!s.enter()) return;
  const bool started = sys::spawn_detached([state, generation] {
    try {
      run_status_poll(state, generation);
    } catch (...) {
    }
    state->leave();
  });
  if (!started) {
    state->leave();
    s.link_lost(generation, "start status poll failed; reconnecting");
  }
}

}  // namespace chair::ble
