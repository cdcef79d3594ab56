// The link record's operations: opening and closing, the write path, the wait for a fresh
// status report, the notification callback, the user's commands and the silent shutdown.
#include "ble/link/chair_link.h"

#include <functional>
#include <future>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ble/link/handshake.h"
#include "ble/link/link_state.h"
#include "ble/protocol/frame.h"
#include "ble/protocol/settings.h"
#include "ble/protocol/switch_bits.h"
#include "common/address.h"
#include "common/text.h"
#include "sys/thread.h"

namespace chair::ble {

namespace {

uint8_t setting_of(uint8_t command) {
  switch (command) {
    case kCold:
    case kHot: return kSettingWater;
    case kLumbar: return kSettingLumbar;
    case kVibrate: return kSettingVibrate;
    case kVolume: return kSettingVolume;
    default: return 0;
  }
}

// The user changed a setting on a ready link: initial settings still to come leave it alone.
// Called with the record locked.
void note_user_setting(LinkState& s, uint8_t setting) {
  if (s.phase == LinkPhase::Ready || s.phase == LinkPhase::Connected) s.user_settings |= setting;
}

// Runs `body` on a detached thread that counts as one of the link's workers.
bool spawn_worker(const std::shared_ptr<LinkState>& state, std::function<void()> body) {
  if (!state->enter()) return false;
  const bool started = sys::spawn_detached([state, body = std::move(body)] {
    try {
      body();
    } catch (...) {
      // Nothing may leave a thread; the link's own checks end a worker that lost its way.
    }
    state->leave();
  });
  if (!started) state->leave();
  return started;
}

}  // namespace

// ---- LinkState ----------------------------------------------------------------------------

bool LinkState::enter() {
  std::lock_guard lock(mutex);
  if (stopping) return false;
  ++workers;
  return true;
}

void LinkState::leave() {
  {
    std::lock_guard lock(mutex);
    --workers;
  }
  changed.notify_all();
}

bool LinkState::pause(uint64_t gen, std::chrono::milliseconds d) {
  std::unique_lock lock(mutex);
  if (d.count() > 0) {
    changed.wait_for(lock, d, [&] { return stopping || !current_locked(gen); });
  }
  return !stopping && current_locked(gen);
}

Status LinkState::write_frame(std::span<const uint8_t> bytes, WriteTicket ticket) {
  ConnectionPtr target_connection;
  GattCharacteristic target;
  bool prefer_without_response = false;
  {
    std::unique_lock lock(mutex);
    // One frame at a time: a frame that has its turn is checked against the link as it is
    // now, so nothing decided before a newer step of the link can reach the chair after it.
    changed.wait(lock, [&] { return !writing || stopping; });
    if (stopping) return fail(kNotReady);
    const bool ready = phase == LinkPhase::Ready || phase == LinkPhase::Connected;
    if (!ready) return fail(kNotReady);
    // Once a shutdown has begun, the chair hears nothing but its silent frames.
    if (quieting != (ticket.kind == WriteTicket::Kind::Quiet)) return fail(kNotReady);
    if (ticket.kind == WriteTicket::Kind::Link && ticket.generation != generation) return fail(kNotReady);
    if (ticket.unless_user_set & user_settings) return fail("set by the user meanwhile");
    // A chair without a write characteristic takes its frames on the notifying one.
    if (write_char) {
      target = *write_char;
    } else if (notify_char) {
      target = *notify_char;
    } else {
      return fail(kNotReady);
    }
    target_connection = connection;
    prefer_without_response = this->prefer_without_response;
    writing = true;
  }
  struct TurnEnd {
    LinkState& s;
    ~TurnEnd() {
      {
        std::lock_guard lock(s.mutex);
        s.writing = false;
      }
      s.changed.notify_all();
    }
  } turn_end{*this};

  events.on_link_log("TX: " + hex_dump(bytes));
  if (!target_connection) return fail(kNotReady);

  const WriteOption order[2] = {
      prefer_without_response ? WriteOption::WithoutResponse : WriteOption::WithResponse,
      prefer_without_response ? WriteOption::WithResponse : WriteOption::WithoutResponse,
  };
  std::string pending_error;
  for (WriteOption option : order) {
    auto result = target_connection->write(target, bytes, option);
    if (!result) {
      // Bytes the platform could not even put into a buffer fail alike with either option.
      if (result.failure().before_sending) return fail(result.error());
      pending_error = result.error();
      continue;
    }
    if (*result == GattStatus::Success) return {};
    pending_error = "status " + gatt_status_text(*result);
  }
  return fail(pending_error);
}

bool LinkState::wait_for_status(uint64_t gen, uint64_t before) {
  std::unique_lock lock(mutex);
  changed.wait_for(lock, timings.status_wait,
                   [&] { return stopping || !current_locked(gen) || status_count != before; });
  return !stopping && current_locked(gen) && status_count != before;
}

ConnectionPtr LinkState::clear_locked() {
  ConnectionPtr taken = std::move(connection);
  connection.reset();
  notify_char.reset();
  write_char.reset();
  phase = LinkPhase::Closed;
  generation = 0;
  address.clear();
  name.clear();
  prefer_without_response = false;
  last_switch = 0;
  quieting = false;
  user_settings = 0;
  // Nothing left to re-assert once the chair is gone.
  thermal.set_thermal(false, 0, 0);
  return taken;
}

bool LinkState::close_link(std::optional<uint64_t> gen) {
  ConnectionPtr taken;
  bool was_open = false;
  {
    std::lock_guard lock(mutex);
    if (gen && !current_locked(*gen)) return false;
    was_open = open_locked();
    // A teardown always leaves the record closed and cleared, also when nothing was open.
    taken = clear_locked();
  }
  changed.notify_all();
  // Every platform failure here is ignored. The subscription ends first, then the session
  // and the device, so no notification arrives on a half-closed link.
  if (taken) taken->close();
  taken.reset();
  rx.reset();
  return was_open;
}

void LinkState::link_lost(uint64_t gen, const std::string& message) {
  // A late failure of an old link must never close a newer one.
  if (!current(gen)) return;
  events.on_link_log(message);
  if (!close_link(gen)) return;
  events.on_link_status(LinkStatus::Idle, "");
}

void LinkState::on_notification(std::span<const uint8_t> value) {
  uint8_t carried_switch = 0;
  {
    std::lock_guard lock(mutex);
    // Generations are not compared: closing a link ends its subscription, and anything that
    // still slips through after that finds the link closed here.
    if (!open_locked()) return;
    carried_switch = last_switch;
  }

  RxResult result = on_chair_bytes(rx, value, carried_switch);

  if (result.update) {
    std::lock_guard lock(mutex);
    last_switch = result.update->switchByte;
  }
  for (auto& line : result.logs) events.on_link_log(std::move(line));
  if (!result.update) return;
  events.on_chair_status(std::move(*result.update));
  // Counted only once the report is out: a handshake or poll woken by the count publishes
  // what follows from it ("connected") after the report itself, never before it.
  {
    std::lock_guard lock(mutex);
    // Once per notification, however many reports it carried.
    ++status_count;
  }
  changed.notify_all();
}

// ---- ChairLink ----------------------------------------------------------------------------

ChairLink::ChairLink(PlatformPtr platform, LinkEvents& events, LinkDirectory& directory, LinkTimings timings)
    : state_(std::make_shared<LinkState>(std::move(platform), events, directory, timings)) {}

ChairLink::~ChairLink() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
  }
  state_->changed.notify_all();
  state_->close_link(std::nullopt);
  // Workers report through `events`, which may go with the owner of this object.
  std::unique_lock lock(state_->mutex);
  state_->changed.wait(lock, [&] { return state_->workers == 0; });
}

