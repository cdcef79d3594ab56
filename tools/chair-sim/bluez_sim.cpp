#include "bluez_sim.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "ble/protocol/frame.h"

namespace chair::sim {

namespace {

using Props = std::map<std::string, sdbus::Variant>;

constexpr const char* kAdapterIface = "org.bluez.Adapter1";
constexpr const char* kDeviceIface = "org.bluez.Device1";
constexpr const char* kServiceIface = "org.bluez.GattService1";
constexpr const char* kCharIface = "org.bluez.GattCharacteristic1";
constexpr const char* kPropertiesIface = "org.freedesktop.DBus.Properties";

constexpr const char* kDataCharUuid = "7772e5db-3868-4112-a1a9-f2669d106bf3";
constexpr const char* kChairServiceUuid = "0000fff0-0000-1000-8000-00805f9b34fb";
constexpr const char* kNotifierUuid = "0000fff1-0000-1000-8000-00805f9b34fb";
constexpr const char* kOtherCharUuid = "0000fff2-0000-1000-8000-00805f9b34fb";
constexpr uint16_t kTestCompanyId = 0xFFFF;  // reserved for tests by the SIG

constexpr std::chrono::milliseconds kTickInterval{1000};

void reply_ok(const std::shared_ptr<sdbus::Result<>>& reply) {
  if (reply) reply->returnResults();
}

void reply_error(const std::shared_ptr<sdbus::Result<>>& reply, const std::string& name, const std::string& message) {
  if (reply) reply->returnError(sdbus::Error(name, message));
}

void reply_bluez(const std::shared_ptr<sdbus::Result<>>& reply, const std::string& name, const std::string& message) {
  reply_error(reply, "org.bluez.Error." + name, message);
}

void emit_changed(sdbus::IObject* object, const std::string& iface, const Props& changed,
                  const std::vector<std::string>& invalidated = {}) {
  if (!object) return;
  auto signal = object->createSignal(kPropertiesIface, "PropertiesChanged");
  signal << iface << changed << invalidated;
  object->emitSignal(signal);
}

std::string device_path(const std::string& adapter, const std::string& address) {
  std::string suffix = address;
  std::replace(suffix.begin(), suffix.end(), ':', '_');
  return adapter + "/dev_" + suffix;
}

std::string handle_suffix(const char* kind, uint16_t handle) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%s%04x", kind, handle);
  return buf;
}

std::string sender_of(sdbus::IObject* object) {
  const sdbus::Message* m = object->getCurrentlyProcessedMessage();
  return m ? m->getSender() : std::string();
}

}  // namespace

bool BluezSim::CharSim::has_flag(const std::string& f) const {
  return std::find(flags.begin(), flags.end(), f) != flags.end();
}

BluezSim::BluezSim(sdbus::IConnection& bus, Scheduler& scheduler, SimOptions options)
    : bus_(bus), scheduler_(scheduler), options_(std::move(options)) {
  powered_ = options_.powered;
  for (const auto& spec : options_.devices) {
    auto d = std::make_unique<DeviceSim>();
    d->spec = spec;
    d->path = device_path(adapter_path_, spec.address);
    if (spec.chair) {
      ChairModelOptions mo;
      mo.short_length = spec.short_length;
      mo.chunking = spec.chunking;
      mo.seed = spec.seed;
      d->model = std::make_unique<ChairModel>(mo);
      d->model->set_silent(spec.silent);
    }
    devices_[spec.address] = std::move(d);
  }
}

BluezSim::~BluezSim() = default;

BluezSim::DeviceSim* BluezSim::find(const std::string& address) {
  auto it = devices_.find(address);
  if (it == devices_.end()) {
    std::string upper = address;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
    it = devices_.find(upper);
  }
  return it == devices_.end() ? nullptr : it->second.get();
}

void BluezSim::start() {
  root_ = sdbus::createObject(bus_, "/");
  root_->addObjectManager();
  export_adapter();
  for (auto& [address, d] : devices_) {
    if (d->spec.known) export_device(*d);
  }
  // Announcements and the chairs' temperature run for the life of the simulator.
  struct Loop {
    static void announce(BluezSim* self) {
      if (self->stopped_) return;
      self->announce();
      self->scheduler_.post_after(self->options_.announce_interval, [self] { announce(self); });
    }
    static void tick(BluezSim* self) {
      if (self->stopped_) return;
      for (auto& [address, d] : self->devices_) {
        if (d->model) d->model->tick();
      }
      self->scheduler_.post_after(kTickInterval, [self] { tick(self); });
    }
  };
  scheduler_.post_after(options_.announce_interval, [this] { Loop::announce(this); });
  scheduler_.post_after(kTickInterval, [this] { Loop::tick(this); });
}

