// The chair link: the one owner of the connection to a chair. It opens the link, runs the
// setup handshake and the status poll on threads of its own, writes every frame, decodes the
// chair's notifications and tears the link down. Every step it takes for one link carries
// that link's generation and is checked against the current one when it acts, so a step of
// an older link can never write to, or close, a newer one.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "ble/link/link_events.h"
#include "ble/link/link_timings.h"
#include "ble/platform/platform.h"
#include "ble/protocol/commands.h"
#include "ble/protocol/status.h"
#include "common/result.h"

namespace chair::ble {

enum class LinkPhase {
  Closed,     // no link
  Opening,    // device and session open, handshake under way ("connecting")
  Ready,      // characteristics set up, frames can be written, first report awaited
  Connected,  // the chair answered ("connected"); the status poll runs
};

// The link as seen at one moment.
struct LinkView {
  LinkPhase phase = LinkPhase::Closed;
  uint64_t generation = 0;  // 0 never names a link
  std::string address;
  std::string name;  // display name, set once connected
  std::chrono::steady_clock::time_point opened_at;
};

// Who asked for a link: the user (a route), or the supervisor on its own.
enum class ConnectOrigin { User, Automatic };
// How a request for a link ended: the link is open; the address did not parse or the device
// could not be opened (both reported through events); or a newer request came first.
enum class ConnectOutcome { Opened, Failed, Superseded };

// What a silent shutdown achieved.
struct QuietReport {
  std::vector<Bytes> not_taken;  // silent frames the chair did not take, even when tried again
  std::string failure;           // what was logged about them; "" when there are none
  bool ok() const { return failure.empty(); }
};

class ChairLink {
 public:
  ChairLink(PlatformPtr platform, LinkEvents& events, LinkDirectory& directory, LinkTimings timings = {});
  ~ChairLink();
  ChairLink(const ChairLink&) = delete;
  ChairLink& operator=(const ChairLink&) = delete;

  // Asks for a link to the chair at `address`. Requests are served one at a time on the
  // link's connect thread, the newest first: a link still in its handshake is abandoned, the
  // device is opened, and the handshake starts; a connected link is replaced once the new
  // one is open. A request of the user's never waits behind an automatic one, which is
  // abandoned instead; an automatic request finds nothing to do once a link is open. `done`
  // runs on the connect thread (or the caller's, when superseded) and must not wait for the
  // link.
  void connect_async(const std::string& address, ConnectOrigin origin, std::function<void(ConnectOutcome)> done);
  // The user's request, waiting for the outcome; true once the link is open.
  bool connect(const std::string& address);

  LinkView view() const;
  bool is_current(uint64_t generation) const;
  const LinkTimings& timings() const;

  // Closes whatever link there is. Publishes nothing.
  void teardown();
  // Closes the link only while `generation` is current; true when it did.
  bool drop(uint64_t generation);
  // Closes a link that is still in its handshake (open, not connected); true when it did.
  bool drop_handshake();

  // Frames from the user. send_level remembers a cooling or heating level for the poll to
  // re-assert (also when the write fails); send_switch turns that off with 0x04 and back on
  // with 0x40. A setting the user changes on a ready link is not overwritten by initial
  // settings still being applied to it.
  Status send_level(uint8_t command, int64_t level);
  Status send_switch(uint8_t bits);
  Status send_query();
  Status send_raw(std::span<const uint8_t> bytes);

  // The silent shutdown: when a chair is ready, every function off (the eight silent frames,
  // one per silent_step; each that failed is tried once more after them), then the link torn
  // down. From the moment it starts nothing else reaches the chair: pending initial settings,
  // the handshake, the poll's re-assertion and the user's commands are refused. Logs the line
  // before the frames and, after them, either "chair entered silent state" or which
  // functions may still be running; the caller publishes the status.
  QuietReport quiet();

  // The platform's second opinion on a connected link: up to `readings` connection-state
  // reads, `pause` after each that says disconnected.
  enum class Health { Healthy, Lost, Replaced };
  Health check_health(uint64_t generation, int readings, std::chrono::milliseconds pause);

  ThermalSnapshot thermal() const;

 private:
  std::shared_ptr<class LinkState> state_;  // shared with the link's workers and callbacks
};

}  // namespace chair::ble
