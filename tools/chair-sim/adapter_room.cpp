#include "adapter_room.h"

#include <algorithm>

#include "ble/bluez/names.h"

namespace chair::sim {

using namespace ble::bluez;

namespace {

// Which filter entries the daemon accepts, and with which types.
bool valid_filter_entry(const std::string& key, const sdbus::Variant& value) {
  if (key == kFilterTransport) {
    if (!value.containsValueOfType<std::string>()) return false;
    const auto t = value.get<std::string>();
    return t == "auto" || t == kTransportLe || t == "bredr";
  }
  if (key == kFilterDuplicateData || key == kFilterDiscoverable) return value.containsValueOfType<bool>();
  if (key == kFilterRssi) return value.containsValueOfType<int16_t>();
  if (key == kFilterPathloss) return value.containsValueOfType<uint16_t>();
  if (key == kFilterUuids) return value.containsValueOfType<std::vector<std::string>>();
  if (key == kFilterPattern) return value.containsValueOfType<std::string>();
  return false;
}

}  // namespace

AdapterRoom::AdapterRoom(World& world, DeviceRoom& devices) : world_(world), devices_(devices) {}

void AdapterRoom::export_adapter() {
  auto object = sdbus::createObject(world_.bus, world_.adapter_path);
  sdbus::IObject* raw = object.get();
  object->registerProperty(kAddress).onInterface(kAdapterIface).withGetter([this] {
    return world_.options.adapter_address;
  });
  object->registerProperty(kAddressType).onInterface(kAdapterIface).withGetter([] { return std::string("public"); });
  object->registerProperty(kName).onInterface(kAdapterIface).withGetter([] { return std::string("chair-sim"); });
  object->registerProperty(kAlias).onInterface(kAdapterIface).withGetter([] { return std::string("chair-sim"); });
  object->registerProperty(kPowered).onInterface(kAdapterIface).withGetter([this] {
    std::lock_guard lock(world_.mutex);
    return world_.powered;
  });
  object->registerProperty(kDiscovering).onInterface(kAdapterIface).withGetter([this] {
    std::lock_guard lock(world_.mutex);
    return world_.discovering;
  });
  object->registerMethod(kStartDiscovery).onInterface(kAdapterIface).implementedAs([this, raw](sdbus::Result<>&& r) {
    auto reply = std::make_shared<sdbus::Result<>>(std::move(r));
    world_.scheduler.post([this, sender = sender_of(raw), reply] { start_discovery(sender, reply); });
  });
  object->registerMethod(kStopDiscovery).onInterface(kAdapterIface).implementedAs([this, raw](sdbus::Result<>&& r) {
    auto reply = std::make_shared<sdbus::Result<>>(std::move(r));
    world_.scheduler.post([this, sender = sender_of(raw), reply] { stop_discovery(sender, reply); });
  });
  object->registerMethod(kSetDiscoveryFilter)
      .onInterface(kAdapterIface)
      .implementedAs([this, raw](sdbus::Result<>&& r, const Props& filter) {
        auto reply = std::make_shared<sdbus::Result<>>(std::move(r));
        // The variants are read here, on the thread that received them.
        bool valid = true;
        bool duplicate = false;
        for (const auto& [key, value] : filter) {
          valid = valid && valid_filter_entry(key, value);
          if (valid && key == kFilterDuplicateData) duplicate = value.get<bool>();
        }
        world_.scheduler.post(
            [this, sender = sender_of(raw), reply, valid, duplicate] { set_filter(sender, valid, duplicate, reply); });
      });
  object->finishRegistration();
  object_ = std::move(object);
  object_->emitInterfacesAddedSignal();
}

void AdapterRoom::drop() { object_.reset(); }

void AdapterRoom::set_filter(const std::string& sender, bool valid, bool duplicate, const Reply& reply) {
  if (!world_.powered) return reply_error(reply, kErrorNotReady, "Resource Not Ready");
  if (!valid) return reply_error(reply, kErrorInvalidArguments, "Invalid arguments in method call");
  world_.filters[sender] = duplicate;
  if (world_.discovery_sessions.count(sender)) world_.discovery_sessions[sender] = duplicate;
  reply_ok(reply);
}

int16_t AdapterRoom::jitter_rssi(const DeviceSim& d) {
  // A new value every time: the daemon reports only changes.
  std::uniform_int_distribution<int> spread(-6, 6);
  int value = d.spec.rssi + spread(world_.rng);
  if (value == d.rssi) value += value > -100 ? -1 : 1;
  return static_cast<int16_t>(std::clamp(value, -127, -1));
}

void AdapterRoom::announce() {
  if (!world_.discovering || !world_.powered) return;
  for (auto& [address, dev] : world_.devices) {
    DeviceSim& d = *dev;
    if (!d.spec.advertising || !d.spec.present || d.connected) continue;
    const int16_t rssi = jitter_rssi(d);
    world_.locked([&] { d.rssi = rssi; });
    ++d.removal_gen;  // seen again: a pending removal is off
    if (!d.object) {
      devices_.export_device(d);
      continue;
    }
    Props changed{{kRssi, sdbus::Variant(rssi)}};
    if (world_.duplicate_data()) changed[kManufacturerData] = sdbus::Variant(d.manufacturer_data());
    emit_changed(d.object.get(), kDeviceIface, changed);
  }
}

void AdapterRoom::start_discovery_effects() {
  world_.locked([&] { world_.discovering = true; });
  emit_changed(object_.get(), kAdapterIface, {{kDiscovering, sdbus::Variant(true)}});
  announce();
}

void AdapterRoom::stop_discovery_effects() {
  world_.locked([&] { world_.discovering = false; });
  emit_changed(object_.get(), kAdapterIface, {{kDiscovering, sdbus::Variant(false)}});
  for (auto& [address, dev] : world_.devices) {
    DeviceSim& d = *dev;
    if (!d.object) continue;
    if (d.rssi != 0) {
      world_.locked([&] { d.rssi = 0; });
      emit_changed(d.object.get(), kDeviceIface, {}, {kRssi});
    }
    if (d.ever_connected || d.connected || d.spec.known || d.pending_connect) continue;
    // Devices only seen in this discovery are forgotten after a while.
    const uint64_t gen = ++d.removal_gen;
    DeviceSim* dp = &d;
    world_.scheduler.post_after(world_.options.temporary_timeout, [this, dp, gen] {
      if (dp->removal_gen == gen && dp->object && !dp->connected && !dp->ever_connected && !dp->pending_connect &&
          !world_.discovering)
        devices_.remove_device(*dp);
    });
  }
}

void AdapterRoom::start_discovery(const std::string& sender, const Reply& reply) {
  if (!world_.powered) return reply_error(reply, kErrorNotReady, "Resource Not Ready");
  if (world_.discovery_sessions.count(sender))
    return reply_error(reply, kErrorInProgress, "Operation already in progress");
  const bool first = world_.discovery_sessions.empty();
  world_.discovery_sessions[sender] = world_.filters.count(sender) ? world_.filters[sender] : false;
  reply_ok(reply);
  if (first) start_discovery_effects();
}

void AdapterRoom::stop_discovery(const std::string& sender, const Reply& reply) {
  if (!world_.powered) return reply_error(reply, kErrorNotReady, "Resource Not Ready");
  if (!world_.discovery_sessions.count(sender)) return reply_error(reply, kErrorFailed, "No discovery started");
  reply_ok(reply);
  drop_discovery_session(sender);
}

void AdapterRoom::drop_discovery_session(const std::string& sender) {
  if (world_.discovery_sessions.erase(sender) && world_.discovery_sessions.empty() && world_.discovering)
    stop_discovery_effects();
}

void AdapterRoom::set_powered(bool on) {
  if (on == world_.powered) return;
  world_.locked([&] { world_.powered = on; });
  emit_changed(object_.get(), kAdapterIface, {{kPowered, sdbus::Variant(on)}});
  if (on) return;
  // The daemon forgets every discovery session and every client's filter: a client that
  // wants to discover after power-on has to set its filter and start again.
  world_.discovery_sessions.clear();
  world_.filters.clear();
  if (world_.discovering) stop_discovery_effects();
  for (auto& [address, d] : world_.devices) devices_.power_off(*d);
}

void AdapterRoom::sender_left(const std::string& sender) {
  world_.filters.erase(sender);
  drop_discovery_session(sender);
}

}  // namespace chair::sim
