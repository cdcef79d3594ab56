// The simulated Bluetooth daemon: the world and one room per D-Bus interface it serves, plus
// the control room.
#pragma once

#include <string>

#include <sdbus-c++/sdbus-c++.h>

#include "adapter_room.h"
#include "characteristic_room.h"
#include "control_room.h"
#include "device_room.h"
#include "root_room.h"
#include "scheduler.h"
#include "service_room.h"
#include "sim_options.h"
#include "world.h"

namespace chair::sim {

class Simulator {
 public:
  Simulator(sdbus::IConnection& bluez_bus, sdbus::IConnection& control_bus, Scheduler& scheduler, SimOptions options);

  // Exports "/", the adapter, the known devices and the control object, starts the periodic
  // work and watches for clients leaving the bus. Throws sdbus::Error.
  void start();
  // Drops every object without signals, once the scheduler has stopped.
  void stop();

 private:
  // On the scheduler thread.
  void start_world();
  void announce_loop();
  void tick_loop();
  // A client left the bus: its discovery and notification sessions end. Any thread.
  void on_name_lost(const std::string& unique_name);

  World world_;
  CharacteristicRoom characteristics_;
  ServiceRoom services_;
  DeviceRoom devices_;
  AdapterRoom adapter_;
  RootRoom root_;
  ControlRoom control_;
  sdbus::Slot name_watch_;
};

}  // namespace chair::sim
