#include "ble/bluez/discovery.h"

#include <vector>

#include "ble/bluez/names.h"

namespace chair::ble::bluez {

Discovery::Discovery(BusConnection& bus, const std::atomic<uint64_t>& epoch) : bus_(bus), epoch_(epoch) {}

Discovery::~Discovery() { stop_worker(); }

Status Discovery::start_worker() {
  try {
    resume_worker_ = std::thread([this] { resume_loop(); });
    return {};
  } catch (const std::exception& e) {
    return fail(e.what());
  }
}

void Discovery::stop_worker() {
  {
    std::lock_guard lock(resume_mutex_);
    resume_stopping_ = true;
  }
  resume_wake_.notify_all();
  if (resume_worker_.joinable()) resume_worker_.join();
}

Status Discovery::send_start(const std::string& adapter) {
  // Without DuplicateData the daemon would report manufacturer data only once.
  auto filtered = bus_.call(adapter, kAdapterIface, kSetDiscoveryFilter, [](sdbus::MethodCall& msg) {
    Props filter{{kFilterTransport, sdbus::Variant(std::string(kTransportLe))},
                 {kFilterDuplicateData, sdbus::Variant(true)}};
    msg << filter;
  });
  if (!filtered) return filtered.take_error();
  auto started = bus_.call(adapter, kAdapterIface, kStartDiscovery);
  if (!started) return started.take_error();
  return {};
}

Status Discovery::acquire(const std::string& adapter) {
  std::lock_guard lock(count_mutex_);
  const uint64_t now = epoch_.load();
  if (count_ > 0 && count_epoch_ == now) {
    ++count_;
    return {};
  }
  if (auto started = send_start(adapter); !started) return started;
  ++count_;
  count_epoch_ = now;
  adapter_ = adapter;
  return {};
}

void Discovery::release() {
  std::lock_guard lock(count_mutex_);
  if (count_ == 0) return;
  if (--count_ > 0) return;
  // A restarted daemon knows nothing of our discovery.
  if (count_epoch_ != epoch_.load()) return;
  (void)bus_.call(adapter_, kAdapterIface, kStopDiscovery);
}

uint64_t Discovery::add_listener(AdvertisementHandler listener) {
  std::lock_guard lock(listeners_mutex_);
  const uint64_t id = next_listener_++;
  listeners_.emplace(id, std::move(listener));
  return id;
}

void Discovery::remove_listener(uint64_t id) {
  AdvertisementHandler dropped;
  {
    std::lock_guard lock(listeners_mutex_);
    auto it = listeners_.find(id);
    if (it == listeners_.end()) return;
    dropped = std::move(it->second);
    listeners_.erase(it);
  }
}

void Discovery::advertise(const std::string& path, const DeviceProps& device) {
  std::vector<AdvertisementHandler> listeners;
  {
    std::lock_guard lock(listeners_mutex_);
    for (const auto& [id, listener] : listeners_) listeners.push_back(listener);
  }
  if (listeners.empty()) return;
  const Advertisement advertisement = to_advertisement(path, device);
  for (const auto& listener : listeners) {
    try {
      listener(advertisement);
    } catch (...) {
    }
  }
}

// The daemon reports Powered only when it changes, so this is the adapter coming back on.
void Discovery::adapter_powered_on(const std::string& adapter) {
  {
    std::lock_guard lock(resume_mutex_);
    if (resume_stopping_) return;
    resume_adapters_.insert(adapter);
  }
  resume_wake_.notify_one();
}

void Discovery::resume_loop() {
  for (;;) {
    std::string adapter;
    {
      std::unique_lock lock(resume_mutex_);
      resume_wake_.wait(lock, [this] { return resume_stopping_ || !resume_adapters_.empty(); });
      if (resume_stopping_) return;
      adapter = *resume_adapters_.begin();
      resume_adapters_.erase(resume_adapters_.begin());
    }
    try {
      resume(adapter);
    } catch (...) {
      // Nothing may leave a thread; the next power-on tries again.
    }
  }
}

// The daemon forgot our discovery (and its filter) when the adapter went off; users of the
// count still expect devices, so it is started again as it was first started. A start
// already running answers InProgress, an adapter that went off again answers NotReady:
// either way there is nothing better to do than wait for the next change.
void Discovery::resume(const std::string& adapter) {
  std::lock_guard lock(count_mutex_);
  if (count_ == 0 || adapter_ != adapter || !bus_.alive()) return;
  if (send_start(adapter)) count_epoch_ = epoch_.load();
}

}  // namespace chair::ble::bluez
