// Detached worker threads on Windows.
#include <process.h>
#include <windows.h>

#include <memory>

#include "sys/thread.h"

namespace chair::sys {

namespace {
// Workers only parse requests, format JSON and wait on sockets or platform calls: a small
// reserved stack keeps hundreds of idle event streams cheap.
constexpr unsigned kStackSize = 512 * 1024;

unsigned __stdcall run(void* arg) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
  try {
    (*body)();
  } catch (...) {
    // A worker's failure ends that worker only.
  }
  return 0;
}
}  // namespace

bool spawn_detached(std::function<void()> body) {
  auto* arg = new std::function<void()>(std::move(body));
  // _beginthreadex rather than CreateThread: the body uses the C runtime.
  uintptr_t handle = _beginthreadex(nullptr, kStackSize, run, arg, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (handle == 0) {
    delete arg;
    return false;
  }
  CloseHandle(reinterpret_cast<HANDLE>(handle));
  return true;
}

}  // namespace chair::sys
