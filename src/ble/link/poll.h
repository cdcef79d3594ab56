// The status poll: the only periodic traffic to the chair, and how a chair that has gone
// away is noticed. Runs on a thread of its own for one link, until that link ends.
#pragma once

#include <cstdint>
#include <memory>

#include "ble/link/link_state.h"

namespace chair::ble {

void run_status_poll(const std::shared_ptr<LinkState>& state, uint64_t generation);

}  // namespace chair::ble
