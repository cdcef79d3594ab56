// The setup handshake of a freshly opened link: services and characteristics, the
// subscription, the first report, then the initial settings; it ends by starting the status
// poll. Runs on a thread of its own per link.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "ble/link/link_state.h"

namespace chair::ble {

void run_handshake(const std::shared_ptr<LinkState>& state, uint64_t generation, const std::string& address,
                   const std::string& name);

}  // namespace chair::ble
