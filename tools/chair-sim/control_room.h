// com.chairsim.Control1 (see control.h): the test control of the simulated world, on a bus
// connection and name of its own, so that a backend under test sees nothing of it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "adapter_room.h"
#include "characteristic_room.h"
#include "common/result.h"
#include "device_room.h"
#include "service_room.h"
#include "world.h"

namespace chair::sim {

class ControlRoom {
 public:
  ControlRoom(World& world, sdbus::IConnection& control_bus, AdapterRoom& adapter, DeviceRoom& devices,
              ServiceRoom& services, CharacteristicRoom& characteristics);

  // Registers the control object and reports every accepted write as a signal.
  void export_control();
  void drop();

  // One command ("drop", "power", ...), on the scheduler thread. Returns the text to print.
  Result<std::string> run(const std::vector<std::string>& args);

 private:
  Result<std::string> run_on_device(const std::string& cmd, const std::vector<std::string>& args, DeviceSim& d);
  static std::string status_json(const DeviceSim& d);

  World& world_;
  sdbus::IConnection& control_bus_;
  AdapterRoom& adapter_;
  DeviceRoom& devices_;
  ServiceRoom& services_;
  CharacteristicRoom& characteristics_;
  std::unique_ptr<sdbus::IObject> object_;
};

}  // namespace chair::sim
