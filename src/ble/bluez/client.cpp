#include "ble/bluez/client.h"

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "ble/bluez/names.h"
#include "ble/bluez/texts.h"
#include "ble/bluez/timeouts.h"

namespace chair::ble::bluez {

namespace {

std::string object_manager_rule(const char* member) {
  return std::string("type='signal',sender='") + kBluezService + "',path='" + kRootPath + "',interface='" +
         kObjectManagerIface + "',member='" + member + "'";
}

}  // namespace

// The last reference to a client may be dropped by code running on its own loop thread (a
// handler releasing a handle); the loop cannot join itself, so that case ends elsewhere.
struct ClientDeleter {
  void operator()(Client* client) const {
    if (client->bus_->on_loop_thread()) {
      std::thread([client] { delete client; }).detach();
    } else {
      delete client;
    }
  }
};

Client::Client(std::unique_ptr<BusConnection> bus) : bus_(std::move(bus)), discovery_(*bus_, epoch_), links_(*bus_) {}

Client::~Client() {
  // The worker's calls need the loop for their replies: it ends first.
  discovery_.stop_worker();
  bus_->stop();
}

Result<std::shared_ptr<Client>> Client::open() {
  auto bus = BusConnection::open();
  if (!bus) return bus.take_error();
  std::shared_ptr<Client> client(new Client(std::move(bus.value())), ClientDeleter{});
  if (auto started = client->start(); !started) return started.take_error();
  return client;
}

Status Client::start() {
  using Handler = void (Client::*)(sdbus::Message&);
  const std::pair<std::string, Handler> matches[] = {
      {object_manager_rule(kInterfacesAdded), &Client::on_interfaces_added},
      {object_manager_rule(kInterfacesRemoved), &Client::on_interfaces_removed},
      {std::string("type='signal',sender='") + kBluezService + "',interface='" + kPropertiesIface + "',member='" +
           kPropertiesChanged + "',path_namespace='" + kBluezPathNamespace + "'",
       &Client::on_properties_changed},
      // A daemon restart shows only here: its objects vanish without InterfacesRemoved.
      {std::string("type='signal',sender='") + kBusDaemonName + "',interface='" + kBusDaemonIface + "',member='" +
           kNameOwnerChanged + "',arg0='" + kBluezService + "'",
       &Client::on_name_owner_changed},
  };
  // Added before the loop starts, so that no signal after the seed's request is missed.
  for (const auto& [rule, handler] : matches) {
    auto added = bus_->add_match(rule, [this, handler = handler](sdbus::Message& msg) { (this->*handler)(msg); });
    if (!added) return added;
  }
  if (auto started = discovery_.start_worker(); !started) return started;
  auto started = bus_->start([this] {
    cache_.connection_lost();
    links_.connection_lost();
  });
  if (!started) return started;

  // Seeded by a reply that the loop handles in order with the signals.
  reseed(epoch());
  if (!cache_.wait_seeded(kCallTimeout) && !bus_->alive()) return fail(kConnectionLostText);
  return {};
}

Status Client::check_epoch(uint64_t handle_epoch) const {
  if (!bus_->alive()) return fail(kConnectionLostText);
  if (handle_epoch != epoch_.load()) return fail(kRestartedText);
  return {};
}

void Client::reseed(uint64_t for_epoch) {
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
    if (devices) links_.seed(for_epoch, *devices);
    cache_.seed(for_epoch, std::move(devices));
  };
  if (!bus_->call_async(kRootPath, kObjectManagerIface, kGetManagedObjects, kCallTimeout, done)) {
    cache_.seed(for_epoch, std::nullopt);
  }
}

void Client::on_interfaces_added(sdbus::Message& msg) {
  sdbus::ObjectPath path;
  Interfaces interfaces;
  msg >> path >> interfaces;
  auto it = interfaces.find(kDeviceIface);
  if (it == interfaces.end()) return;
  const auto change = cache_.device_added(path, it->second);
  links_.device_state(path, change.device, it->second.count(kConnected) > 0);
  if (change.advertised) discovery_.advertise(path, change.device);
}

void Client::on_interfaces_removed(sdbus::Message& msg) {
  sdbus::ObjectPath path;
  std::vector<std::string> interfaces;
  msg >> path >> interfaces;
  if (std::find(interfaces.begin(), interfaces.end(), kDeviceIface) == interfaces.end()) return;
  cache_.device_removed(path);
  links_.device_removed(path);
}

void Client::on_properties_changed(sdbus::Message& msg) {
  std::string iface;
  Props changed;
  std::vector<std::string> invalidated;
  msg >> iface >> changed >> invalidated;
  const std::string path = msg.getPath();
  if (iface == kDeviceIface) {
    const auto change = cache_.device_changed(path, changed, invalidated);
    links_.device_state(path, change.device, changed.count(kConnected) > 0);
    if (change.advertised) discovery_.advertise(path, change.device);
  } else if (iface == kGattCharacteristicIface) {
    auto value = changed.find(kValue);
    if (value == changed.end() || !value->second.containsValueOfType<std::vector<uint8_t>>()) return;
    notifications_.dispatch(path, value->second.get<std::vector<uint8_t>>());
  } else if (iface == kAdapterIface) {
    auto powered = changed.find(kPowered);
    if (powered == changed.end() || !powered->second.containsValueOfType<bool>()) return;
    if (powered->second.get<bool>()) discovery_.adapter_powered_on(path);
  }
}

void Client::on_name_owner_changed(sdbus::Message& msg) {
  std::string name, old_owner, new_owner;
  msg >> name >> old_owner >> new_owner;
  if (name != kBluezService) return;
  // The daemon's objects vanish without a word when it goes: forget them and every link.
  const uint64_t now = ++epoch_;
  cache_.daemon_restarted(now);
  links_.daemon_restarted(now);
  notifications_.daemon_restarted(now);
  if (!new_owner.empty()) reseed(now);
}

}  // namespace chair::ble::bluez
