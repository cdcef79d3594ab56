// Requests from outside to end the process: SIGTERM, SIGINT and SIGHUP on POSIX systems; the
// console's Ctrl-C, Ctrl-Break, close, log-off and shutdown events on Windows.
#pragma once

#include <functional>

namespace chair::sys {

// POSIX: blocks the termination signals in the calling thread. Every thread inherits the mask
// of the thread that starts it, so when this runs before any thread exists, a request waits
// for watch_termination() instead of ending the process on the spot (with a chair still
// running). Windows: nothing to do; the console handler is installed by watch_termination().
void defer_termination_requests();

// Calls `on_request` once, for the first request, on a thread that is given to it: it is
// meant to end the process and need not return. POSIX: one thread waits for the deferred
// signals. Windows: the system's own handler thread runs it; the system ends the process a
// few seconds after a close, log-off or shutdown event whatever the handler does. False when
// nothing could be installed.
bool watch_termination(std::function<void()> on_request);

}  // namespace chair::sys
