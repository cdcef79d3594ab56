// The auto-connect supervisor and the attempts the binding routes ask for.
//
// Threads: the supervisor (one, for the life of the object). Every attempt, the supervisor's
// and the requested ones, is served by the link's one connect thread; its answer comes back
// on that thread (or on the caller's, when a newer request superseded it), so a flood of
// requests costs no thread of ours.
#include "autoconnect/autoconnect.h"

#include <condition_variable>
#include <mutex>
#include <thread>

#include "common/address.h"
#include "common/text.h"

namespace chair::autoconnect {

namespace {

using Clock = std::chrono::steady_clock;

// Whether the link has answered one attempt; guarded by the state's mutex.
struct Answer {
  bool done = false;
};

}  // namespace

struct AutoConnect::State : std::enable_shared_from_this<AutoConnect::State> {
  State(ble::ChairLink& link, bind::BindingStore& store, AutoConnectEvents& events, std::function<bool()> scanning,
        std::function<void()> stop_scan, Timings timings, std::function<bool()> usable)
      : link(link),
        store(store),
        events(events),
        scanning(std::move(scanning)),
        stop_scan(std::move(stop_scan)),
        usable(std::move(usable)),
        timings(timings) {}

  ble::ChairLink& link;
  bind::BindingStore& store;
  AutoConnectEvents& events;
  const std::function<bool()> scanning;
  const std::function<void()> stop_scan;
  const std::function<bool()> usable;
  const Timings timings;

  mutable std::mutex mutex;  // guards the fields below
  std::condition_variable changed;
  bool stopping = false;
  bool held = false;  // a shutdown asked for the chair to stay off
  int attempts = 0;   // attempts handed to the link and not answered yet
  int reporting = 0;  // answers being reported; the destructor waits for them
  std::thread supervisor;

  std::shared_ptr<Answer> attempt(ble::ConnectOrigin origin);
  std::shared_ptr<Answer> hand_to_link(const std::string& address, ble::ConnectOrigin origin);
  void answered(const std::string& address, ble::ConnectOutcome outcome, Answer& answer);
  bool close_if_held(const std::string& address);
  void pass();
  void drop(uint64_t generation, const char* message);
  void run_supervisor();
};

// Announces nothing and returns null when no attempt is due.
std::shared_ptr<Answer> AutoConnect::State::attempt(ble::ConnectOrigin origin) {
  const bind::BindConfig binding = store.snapshot();
  if (!binding.autoConnect || binding.boundAddress.empty()) return nullptr;
  {
    std::lock_guard lock(mutex);
    // One attempt of ours at a time: the link would otherwise open the chair twice in a row.
    if (stopping || held || attempts > 0) return nullptr;
  }
  if (link.view().phase != ble::LinkPhase::Closed) return nullptr;  // a link exists or is being made
  if (scanning && scanning()) return nullptr;                       // the user is looking for chairs; the radio is busy
  if (usable && !usable()) return nullptr;                          // no adapter, or its radio is off

  const std::string address = to_upper_ascii(binding.boundAddress);
  events.on_autoconnect("connecting", binding);
  events.on_autoconnect_log("auto connecting " + address + " ...");
  return hand_to_link(address, origin);
}

std::shared_ptr<Answer> AutoConnect::State::hand_to_link(const std::string& address, ble::ConnectOrigin origin) {
  auto answer = std::make_shared<Answer>();
  {
    std::lock_guard lock(mutex);
    ++attempts;
  }
  // The answer holds the state, so it can come after the AutoConnect object has gone; it
  // then reports nothing.
  link.connect_async(address, origin, [self = shared_from_this(), address, answer](ble::ConnectOutcome outcome) {
    self->answered(address, outcome, *answer);
  });
  return answer;
}

// On the link's connect thread: must not wait for the link.
void AutoConnect::State::answered(const std::string& address, ble::ConnectOutcome outcome, Answer& answer) {
  bool report = false;
  {
    std::lock_guard lock(mutex);
    --attempts;
    answer.done = true;
    report = !stopping;
    if (report) ++reporting;
  }
  changed.notify_all();
  if (!report) return;
  try {
    if (outcome != ble::ConnectOutcome::Opened) {
      events.on_autoconnect("waiting", store.snapshot());
    } else {
      (void)close_if_held(address);
    }
  } catch (...) {
    // The link's connect thread must go on serving requests.
  }
  {
    std::lock_guard lock(mutex);
    --reporting;
  }
  changed.notify_all();
}

// A connection that was under way when the shutdown came has just opened its link: it is
// closed before its handshake can reach the initial settings. Called by whoever waited for the
// opening, before anything else is asked of the link, so the link found here is the one just
// opened unless somebody closed it meanwhile.
bool AutoConnect::State::close_if_held(const std::string& address) {
  {
    std::lock_guard lock(mutex);
    if (!held) return false;
  }
  const ble::LinkView view = link.view();
  if (view.phase == ble::LinkPhase::Closed || compact_address(view.address) != compact_address(address)) return false;
  if (!link.drop(view.generation)) return false;
  events.on_autoconnect_log("shut down meanwhile; the link opened for " + address + " is closed again");
  events.on_link_dropped();
  return true;
}

// Drops the link the pass looked at, and only that one: by the time the decision is taken
// somebody may have disconnected and opened a new link, which must not be closed.
void AutoConnect::State::drop(uint64_t generation, const char* message) {
  if (!link.drop(generation)) return;
  events.on_link_dropped();
  events.on_autoconnect_log(message);
}

void AutoConnect::State::pass() {
  const ble::LinkView view = link.view();
  if (view.phase == ble::LinkPhase::Closed) {
    // The pass waits for its attempt's answer: a failed attempt is tried again a pause
    // after it failed, not while it is still under way.
    auto answer = attempt(ble::ConnectOrigin::Automatic);
    if (!answer) return;
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return answer->done || stopping; });
    return;
  }
  const auto age = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - view.opened_at);
  if (view.phase != ble::LinkPhase::Connected) {
    if (age >= ble::handshake_limit(link.timings())) drop(view.generation, "connect handshake timed out; retrying");
    return;
  }
  if (age < timings.health_grace) return;
  // The platform may keep a link "connected" on our side after the chair has gone; its own
  // connection state is the second opinion. Three readings, because the state flickers
  // while the radio re-establishes the connection.
  constexpr int kReadings = 3;
  if (link.check_health(view.generation, kReadings, timings.health_pause) == ble::ChairLink::Health::Lost)
    drop(view.generation, "座椅连接已断开，将自动重连");
}

