// Every pause and deadline of the link, and how they add up to the longest a setup handshake
// may take. The auto-connect supervisor drops a link that is still not connected only once
// that budget has passed, so it never cuts a handshake whose steps each keep to theirs.
#pragma once

#include <chrono>

#include "ble/protocol/settings.h"

namespace chair::ble {

using namespace std::chrono_literals;

// Status queries a handshake sends before it gives up on a chair that does not answer.
inline constexpr int kInitialQueries = 3;

// Tests shrink them; the service runs with these.
struct LinkTimings {
  // Service discovery: a chair that has only just connected may list no services yet.
  std::chrono::milliseconds discovery_retry = 500ms;
  int discovery_attempts = 12;
  std::chrono::milliseconds after_subscribe = 300ms;
  // The wait for a report after a query, the handshake's and the poll's.
  std::chrono::milliseconds status_wait = 1500ms;
  std::chrono::milliseconds before_init = 400ms;
  // The protocol's pause before an initial setting (kInitPauseMs) is taken as this long:
  // every such pause is scaled by init_step / kInitPauseMs.
  std::chrono::milliseconds init_step = std::chrono::milliseconds(kInitPauseMs);
  std::chrono::milliseconds poll_interval = 2000ms;
  std::chrono::milliseconds silent_step = 50ms;
  // What the budget below grants one platform call of the handshake (a discovery, the
  // characteristics, the subscription, a write). The link itself never waits on it: a call
  // answers when the platform does.
  std::chrono::milliseconds call_allowance = 1000ms;
};

// The longest a handshake takes from the opening of the device to the chair's first report
// while each step keeps to its budget. At the service's values:
//   discovery: 12 attempts, one call each, 0.5 s apart     12 x 1 s + 11 x 0.5 s  17.5 s
//   the characteristics and the subscription, a call each  2 x 1 s                2.0 s
//   the pause after subscribing                                                   0.3 s
//   three queries, each a write and an unanswered wait     3 x (1 s + 1.5 s)      7.5 s
//                                                                                 27.3 s
// The initial settings come after the first report, when the link counts as connected.
constexpr std::chrono::milliseconds handshake_budget(const LinkTimings& t) {
  const int attempts = t.discovery_attempts > 0 ? t.discovery_attempts : 1;
  const auto discovery = attempts * t.call_allowance + (attempts - 1) * t.discovery_retry;
  const auto setup = 2 * t.call_allowance + t.after_subscribe;
  const auto queries = kInitialQueries * (t.call_allowance + t.status_wait);
  return discovery + setup + queries;
}

// The supervisor counts whole seconds since the link opened: it drops a link still not
// connected once this many have passed (28 s at the service's values).
constexpr std::chrono::seconds handshake_limit(const LinkTimings& t) {
  return std::chrono::ceil<std::chrono::seconds>(handshake_budget(t));
}

}  // namespace chair::ble
