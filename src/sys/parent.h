// Noticing that the process which started us has gone.
#pragma once

#include <functional>

namespace chair::sys {

// Calls `on_gone` once, on a thread of its own, when the parent process ends. Returns false
// (and watches nothing) when there is no parent worth watching: started by init, or the
// parent cannot be found.
bool watch_parent(std::function<void()> on_gone);

}  // namespace chair::sys
