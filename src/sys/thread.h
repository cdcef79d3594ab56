// Detached worker threads with a modest stack. Creating one can fail under load; that
// must never end the process, so the caller learns of it and decides.
#pragma once

#include <functional>

namespace chair::sys {

bool spawn_detached(std::function<void()> body);

}  // namespace chair::sys
