#include "ble/bluez/bluez_platform.h"

#include <mutex>
#include <set>

#include "ble/bluez/bus.h"
#include "ble/bluez/props.h"

namespace chair::ble {

namespace bluez {
namespace {

constexpr const char* kNoAdapterText = "no Bluetooth adapter";

// Opens the one bus connection at first use and again after it broke. The lock is held
// while a connection opens so that concurrent first users share it; the loop thread never
// takes it.
class Connector {
 public:
  Result<std::shared_ptr<Bus>> bus() {
    std::lock_guard lock(mutex_);
    if (bus_ && bus_->alive()) return bus_;
    bus_.reset();
    auto opened = Bus::open();
    if (!opened) return opened.take_error();
    bus_ = opened.value();
    return bus_;
  }

 private:
  std::mutex mutex_;
  std::shared_ptr<Bus> bus_;
};

Result<std::string> default_adapter(Bus& bus, const ObjectSnapshot& snapshot) {
  auto adapter = pick_default_adapter(snapshot.adapters);
  if (!adapter) return fail(kNoAdapterText);
  bus.set_adapter(*adapter);
  return *adapter;
}

class BluezRadio final : public Radio {
 public:
  BluezRadio(std::shared_ptr<Bus> bus, std::string adapter) : bus_(std::move(bus)), adapter_(std::move(adapter)) {}
  Result<RadioState> state() override {
    auto powered = bus_->get_bool(adapter_, kAdapterIface, "Powered");
    if (!powered) return powered.take_error();
    return *powered ? RadioState::On : RadioState::Off;
  }

 private:
  std::shared_ptr<Bus> bus_;
  std::string adapter_;
};

class BluezAdapter final : public Adapter {
 public:
  BluezAdapter(std::shared_ptr<Bus> bus, std::string path) : bus_(std::move(bus)), path_(std::move(path)) {}
  // The adapter object carries the radio's state itself.
  Async<std::shared_ptr<Radio>> get_radio_async() override {
    return completed<std::shared_ptr<Radio>>(std::shared_ptr<Radio>(std::make_shared<BluezRadio>(bus_, path_)));
  }

 private:
  std::shared_ptr<Bus> bus_;
  std::string path_;
};

// Discovery always scans actively; a watcher is a discovery user plus a way to hear about
// devices while it runs.
class BluezWatcher final : public Watcher {
 public:
  explicit BluezWatcher(std::shared_ptr<Connector> connector)
      : connector_(std::move(connector)), handlers_(std::make_shared<Handlers>()) {}
  ~BluezWatcher() override { (void)stop(); }

  Status set_scanning_mode_active() override { return {}; }

  Status add_received(AdvertisementHandler handler) override {
    if (!handler) return fail("no handler");
    std::lock_guard lock(handlers_->mutex);
    handlers_->list.push_back(std::move(handler));
    return {};
  }

  // Start and stop of one watcher are serialized; the lock is never taken on the loop thread.
  Status start() override {
    std::lock_guard lock(mutex_);
    if (bus_) return {};
    auto bus = connector_->bus();
    if (!bus) return bus.take_error();
    auto snapshot = (*bus)->managed_objects();
    if (!snapshot) return snapshot.take_error();
    auto adapter = default_adapter(**bus, *snapshot);
    if (!adapter) return adapter.take_error();
    // Listen first: a device found while StartDiscovery is on its way must not be missed.
    auto sink = (*bus)->add_advertisement_sink([handlers = handlers_](const std::shared_ptr<AdvertisementArgs>& args) {
      std::vector<AdvertisementHandler> list;
      {
        std::lock_guard lock(handlers->mutex);
        list = handlers->list;
      }
      for (const auto& handler : list) handler(args);
    });
    if (auto started = (*bus)->acquire_discovery(*adapter); !started) {
      (*bus)->remove_advertisement_sink(sink);
      return started.take_error();
    }
    bus_ = *bus;
    sink_ = sink;
    return {};
  }

  Status stop() override {
    std::lock_guard lock(mutex_);
    if (!bus_) return {};
    // Detached first: a handler call already running may finish, no new one starts.
    bus_->remove_advertisement_sink(sink_);
    bus_->release_discovery();
    bus_.reset();
    return {};
  }

