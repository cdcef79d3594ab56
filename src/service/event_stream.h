// The server-sent event stream of "/api/events".
#pragma once

#include <chrono>

#include "sys/sockets.h"

namespace chair {

struct ServiceState;

inline constexpr std::chrono::seconds kKeepAlive{15};
// A write that stays blocked this long ends the stream: the client stopped reading.
inline constexpr std::chrono::seconds kStreamWriteTimeout{30};

void serve_events(ServiceState& state, sys::Socket& socket);

}  // namespace chair