void BluezSim::stop() {
  stopped_ = true;
  for (auto& [address, d] : devices_) {
    for (auto& c : d->chars) c->object.reset();
    for (auto& s : d->services) s->object.reset();
    d->object.reset();
  }
  adapter_.reset();
  root_.reset();
}

void BluezSim::export_adapter() {
  auto obj = sdbus::createObject(bus_, adapter_path_);
  sdbus::IObject* raw = obj.get();
  obj->registerProperty("Address").onInterface(kAdapterIface).withGetter([this] { return options_.adapter_address; });
  obj->registerProperty("AddressType").onInterface(kAdapterIface).withGetter([] { return std::string("public"); });
  obj->registerProperty("Name").onInterface(kAdapterIface).withGetter([] { return std::string("chair-sim"); });
  obj->registerProperty("Alias").onInterface(kAdapterIface).withGetter([] { return std::string("chair-sim"); });
  obj->registerProperty("Powered").onInterface(kAdapterIface).withGetter([this] {
    std::lock_guard lock(mutex_);
    return powered_;
  });
  obj->registerProperty("Discovering").onInterface(kAdapterIface).withGetter([this] {
    std::lock_guard lock(mutex_);
    return discovering_;
  });
  obj->registerMethod("StartDiscovery").onInterface(kAdapterIface).implementedAs([this, raw](sdbus::Result<>&& r) {
    auto reply = std::make_shared<sdbus::Result<>>(std::move(r));
    scheduler_.post([this, sender = sender_of(raw), reply] { start_discovery(sender, reply); });
  });
  obj->registerMethod("StopDiscovery").onInterface(kAdapterIface).implementedAs([this, raw](sdbus::Result<>&& r) {
    auto reply = std::make_shared<sdbus::Result<>>(std::move(r));
    scheduler_.post([this, sender = sender_of(raw), reply] { stop_discovery(sender, reply); });
  });
  obj->registerMethod("SetDiscoveryFilter")
      .onInterface(kAdapterIface)
      .implementedAs([this, raw](sdbus::Result<>&& r, Props filter) {
        auto reply = std::make_shared<sdbus::Result<>>(std::move(r));
        // The variants are read here, on the thread that received them.
        bool valid = true;
        bool duplicate = false;
        for (const auto& [key, value] : filter) {
          if (key == "Transport") {
            valid = valid && value.containsValueOfType<std::string>();
            if (valid) {
              const auto t = value.get<std::string>();
              valid = t == "auto" || t == "le" || t == "bredr";
            }
          } else if (key == "DuplicateData" || key == "Discoverable") {
            valid = valid && value.containsValueOfType<bool>();
            if (valid && key == "DuplicateData") duplicate = value.get<bool>();
          } else if (key == "RSSI") {
            valid = valid && value.containsValueOfType<int16_t>();
          } else if (key == "Pathloss") {
            valid = valid && value.containsValueOfType<uint16_t>();
          } else if (key == "UUIDs") {
            valid = valid && value.containsValueOfType<std::vector<std::string>>();
          } else if (key == "Pattern") {
            valid = valid && value.containsValueOfType<std::string>();
          } else {
            valid = false;
          }
        }
        scheduler_.post([this, sender = sender_of(raw), reply, valid, duplicate] {
          if (!powered_) return reply_bluez(reply, "NotReady", "Resource Not Ready");
          if (!valid) return reply_bluez(reply, "InvalidArguments", "Invalid arguments in method call");
          filters_[sender] = duplicate;
          if (discovery_sessions_.count(sender)) discovery_sessions_[sender] = duplicate;
          reply_ok(reply);
        });
      });
  obj->finishRegistration();
  adapter_ = std::move(obj);
  adapter_->emitInterfacesAddedSignal();
}

