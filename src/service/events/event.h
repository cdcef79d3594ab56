// The one record that travels through the event hub, and its exact JSON text.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "bind/bind_config.h"
#include "ble/protocol/status.h"
#include "ble/scanner/device_record.h"

namespace chair {

// Whether Bluetooth can be used: "ready", "noAdapter", "noRadio" or "radioOff", and what
// people are told ("" when ready).
struct BluetoothState {
  std::string state;
  std::string message;
};

struct ServiceEvent {
  std::string type;
  std::optional<ble::DeviceRecord> device;
  std::string status;
  std::string name;
  std::string log;
  std::optional<ble::ChairStatus> chair;
  std::optional<bind::BindConfig> bind;
  std::optional<BluetoothState> bluetooth;
};

ServiceEvent make_log_event(std::string text);
ServiceEvent make_status_event(std::string name);
ServiceEvent make_connected_event(std::string display_name);
ServiceEvent make_autoconnect_event(std::string phase, bind::BindConfig binding);
ServiceEvent make_device_event(ble::DeviceRecord record);
ServiceEvent make_chair_event(ble::ChairStatus status);
ServiceEvent make_bind_event(bind::BindConfig binding);
ServiceEvent make_bluetooth_event(BluetoothState state);

// Compact JSON in declared member order; empty texts and absent records left out.
std::string to_json(const ServiceEvent& event);

}  // namespace chair
