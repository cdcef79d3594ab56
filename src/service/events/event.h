// The records that travel through the event hub, and their exact JSON text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include <nlohmann/json.hpp>

#include "bind/bind_config.h"
#include "ble/protocol/status.h"
#include "ble/scanner/device_record.h"
#include "common/record_text.h"

namespace chair {

// Each record names its type and holds exactly the members it is written with. A new
// record is one struct here, one writer in event.cpp and its place in ServiceEvent.
struct LogEvent {
  static constexpr std::string_view kType = "log";
  std::string log;
};

// A state name; a chair that connects is announced with its name (ConnectedEvent), a new
// stream's first record names the state alone.
struct StatusEvent {
  static constexpr std::string_view kType = "status";
  std::string status;
};

// The status "connected", with the chair's display name.
struct ConnectedEvent {
  static constexpr std::string_view kType = "status";
  std::string name;
};

struct DeviceEvent {
  static constexpr std::string_view kType = "device";
  ble::DeviceRecord device;
};

struct ChairEvent {
  static constexpr std::string_view kType = "chair";
  ble::ChairStatus chair;
};

// The binding as now stored.
struct BindEvent {
  static constexpr std::string_view kType = "bind";
  bind::BindConfig bind;
};

// The supervisor's phase ("connecting", "waiting") and the binding it works from.
struct AutoConnectEvent {
  static constexpr std::string_view kType = "autoconnect";
  std::string phase;
  bind::BindConfig bind;
};

// The session timer's seconds left: N when set, 0 when none runs any more.
struct TimerEvent {
  static constexpr std::string_view kType = "timer";
  int64_t seconds = 0;
};

// Whether Bluetooth can be used: "ready", "noAdapter", "noRadio" or "radioOff", and what
// people are told ("" when ready).
struct BluetoothEvent {
  static constexpr std::string_view kType = "bluetooth";
  std::string state;
  std::string message;
};

using ServiceEvent = std::variant<LogEvent, StatusEvent, ConnectedEvent, DeviceEvent, ChairEvent, BindEvent,
                                  AutoConnectEvent, TimerEvent, BluetoothEvent>;

// One line of compact JSON: "type" first, then the record's members in their declared
// order; empty texts and empty lists left out.
std::string to_json(const ServiceEvent& event);
// The `chair` member's object alone, appended to `out`: the report history serves the same bytes.
void append_chair_json(std::string& out, const ble::ChairStatus& status);

// A device record as a tree; the device listing replies with these (members then in
// ascending order).
nlohmann::json device_json(const ble::DeviceRecord& record);
std::string device_text(const ble::DeviceRecord& record, JsonLayout layout);

}  // namespace chair