void BluezSim::export_device(DeviceSim& d) {
  if (d.object) return;
  auto obj = sdbus::createObject(bus_, d.path);
  sdbus::IObject* raw = obj.get();
  DeviceSim* dp = &d;
  auto get = [this, dp](auto field) {
    return [this, dp, field] {
      std::lock_guard lock(mutex_);
      return field(*dp);
    };
  };
  obj->registerProperty("Address").onInterface(kDeviceIface).withGetter(get([](DeviceSim& x) { return x.spec.address; }));
  obj->registerProperty("AddressType").onInterface(kDeviceIface).withGetter([] { return std::string("public"); });
  obj->registerProperty("Name").onInterface(kDeviceIface).withGetter(get([](DeviceSim& x) { return x.spec.name; }));
  obj->registerProperty("Alias").onInterface(kDeviceIface).withGetter(get([](DeviceSim& x) {
    // A name given by the user wins; a device that advertises without a name can still have one.
    if (!x.spec.alias.empty()) return x.spec.alias;
    if (!x.spec.name.empty()) return x.spec.name;
    std::string alias = x.spec.address;  // no name: the address with "-", as the daemon does
    std::replace(alias.begin(), alias.end(), ':', '-');
    return alias;
  }));
  obj->registerProperty("Adapter").onInterface(kDeviceIface).withGetter([this] { return sdbus::ObjectPath(adapter_path_); });
  obj->registerProperty("Paired").onInterface(kDeviceIface).withGetter(get([](DeviceSim& x) { return x.spec.paired; }));
  obj->registerProperty("Bonded").onInterface(kDeviceIface).withGetter(get([](DeviceSim& x) { return x.spec.paired; }));
  obj->registerProperty("Trusted").onInterface(kDeviceIface).withGetter([] { return false; });
  obj->registerProperty("Connected").onInterface(kDeviceIface).withGetter(get([](DeviceSim& x) { return x.connected; }));
  obj->registerProperty("ServicesResolved").onInterface(kDeviceIface).withGetter(get([](DeviceSim& x) { return x.resolved; }));
  obj->registerProperty("RSSI").onInterface(kDeviceIface).withGetter(get([](DeviceSim& x) { return x.rssi; }));
  obj->registerProperty("UUIDs").onInterface(kDeviceIface).withGetter(get([](DeviceSim& x) {
    return x.spec.chair ? std::vector<std::string>{kChairServiceUuid} : std::vector<std::string>{};
  }));
  obj->registerProperty("ManufacturerData").onInterface(kDeviceIface).withGetter(get([](DeviceSim& x) {
    const uint8_t tail = static_cast<uint8_t>(std::stoi(x.spec.address.substr(15), nullptr, 16));
    return std::map<uint16_t, sdbus::Variant>{
        {kTestCompanyId, sdbus::Variant(std::vector<uint8_t>{x.spec.chair ? uint8_t{0xC4} : uint8_t{0x01}, tail})}};
  }));
  obj->registerProperty("ServiceData").onInterface(kDeviceIface).withGetter([] { return Props{}; });
  obj->registerMethod("Connect").onInterface(kDeviceIface).implementedAs([this, dp](sdbus::Result<>&& r) {
    auto reply = std::make_shared<sdbus::Result<>>(std::move(r));
    scheduler_.post([this, dp, reply] { connect(*dp, reply); });
  });
  obj->registerMethod("Disconnect").onInterface(kDeviceIface).implementedAs([this, dp](sdbus::Result<>&& r) {
    auto reply = std::make_shared<sdbus::Result<>>(std::move(r));
    scheduler_.post([this, dp, reply] { disconnect(*dp, reply); });
  });
  (void)raw;
  obj->finishRegistration();
  d.object = std::move(obj);
  d.object->emitInterfacesAddedSignal();
}

