#include "ble/bluez/bluez_platform.h"

#include <mutex>

#include "ble/bluez/callback_gate.h"
#include "ble/bluez/client.h"
#include "ble/bluez/connection.h"
#include "ble/bluez/names.h"
#include "ble/bluez/props.h"
#include "ble/bluez/texts.h"
#include "ble/bluez/timeouts.h"
#include "common/address.h"

namespace chair::ble {

namespace bluez {
namespace {

// Opens the one client at first use and again after its connection broke. The lock is held
// while a connection opens so that concurrent first users share it; the loop thread never
// takes it.
class Connector {
 public:
  Result<std::shared_ptr<Client>> client() {
    std::lock_guard lock(mutex_);
    if (client_ && client_->alive()) return client_;
    client_.reset();
    auto opened = Client::open();
    if (!opened) return opened.take_error();
    client_ = opened.value();
    return client_;
  }

 private:
  std::mutex mutex_;
  std::shared_ptr<Client> client_;
};

// The adapter scans and lookups use, chosen anew each time from a fresh object list.
Result<std::string> default_adapter(Client& client, const ObjectSnapshot& snapshot) {
  auto adapter = pick_default_adapter(snapshot.adapters);
  if (!adapter) return fail(kNoAdapterText);
  client.cache().set_adapter(*adapter);
  return *adapter;
}

// Discovery always scans actively; a scan is one user of the discovery plus a listener.
class BluezScan final : public Scan {
 public:
  BluezScan(std::shared_ptr<Client> client, uint64_t listener, std::shared_ptr<CallbackGate> gate)
      : client_(std::move(client)), listener_(listener), gate_(std::move(gate)) {}
  ~BluezScan() override { stop(); }

  void stop() override {
    {
      std::lock_guard lock(mutex_);
      if (stopped_) return;
      stopped_ = true;
    }
    // The listener goes first: a call already running may finish, no new one starts.
    gate_->close();
    client_->discovery().remove_listener(listener_);
    client_->discovery().release();
  }

 private:
  std::shared_ptr<Client> client_;
  uint64_t listener_;
  std::shared_ptr<CallbackGate> gate_;
  std::mutex mutex_;
  bool stopped_ = false;
};

class BluezPlatform final : public Platform {
 public:
  Availability availability() override {
    auto client = connector_.client();
    if (!client) return Availability::no_adapter(client.error());
    auto snapshot = (*client)->bus().managed_objects();
    if (!snapshot) return Availability::no_adapter(snapshot.error());
    auto adapter = default_adapter(**client, *snapshot);
    if (!adapter) return Availability::no_adapter(adapter.error());
    // The adapter object carries the radio's state itself.
    auto powered = (*client)->bus().get_bool(*adapter, kAdapterIface, kPowered);
    if (!powered) return Availability::no_radio(powered.error());
    return *powered ? Availability::ready() : Availability::radio_off(kRadioOffText);
  }

  Result<std::unique_ptr<Scan>> start_scan(AdvertisementHandler handler) override {
    if (!handler) return fail("no handler");
    auto client = connector_.client();
    if (!client) return client.take_error();
    auto snapshot = (*client)->bus().managed_objects();
    if (!snapshot) return snapshot.take_error();
    auto adapter = default_adapter(**client, *snapshot);
    if (!adapter) return adapter.take_error();
    // Listen first: a device found while StartDiscovery is on its way must not be missed.
    auto gate = std::make_shared<CallbackGate>();
    auto& discovery = (*client)->discovery();
    const uint64_t listener =
        discovery.add_listener([gate, handler = std::move(handler)](const Advertisement& advertisement) {
          gate->pass(handler, advertisement);
        });
    if (auto started = discovery.acquire(*adapter); !started) {
      gate->close();
      discovery.remove_listener(listener);
      return started.take_error();
    }
    return std::unique_ptr<Scan>(std::make_unique<BluezScan>(*client, listener, gate));
  }

  // The daemon has objects only for devices it has seen; an unknown address is looked for
  // with a short discovery, as other clients do before connecting to an address.
  Result<ConnectionPtr> open(uint64_t address) override {
    auto client = connector_.client();
    if (!client) return client.take_error();
    const uint64_t epoch = (*client)->epoch();
    auto snapshot = (*client)->bus().managed_objects();
    if (!snapshot) return snapshot.take_error();
    auto adapter = pick_default_adapter(snapshot->adapters);
    auto found = find_device(*snapshot, address, adapter);
    if (!found) {
      if (!adapter) return fail(kNoAdapterText);
      auto& discovery = (*client)->discovery();
      if (auto started = discovery.acquire(*adapter); !started) return started.take_error();
      found = (*client)->cache().wait_for_device(address, ObjectCache::Clock::now() + kLookupTimeout);
      discovery.release();
    }
    if (!found) return fail("device " + format_address(address) + " not found");
    // The object may have gone meanwhile (a temporary device the daemon dropped).
    auto exists = (*client)->bus().call(*found, kPropertiesIface, kGetAll,
                                        [](sdbus::MethodCall& msg) { msg << std::string(kDeviceIface); });
    if (!exists) return exists.take_error();
    return ConnectionPtr(std::make_shared<BluezConnection>(*client, *found, epoch));
  }

  Result<PairedNames> paired_device_names() override {
    auto client = connector_.client();
    if (!client) return client.take_error();
    auto snapshot = (*client)->bus().managed_objects();
    if (!snapshot) return snapshot.take_error();
    return paired_names(*snapshot);
  }

 private:
  Connector connector_;
};

}  // namespace
}  // namespace bluez

PlatformPtr make_bluez_platform() { return std::make_shared<bluez::BluezPlatform>(); }

}  // namespace chair::ble
