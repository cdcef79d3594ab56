#include "ble/bluez/bus.h"

#include <algorithm>

namespace chair::ble::bluez {

namespace {

constexpr const char* kRestartedText = "the Bluetooth service restarted; the link is lost";
constexpr const char* kConnectionLostText = "the D-Bus connection was lost";

std::string error_text(const std::exception& e) { return e.what(); }

// What a watcher's handler reads: the merged copy of the device's properties at the time
// the change arrived.
class Payload final : public AdvertisementPayload {
 public:
  explicit Payload(DeviceProps device) : device_(std::move(device)) {}

  Result<std::string> local_name() override {
    if (!device_.name || device_.name->empty()) return fail("no local name");
    return *device_.name;
  }
  Result<std::vector<Result<Uuid>>> service_uuids() override {
    std::vector<Result<Uuid>> list;
    for (const auto& text : device_.uuids.value_or(std::vector<std::string>{})) {
      if (auto uuid = Uuid::parse(text)) list.emplace_back(*uuid);
    }
    return list;
  }
  Result<std::vector<Result<uint16_t>>> company_ids() override {
    std::vector<Result<uint16_t>> list;
    for (uint16_t id : device_.company_ids.value_or(std::vector<uint16_t>{})) list.emplace_back(id);
    return list;
  }

 private:
  DeviceProps device_;
};

class Advertisement final : public AdvertisementArgs {
 public:
  Advertisement(std::string path, DeviceProps device)
      : path_(std::move(path)), rssi_(device.rssi), address_(device.address),
        payload_(std::make_shared<Payload>(std::move(device))) {}

  Result<uint64_t> bluetooth_address() override {
    std::optional<uint64_t> value = address_ ? parse_address(*address_) : std::nullopt;
    // A change seen before the device's full record still names the device in its path.
    if (!value) value = address_from_device_path(path_);
    if (!value) return fail("no device address");
    return *value;
  }
  // The daemon reports 0 when it has no reading; that is no reading here either.
  Result<int16_t> raw_signal_strength() override {
    if (!rssi_ || *rssi_ == 0) return fail("no signal strength");
    return *rssi_;
  }
  Result<std::shared_ptr<AdvertisementPayload>> advertisement() override {
    return std::shared_ptr<AdvertisementPayload>(payload_);
  }