void BluezSim::build_gatt(DeviceSim& d) {
  if (!d.spec.chair || !d.services.empty()) return;
  auto service = std::make_unique<ServiceSim>();
  service->handle = 0x000a;
  service->path = d.path + "/" + handle_suffix("service", service->handle);
  service->uuid = kChairServiceUuid;

  auto make_char = [&](uint16_t handle, std::string uuid, std::vector<std::string> flags, bool takes, bool sends) {
    auto c = std::make_unique<CharSim>();
    c->handle = handle;
    c->path = service->path + "/" + handle_suffix("char", handle);
    c->uuid = std::move(uuid);
    c->flags = std::move(flags);
    c->takes_commands = takes;
    c->sends_answers = sends;
    return c;
  };
  std::vector<std::unique_ptr<CharSim>> chars;
  switch (d.spec.layout) {
    case Layout::kNormal:
      chars.push_back(make_char(0x000b, kDataCharUuid, {"read", "write-without-response", "write", "notify"}, true, true));
      break;
    case Layout::kIndicateOnly:
      chars.push_back(make_char(0x000b, kDataCharUuid, {"read", "write", "indicate"}, true, true));
      break;
    case Layout::kWriteOnlyWithNotifier:
      chars.push_back(make_char(0x000b, kDataCharUuid, {"write-without-response", "write"}, true, false));
      chars.push_back(make_char(0x000e, kNotifierUuid, {"notify"}, false, true));
      break;
    case Layout::kForeignChar:
      chars.push_back(make_char(0x000b, kNotifierUuid, {"read", "write", "notify"}, true, true));
      break;
    case Layout::kNoDataChar:
      chars.push_back(make_char(0x000b, kOtherCharUuid, {"read"}, false, false));
      break;
  }

  auto sobj = sdbus::createObject(bus_, service->path);
  ServiceSim* sp = service.get();
  sobj->registerProperty("UUID").onInterface(kServiceIface).withGetter([sp] { return sp->uuid; });
  sobj->registerProperty("Primary").onInterface(kServiceIface).withGetter([] { return true; });
  sobj->registerProperty("Device").onInterface(kServiceIface).withGetter([dp = &d] { return sdbus::ObjectPath(dp->path); });
  sobj->finishRegistration();
  service->object = std::move(sobj);

  for (auto& c : chars) {
    auto cobj = sdbus::createObject(bus_, c->path);
    sdbus::IObject* raw = cobj.get();
    CharSim* cp = c.get();
    DeviceSim* dp = &d;
    const std::string path = c->path;
    cobj->registerProperty("UUID").onInterface(kCharIface).withGetter([cp] { return cp->uuid; });
    cobj->registerProperty("Service").onInterface(kCharIface).withGetter([sp] { return sdbus::ObjectPath(sp->path); });
    cobj->registerProperty("Flags").onInterface(kCharIface).withGetter([cp] { return cp->flags; });
    cobj->registerProperty("Value").onInterface(kCharIface).withGetter([this, cp] {
      std::lock_guard lock(mutex_);
      return cp->value;
    });
    cobj->registerProperty("Notifying").onInterface(kCharIface).withGetter([this, cp] {
      std::lock_guard lock(mutex_);
      return cp->notifying;
    });
    cobj->registerProperty("MTU").onInterface(kCharIface).withGetter([this] { return static_cast<uint16_t>(options_.mtu); });
    // Methods look the characteristic up again on the scheduler: a layout change may have removed it.
    auto find_char = [](DeviceSim& dev, const std::string& p) -> CharSim* {
      for (auto& x : dev.chars) {
        if (x->path == p) return x.get();
      }
      return nullptr;
    };
    cobj->registerMethod("ReadValue").onInterface(kCharIface).implementedAs([this, cp, dp](const Props&) {
      std::lock_guard lock(mutex_);
      if (!dp->connected) throw sdbus::Error("org.bluez.Error.Failed", "Not connected");
      if (!cp->has_flag("read")) throw sdbus::Error("org.bluez.Error.NotPermitted", "Read not permitted");
      return cp->value;
    });
    cobj->registerMethod("WriteValue")
        .onInterface(kCharIface)
        .implementedAs([this, dp, path, find_char](sdbus::Result<>&& r, std::vector<uint8_t> value, Props opts) {
          auto reply = std::make_shared<sdbus::Result<>>(std::move(r));
          std::optional<std::string> type;
          if (auto it = opts.find("type"); it != opts.end()) {
            type = it->second.containsValueOfType<std::string>() ? it->second.get<std::string>() : std::string();
          }
          scheduler_.post([this, dp, path, find_char, value = std::move(value), type, reply]() mutable {
            CharSim* c = find_char(*dp, path);
            if (!c) return reply_error(reply, "org.freedesktop.DBus.Error.UnknownObject", "Unknown object " + path);
            write_value(*dp, *c, std::move(value), type, reply);
          });
        });
    cobj->registerMethod("StartNotify").onInterface(kCharIface).implementedAs([this, raw, dp, path, find_char](sdbus::Result<>&& r) {
      auto reply = std::make_shared<sdbus::Result<>>(std::move(r));
      scheduler_.post([this, dp, path, find_char, sender = sender_of(raw), reply] {
        CharSim* c = find_char(*dp, path);
        if (!c) return reply_error(reply, "org.freedesktop.DBus.Error.UnknownObject", "Unknown object " + path);
        start_notify(*dp, *c, sender, reply);
      });
    });
    cobj->registerMethod("StopNotify").onInterface(kCharIface).implementedAs([this, raw, dp, path, find_char](sdbus::Result<>&& r) {
      auto reply = std::make_shared<sdbus::Result<>>(std::move(r));
      scheduler_.post([this, dp, path, find_char, sender = sender_of(raw), reply] {
        CharSim* c = find_char(*dp, path);
        if (!c) return reply_error(reply, "org.freedesktop.DBus.Error.UnknownObject", "Unknown object " + path);
        stop_notify(*c, sender, reply);
      });
    });
    cobj->finishRegistration();
    c->object = std::move(cobj);
  }

  sdbus::IObject* service_object = service->object.get();
  std::vector<sdbus::IObject*> char_objects;
  for (auto& c : chars) char_objects.push_back(c->object.get());
  locked([&] {
    d.services.push_back(std::move(service));
    for (auto& c : chars) d.chars.push_back(std::move(c));
  });
  service_object->emitInterfacesAddedSignal();
  for (auto* o : char_objects) o->emitInterfacesAddedSignal();
}

