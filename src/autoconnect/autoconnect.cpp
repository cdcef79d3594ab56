// The auto-connect supervisor and the attempts the binding routes ask for.
//
// Threads: the supervisor (one, for the life of the object) and at most one short-lived
// worker for the attempts that requests ask for. A request that arrives while another is
// still waiting for the worker replaces it: only the latest matters, and a flood of
// requests never costs more than that one thread.
#include "autoconnect/autoconnect.h"

#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "common/text.h"
#include "sys/thread.h"

namespace chair::autoconnect {

namespace {

using Clock = std::chrono::steady_clock;

// One request waiting for the worker.
struct Request {
  enum class Kind { Attempt, ConnectBound } kind = Kind::Attempt;
  std::string address;  // ConnectBound only
};

}  // namespace

struct AutoConnect::State : std::enable_shared_from_this<AutoConnect::State> {
  State(ble::ChairLink& link, bind::BindingStore& store, AutoConnectEvents& events, std::function<bool()> scanning,
        std::function<void()> stop_scan, Timings timings)
      : link(link),
        store(store),
        events(events),
        scanning(std::move(scanning)),
        stop_scan(std::move(stop_scan)),
        timings(timings) {}

  ble::ChairLink& link;
  bind::BindingStore& store;
  AutoConnectEvents& events;
  const std::function<bool()> scanning;
  const std::function<void()> stop_scan;
  const Timings timings;

  std::mutex mutex;  // guards the fields below
  std::condition_variable changed;
  bool stopping = false;
  bool worker_running = false;
  std::optional<Request> pending;
  std::thread supervisor;

  void attempt();
  void connect_bound(const std::string& address);
  void pass();
  void drop(uint64_t generation, const char* message);
  void run_supervisor();
  void run_worker();
  void post(Request request);
};

void AutoConnect::State::attempt() {
  const bind::BindConfig binding = store.snapshot();
  if (!binding.autoConnect || binding.boundAddress.empty()) return;
  if (link.view().phase != ble::LinkPhase::Closed) return;  // a link exists or is being made
  if (scanning && scanning()) return;                       // the user is looking for chairs; the radio is busy

  const std::string address = to_upper_ascii(binding.boundAddress);
  events.on_autoconnect("connecting", binding);
  events.on_autoconnect_log("auto connecting " + address + " ...");
  if (!link.connect(address)) events.on_autoconnect("waiting", store.snapshot());
}

void AutoConnect::State::connect_bound(const std::string& address) {
  if (stop_scan) stop_scan();
  events.on_autoconnect("connecting", store.snapshot());
  events.on_autoconnect_log("绑定后立即连接 " + address + " ...");
  if (!link.connect(address)) events.on_autoconnect("waiting", store.snapshot());
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
    attempt();
    return;
  }
  const auto age = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - view.opened_at);
  if (view.phase != ble::LinkPhase::Connected) {
    if (age >= timings.handshake_limit) drop(view.generation, "connect handshake timed out; retrying");
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

void AutoConnect::State::run_worker() {
  for (;;) {
    std::optional<Request> next;
    {
      std::lock_guard lock(mutex);
      if (stopping || !pending) {
        pending.reset();
        worker_running = false;
        changed.notify_all();
        return;
      }
      next = std::exchange(pending, std::nullopt);
    }
    try {
      if (next->kind == Request::Kind::Attempt)
        attempt();
      else
        connect_bound(next->address);
    } catch (...) {
      // The next request is served all the same.
    }
  }
}

void AutoConnect::State::post(Request request) {
  const bool bound = request.kind == Request::Kind::ConnectBound;
  {
    std::lock_guard lock(mutex);
    if (stopping) return;
    pending = std::move(request);
    if (worker_running) return;  // the running worker takes it next
    worker_running = true;
  }
  // The worker holds the state; the destructor waits for it before the link and the store
  // it uses go.
  if (sys::spawn_detached([self = shared_from_this()] { self->run_worker(); })) return;
  {
    std::lock_guard lock(mutex);
    pending.reset();
    worker_running = false;
    changed.notify_all();
  }
  events.on_autoconnect_log(bound ? "could not start the connection to the bound chair"
                                  : "could not start an auto-connect attempt");
}

AutoConnect::AutoConnect(ble::ChairLink& link, bind::BindingStore& store, AutoConnectEvents& events,
                         std::function<bool()> scanning, std::function<void()> stop_scan, Timings timings)
    : state_(std::make_shared<State>(link, store, events, std::move(scanning), std::move(stop_scan), timings)) {}

AutoConnect::~AutoConnect() {
  std::thread supervisor;
  {
    std::unique_lock lock(state_->mutex);
    state_->stopping = true;
    state_->pending.reset();
    state_->changed.notify_all();
    // An attempt under way ends within the platform's bound; nothing may use the link or
    // the store after this object is gone.
    state_->changed.wait(lock, [this] { return !state_->worker_running; });
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

void AutoConnect::attempt_soon() { state_->post(Request{Request::Kind::Attempt, {}}); }

void AutoConnect::connect_bound_soon(const std::string& address) {
  state_->post(Request{Request::Kind::ConnectBound, address});
}

void AutoConnect::pass() { state_->pass(); }

}  // namespace chair::autoconnect
