// org.bluez.Adapter1: power, the discovery filter and discovery sessions per client, and what
// a running discovery does (devices announced, temporary ones forgotten after it ends).
#pragma once

#include <memory>
#include <string>

#include "device_room.h"
#include "world.h"

namespace chair::sim {

class AdapterRoom {
 public:
  AdapterRoom(World& world, DeviceRoom& devices);

  // Registers and announces the adapter's object.
  void export_adapter();
  void drop();
  // One round of advertisements of every present device, while discovering.
  void announce();
  void set_powered(bool on);
  // A client left the bus: its filter and discovery session end.
  void sender_left(const std::string& sender);

 private:
  void set_filter(const std::string& sender, bool valid, bool duplicate, const Reply& reply);
  void start_discovery(const std::string& sender, const Reply& reply);
  void stop_discovery(const std::string& sender, const Reply& reply);
  void drop_discovery_session(const std::string& sender);
  void start_discovery_effects();
  void stop_discovery_effects();
  int16_t jitter_rssi(const DeviceSim& d);

  World& world_;
  DeviceRoom& devices_;
  std::unique_ptr<sdbus::IObject> object_;
};

}  // namespace chair::sim