bool LinkState::open_link(const std::string& address) {
  LinkState& s = *this;
  // A handshake still under way is abandoned; a connected link is simply replaced below.
  {
    std::unique_lock lock(mutex);
    if (phase == LinkPhase::Opening || phase == LinkPhase::Ready) {
      const uint64_t gen = generation;
      lock.unlock();
      close_link(gen);
    }
  }

  const auto mac = address_from_hex_digits(address);
  if (!mac) {
    s.events.on_link_log("MAC parse failed");
    return false;
  }

  s.events.on_link_status(LinkStatus::Connecting, "");
  s.events.on_link_log("connecting " + address + " ...");

  auto opened = s.platform->open(*mac);
  if (!opened) {
    // A link that is still up is what the clients should see again, not "idle".
    LinkStatus status = LinkStatus::Idle;
    std::string shown;
    {
      std::lock_guard lock(s.mutex);
      if (s.phase == LinkPhase::Connected) {
        status = LinkStatus::Connected;
        shown = s.name;
      }
    }
    s.events.on_link_status(status, shown);
    s.events.on_link_log("connect failed: " + opened.error());
    return false;
  }
  ConnectionPtr connection = std::move(*opened);

  uint64_t generation = 0;
  ConnectionPtr replaced;
  {
    std::lock_guard lock(s.mutex);
    generation = s.next_generation++;
    // The previous link's connection is released, not closed: releasing it is what ends it,
    // and it may be the same chair, which must not be disconnected under the new link.
    replaced = std::exchange(s.connection, connection);
    s.notify_char.reset();
    s.write_char.reset();
    s.phase = LinkPhase::Opening;
    s.generation = generation;
    s.prefer_without_response = false;
    s.user_settings = 0;
    s.address = address;
    s.name.clear();
    s.opened_at = std::chrono::steady_clock::now();
  }
  s.changed.notify_all();
  replaced.reset();

  std::string name = s.directory.remembered_name(address);
  if (is_blank(name)) name = address;
  // What the chair calls itself wins over every remembered name.
  if (auto own = connection->name(); own && !is_blank(*own)) name = std::move(*own);
  s.events.on_link_log("link opened " + name + " (" + address + ")");

  auto state = shared_from_this();
  if (!spawn_worker(state, [state, generation, address, name] { run_handshake(state, generation, address, name); })) {
    s.link_lost(generation, "start gatt setup failed; reconnecting");
    return false;
  }
  return true;
}

