// org.bluez.GattCharacteristic1: writes to the chair, notify sessions per client, and the
// chair's answers as value changes.
#pragma once

#include <optional>
#include <string>

#include "world.h"

namespace chair::sim {

class CharacteristicRoom {
 public:
  explicit CharacteristicRoom(World& world);

  // Registers the characteristic's object; the caller announces it.
  void export_characteristic(DeviceSim& d, const ServiceSim& service, CharSim& c);

  // Sessions are armed while the device is connected, and wait for the next connection
  // otherwise.
  void arm_sessions(DeviceSim& d, bool armed);
  // The link went down: pending requests end, held ones fail.
  void link_down(DeviceSim& d);
  // A client left the bus: its notify sessions end.
  void sender_left(const std::string& sender);
  // While held, write requests stay pending (a second write meets InProgress) until released.
  void hold_writes(DeviceSim& d, bool hold);

 private:
  void write_value(DeviceSim& d, CharSim& c, const Bytes& value, std::optional<std::string> type, const Reply& reply);
  void start_notify(DeviceSim& d, CharSim& c, const std::string& sender, const Reply& reply);
  void stop_notify(CharSim& c, const std::string& sender, const Reply& reply);
  void set_notifying(CharSim& c);
  void deliver(DeviceSim& d, CharSim& c, const Bytes& value);
  void send_answers(DeviceSim& d, const std::vector<Bytes>& notes);
  void replay_answers(DeviceSim& d, const Bytes& value);

  World& world_;
};

}  // namespace chair::sim