 private:
  std::string path_;
  std::optional<int16_t> rssi_;
  std::optional<std::string> address_;
  std::shared_ptr<Payload> payload_;
};

class ValueArgs final : public ValueChangedArgs {
 public:
  explicit ValueArgs(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
  Result<BufferPtr> characteristic_value() override {
    return BufferPtr(std::make_shared<ByteBuffer>(bytes_));
  }

 private:
  std::vector<uint8_t> bytes_;
};

bool matches_address(const std::string& path, const DeviceProps& device, uint64_t address) {
  std::optional<uint64_t> value = device.address ? parse_address(*device.address) : std::nullopt;
  if (!value) value = address_from_device_path(path);
  return value && *value == address;
}

}  // namespace

// The last reference to a bus may be dropped by code running on its own loop thread (a
// handler releasing a handle); the loop cannot join itself, so that case ends elsewhere.
struct BusDeleter {
  void operator()(Bus* bus) const {
    if (bus->on_loop_thread()) {
      std::thread([bus] { delete bus; }).detach();
    } else {
      delete bus;
    }
  }
};

Bus::Bus(std::unique_ptr<sdbus::IConnection> connection) : connection_(std::move(connection)) {}

Bus::~Bus() {
  // The worker's calls need the loop for their replies: it ends first.
  stop_resume_worker();
  try {
    connection_->leaveEventLoop();
  } catch (...) {
  }
  if (loop_.joinable()) loop_.join();
  // Destroyed outside our lock: a proxy takes the library's own lock on its way out.
  std::map<std::string, std::unique_ptr<sdbus::IProxy>> proxies;
  {
    std::lock_guard lock(proxies_mutex_);
    proxies.swap(proxies_);
  }
  proxies.clear();
  slots_.clear();
}

Result<std::shared_ptr<Bus>> Bus::open() {
  std::unique_ptr<sdbus::IConnection> connection;
  try {
    connection = sdbus::createSystemBusConnection();
  } catch (const std::exception& e) {
    return fail(error_text(e));
  }
  std::shared_ptr<Bus> bus(new Bus(std::move(connection)), BusDeleter{});
  if (auto started = bus->start(); !started) return started.take_error();
  return bus;
}

Status Bus::start() {
  using Handler = void (Bus::*)(sdbus::Message&);
  auto subscribe = [this](const std::string& rule, Handler handler) {
    slots_.push_back(connection_->addMatch(rule, [this, handler](sdbus::Message& msg) {
      // The library does not guard these handlers: nothing may escape into the C loop.
      try {
        (this->*handler)(msg);
      } catch (...) {
      }
    }));
  };
  try {
    const std::string om = "type='signal',sender='org.bluez',path='/',interface='org.freedesktop.DBus.ObjectManager',";
    subscribe(om + "member='InterfacesAdded'", &Bus::on_interfaces_added);
    subscribe(om + "member='InterfacesRemoved'", &Bus::on_interfaces_removed);
    subscribe("type='signal',sender='org.bluez',interface='org.freedesktop.DBus.Properties',"
              "member='PropertiesChanged',path_namespace='/org/bluez'",
              &Bus::on_properties_changed);
    subscribe("type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
              "member='NameOwnerChanged',arg0='org.bluez'",
              &Bus::on_name_owner_changed);
  } catch (const std::exception& e) {
    return fail(error_text(e));
  }

  try {
    resume_worker_ = std::thread([this] { resume_loop(); });
  } catch (const std::exception& e) {
    return fail(error_text(e));
  }
  loop_ = std::thread([this] { run_loop(); });

  // The cache is seeded by a reply that the loop handles in order with the signals, so a
  // change sent before the reply is in it and one sent after lands on top of it.
  reseed(epoch());
  std::unique_lock lock(cache_mutex_);
  cache_changed_.wait_for(lock, kCallTimeout, [this] { return seeded_ || !alive_; });
  if (!alive_) return fail(kConnectionLostText);
  return {};
}

void Bus::run_loop() {
  loop_id_ = std::this_thread::get_id();
  try {
    connection_->enterEventLoop();
  } catch (...) {
    // The connection broke (the bus went away); pending calls have had their error replies.
  }
  {
    std::lock_guard lock(cache_mutex_);
    alive_ = false;
  }
  cache_changed_.notify_all();
}

bool Bus::on_loop_thread() const { return loop_id_.load() == std::this_thread::get_id(); }

Status Bus::check_epoch(uint64_t handle_epoch) const {
  if (!alive_) return fail(kConnectionLostText);
  if (handle_epoch != epoch_.load()) return fail(kRestartedText);
  return {};
}

Result<sdbus::MethodReply> Bus::call(const std::string& path, const char* iface, const char* method,
                                     const std::function<void(sdbus::MethodCall&)>& args,
                                     std::chrono::microseconds timeout) {
  if (!alive_) return fail(kConnectionLostText);
  try {
    auto proxy = sdbus::createProxy(*connection_, kBluezService, path);
    auto msg = proxy->createMethodCall(iface, method);
    if (args) args(msg);
    return proxy->callMethod(msg, timeout);
  } catch (const std::exception& e) {
    return fail(error_text(e));
  }
}

Result<ObjectSnapshot> Bus::managed_objects() {
  auto reply = call("/", kObjectManagerIface, "GetManagedObjects");
  if (!reply) return reply.take_error();
  try {
    ManagedObjects objects;
    reply.value() >> objects;
    return parse_managed_objects(objects);
  } catch (const std::exception& e) {
    return fail(error_text(e));
  }
}

Result<bool> Bus::get_bool(const std::string& path, const char* iface, const char* name) {
  auto reply = call(path, kPropertiesIface, "Get", [&](sdbus::MethodCall& msg) {
    msg << std::string(iface) << std::string(name);
  });
  if (!reply) return reply.take_error();
  try {
    sdbus::Variant value;
    reply.value() >> value;
    if (!value.containsValueOfType<bool>()) return fail(std::string("unexpected type of ") + name);
    return value.get<bool>();
  } catch (const std::exception& e) {
    return fail(error_text(e));
  }
}

void Bus::set_adapter(const std::string& path) {
  std::lock_guard lock(cache_mutex_);
  adapter_ = path;
}

void Bus::call_async(const std::string& path, const char* iface, const char* method,
                     std::chrono::microseconds timeout, ReplyHandler done) {
  sdbus::IProxy* proxy = nullptr;
  {
    // Kept until the bus goes: destroying a proxy would drop the reply we wait for.
    std::lock_guard lock(proxies_mutex_);
    auto& slot = proxies_[path];
    if (!slot) slot = sdbus::createProxy(*connection_, kBluezService, path);
    proxy = slot.get();
  }
  auto msg = proxy->createMethodCall(iface, method);
  (void)proxy->callMethod(
      msg,
      [done = std::move(done)](sdbus::MethodReply& reply, const sdbus::Error* error) {
        try {
          done(reply, error);
        } catch (...) {
        }
      },
      timeout);
}

void Bus::reseed(uint64_t for_epoch) {
  auto done = [this, for_epoch](sdbus::MethodReply& reply, const sdbus::Error* error) {
    std::optional<std::map<std::string, DeviceProps>> devices;
    if (!error) {
      try {
        ManagedObjects objects;
        reply >> objects;
        devices = parse_managed_objects(objects).devices;
      } catch (...) {
        // An unreadable answer seeds nothing; signals still fill the cache.
      }
    }
    {
      std::lock_guard lock(cache_mutex_);
      if (epoch_ != for_epoch) return;
      if (devices) devices_ = std::move(*devices);
      seeded_ = true;
    }
    cache_changed_.notify_all();
  };
  try {
    call_async("/", kObjectManagerIface, "GetManagedObjects", kCallTimeout, done);
  } catch (...) {
    {
      std::lock_guard lock(cache_mutex_);
      seeded_ = true;
    }
    cache_changed_.notify_all();
  }
}

// ---- discovery ----

Status Bus::send_discovery_start(const std::string& adapter) {
  // Without DuplicateData the daemon would report manufacturer data only once.
  auto filtered = call(adapter, kAdapterIface, "SetDiscoveryFilter", [](sdbus::MethodCall& msg) {
    std::map<std::string, sdbus::Variant> filter{{"Transport", sdbus::Variant(std::string("le"))},
                                                 {"DuplicateData", sdbus::Variant(true)}};
    msg << filter;
  });
  if (!filtered) return filtered.take_error();
  auto started = call(adapter, kAdapterIface, "StartDiscovery");
  if (!started) return started.take_error();
  return {};
}

Status Bus::acquire_discovery(const std::string& adapter) {
  std::lock_guard lock(discovery_mutex_);
  uint64_t now = epoch();
  if (discovery_count_ > 0 && discovery_epoch_ == now) {
    ++discovery_count_;
    return {};
  }
  if (auto started = send_discovery_start(adapter); !started) return started;
  ++discovery_count_;
  discovery_epoch_ = now;
  discovery_adapter_ = adapter;
  return {};
}

void Bus::release_discovery() {
  std::lock_guard lock(discovery_mutex_);
  if (discovery_count_ == 0) return;
  if (--discovery_count_ > 0) return;
  // A restarted daemon knows nothing of our discovery.
  if (discovery_epoch_ != epoch()) return;
  (void)call(discovery_adapter_, kAdapterIface, "StopDiscovery");
}

void Bus::resume_loop() {
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
      resume_discovery(adapter);
    } catch (...) {
      // Nothing may leave a thread; the next power-on tries again.
    }
  }
}

