// The link record's transitions, its waits, the write check and the notification callback.
#include "ble/link/link_state.h"

#include <utility>

#include "sys/thread.h"

namespace chair::ble {

LinkState::LinkState(PlatformPtr platform, LinkEvents& events, LinkDirectory& directory, LinkTimings timings)
    : platform_(std::move(platform)),
      events_(events),
      directory_(directory),
      timings_(timings),
      writes_(events),
      requests_([this](const ConnectRequest& request,
                       const std::atomic<bool>& abandoned) { return open_link(*this, request, abandoned); },
                [this](std::function<void()> body) { return spawn(std::move(body)); }) {}

// ---- transitions ---------------------------------------------------------------------------

uint64_t LinkState::open(const std::string& address, ConnectionPtr connection, const std::atomic<bool>& abandoned) {
  uint64_t gen = 0;
  ConnectionPtr replaced;
  {
    std::lock_guard lock(mutex_);
    if (abandoned.load() || stopping_) return 0;
    gen = next_generation_++;
    // The previous link's connection is released, not closed: releasing it is what ends it,
    // and it may be the same chair, which must not be disconnected under the new link.
    replaced = std::exchange(connection_, std::move(connection));
    chosen_.reset();
    phase_ = LinkPhase::Opening;
    generation_ = gen;
    user_settings_ = 0;
    address_ = address;
    name_.clear();
    opened_at_ = std::chrono::steady_clock::now();
  }
  changed_.notify_all();
  return gen;
}

bool LinkState::ready(uint64_t gen, const ChosenCharacteristics& chosen) {
  {
    std::lock_guard lock(mutex_);
    // A link replaced meanwhile has released its connection, and the subscription with it.
    if (!current_locked(gen)) return false;
    chosen_ = chosen;
    phase_ = LinkPhase::Ready;
  }
  changed_.notify_all();
  return true;
}

bool LinkState::connected(uint64_t gen, const std::string& name) {
  {
    std::lock_guard lock(mutex_);
    if (!current_locked(gen)) return false;
    phase_ = LinkPhase::Connected;
    name_ = name;
  }
  changed_.notify_all();
  return true;
}

bool LinkState::close_if(const std::function<bool()>& closes) {
  ConnectionPtr taken;
  bool was_open = false;
  {
    std::lock_guard lock(mutex_);
    if (!closes()) return false;
    was_open = open_locked();
    taken = std::move(connection_);
    connection_.reset();
    chosen_.reset();
    phase_ = LinkPhase::Closed;
    generation_ = 0;
    address_.clear();
    name_.clear();
    last_switch_ = 0;
    quieting_ = false;
    user_settings_ = 0;
    // Nothing left to re-assert once the chair is gone.
    thermal_.set_thermal(false, 0, 0);
  }
  changed_.notify_all();
  // Every platform failure here is ignored. The subscription ends first, then the session
  // and the device, so no notification arrives on a half-closed link.
  if (taken) taken->close();
  taken.reset();
  rx_.reset();
  return was_open;
}

// A close always leaves the record closed and cleared, also when nothing was open.
bool LinkState::close() {
  return close_if([] { return true; });
}

bool LinkState::close(uint64_t gen) {
  return close_if([&] { return current_locked(gen); });
}

bool LinkState::close_handshake() {
  return close_if([&] { return phase_ == LinkPhase::Opening || phase_ == LinkPhase::Ready; });
}

void LinkState::lost(uint64_t gen, const std::string& message) {
  // A late failure of an old link must never close a newer one.
  if (!current(gen)) return;
  events_.on_link_log(message);
  if (!close(gen)) return;
  events_.on_link_status(LinkStatus::Idle, "");
}

// ---- the thermal memory and the user's settings --------------------------------------------

void LinkState::user_set(uint8_t setting) {
  std::lock_guard lock(mutex_);
  if (ready_locked()) user_settings_ |= setting;
}

void LinkState::user_thermal_level(uint8_t mode, uint8_t level) {
  std::lock_guard lock(mutex_);
  if (ready_locked()) user_settings_ |= kSettingWater;
  // Remembered before the write, and kept even if the write fails: the poll re-asserts it
  // once a chair is there.
  thermal_.set_thermal(true, mode, level);
}

void LinkState::user_thermal_switch(bool on) {
  std::lock_guard lock(mutex_);
  if (ready_locked()) user_settings_ |= kSettingWater;
  const ThermalSnapshot t = thermal_.thermal_snapshot();
  if (on) {
    thermal_.set_thermal(true, t.mode, t.level);
  } else {
    thermal_.set_thermal(false, 0, 0);
  }
}

bool LinkState::initial_thermal(uint64_t gen, const InitPlan& plan) {
  std::lock_guard lock(mutex_);
  // Settings of a link that has meanwhile been closed or replaced must not revive the thermal
  // memory that closing it cleared.
  if (!current_locked(gen)) return false;
  // Cooling or heating the user has set since the link came up is theirs to keep.
  if (!(user_settings_ & kSettingWater))
    thermal_.set_thermal(plan.thermal_active, plan.thermal_mode, plan.thermal_level);
  return true;
}

ThermalSnapshot LinkState::thermal() const {
  std::lock_guard lock(mutex_);
  return thermal_.thermal_snapshot();
}

std::optional<ThermalSnapshot> LinkState::poll_beat(uint64_t gen) const {
  std::lock_guard lock(mutex_);
  if (!current_locked(gen) || !ready_locked()) return std::nullopt;
  return thermal_.thermal_snapshot();
}

bool LinkState::begin_quiet() {
  bool ready = false;
  {
    std::unique_lock lock(mutex_);
    // A second shutdown waits for the first; the link is closed by then.
    changed_.wait(lock, [&] { return !quieting_ || stopping_; });
    ready = ready_locked();
    if (ready) {
      // From here on the handshake, the initial settings, the poll and the user's commands
      // find their turn refused: the chair hears the silent frames and nothing after them.
      quieting_ = true;
      // Otherwise the status poll would switch cooling or heating back on at its next beat.
      thermal_.set_thermal(false, 0, 0);
    }
  }
  changed_.notify_all();
  return ready;
}

// ---- reading -------------------------------------------------------------------------------

LinkView LinkState::view() const {
  std::lock_guard lock(mutex_);
  return LinkView{phase_, generation_, address_, name_, opened_at_};
}

bool LinkState::current(uint64_t gen) const {
  std::lock_guard lock(mutex_);
  return current_locked(gen);
}

ConnectionPtr LinkState::connection_of(uint64_t gen) const {
  std::lock_guard lock(mutex_);
  return current_locked(gen) ? connection_ : nullptr;
}

uint64_t LinkState::status_count() const {
  std::lock_guard lock(mutex_);
  return status_count_;
}

bool LinkState::pause(uint64_t gen, std::chrono::milliseconds d) {
  std::unique_lock lock(mutex_);
  if (d.count() > 0) {
    changed_.wait_for(lock, d, [&] { return stopping_ || !current_locked(gen); });
  }
  return !stopping_ && current_locked(gen);
}

bool LinkState::wait_for_status(uint64_t gen, uint64_t before) {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, timings_.status_wait,
                    [&] { return stopping_ || !current_locked(gen) || status_count_ != before; });
  return !stopping_ && current_locked(gen) && status_count_ != before;
}