void LinkState::serve_connect_requests() {
  for (;;) {
    std::optional<ConnectRequest> request;
    bool stop_now = false;
    {
      std::lock_guard lock(mutex);
      request = std::exchange(pending, std::nullopt);
      stop_now = stopping;
      if (!request) {
        connecting = false;
        return;
      }
    }
    // Requests still waiting when the link object goes are answered without a link.
    const bool opened = !stop_now && open_link(request->address);
    if (request->done) request->done(opened);
  }
}

void ChairLink::connect_async(const std::string& address, std::function<void(bool)> done) {
  std::optional<ConnectRequest> superseded;
  bool start = false;
  {
    std::lock_guard lock(state_->mutex);
    if (state_->stopping) {
      superseded = ConnectRequest{address, std::move(done)};
    } else {
      superseded = std::exchange(state_->pending, ConnectRequest{address, std::move(done)});
      start = !state_->connecting;
      state_->connecting = true;
    }
  }
  // One thread serves every request in turn, so a flood of requests costs one thread; a
  // request that never got its turn is simply answered.
  if (superseded && superseded->done) superseded->done(false);
  if (!start) return;
  auto state = state_;
  if (!spawn_worker(state, [state] { state->serve_connect_requests(); })) {
    std::optional<ConnectRequest> orphan;
    {
      std::lock_guard lock(state->mutex);
      state->connecting = false;
      orphan = std::exchange(state->pending, std::nullopt);
    }
    if (orphan && orphan->done) orphan->done(false);
  }
}

bool ChairLink::connect(const std::string& address) {
  auto outcome = std::make_shared<std::promise<bool>>();
  auto result = outcome->get_future();
  connect_async(address, [outcome](bool opened) { outcome->set_value(opened); });
  return result.get();
}

LinkView ChairLink::view() const {
  std::lock_guard lock(state_->mutex);
  return LinkView{state_->phase, state_->generation, state_->address, state_->name, state_->opened_at};
}

