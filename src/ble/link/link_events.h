// What the chair link tells the layer above it. Called on the link's own threads and on the
// threads of the callers of ChairLink; never while a lock of the link is held.
#pragma once

#include <string>

#include "ble/protocol/settings.h"
#include "ble/protocol/status.h"

namespace chair::ble {

enum class LinkStatus { Idle, Connecting, Connected };

class LinkEvents {
 public:
  virtual ~LinkEvents() = default;
  // Diagnostic lines: "TX: {}", "RX: {}", handshake progress and failures.
  virtual void on_link_log(std::string text) = 0;
  // The link's state as it should be shown: Connecting when an attempt starts, Connected
  // (with the chair's display name) once the first report came, Idle after an attempt or a
  // link failed and nothing is left open.
  virtual void on_link_status(LinkStatus status, const std::string& name) = 0;
  // A report decoded from the chair's notifications.
  virtual void on_chair_status(ChairStatus status) = 0;
};

// What the link asks of the rest of the service while it connects.
class LinkDirectory {
 public:
  virtual ~LinkDirectory() = default;
  // A name remembered for the chair at this address (bound name, scan result, paired
  // name), the first that is not blank; "" when there is none.
  virtual std::string remembered_name(const std::string& address) = 0;
  // The settings applied after every connection.
  virtual InitConfig initial_settings() = 0;
};

}  // namespace chair::ble