// The daemon forgot our discovery (and its filter) when the adapter went off; users of the
// count still expect devices, so it is started again as it was first started. A start
// already running answers InProgress, an adapter that went off again answers NotReady:
// either way there is nothing better to do than wait for the next change.
void Bus::resume_discovery(const std::string& adapter) {
  std::lock_guard lock(discovery_mutex_);
  if (discovery_count_ == 0 || discovery_adapter_ != adapter || !alive_) return;
  if (send_discovery_start(adapter)) discovery_epoch_ = epoch();
}

void Bus::stop_resume_worker() {
  {
    std::lock_guard lock(resume_mutex_);
    resume_stopping_ = true;
  }
  resume_wake_.notify_all();
  if (resume_worker_.joinable()) resume_worker_.join();
}

uint64_t Bus::add_advertisement_sink(AdvertisementSink sink) {
  std::lock_guard lock(sinks_mutex_);
  uint64_t id = next_sink_++;
  sinks_.emplace(id, std::move(sink));
  return id;
}

void Bus::remove_advertisement_sink(uint64_t id) {
  std::lock_guard lock(sinks_mutex_);
  sinks_.erase(id);
}

// ---- devices ----

std::optional<std::string> Bus::find_cached_device(uint64_t address) {
  std::lock_guard lock(cache_mutex_);
  for (const auto& [path, device] : devices_) {
    if (matches_address(path, device, address)) return path;
  }
  return std::nullopt;
}

