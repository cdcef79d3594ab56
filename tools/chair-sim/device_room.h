// org.bluez.Device1: devices appearing and going, and their links (Connect, Disconnect, link
// loss).
#pragma once

#include "characteristic_room.h"
#include "service_room.h"
#include "world.h"

namespace chair::sim {

class DeviceRoom {
 public:
  DeviceRoom(World& world, ServiceRoom& services, CharacteristicRoom& characteristics);

  // Registers and announces the device's object; nothing when it is exported already.
  void export_device(DeviceSim& d);
  // The device's objects go (attribute table first); a Connect under way is cancelled.
  void remove_device(DeviceSim& d);
  // The link drops: ServicesResolved false, then Connected false.
  void link_down(DeviceSim& d);
  // The adapter went off: a Connect under way fails and the link drops.
  void power_off(DeviceSim& d);

 private:
  void connect(DeviceSim& d, const Reply& reply);
  void disconnect(DeviceSim& d, const Reply& reply);
  void link_up(DeviceSim& d, const Reply& reply);
  // Fails a Connect still under way with the daemon's text.
  void fail_pending_connect(DeviceSim& d, const char* message);

  World& world_;
  ServiceRoom& services_;
  CharacteristicRoom& characteristics_;
};

}  // namespace chair::sim