 private:
  struct Handlers {
    std::mutex mutex;
    std::vector<AdvertisementHandler> list;
  };
  std::shared_ptr<Connector> connector_;
  std::shared_ptr<Handlers> handlers_;
  std::mutex mutex_;
  std::shared_ptr<Bus> bus_;  // set while started
  uint64_t sink_ = 0;
};

class BluezCharacteristic final : public Characteristic {
 public:
  BluezCharacteristic(std::shared_ptr<Bus> bus, CharacteristicInfo info, uint64_t epoch)
      : bus_(std::move(bus)), info_(std::move(info)), epoch_(epoch) {}

  // A handler registered through a handle that nobody holds any more is dropped with it.
  ~BluezCharacteristic() override {
    std::set<int64_t> tokens;
    {
      std::lock_guard lock(mutex_);
      tokens.swap(tokens_);
    }
    for (int64_t token : tokens) {
      if (bus_->remove_value_handler(info_.path, token) && bus_->check_epoch(epoch_)) {
        bus_->stop_notify_async(info_.path);
      }
    }
  }

  Result<uint32_t> properties() override { return flags_to_properties(info_.flags); }

  Result<Uuid> uuid() override {
    auto uuid = Uuid::parse(info_.uuid);
    if (!uuid) return fail("unreadable characteristic UUID");
    return *uuid;
  }

  Result<int64_t> add_value_changed(ValueChangedHandler handler) override {
    if (!handler) return fail("no handler");
    int64_t token = bus_->add_value_handler(info_.path, std::move(handler));
    std::lock_guard lock(mutex_);
    tokens_.insert(token);
    return token;
  }

  Status remove_value_changed(int64_t token) override {
    {
      std::lock_guard lock(mutex_);
      tokens_.erase(token);
    }
    // The daemon keeps our notify session until we end it or leave the bus.
    if (bus_->remove_value_handler(info_.path, token) && bus_->check_epoch(epoch_)) {
      (void)bus_->call(info_.path, kCharacteristicIface, "StopNotify");
    }
    return {};
  }

  Async<GattStatus> write_cccd_async(CccdValue value) override {
    if (auto current = bus_->check_epoch(epoch_); !current) return completed<GattStatus>(current.take_error());
    bool on = value != CccdValue::None;
    // The daemon writes the descriptor itself: notifications when the characteristic offers
    // them, indications otherwise.
    auto reply = bus_->call(info_.path, kCharacteristicIface, on ? "StartNotify" : "StopNotify");
    if (!reply) return completed<GattStatus>(reply.take_error());
    bus_->mark_subscribed(info_.path, on);
    return completed<GattStatus>(GattStatus::Success);
  }

  Async<GattStatus> write_value_with_option_async(BufferPtr value, WriteOption option) override {
    if (auto current = bus_->check_epoch(epoch_); !current) return completed<GattStatus>(current.take_error());
    auto* buffer = dynamic_cast<ByteBuffer*>(value.get());
    if (!buffer) return completed<GattStatus>(fail("not a buffer of this platform"));
    // The daemon refuses a write while another is pending on the same characteristic.
    auto gate = bus_->write_gate(info_.path);
    if (!gate->enter(kCallTimeout)) return completed<GattStatus>(fail("an earlier write is still pending"));
    auto reply = bus_->call(info_.path, kCharacteristicIface, "WriteValue", [&](sdbus::MethodCall& msg) {
      std::map<std::string, sdbus::Variant> options{
          {"type", sdbus::Variant(std::string(option == WriteOption::WithResponse ? "request" : "command"))}};
      msg << buffer->bytes << options;
    });
    gate->leave();
    if (!reply) return completed<GattStatus>(reply.take_error());
    return completed<GattStatus>(GattStatus::Success);
  }

 private:
  std::shared_ptr<Bus> bus_;
  CharacteristicInfo info_;
  uint64_t epoch_;
  std::mutex mutex_;
  std::set<int64_t> tokens_;
};

class BluezCharacteristicsResult final : public CharacteristicsResult {
 public:
  explicit BluezCharacteristicsResult(std::vector<CharacteristicPtr> list) : list_(std::move(list)) {}
  Result<GattStatus> status() override { return GattStatus::Success; }
  Result<std::vector<CharacteristicPtr>> characteristics() override { return list_; }

 private:
  std::vector<CharacteristicPtr> list_;
};

class BluezService final : public Service {
 public:
  BluezService(std::shared_ptr<Bus> bus, ServiceInfo info, uint64_t epoch)
      : bus_(std::move(bus)), info_(std::move(info)), epoch_(epoch) {}

  Result<Uuid> uuid() override {
    auto uuid = Uuid::parse(info_.uuid);
    if (!uuid) return fail("unreadable service UUID");
    return *uuid;
  }