std::optional<std::string> Bus::wait_for_device(uint64_t address, Clock::time_point deadline) {
  std::unique_lock lock(cache_mutex_);
  for (;;) {
    for (const auto& [path, device] : devices_) {
      if (matches_address(path, device, address)) return path;
    }
    if (!alive_) return std::nullopt;
    if (cache_changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
      for (const auto& [path, device] : devices_) {
        if (matches_address(path, device, address)) return path;
      }
      return std::nullopt;
    }
  }
}

void Bus::session_opened(const std::string& path, uint64_t handle_epoch) {
  std::lock_guard lock(cache_mutex_);
  if (epoch_ == handle_epoch) ++links_[path].sessions;
}

void Bus::session_closed(const std::string& path, bool was_maintaining, uint64_t handle_epoch) {
  {
    std::lock_guard lock(cache_mutex_);
    // A session of a daemon that has gone has nothing left to disconnect.
    if (epoch_ != handle_epoch) return;
    auto& link = links_[path];
    if (link.sessions > 0) --link.sessions;
    if (was_maintaining && link.maintained > 0) --link.maintained;
    // Another session of ours still uses the link (a reconnect to the same chair): keep it.
    if (link.sessions > 0) return;
    link.disconnect_pending = true;
    if (link.connect_in_flight) link.connect_canceled = true;
  }
  send_disconnect(path);
}

void Bus::set_maintained(const std::string& path, bool on, uint64_t handle_epoch) {
  std::lock_guard lock(cache_mutex_);
  if (epoch_ != handle_epoch) return;
  auto& link = links_[path];
  if (on) {
    ++link.maintained;
    // An error of a Connect sent before this session existed is not this session's.
    if (link.maintained == 1) link.connect_error.reset();
  } else if (link.maintained > 0) {
    --link.maintained;
  }
}

void Bus::send_disconnect(const std::string& path) {
  uint64_t sent_in = epoch();
  auto settle = [this, path, sent_in] {
    {
      std::lock_guard lock(cache_mutex_);
      if (epoch_ != sent_in) return;
      auto it = links_.find(path);
      if (it != links_.end()) it->second.disconnect_pending = false;
    }
    cache_changed_.notify_all();
  };
  try {
    // The reply comes once the link is down; whatever it says, nothing is pending any more.
    call_async(path, kDeviceIface, "Disconnect", kCallTimeout, [settle](sdbus::MethodReply&, const sdbus::Error*) { settle(); });
  } catch (...) {
    settle();
  }
}

void Bus::send_connect(const std::string& path) {
  uint64_t sent_in = 0;
  {
    std::lock_guard lock(cache_mutex_);
    if (!alive_) return;
    auto& link = links_[path];
    auto device = devices_.find(path);
    bool connected = device != devices_.end() && device->second.connected.value_or(false);
    if (connected || link.connect_in_flight) return;
    link.connect_in_flight = true;
    link.connect_canceled = false;
    link.connect_error.reset();
    sent_in = epoch_;
  }
  auto finish = [this, path, sent_in](std::optional<std::string> error) {
    {
      std::lock_guard lock(cache_mutex_);
      if (epoch_ != sent_in) return;
      auto& link = links_[path];
      link.connect_in_flight = false;
      if (error && !link.connect_canceled) link.connect_error = std::move(error);
      link.connect_canceled = false;
    }
    cache_changed_.notify_all();
  };
  try {
    call_async(path, kDeviceIface, "Connect", kConnectTimeout, [finish](sdbus::MethodReply&, const sdbus::Error* error) {
      finish(error ? std::optional<std::string>(error->what()) : std::nullopt);
    });
  } catch (const std::exception& e) {
    finish(error_text(e));
  }
}