void BluezSim::remove_gatt(DeviceSim& d) {
  // Children go before their parents, as the daemon does.
  for (auto it = d.chars.rbegin(); it != d.chars.rend(); ++it) {
    if ((*it)->object) (*it)->object->emitInterfacesRemovedSignal();
    (*it)->object.reset();
  }
  for (auto& s : d.services) {
    if (s->object) s->object->emitInterfacesRemovedSignal();
    s->object.reset();
  }
  locked([&] {
    d.chars.clear();
    d.services.clear();
  });
}

void BluezSim::remove_device(DeviceSim& d) {
  if (auto reply = std::move(d.pending_connect)) {
    d.pending_connect.reset();
    ++d.connect_gen;
    reply_bluez(reply, "Failed", "br-connection-canceled");
  }
  for (auto& reply : d.pending_disconnects) reply_ok(reply);
  d.pending_disconnects.clear();
  remove_gatt(d);
  if (d.object) d.object->emitInterfacesRemovedSignal();
  d.object.reset();
  locked([&] {
    d.connected = false;
    d.resolved = false;
    d.rssi = 0;
  });
  ++d.link_gen;
  ++d.removal_gen;
  d.ever_connected = false;
}

int16_t BluezSim::jitter_rssi(const DeviceSim& d) {
  // A new value every time: the daemon reports only changes.
  std::uniform_int_distribution<int> spread(-6, 6);
  int value = d.spec.rssi + spread(rng_);
  if (value == d.rssi) value += value > -100 ? -1 : 1;
  return static_cast<int16_t>(std::clamp(value, -127, -1));
}

bool BluezSim::duplicate_data() const {
  return std::any_of(discovery_sessions_.begin(), discovery_sessions_.end(), [](const auto& s) { return s.second; });
}

void BluezSim::announce() {
  if (!discovering_ || !powered_) return;
  for (auto& [address, dev] : devices_) {
    DeviceSim& d = *dev;
    if (!d.spec.advertising || !d.spec.present || d.connected) continue;
    const int16_t rssi = jitter_rssi(d);
    locked([&] { d.rssi = rssi; });
    ++d.removal_gen;  // seen again: a pending removal is off
    if (!d.object) {
      export_device(d);
      continue;
    }
    Props changed{{"RSSI", sdbus::Variant(rssi)}};
    if (duplicate_data()) {
      const uint8_t tail = static_cast<uint8_t>(std::stoi(d.spec.address.substr(15), nullptr, 16));
      changed["ManufacturerData"] = sdbus::Variant(std::map<uint16_t, sdbus::Variant>{
          {kTestCompanyId, sdbus::Variant(std::vector<uint8_t>{d.spec.chair ? uint8_t{0xC4} : uint8_t{0x01}, tail})}});
    }
    emit_changed(d.object.get(), kDeviceIface, changed);
  }
}

void BluezSim::start_discovery_effects() {
  locked([&] { discovering_ = true; });
  emit_changed(adapter_.get(), kAdapterIface, {{"Discovering", sdbus::Variant(true)}});
  announce();
}

void BluezSim::stop_discovery_effects() {
  locked([&] { discovering_ = false; });
  emit_changed(adapter_.get(), kAdapterIface, {{"Discovering", sdbus::Variant(false)}});
  for (auto& [address, dev] : devices_) {
    DeviceSim& d = *dev;
    if (!d.object) continue;
    if (d.rssi != 0) {
      locked([&] { d.rssi = 0; });
      emit_changed(d.object.get(), kDeviceIface, {}, {"RSSI"});
    }
    if (d.ever_connected || d.connected || d.spec.known || d.pending_connect) continue;
    // Devices only seen in this discovery are forgotten after a while.
    const uint64_t gen = ++d.removal_gen;
    DeviceSim* dp = &d;
    scheduler_.post_after(options_.temporary_timeout, [this, dp, gen] {
      if (dp->removal_gen == gen && dp->object && !dp->connected && !dp->ever_connected && !dp->pending_connect &&
          !discovering_)
        remove_device(*dp);
    });
  }
}