  Async<std::shared_ptr<CharacteristicsResult>> get_characteristics_async() override {
    using R = std::shared_ptr<CharacteristicsResult>;
    if (auto current = bus_->check_epoch(epoch_); !current) return completed<R>(current.take_error());
    auto snapshot = bus_->managed_objects();
    if (!snapshot) return completed<R>(snapshot.take_error());
    std::vector<CharacteristicPtr> list;
    for (auto& info : snapshot->characteristics) {
      if (info.service == info_.path) list.push_back(std::make_shared<BluezCharacteristic>(bus_, std::move(info), epoch_));
    }
    return completed<R>(R(std::make_shared<BluezCharacteristicsResult>(std::move(list))));
  }

 private:
  std::shared_ptr<Bus> bus_;
  ServiceInfo info_;
  uint64_t epoch_;
};

class BluezServicesResult final : public ServicesResult {
 public:
  BluezServicesResult(GattStatus status, std::vector<ServicePtr> list, std::string why)
      : status_(status), list_(std::move(list)), why_(std::move(why)) {}
  Result<GattStatus> status() override { return status_; }
  Result<std::vector<ServicePtr>> services() override {
    if (status_ != GattStatus::Success) return fail(why_);
    return list_;
  }

 private:
  GattStatus status_;
  std::vector<ServicePtr> list_;
  std::string why_;
};

class BluezDevice final : public Device {
 public:
  BluezDevice(std::shared_ptr<Bus> bus, std::string path, uint64_t epoch)
      : bus_(std::move(bus)), path_(std::move(path)), epoch_(epoch) {}

  Result<std::string> device_id() override { return path_; }

  Result<std::string> name() override {
    auto reply = bus_->call(path_, kPropertiesIface, "GetAll",
                            [](sdbus::MethodCall& msg) { msg << std::string(kDeviceIface); });
    if (!reply) return reply.take_error();
    try {
      Props props;
      reply.value() >> props;
      DeviceProps device;
      merge_device_props(device, props);
      if (auto name = friendly_name(device)) return *name;
      return fail("the device has no name");
    } catch (const std::exception& e) {
      return fail(e.what());
    }
  }

  // Services are there once the device is connected and the daemon resolved them.
  Async<std::shared_ptr<ServicesResult>> get_gatt_services_async() override {
    using R = std::shared_ptr<ServicesResult>;
    auto ready = bus_->wait_services_resolved(path_, epoch_, Clock::now() + kResolveTimeout);
    if (!ready) {
      return completed<R>(R(std::make_shared<BluezServicesResult>(GattStatus::Unreachable, std::vector<ServicePtr>{},
                                                                  ready.error())));
    }
    auto snapshot = bus_->managed_objects();
    if (!snapshot) return completed<R>(snapshot.take_error());
    std::vector<ServicePtr> list;
    for (auto& info : snapshot->services) {
      if (info.device == path_) list.push_back(std::make_shared<BluezService>(bus_, std::move(info), epoch_));
    }
    return completed<R>(R(std::make_shared<BluezServicesResult>(GattStatus::Success, std::move(list), "")));
  }

  Result<ConnectionStatus> connection_status() override {
    if (auto current = bus_->check_epoch(epoch_); !current) return current.take_error();
    auto connected = bus_->get_bool(path_, kDeviceIface, "Connected");
    if (!connected) return connected.take_error();
    return *connected ? ConnectionStatus::Connected : ConnectionStatus::Disconnected;
  }

  // The link belongs to the session; closing the device only drops our handle.
  Status close() override { return {}; }

 private:
  std::shared_ptr<Bus> bus_;
  std::string path_;
  uint64_t epoch_;
};

class BluezSession final : public Session {
 public:
  BluezSession(std::shared_ptr<Bus> bus, std::string path, uint64_t epoch)
      : bus_(std::move(bus)), path_(std::move(path)), epoch_(epoch) {
    bus_->session_opened(path_, epoch_);
  }
  // Releasing the last reference closes the session, so a replaced link is not left
  // connected in the daemon with nobody using it.
  ~BluezSession() override { (void)close(); }

  Status set_maintain_connection(bool on) override {
    {
      std::lock_guard lock(mutex_);
      if (closed_) return fail("the session is closed");
      if (maintain_ == on) return {};
      maintain_ = on;
    }
    if (auto current = bus_->check_epoch(epoch_); !current) return current;
    bus_->set_maintained(path_, on, epoch_);
    if (on) bus_->request_connect(path_, true);
    return {};
  }

