#include "device_room.h"

#include <algorithm>

#include "ble/bluez/names.h"

namespace chair::sim {

using namespace ble::bluez;

DeviceRoom::DeviceRoom(World& world, ServiceRoom& services, CharacteristicRoom& characteristics)
    : world_(world), services_(services), characteristics_(characteristics) {}

void DeviceRoom::export_device(DeviceSim& d) {
  if (d.object) return;
  auto object = sdbus::createObject(world_.bus, d.path);
  DeviceSim* dp = &d;
  auto get = [this, dp](auto field) {
    return [this, dp, field] {
      std::lock_guard lock(world_.mutex);
      return field(*dp);
    };
  };
  object->registerProperty(kAddress).onInterface(kDeviceIface).withGetter(get([](DeviceSim& x) {
    return x.spec.address;
  }));
  object->registerProperty(kAddressType).onInterface(kDeviceIface).withGetter([] { return std::string("public"); });
  object->registerProperty(kName).onInterface(kDeviceIface).withGetter(get([](DeviceSim& x) { return x.spec.name; }));
  object->registerProperty(kAlias).onInterface(kDeviceIface).withGetter(get([](DeviceSim& x) {
    // A name given by the user wins; a device that advertises without a name can still have one.
    if (!x.spec.alias.empty()) return x.spec.alias;
    if (!x.spec.name.empty()) return x.spec.name;
    std::string alias = x.spec.address;  // no name: the address with "-", as the daemon does
    std::replace(alias.begin(), alias.end(), ':', '-');
    return alias;
  }));
  object->registerProperty(kAdapter).onInterface(kDeviceIface).withGetter([this] {
    return sdbus::ObjectPath(world_.adapter_path);
  });
  object->registerProperty(kPaired).onInterface(kDeviceIface).withGetter(get([](DeviceSim& x) {
    return x.spec.paired;
  }));
  object->registerProperty(kBonded).onInterface(kDeviceIface).withGetter(get([](DeviceSim& x) {
    return x.spec.paired;
  }));
  object->registerProperty(kTrusted).onInterface(kDeviceIface).withGetter([] { return false; });
  object->registerProperty(kConnected).onInterface(kDeviceIface).withGetter(get([](DeviceSim& x) {
    return x.connected;
  }));
  object->registerProperty(kServicesResolved).onInterface(kDeviceIface).withGetter(get([](DeviceSim& x) {
    return x.resolved;
  }));
  object->registerProperty(kRssi).onInterface(kDeviceIface).withGetter(get([](DeviceSim& x) { return x.rssi; }));
  object->registerProperty(kUuids).onInterface(kDeviceIface).withGetter(get([](DeviceSim& x) {
    return x.spec.chair ? std::vector<std::string>{kChairServiceUuid} : std::vector<std::string>{};
  }));
  object->registerProperty(kManufacturerData).onInterface(kDeviceIface).withGetter(get([](DeviceSim& x) {
    return x.manufacturer_data();
  }));
  object->registerProperty(kServiceData).onInterface(kDeviceIface).withGetter([] { return Props{}; });
  object->registerMethod(kConnect).onInterface(kDeviceIface).implementedAs([this, dp](sdbus::Result<>&& r) {
    auto reply = std::make_shared<sdbus::Result<>>(std::move(r));
    world_.scheduler.post([this, dp, reply] { connect(*dp, reply); });
  });
  object->registerMethod(kDisconnect).onInterface(kDeviceIface).implementedAs([this, dp](sdbus::Result<>&& r) {
    auto reply = std::make_shared<sdbus::Result<>>(std::move(r));
    world_.scheduler.post([this, dp, reply] { disconnect(*dp, reply); });
  });
  object->finishRegistration();
  d.object = std::move(object);
  d.object->emitInterfacesAddedSignal();
}

void DeviceRoom::remove_device(DeviceSim& d) {
  fail_pending_connect(d, "br-connection-canceled");
  for (auto& reply : d.pending_disconnects) reply_ok(reply);
  d.pending_disconnects.clear();
  services_.remove_table(d);
  if (d.object) d.object->emitInterfacesRemovedSignal();
  d.object.reset();
  world_.locked([&] {
    d.connected = false;
    d.resolved = false;
    d.rssi = 0;
  });
  ++d.link_gen;
  ++d.removal_gen;
  d.ever_connected = false;
}

void DeviceRoom::fail_pending_connect(DeviceSim& d, const char* message) {
  if (auto pending = std::move(d.pending_connect)) {
    d.pending_connect.reset();
    ++d.connect_gen;
    reply_error(pending, kErrorFailed, message);
  }
}

void DeviceRoom::connect(DeviceSim& d, const Reply& reply) {
  if (!d.object) return reply_error(reply, kErrorUnknownObject, "Unknown object " + d.path);
  if (!world_.powered) return reply_error(reply, kErrorFailed, "le-connection-adapter-not-powered");
  if (d.connected) return reply_ok(reply);
  if (d.pending_connect) return reply_error(reply, kErrorFailed, "Operation already in progress");
  d.pending_connect = reply;
  const uint64_t gen = ++d.connect_gen;
  DeviceSim* dp = &d;
  world_.scheduler.post_after(world_.options.connect_delay, [this, dp, gen] {
    if (dp->connect_gen != gen || !dp->pending_connect) return;
    auto pending = std::move(dp->pending_connect);
    dp->pending_connect.reset();
    if (!dp->spec.present || !world_.powered || !dp->object)
      return reply_error(pending, kErrorFailed, "le-connection-abort-by-local");
    link_up(*dp, pending);
  });
}

void DeviceRoom::link_up(DeviceSim& d, const Reply& reply) {
  world_.locked([&] { d.connected = true; });
  d.ever_connected = true;
  ++d.removal_gen;
  ++d.link_gen;
  emit_changed(d.object.get(), kDeviceIface, {{kConnected, sdbus::Variant(true)}});
  reply_ok(reply);
  services_.build_table(d);
  world_.locked([&] { d.resolved = true; });
  emit_changed(d.object.get(), kDeviceIface, {{kServicesResolved, sdbus::Variant(true)}});
  characteristics_.arm_sessions(d, true);
}

void DeviceRoom::link_down(DeviceSim& d) {
  if (!d.connected) return;
  world_.locked([&] { d.resolved = false; });
  emit_changed(d.object.get(), kDeviceIface, {{kServicesResolved, sdbus::Variant(false)}});
  world_.locked([&] { d.connected = false; });
  ++d.link_gen;
  emit_changed(d.object.get(), kDeviceIface, {{kConnected, sdbus::Variant(false)}});
  characteristics_.link_down(d);
  for (auto& reply : d.pending_disconnects) reply_ok(reply);
  d.pending_disconnects.clear();
}

void DeviceRoom::disconnect(DeviceSim& d, const Reply& reply) {
  fail_pending_connect(d, "br-connection-canceled");
  if (!d.connected) return reply_ok(reply);
  d.pending_disconnects.push_back(reply);
  if (d.pending_disconnects.size() > 1) return;
  // The daemon keeps the link a moment before it really goes down; the reply waits for that.
  const uint64_t link = d.link_gen;
  DeviceSim* dp = &d;
  world_.scheduler.post_after(world_.options.disconnect_delay, [this, dp, link] {
    if (dp->link_gen == link) link_down(*dp);
  });
}

void DeviceRoom::power_off(DeviceSim& d) {
  fail_pending_connect(d, "le-connection-abort-by-local");
  link_down(d);
}

}  // namespace chair::sim