void BluezSim::start_discovery(const std::string& sender, std::shared_ptr<sdbus::Result<>> reply) {
  if (!powered_) return reply_bluez(reply, "NotReady", "Resource Not Ready");
  if (discovery_sessions_.count(sender)) return reply_bluez(reply, "InProgress", "Operation already in progress");
  const bool first = discovery_sessions_.empty();
  discovery_sessions_[sender] = filters_.count(sender) ? filters_[sender] : false;
  reply_ok(reply);
  if (first) start_discovery_effects();
}

void BluezSim::stop_discovery(const std::string& sender, std::shared_ptr<sdbus::Result<>> reply) {
  if (!powered_) return reply_bluez(reply, "NotReady", "Resource Not Ready");
  if (!discovery_sessions_.count(sender)) return reply_bluez(reply, "Failed", "No discovery started");
  reply_ok(reply);
  drop_discovery_session(sender);
}

void BluezSim::drop_discovery_session(const std::string& sender) {
  if (discovery_sessions_.erase(sender) && discovery_sessions_.empty() && discovering_) stop_discovery_effects();
}

void BluezSim::connect(DeviceSim& d, std::shared_ptr<sdbus::Result<>> reply) {
  if (!d.object) return reply_error(reply, "org.freedesktop.DBus.Error.UnknownObject", "Unknown object " + d.path);
  if (!powered_) return reply_bluez(reply, "Failed", "le-connection-adapter-not-powered");
  if (d.connected) return reply_ok(reply);
  if (d.pending_connect) return reply_bluez(reply, "Failed", "Operation already in progress");
  d.pending_connect = reply;
  const uint64_t gen = ++d.connect_gen;
  DeviceSim* dp = &d;
  scheduler_.post_after(options_.connect_delay, [this, dp, gen] {
    if (dp->connect_gen != gen || !dp->pending_connect) return;
    auto pending = std::move(dp->pending_connect);
    dp->pending_connect.reset();
    if (!dp->spec.present || !powered_ || !dp->object)
      return reply_bluez(pending, "Failed", "le-connection-abort-by-local");
    link_up(*dp, pending);
  });
}

void BluezSim::link_up(DeviceSim& d, const std::shared_ptr<sdbus::Result<>>& reply) {
  locked([&] { d.connected = true; });
  d.ever_connected = true;
  ++d.removal_gen;
  ++d.link_gen;
  emit_changed(d.object.get(), kDeviceIface, {{"Connected", sdbus::Variant(true)}});
  reply_ok(reply);
  build_gatt(d);
  locked([&] { d.resolved = true; });
  emit_changed(d.object.get(), kDeviceIface, {{"ServicesResolved", sdbus::Variant(true)}});
  arm_sessions(d, true);
}

void BluezSim::link_down(DeviceSim& d) {
  if (!d.connected) return;
  locked([&] { d.resolved = false; });
  emit_changed(d.object.get(), kDeviceIface, {{"ServicesResolved", sdbus::Variant(false)}});
  locked([&] { d.connected = false; });
  ++d.link_gen;
  emit_changed(d.object.get(), kDeviceIface, {{"Connected", sdbus::Variant(false)}});
  for (auto& c : d.chars) c->request_pending = false;
  arm_sessions(d, false);
  for (auto& reply : d.pending_disconnects) reply_ok(reply);
  d.pending_disconnects.clear();
}

void BluezSim::disconnect(DeviceSim& d, std::shared_ptr<sdbus::Result<>> reply) {
  if (auto pending = std::move(d.pending_connect)) {
    d.pending_connect.reset();
    ++d.connect_gen;
    reply_bluez(pending, "Failed", "br-connection-canceled");
  }
  if (!d.connected) return reply_ok(reply);
  d.pending_disconnects.push_back(reply);
  if (d.pending_disconnects.size() > 1) return;
  // The daemon keeps the link a moment before it really goes down; the reply waits for that.
  const uint64_t link = d.link_gen;
  DeviceSim* dp = &d;
  scheduler_.post_after(options_.disconnect_delay, [this, dp, link] {
    if (dp->link_gen == link) link_down(*dp);
  });
}

void BluezSim::arm_sessions(DeviceSim& d, bool armed) {
  for (auto& c : d.chars) {
    for (auto& [sender, is_armed] : c->sessions) is_armed = armed;
    set_notifying(*c);
  }
}

void BluezSim::set_notifying(CharSim& c) {
  const bool now = std::any_of(c.sessions.begin(), c.sessions.end(), [](const auto& s) { return s.second; });
  if (now == c.notifying) return;
  locked([&] { c.notifying = now; });
  emit_changed(c.object.get(), kCharIface, {{"Notifying", sdbus::Variant(now)}});
}