bool ChairLink::is_current(uint64_t generation) const { return state_->current(generation); }

void ChairLink::teardown() { state_->close_link(std::nullopt); }

bool ChairLink::drop(uint64_t generation) { return state_->close_link(generation); }

bool ChairLink::drop_handshake() {
  uint64_t generation = 0;
  {
    std::lock_guard lock(state_->mutex);
    if (state_->phase != LinkPhase::Opening && state_->phase != LinkPhase::Ready) return false;
    generation = state_->generation;
  }
  return state_->close_link(generation);
}

Status ChairLink::send_level(uint8_t command, int64_t level) {
  auto frame = level_frame(command, level);
  if (!frame) return frame.take_error();
  {
    std::lock_guard lock(state_->mutex);
    note_user_setting(*state_, setting_of(command));
    if (command == kCold || command == kHot) {
      // Remembered before the write, and kept even if the write fails: the poll re-asserts
      // it once a chair is there.
      state_->thermal.set_thermal(true, command == kHot ? kModeHeating : kModeCooling, static_cast<uint8_t>(level));
    }
  }
  return state_->write_frame(*frame, WriteTicket::user());
}

Status ChairLink::send_switch(uint8_t bits) {
  {
    std::lock_guard lock(state_->mutex);
    auto& thermal = state_->thermal;
    if (bits == kSwitchWaterOff) {
      thermal.set_thermal(false, 0, 0);
      note_user_setting(*state_, kSettingWater);
    } else if (bits == kSwitchWaterOn) {
      const auto t = thermal.thermal_snapshot();
      thermal.set_thermal(true, t.mode, t.level);
      note_user_setting(*state_, kSettingWater);
    }
  }
  return state_->write_frame(switch_frame(bits), WriteTicket::user());
}

Status ChairLink::send_query() { return state_->write_frame(query_frame(), WriteTicket::user()); }

Status ChairLink::send_raw(std::span<const uint8_t> bytes) { return state_->write_frame(bytes, WriteTicket::user()); }

void ChairLink::quiet() {
  LinkState& s = *state_;
  bool ready = false;
  {
    std::unique_lock lock(s.mutex);
    // A second shutdown waits for the first; the link is closed by then.
    s.changed.wait(lock, [&] { return !s.quieting || s.stopping; });
    ready = s.phase == LinkPhase::Ready || s.phase == LinkPhase::Connected;
    if (ready) {
      // From here on the handshake, the initial settings, the poll and the user's commands
      // find their turn refused: the chair hears the silent frames and nothing after them.
      s.quieting = true;
      // Otherwise the status poll would switch cooling or heating back on at its next beat.
      s.thermal.set_thermal(false, 0, 0);
    }
  }
  s.changed.notify_all();
  if (ready) {
    s.events.on_link_log("silent shutdown: turning off all chair functions...");
    // Every frame is tried even when one fails: a chair that hears only some of them is
    // still quieter than one that hears none.
    const auto frames = silent_frames();
    for (size_t i = 0; i < frames.size(); ++i) {
      (void)s.write_frame(frames[i], WriteTicket::quiet());
      std::this_thread::sleep_for(s.timings.silent_step);
    }
    s.events.on_link_log("chair entered silent state");
  }
  s.close_link(std::nullopt);
}

ChairLink::Health ChairLink::check_health(uint64_t generation, int readings, std::chrono::milliseconds pause) {
  ConnectionPtr connection;
  {
    std::lock_guard lock(state_->mutex);
    if (!state_->current_locked(generation)) return Health::Replaced;
    connection = state_->connection;
  }
  if (!connection) return Health::Lost;
  for (int reading = 0; reading < readings; ++reading) {
    auto connected = connection->connected();
    if (!connected) return Health::Lost;
    if (*connected) return Health::Healthy;
    if (!state_->current(generation)) return Health::Replaced;
    std::this_thread::sleep_for(pause);
  }
  return Health::Lost;
}

ThermalSnapshot ChairLink::thermal() const {
  std::lock_guard lock(state_->mutex);
  return state_->thermal.thermal_snapshot();
}

}  // namespace chair::ble
