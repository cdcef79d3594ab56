#include <windows.h>

#include <atomic>
#include <mutex>
#include <utility>

#include "sys/termination.h"

namespace chair::sys {

namespace {

std::mutex handler_mutex;
std::function<void()> handler_body;  // guarded by handler_mutex; set once
std::atomic<bool> requested{false};

BOOL WINAPI on_console_event(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT: break;
    default: return FALSE;
  }
  // Every event comes on a thread of its own; only the first one runs the body. The later
  // ones wait here, since returning would let the system end the process at once.
  if (requested.exchange(true)) {
    Sleep(INFINITE);
    return TRUE;
  }
  std::function<void()> body;
  {
    std::lock_guard lock(handler_mutex);
    body = handler_body;
  }
  try {
    if (body) body();
  } catch (...) {
    // Nothing may leave the system's handler thread.
  }
  return TRUE;
}

}  // namespace

void defer_termination_requests() {}

bool watch_termination(std::function<void()> on_request) {
  {
    std::lock_guard lock(handler_mutex);
    handler_body = std::move(on_request);
  }
  return SetConsoleCtrlHandler(on_console_event, TRUE) != 0;
}

}  // namespace chair::sys
