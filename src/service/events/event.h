// The one record that travels through the event hub, and its exact JSON text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "bind/bind_config.h"
#include "ble/protocol/status.h"
#include "ble/scanner/device_record.h"

namespace chair {

struct ServiceEvent {
  std::string type;
  std::optional<ble::DeviceRecord> device;
  std::string status;
  std::string name;
  std::string log;
  std::optional<ble::ChairStatus> chair;
  std::optional<bind::BindConfig> bind;
  std::optional<int64_t> seconds;  // the session timer's seconds left
};

ServiceEvent make_log_event(std::string text);
ServiceEvent make_status_event(std::string name);
ServiceEvent make_connected_event(std::string display_name);
ServiceEvent make_autoconnect_event(std::string phase, bind::BindConfig binding);
ServiceEvent make_device_event(ble::DeviceRecord record);
ServiceEvent make_chair_event(ble::ChairStatus status);
ServiceEvent make_bind_event(bind::BindConfig binding);
// {"type":"timer","seconds":N}: a session timer set to N seconds, or 0 when none runs any more.
ServiceEvent make_timer_event(int64_t seconds);

// Compact JSON in declared member order; empty texts and absent records left out.
std::string to_json(const ServiceEvent& event);
// The `chair` member's object alone, appended to `out`: the report history serves the same bytes.
void append_chair_json(std::string& out, const ble::ChairStatus& status);

}  // namespace chair
