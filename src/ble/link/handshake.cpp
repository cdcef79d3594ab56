// The setup handshake: discover, choose, subscribe, ask for the first report, mark the link
// connected, apply the initial settings, start the poll. Every failure ends the link with a
// message that ends in "reconnecting": retrying is the auto-connect supervisor's business.
#include "ble/link/handshake.h"

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ble/link/poll.h"
#include "ble/protocol/commands.h"
#include "ble/protocol/settings.h"

namespace chair::ble {

namespace {

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

void walk_services(LinkEvents& events, Connection& connection, const std::vector<GattService>& services,
                   const Uuid& data_uuid, Candidates& found) {
  for (const auto& service : services) {
    if (service.uuid) events.on_link_log("  Service " + service.uuid->to_string());

    auto listing = connection.characteristics(service);
    if (!listing) {
      events.on_link_log("    discover characteristics failed: " + listing.error());
      continue;
    }

    std::optional<GattCharacteristic> first_notify, first_write;
    bool has_target = false;
    for (const auto& c : *listing) {
      const uint32_t props = c.properties;
      if (c.uuid) events.on_link_log("    Char " + c.uuid->to_string() + " props=[" + props_text(props) + "]");

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

// The characteristics to use, first match wins: the data characteristic, others of its own
// service, any of the chair's. A notifier that can write takes the frames before any other
// writer. Logs the choice; the error is the link-loss message.
Result<ChosenCharacteristics> choose(LinkEvents& events, const Candidates& found) {
  const std::optional<GattCharacteristic> notify = found.target_notify    ? found.target_notify
                                                   : found.service_notify ? found.service_notify
                                                                          : found.any_notify;
  if (!notify) return fail("BCA4 notify characteristic not found; reconnecting");
  const std::optional<GattCharacteristic> write = found.target_write              ? found.target_write
                                                  : found.service_write           ? found.service_write
                                                  : can_write(notify->properties) ? notify
                                                                                  : found.any_write;
  if (!write) return fail("BCA4 write characteristic not found; reconnecting");

  const bool shared = (write->uuid && notify->uuid) ? *write->uuid == *notify->uuid : (!write->uuid && !notify->uuid);
  if (shared) {
    events.on_link_log("write/notify share one characteristic");
  } else {
    events.on_link_log("write characteristic = " + (write->uuid ? write->uuid->to_string() : std::string()));
  }
  const bool without_response = (write->properties & kPropWriteWithoutResponse) != 0;
  events.on_link_log(std::string("write mode = ") + (without_response ? "WriteWithoutResponse" : "WriteWithResponse"));
  return ChosenCharacteristics{*notify, *write, without_response};
}

// One handshake, step by step. Every step returns false when the handshake is over: the link
// was lost (and said so), or it is no longer current (and ends without a word).
class Handshake {
 public:
  Handshake(std::shared_ptr<LinkState> state, uint64_t generation, std::string address, std::string name)
      : state_(std::move(state)),
        s_(*state_),
        generation_(generation),
        address_(std::move(address)),
        name_(std::move(name)),
        connection_(s_.connection_of(generation_)) {}

  void run() {
    if (!connection_) return;
    std::vector<GattService> services;
    if (!discover(services)) return;
    auto chosen = choose_characteristics(services);
    if (!chosen || !subscribe(*chosen) || !first_report() || !mark_connected() || !apply_initial_settings()) return;
    start_poll();
  }

 private:
  // Services: a chair that has just connected may not list them yet.
  bool discover(std::vector<GattService>& services) {
    const LinkTimings& t = s_.timings();
    for (int attempt = 1;; ++attempt) {
      if (!s_.current(generation_)) return false;
      auto listed = connection_->services();
      if (listed && !listed->empty()) {
        services = std::move(*listed);
        break;
      }
      if (attempt >= t.discovery_attempts) return lose("discover services failed; reconnecting");
      if (!s_.pause(generation_, t.discovery_retry)) return false;
    }
    s_.events().on_link_log("found " + std::to_string(services.size()) + " services");
    return true;
  }

  std::optional<ChosenCharacteristics> choose_characteristics(const std::vector<GattService>& services) {
    Candidates found;
    walk_services(s_.events(), *connection_, services, *Uuid::parse(kDataCharacteristicUuid), found);
    auto chosen = choose(s_.events(), found);
    if (!chosen) {
      lose(chosen.error());
      return std::nullopt;
    }
    return *chosen;
  }

  bool subscribe(const ChosenCharacteristics& chosen) {
    // Notify wins when the characteristic offers both.
    const uint32_t props = chosen.notify.properties;
    if (!(props & (kPropNotify | kPropIndicate))) return lose("BCA4 characteristic cannot notify; reconnecting");
    const Subscription kind = (props & kPropNotify) ? Subscription::Notify : Subscription::Indicate;
    const std::string kind_word = kind == Subscription::Notify ? "notifications" : "indications";

    // The callback must not keep the link alive through the connection it hangs on.
    std::weak_ptr<LinkState> weak = state_;
    auto subscribed = connection_->subscribe(chosen.notify, kind, [weak](std::span<const uint8_t> value) {
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
      return lose("subscribe " + kind_word + " failed: " + error + "; reconnecting");
    }
    s_.events().on_link_log(kind_word + " subscribed");
    return s_.ready(generation_, chosen);
  }

  // Queries until the chair answers, kInitialQueries times at most.
  bool first_report() {
    if (!s_.pause(generation_, s_.timings().after_subscribe)) return false;
    s_.events().on_link_log("querying initial status...");
    const Bytes query = query_frame();
    for (int attempt = 1; attempt <= kInitialQueries; ++attempt) {
      const uint64_t before = s_.status_count();
      if (auto written = s_.write_frame(query, WriteTicket::link(generation_)); !written) {
        return lose("initial query failed: " + written.error() + "; reconnecting");
      }
      if (s_.wait_for_status(generation_, before)) return true;
      if (!s_.current(generation_)) return false;
      s_.events().on_link_log("initial status timeout (" + std::to_string(attempt) + "/" +
                              std::to_string(kInitialQueries) + ")");
    }
    return lose("initial status not received; reconnecting");
  }

  bool mark_connected() {
    if (!s_.connected(generation_, name_)) return false;
    s_.events().on_link_status(LinkStatus::Connected, name_);
    s_.events().on_link_log("connected " + name_ + " (" + address_ + ")");
    return true;
  }

  // Settings of a link that has meanwhile been closed or replaced must not reach the chair of
  // a newer link.
  bool apply_initial_settings() {
    const LinkTimings& t = s_.timings();
    if (!s_.pause(generation_, t.before_init)) return false;
    const InitPlan plan = init_settings_plan(s_.directory().initial_settings());
    s_.events().on_link_log("applying init config...");
    if (!s_.initial_thermal(generation_, plan)) return false;
    for (const auto& step : plan.frames) {
      if (!s_.pause(generation_, t.init_step * step.pause_ms / kInitPauseMs)) return false;
      (void)s_.write_frame(step.frame, WriteTicket::link(generation_, step.setting));
    }
    return true;
  }

  void start_poll() {
    const uint64_t generation = generation_;
    if (!s_.spawn([state = state_, generation] { run_status_poll(state, generation); })) {
      s_.lost(generation_, "start status poll failed; reconnecting");
    }
  }

  bool lose(const std::string& message) {
    s_.lost(generation_, message);
    return false;
  }

  std::shared_ptr<LinkState> state_;
  LinkState& s_;
  const uint64_t generation_;
  const std::string address_, name_;
  const ConnectionPtr connection_;
};

}  // namespace

void run_handshake(const std::shared_ptr<LinkState>& state, uint64_t generation, const std::string& address,
                   const std::string& name) {
  Handshake(state, generation, address, name).run();
}

}  // namespace chair::ble
