// org.bluez.GattService1: the chair's attribute table, built for its layout at the first
// connection (or right away after a layout change of a connected chair).
#pragma once

#include "characteristic_room.h"
#include "world.h"

namespace chair::sim {

class ServiceRoom {
 public:
  ServiceRoom(World& world, CharacteristicRoom& characteristics);

  // Exports the service and its characteristics and announces them; nothing when the table
  // exists or the device is no chair.
  void build_table(DeviceSim& d);
  // Removes the table, children before their parents, as the daemon does.
  void remove_table(DeviceSim& d);

 private:
  World& world_;
  CharacteristicRoom& characteristics_;
};

}  // namespace chair::sim