void BluezSim::start_notify(DeviceSim& d, CharSim& c, const std::string& sender, std::shared_ptr<sdbus::Result<>> reply) {
  if (!c.has_flag("notify") && !c.has_flag("indicate"))
    return reply_bluez(reply, "NotSupported", "Operation is not supported");
  if (auto it = c.sessions.find(sender); it != c.sessions.end()) {
    if (it->second) return reply_ok(reply);
    return reply_bluez(reply, "InProgress", "In Progress");
  }
  c.sessions[sender] = d.connected;  // armed at the next connection otherwise
  reply_ok(reply);
  set_notifying(c);
}

void BluezSim::stop_notify(CharSim& c, const std::string& sender, std::shared_ptr<sdbus::Result<>> reply) {
  if (!c.sessions.erase(sender)) return reply_bluez(reply, "Failed", "No notify session started");
  reply_ok(reply);
  set_notifying(c);
}

void BluezSim::write_value(DeviceSim& d, CharSim& c, Bytes value, std::optional<std::string> type,
                           std::shared_ptr<sdbus::Result<>> reply) {
  if (!d.connected) return reply_bluez(reply, "Failed", "Not connected");
  if (!type) type = c.has_flag("write") ? "request" : "command";
  if (*type != "request" && *type != "command" && *type != "reliable")
    return reply_bluez(reply, "InvalidArguments", "Invalid arguments in method call");
  if (c.request_pending) return reply_bluez(reply, "InProgress", "In Progress");
  const bool command = *type == "command";
  // A write command is sent even without the flag; a request needs it.
  if (command && value.size() + 3 > options_.mtu) return reply_bluez(reply, "Failed", "Failed to initiate write");
  if (!command && !c.has_flag("write")) return reply_bluez(reply, "NotSupported", "Operation is not supported");
  if (d.refusal) return reply_error(reply, d.refusal->first, d.refusal->second);

  WriteRecord record{command ? "command" : "request", value};
  d.writes.push_back(record);
  if (write_listener_) write_listener_(d.spec.address, record);

  if (command) {
    reply_ok(reply);
    deliver(d, c, value);
    return;
  }
  c.request_pending = true;
  DeviceSim* dp = &d;
  const uint64_t link = d.link_gen;
  const std::string path = c.path;
  auto finish = [this, dp, link, path, value, reply] {
    CharSim* cp = nullptr;
    for (auto& x : dp->chars) {
      if (x->path == path) cp = x.get();
    }
    if (cp) cp->request_pending = false;
    if (!cp || dp->link_gen != link || !dp->connected) return reply_bluez(reply, "Failed", "Not connected");
    reply_ok(reply);
    deliver(*dp, *cp, value);
  };
  if (options_.write_delay.count() == 0) finish();
  else scheduler_.post_after(options_.write_delay, finish);
}

void BluezSim::deliver(DeviceSim& d, CharSim& c, const Bytes& value) {
  if (!c.takes_commands || !d.model) return;
  send_answers(d, d.model->on_write(value));
  if (d.spec.chunking && !d.flush_scheduled) {
    d.flush_scheduled = true;
    DeviceSim* dp = &d;
    scheduler_.post_after(options_.flush_delay, [this, dp] {
      dp->flush_scheduled = false;
      if (dp->model) send_answers(*dp, dp->model->flush());
    });
  }
}

void BluezSim::send_answers(DeviceSim& d, const std::vector<Bytes>& notes) {
  if (notes.empty() || !d.connected) return;
  for (auto& c : d.chars) {
    if (!c->sends_answers || !c->notifying) continue;
    for (const auto& note : notes) {
      locked([&] { c->value = note; });
      // One signal per notification, also when the bytes equal the previous ones.
      emit_changed(c->object.get(), kCharIface, {{"Value", sdbus::Variant(note)}});
    }
  }
}

void BluezSim::set_powered(bool on) {
  if (on == powered_) return;
  locked([&] { powered_ = on; });
  emit_changed(adapter_.get(), kAdapterIface, {{"Powered", sdbus::Variant(on)}});
  if (on) return;
  // The daemon forgets every discovery session and every client's filter: a client that
  // wants to discover after power-on has to set its filter and start again.
  discovery_sessions_.clear();
  filters_.clear();
  if (discovering_) stop_discovery_effects();
  for (auto& [address, d] : devices_) {
    if (auto pending = std::move(d->pending_connect)) {
      d->pending_connect.reset();
      ++d->connect_gen;
      reply_bluez(pending, "Failed", "le-connection-abort-by-local");
    }
    link_down(*d);
  }
}

