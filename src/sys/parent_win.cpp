#include <windows.h>
// after windows.h, which it needs
#include <tlhelp32.h>

#include "sys/parent.h"
#include "sys/thread.h"

namespace chair::sys {

namespace {

DWORD parent_process_id() {
  const DWORD self = GetCurrentProcessId();
  DWORD parent = 0;
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snap == INVALID_HANDLE_VALUE) return 0;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL ok = Process32FirstW(snap, &entry); ok; ok = Process32NextW(snap, &entry)) {
    if (entry.th32ProcessID == self) {
      parent = entry.th32ParentProcessID;
      break;
    }
  }
  CloseHandle(snap);
  return parent;
}

}  // namespace

bool watch_parent(std::function<void()> on_gone) {
  const DWORD parent = parent_process_id();
  if (parent == 0) return false;
  // The handle pins the process object, so a parent id reused by a new process after our
  // parent ended can never be mistaken for it.
  HANDLE handle = OpenProcess(SYNCHRONIZE, FALSE, parent);
  if (!handle) return false;
  bool started = spawn_detached([handle, on_gone = std::move(on_gone)] {
    WaitForSingleObject(handle, INFINITE);
    CloseHandle(handle);
    on_gone();
  });
  if (!started) CloseHandle(handle);
  return started;
}

}  // namespace chair::sys