  Status close() override {
    bool was_maintaining = false;
    {
      std::lock_guard lock(mutex_);
      if (closed_) return {};
      closed_ = true;
      was_maintaining = maintain_;
      maintain_ = false;
    }
    bus_->session_closed(path_, was_maintaining, epoch_);
    return {};
  }

 private:
  std::shared_ptr<Bus> bus_;
  std::string path_;
  uint64_t epoch_;
  std::mutex mutex_;
  bool maintain_ = false;
  bool closed_ = false;
};

class BluezPlatform final : public Platform {
 public:
  Async<std::shared_ptr<Adapter>> get_default_adapter_async() override {
    using R = std::shared_ptr<Adapter>;
    auto bus = connector_->bus();
    if (!bus) return completed<R>(bus.take_error());
    auto snapshot = (*bus)->managed_objects();
    if (!snapshot) return completed<R>(snapshot.take_error());
    auto adapter = default_adapter(**bus, *snapshot);
    if (!adapter) return completed<R>(adapter.take_error());
    return completed<R>(R(std::make_shared<BluezAdapter>(*bus, *adapter)));
  }

  Result<std::shared_ptr<Watcher>> create_watcher() override {
    return std::shared_ptr<Watcher>(std::make_shared<BluezWatcher>(connector_));
  }

  // The daemon has objects only for devices it has seen; an unknown address is looked for
  // with a short discovery, as other clients do before connecting to an address.
  Async<DevicePtr> device_from_address_async(uint64_t address) override {
    auto bus = connector_->bus();
    if (!bus) return completed<DevicePtr>(bus.take_error());
    uint64_t epoch = (*bus)->epoch();
    auto snapshot = (*bus)->managed_objects();
    if (!snapshot) return completed<DevicePtr>(snapshot.take_error());
    auto adapter = pick_default_adapter(snapshot->adapters);
    std::optional<std::string> found;
    for (const auto& [path, device] : snapshot->devices) {
      auto value = device.address ? parse_address(*device.address) : std::nullopt;
      if (!value || *value != address) continue;
      if (!found || (adapter && is_under(path, *adapter) && !is_under(*found, *adapter))) found = path;
    }
    if (!found) {
      if (!adapter) return completed<DevicePtr>(fail(kNoAdapterText));
      if (auto started = (*bus)->acquire_discovery(*adapter); !started) {
        return completed<DevicePtr>(started.take_error());
      }
      found = (*bus)->wait_for_device(address, Clock::now() + kLookupTimeout);
      (*bus)->release_discovery();
    }
    if (!found) return completed<DevicePtr>(fail("device " + address_text(address) + " not found"));
    return completed<DevicePtr>(DevicePtr(std::make_shared<BluezDevice>(*bus, *found, epoch)));
  }

  Async<SessionPtr> session_from_device_id_async(const std::string& device_id) override {
    auto bus = connector_->bus();
    if (!bus) return completed<SessionPtr>(bus.take_error());
    uint64_t epoch = (*bus)->epoch();
    auto reply = (*bus)->call(device_id, kPropertiesIface, "GetAll",
                              [](sdbus::MethodCall& msg) { msg << std::string(kDeviceIface); });
    if (!reply) return completed<SessionPtr>(reply.take_error());
    return completed<SessionPtr>(SessionPtr(std::make_shared<BluezSession>(*bus, device_id, epoch)));
  }

  Result<BufferPtr> create_buffer(std::span<const uint8_t> bytes) override {
    return BufferPtr(std::make_shared<ByteBuffer>(std::vector<uint8_t>(bytes.begin(), bytes.end())));
  }

  Result<std::vector<uint8_t>> read_buffer(const BufferPtr& buffer) override {
    auto* bytes = dynamic_cast<ByteBuffer*>(buffer.get());
    if (!bytes) return fail("not a buffer of this platform");
    return bytes->bytes;
  }

  std::optional<Result<PairedNames>> paired_device_names() override {
    auto bus = connector_->bus();
    if (!bus) return Result<PairedNames>(bus.take_error());
    auto snapshot = (*bus)->managed_objects();
    if (!snapshot) return Result<PairedNames>(snapshot.take_error());
    return Result<PairedNames>(paired_names(*snapshot));
  }

 private:
  std::shared_ptr<Connector> connector_ = std::make_shared<Connector>();
};

}  // namespace
}  // namespace bluez

PlatformPtr make_bluez_platform() { return std::make_shared<bluez::BluezPlatform>(); }

}  // namespace chair::ble