void BluezSim::on_name_lost(const std::string& unique_name) {
  scheduler_.post([this, unique_name] {
    if (stopped_) return;
    filters_.erase(unique_name);
    drop_discovery_session(unique_name);
    for (auto& [address, d] : devices_) {
      for (auto& c : d->chars) {
        if (c->sessions.erase(unique_name)) set_notifying(*c);
      }
    }
  });
}

Result<BluezSim::DeviceSim*> BluezSim::device_arg(const std::vector<std::string>& args, size_t index) {
  if (args.size() <= index) return fail(args[0] + ": missing device address");
  DeviceSim* d = find(args[index]);
  if (!d) return fail("unknown device " + args[index]);
  return d;
}

Result<std::string> BluezSim::control(const std::vector<std::string>& args) {
  if (args.empty()) return fail("missing command");
  const std::string& cmd = args[0];
  auto on_off = [&](size_t i) -> Result<bool> {
    if (args.size() > i && (args[i] == "on" || args[i] == "off")) return args[i] == "on";
    return fail(cmd + ": want on or off");
  };

  if (cmd == "power") {
    auto on = on_off(1);
    if (!on) return on.take_error();
    set_powered(*on);
    return std::string();
  }
  if (cmd == "list") {
    std::string out;
    for (auto& [address, d] : devices_) {
      out += address + " name=" + d->spec.name + " chair=" + (d->spec.chair ? "1" : "0") +
             " exported=" + (d->object ? "1" : "0") + " connected=" + (d->connected ? "1" : "0") +
             " present=" + (d->spec.present ? "1" : "0") + "\n";
    }
    return out;
  }
  if (cmd == "silent") {
    auto on = on_off(1);
    if (!on) return on.take_error();
    if (args.size() > 2) {
      auto d = device_arg(args, 2);
      if (!d) return d.take_error();
      if (!(*d)->model) return fail(args[2] + " is not a chair");
      (*d)->model->set_silent(*on);
    } else {
      for (auto& [address, d] : devices_) {
        if (d->model) d->model->set_silent(*on);
      }
    }
    return std::string();
  }

  auto found = device_arg(args, 1);
  if (!found) return found.take_error();
  DeviceSim& d = **found;
  if (cmd == "drop") {
    // Switched off: the link goes, and it does not come back until "present".
    d.spec.present = false;
    link_down(d);
    return std::string();
  }
  if (cmd == "present" || cmd == "come-back") {
    d.spec.present = true;
    return std::string();
  }
  if (cmd == "refuse-writes") {
    d.refusal = {args.size() > 2 ? args[2] : "org.bluez.Error.Failed",
                 args.size() > 3 ? args[3] : "Operation failed with ATT error: 0x0e"};
    return std::string();
  }
  if (cmd == "accept-writes") {
    d.refusal.reset();
    return std::string();
  }
  if (cmd == "layout") {
    if (args.size() < 3) return fail("layout: missing layout name");
    auto layout = parse_layout(args[2]);
    if (!layout) return layout.take_error();
    if (!d.spec.chair) return fail(args[1] + " is not a chair");
    d.spec.layout = *layout;
    // The old attribute table goes at once; a connected chair shows the new one right away,
    // otherwise it appears at the next connection.
    remove_gatt(d);
    if (d.connected) build_gatt(d);
    return std::string();
  }
  if (cmd == "remove") {
    remove_device(d);
    return std::string();
  }
  if (cmd == "writes") {
    std::string out;
    for (const auto& w : d.writes) out += w.type + " " + ble::hex_dump(w.value) + "\n";
    return out;
  }
  if (cmd == "clear-writes") {
    d.writes.clear();
    return std::string();
  }
  if (cmd == "status") {
    nlohmann::ordered_json j;
    j["address"] = d.spec.address;
    j["exported"] = d.object != nullptr;
    j["present"] = d.spec.present;
    j["connected"] = d.connected;
    j["servicesResolved"] = d.resolved;
    j["notifying"] = std::any_of(d.chars.begin(), d.chars.end(), [](const auto& c) { return c->notifying; });
    j["layout"] = layout_name(d.spec.layout);
    if (d.model) {
      const ChairState st = d.model->state();
      j["cold"] = st.cold;
      j["hot"] = st.hot;
      j["vibrate"] = st.vibrate;
      j["volume"] = st.volume;
      j["lumbar"] = st.lumbar;
      j["temp"] = st.temp;
      j["switchByte"] = st.switchByte;
      j["silent"] = d.model->silent();
    }
    return j.dump();
  }
  return fail("unknown command '" + cmd + "'");
}

}  // namespace chair::sim
