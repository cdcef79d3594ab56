#include "main/parent_watchdog.h"

#include <cstdio>
#include <thread>

#include "main/http.h"
#include "main/routes.h"
#include "main/service_state.h"
#include "sys/thread.h"

#ifdef _WIN32
#include <windows.h>
#include <tlhelp32.h>
#else
#include <unistd.h>
#endif

namespace chair {

namespace {

constexpr auto kParentCheck = std::chrono::milliseconds(250);

[[noreturn]] void quiet_and_exit(const std::shared_ptr<ServiceState>& state) {
  // The same quieting as "/api/shutdown": silent frames when a chair is ready, the link
  // dropped, "idle" published.
  try {
    (void)route_shutdown(state, HttpRequest{});
  } catch (...) {
  }
  // Let the open event streams take the last events before the process goes.
  state->events.wait_delivered(std::chrono::seconds(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::fflush(stdout);
  std::_Exit(0);
}

}  // namespace

#ifdef _WIN32

void start_parent_watchdog(const std::shared_ptr<ServiceState>& state) {
  DWORD self = GetCurrentProcessId(), parent = 0;
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snap == INVALID_HANDLE_VALUE) return;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL ok = Process32FirstW(snap, &entry); ok; ok = Process32NextW(snap, &entry)) {
    if (entry.th32ProcessID == self) {
      parent = entry.th32ParentProcessID;
      break;
    }
  }
  CloseHandle(snap);
  if (parent == 0) return;
  HANDLE handle = OpenProcess(SYNCHRONIZE, FALSE, parent);
  if (!handle) return;
  sys::spawn_detached([state, handle] {
    WaitForSingleObject(handle, INFINITE);
    CloseHandle(handle);
    quiet_and_exit(state);
  });
}

#else

void start_parent_watchdog(const std::shared_ptr<ServiceState>& state) {
  pid_t parent = getppid();
  if (parent <= 1) return;
  sys::spawn_detached([state, parent] {
    while (getppid() == parent) std::this_thread::sleep_for(kParentCheck);
    quiet_and_exit(state);
  });
}

#endif

}  // namespace chair
