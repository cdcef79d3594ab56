// The server-sent event stream of "/api/events".
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "http/server.h"
#include "service/events/event_hub.h"

namespace chair {

inline constexpr std::chrono::seconds kKeepAlive{15};
// A write that stays blocked this long ends the stream: the client stopped reading.
inline constexpr std::chrono::seconds kStreamWriteTimeout{30};

// Writes the stream head, the state snapshot (`status_name` at the moment of subscribing, then
// the records of `more_state`, such as a running session timer or Bluetooth that cannot be
// used) and then every published event, with a ping after every quiet kKeepAlive, until a
// write fails or the hub cuts the subscriber off.
void serve_events(EventHub& hub, const std::function<std::string()>& status_name, http::ByteSink& sink,
                  const std::function<std::vector<ServiceEvent>()>& more_state = {});

}  // namespace chair
