// Opening a link: the device is opened on the connect worker, becomes the link, and its
// handshake starts on a worker of its own.
#include <string>

#include "ble/link/handshake.h"
#include "ble/link/link_state.h"
#include "common/address.h"
#include "common/text.h"

namespace chair::ble {

namespace {

// The name the link is shown with: what the chair calls itself wins over every remembered
// name, and the address stands in when there is none.
std::string display_name(LinkState& s, Connection& connection, const std::string& address) {
  std::string name = s.directory().remembered_name(address);
  if (is_blank(name)) name = address;
  if (auto own = connection.name(); own && !is_blank(*own)) name = std::move(*own);
  return name;
}

void report_open_failure(LinkState& s, const std::string& error) {
  // A link that is still up is what the clients should see again, not "idle".
  const LinkView view = s.view();
  if (view.phase == LinkPhase::Connected) {
    s.events().on_link_status(LinkStatus::Connected, view.name);
  } else {
    s.events().on_link_status(LinkStatus::Idle, "");
  }
  s.events().on_link_log("connect failed: " + error);
}

}  // namespace

ConnectOutcome open_link(LinkState& s, const ConnectRequest& request, const std::atomic<bool>& abandoned) {
  const std::string& address = request.address;
  if (request.origin == ConnectOrigin::Automatic) {
    // The supervisor asked while no link existed; one that came meanwhile (the user's) stays.
    if (s.view().phase != LinkPhase::Closed) return ConnectOutcome::Superseded;
  } else {
    // A handshake still under way is abandoned; a connected link is simply replaced below.
    s.close_handshake();
  }

  const auto mac = address_from_hex_digits(address);
  if (!mac) {
    s.events().on_link_log("MAC parse failed");
    return ConnectOutcome::Failed;
  }

  s.events().on_link_status(LinkStatus::Connecting, "");
  s.events().on_link_log("connecting " + address + " ...");

  auto opened = s.platform().open(*mac);
  // Given up while the platform looked for the device: whatever it found is closed unseen,
  // and nothing is said that could be taken for the request that replaced this one.
  if (abandoned.load()) {
    if (opened) (*opened)->close();
    return ConnectOutcome::Superseded;
  }
  if (!opened) {
    report_open_failure(s, opened.error());
    return ConnectOutcome::Failed;
  }
  ConnectionPtr connection = std::move(*opened);

  const uint64_t generation = s.open(address, connection, abandoned);
  if (generation == 0) {
    connection->close();
    return ConnectOutcome::Superseded;
  }

  const std::string name = display_name(s, *connection, address);
  s.events().on_link_log("link opened " + name + " (" + address + ")");

  auto state = s.shared_from_this();
  if (!s.spawn([state, generation, address, name] { run_handshake(state, generation, address, name); })) {
    s.lost(generation, "start gatt setup failed; reconnecting");
    return ConnectOutcome::Failed;
  }
  return ConnectOutcome::Opened;
}

}  // namespace chair::ble