void Bus::request_connect(const std::string& path, bool wait_for_disconnect) {
  if (wait_for_disconnect && !on_loop_thread()) {
    // The daemon delays a requested disconnection; a Connect in that window would "succeed"
    // on the dying link.
    std::unique_lock lock(cache_mutex_);
    cache_changed_.wait_for(lock, kDisconnectWait, [&] {
      auto it = links_.find(path);
      return !alive_ || it == links_.end() || !it->second.disconnect_pending;
    });
  }
  send_connect(path);
}

Status Bus::wait_services_resolved(const std::string& path, uint64_t handle_epoch,
                                   Clock::time_point deadline) {
  {
    std::lock_guard lock(cache_mutex_);
    if (epoch_ != handle_epoch) return fail(kRestartedText);
    auto& link = links_[path];
    // The failed Connect is reported once; the next call sends a new one.
    if (link.connect_error) {
      auto error = std::move(*link.connect_error);
      link.connect_error.reset();
      return fail(error);
    }
  }
  request_connect(path, true);

  std::unique_lock lock(cache_mutex_);
  for (bool last_look = false;; ) {
    if (!alive_) return fail(kConnectionLostText);
    if (epoch_ != handle_epoch) return fail(kRestartedText);
    auto device = devices_.find(path);
    if (device == devices_.end()) return fail("device removed");
    if (device->second.connected.value_or(false) && device->second.services_resolved.value_or(false)) {
      return {};
    }
    auto& link = links_[path];
    if (link.connect_error) {
      auto error = std::move(*link.connect_error);
      link.connect_error.reset();
      return fail(error);
    }
    if (last_look) return fail("services not resolved in time");
    last_look = cache_changed_.wait_until(lock, deadline) == std::cv_status::timeout;
  }
}

// ---- notifications and writes ----

int64_t Bus::add_value_handler(const std::string& path, ValueChangedHandler handler) {
  int64_t token = next_token_++;
  std::lock_guard lock(notify_mutex_);
  value_handlers_[path].emplace(token, std::move(handler));
  return token;
}

bool Bus::remove_value_handler(const std::string& path, int64_t token) {
  std::lock_guard lock(notify_mutex_);
  auto it = value_handlers_.find(path);
  if (it == value_handlers_.end() || it->second.erase(token) == 0) return false;
  if (!it->second.empty()) return false;
  value_handlers_.erase(it);
  return subscribed_.erase(path) > 0;
}

void Bus::mark_subscribed(const std::string& path, bool on) {
  std::lock_guard lock(notify_mutex_);
  if (on) {
    subscribed_.insert(path);
  } else {
    subscribed_.erase(path);
  }
}

void Bus::stop_notify_async(const std::string& path) {
  try {
    call_async(path, kCharacteristicIface, "StopNotify", kCallTimeout,
               [](sdbus::MethodReply&, const sdbus::Error*) {});
  } catch (...) {
  }
}

std::shared_ptr<WriteGate> Bus::write_gate(const std::string& path) {
  std::lock_guard lock(notify_mutex_);
  auto& slot = write_gates_[path];
  if (!slot) slot = std::make_shared<WriteGate>();
  return slot;
}

bool WriteGate::enter(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  if (!free_.wait_for(lock, timeout, [this] { return !busy_; })) return false;
  busy_ = true;
  return true;
}

void WriteGate::leave() {
  {
    std::lock_guard lock(mutex_);
    busy_ = false;
  }
  free_.notify_one();
}

// ---- signal handlers (loop thread) ----

void Bus::on_interfaces_added(sdbus::Message& msg) {
  sdbus::ObjectPath path;
  Interfaces interfaces;
  msg >> path >> interfaces;
  auto it = interfaces.find(kDeviceIface);
  if (it == interfaces.end()) return;
  DeviceProps device;
  merge_device_props(device, it->second);
  bool advertised = false;
  {
    std::lock_guard lock(cache_mutex_);
    devices_[path] = device;
    advertised = !adapter_.empty() && is_under(path, adapter_);
  }
  cache_changed_.notify_all();
  if (advertised) advertise(path, device);
}