// ---- writing and hearing -------------------------------------------------------------------

Status LinkState::write_frame(std::span<const uint8_t> bytes, WriteTicket ticket) {
  return writes_.write(bytes, [&] { return target_for(ticket); });
}

Result<WriteTarget> LinkState::target_for(const WriteTicket& ticket) {
  std::lock_guard lock(mutex_);
  if (stopping_ || !ready_locked() || !chosen_) return fail(kNotReady);
  // Once a shutdown has begun, the chair hears nothing but its silent frames.
  if (quieting_ != (ticket.kind == WriteTicket::Kind::Quiet)) return fail(kNotReady);
  if (ticket.kind == WriteTicket::Kind::Link && ticket.generation != generation_) return fail(kNotReady);
  if (ticket.unless_user_set & user_settings_) return fail("set by the user meanwhile");
  return WriteTarget{connection_, chosen_->write, chosen_->prefer_without_response};
}

void LinkState::on_notification(std::span<const uint8_t> value) {
  uint8_t carried_switch = 0;
  {
    std::lock_guard lock(mutex_);
    // Generations are not compared: closing a link ends its subscription, and anything that
    // still slips through after that finds the link closed here.
    if (!open_locked()) return;
    carried_switch = last_switch_;
  }

  RxResult result = on_chair_bytes(rx_, value, carried_switch);

  if (result.update) {
    std::lock_guard lock(mutex_);
    last_switch_ = result.update->switchByte;
  }
  for (auto& line : result.logs) events_.on_link_log(std::move(line));
  if (!result.update) return;
  events_.on_chair_status(std::move(*result.update));
  // Counted only once the report is out: a handshake or poll woken by the count publishes
  // what follows from it ("connected") after the report itself, never before it.
  {
    std::lock_guard lock(mutex_);
    // Once per notification, however many reports it carried.
    ++status_count_;
  }
  changed_.notify_all();
}

// ---- workers -------------------------------------------------------------------------------

bool LinkState::spawn(std::function<void()> body) {
  if (!enter()) return false;
  const bool started = sys::spawn_detached([self = shared_from_this(), body = std::move(body)] {
    try {
      body();
    } catch (...) {
      // Nothing may leave a thread; the link's own checks end a worker that lost its way.
    }
    self->leave();
  });
  if (!started) leave();
  return started;
}

bool LinkState::enter() {
  std::lock_guard lock(mutex_);
  if (stopping_) return false;
  ++workers_;
  return true;
}

void LinkState::leave() {
  {
    std::lock_guard lock(mutex_);
    --workers_;
  }
  changed_.notify_all();
}

void LinkState::stop_and_wait() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  writes_.stop();
  requests_.stop();
  close();
  // Workers report through the events, which may go with the owner of the link.
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return workers_ == 0; });
}

}  // namespace chair::ble