void AutoConnect::State::run_supervisor() {
  std::unique_lock lock(mutex);
  if (changed.wait_for(lock, timings.first_pass, [this] { return stopping; })) return;
  for (;;) {
    lock.unlock();
    try {
      pass();
    } catch (...) {
      // A pass that failed half-way is simply repeated on the next beat.
    }
    lock.lock();
    if (changed.wait_for(lock, timings.pause, [this] { return stopping; })) return;
  }
}

AutoConnect::AutoConnect(ble::ChairLink& link, bind::BindingStore& store, AutoConnectEvents& events,
                         std::function<bool()> scanning, std::function<void()> stop_scan, Timings timings,
                         std::function<bool()> usable)
    : state_(std::make_shared<State>(link, store, events, std::move(scanning), std::move(stop_scan), timings,
                                     std::move(usable))) {}

AutoConnect::~AutoConnect() {
  std::thread supervisor;
  {
    std::unique_lock lock(state_->mutex);
    state_->stopping = true;
    state_->changed.notify_all();
    // Answers still to come report nothing; one being reported now may be using the link,
    // the store or the events, which go with this object's owner.
    state_->changed.wait(lock, [this] { return state_->reporting == 0; });
    supervisor = std::move(state_->supervisor);
  }
  if (supervisor.joinable()) supervisor.join();
}

void AutoConnect::start() {
  std::lock_guard lock(state_->mutex);
  if (state_->stopping || state_->supervisor.joinable()) return;
  try {
    state_->supervisor = std::thread([state = state_.get()] { state->run_supervisor(); });
  } catch (...) {
    // Without the supervisor the service still serves requests; the bound chair is then
    // connected only when the UI asks.
  }
}

void AutoConnect::attempt_soon() {
  if (state_->store.snapshot().autoConnect) resume();
  (void)state_->attempt(ble::ConnectOrigin::User);
}

void AutoConnect::connect_bound_soon(const std::string& address) {
  {
    std::lock_guard lock(state_->mutex);
    if (state_->stopping) return;
    state_->held = false;
  }
  if (state_->stop_scan) state_->stop_scan();
  state_->events.on_autoconnect("connecting", state_->store.snapshot());
  state_->events.on_autoconnect_log("绑定后立即连接 " + address + " ...");
  (void)state_->hand_to_link(address, ble::ConnectOrigin::User);
}

void AutoConnect::hold() {
  std::lock_guard lock(state_->mutex);
  state_->held = true;
}

void AutoConnect::resume() {
  std::lock_guard lock(state_->mutex);
  state_->held = false;
}

bool AutoConnect::held() const {
  std::lock_guard lock(state_->mutex);
  return state_->held;
}

bool AutoConnect::close_if_held(const std::string& address) { return state_->close_if_held(address); }

void AutoConnect::pass() { state_->pass(); }

}  // namespace chair::autoconnect