void Bus::on_interfaces_removed(sdbus::Message& msg) {
  sdbus::ObjectPath path;
  std::vector<std::string> interfaces;
  msg >> path >> interfaces;
  if (std::find(interfaces.begin(), interfaces.end(), kDeviceIface) == interfaces.end()) return;
  {
    std::lock_guard lock(cache_mutex_);
    devices_.erase(path);
  }
  cache_changed_.notify_all();
}

void Bus::on_properties_changed(sdbus::Message& msg) {
  std::string iface;
  Props changed;
  std::vector<std::string> invalidated;
  msg >> iface >> changed >> invalidated;
  std::string path = msg.getPath();
  if (iface == kDeviceIface) {
    on_device_changed(path, changed, invalidated);
  } else if (iface == kCharacteristicIface) {
    auto value = changed.find("Value");
    if (value == changed.end() || !value->second.containsValueOfType<std::vector<uint8_t>>()) return;
    on_value_changed(path, value->second.get<std::vector<uint8_t>>());
  } else if (iface == kAdapterIface) {
    on_adapter_changed(path, changed);
  }
}

// The daemon reports Powered only when it changes, so true here means the adapter came
// back on.
void Bus::on_adapter_changed(const std::string& path, const Props& changed) {
  auto powered = changed.find("Powered");
  if (powered == changed.end() || !powered->second.containsValueOfType<bool>()) return;
  if (!powered->second.get<bool>()) return;
  {
    std::lock_guard lock(resume_mutex_);
    if (resume_stopping_) return;
    resume_adapters_.insert(path);
  }
  resume_wake_.notify_one();
}

void Bus::on_device_changed(const std::string& path, const Props& changed,
                            const std::vector<std::string>& invalidated) {
  bool reconnect = false;
  std::optional<DeviceProps> advertised;
  {
    std::lock_guard lock(cache_mutex_);
    auto& device = devices_[path];
    bool was_connected = device.connected.value_or(false);
    merge_device_props(device, changed);
    invalidate_device_props(device, invalidated);
    bool now_connected = device.connected.value_or(false);
    auto link = links_.find(path);
    if (link != links_.end() && changed.count("Connected") && !now_connected) {
      link->second.disconnect_pending = false;
      // A maintained link that drops is connected again, once.
      reconnect = was_connected && link->second.maintained > 0 && !link->second.connect_in_flight;
    }
    if (has_advertising_key(changed) && !adapter_.empty() && is_under(path, adapter_)) advertised = device;
  }
  cache_changed_.notify_all();
  if (reconnect) send_connect(path);
  if (advertised) advertise(path, *advertised);
}

void Bus::on_name_owner_changed(sdbus::Message& msg) {
  std::string name, old_owner, new_owner;
  msg >> name >> old_owner >> new_owner;
  if (name != kBluezService) return;
  // The daemon's objects vanish without a word when it goes: forget them and every link.
  uint64_t now = 0;
  {
    std::lock_guard lock(cache_mutex_);
    now = ++epoch_;
    devices_.clear();
    links_.clear();
  }
  {
    std::lock_guard lock(notify_mutex_);
    subscribed_.clear();
  }
  cache_changed_.notify_all();
  if (!new_owner.empty()) reseed(now);
}

void Bus::advertise(const std::string& path, const DeviceProps& device) {
  std::vector<AdvertisementSink> sinks;
  {
    std::lock_guard lock(sinks_mutex_);
    for (const auto& [id, sink] : sinks_) sinks.push_back(sink);
  }
  if (sinks.empty()) return;
  auto args = std::make_shared<Advertisement>(path, device);
  for (const auto& sink : sinks) {
    try {
      sink(args);
    } catch (...) {
    }
  }
}

void Bus::on_value_changed(const std::string& path, std::vector<uint8_t> value) {
  std::vector<ValueChangedHandler> handlers;
  {
    std::lock_guard lock(notify_mutex_);
    auto it = value_handlers_.find(path);
    if (it == value_handlers_.end()) return;
    for (const auto& [token, handler] : it->second) handlers.push_back(handler);
  }
  auto args = std::make_shared<ValueArgs>(std::move(value));
  for (const auto& handler : handlers) {
    try {
      handler(args);
    } catch (...) {
    }
  }
}

}  // namespace chair::ble::bluez
