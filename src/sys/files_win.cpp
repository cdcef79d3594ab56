// Whole-file reads and crash-safe replacement on Windows.
#include <windows.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string_view>
#include <system_error>

#include "sys/files.h"
#include "sys/win_text.h"

namespace chair::sys {

namespace {

std::string os_error_text(DWORD err) {
  std::string out = system_message(err);
  return out.empty() ? "error " + std::to_string(err) : out;
}

// The process that wrote `name`, when it is one of replace_file's private files for the
// file whose private names start with `prefix` ("bind.json.tmp-"): "<prefix><pid>-<n>".
std::optional<uint64_t> temp_file_owner(std::wstring_view name, std::wstring_view prefix) {
  if (!name.starts_with(prefix)) return std::nullopt;
  name.remove_prefix(prefix.size());
  const size_t dash = name.find(L'-');
  auto digits = [](std::wstring_view s) {
    return !s.empty() && s.size() <= 19 && s.find_first_not_of(L"0123456789") == std::wstring_view::npos;
  };
  if (dash == std::wstring_view::npos || !digits(name.substr(0, dash)) || !digits(name.substr(dash + 1)))
    return std::nullopt;
  uint64_t pid = 0;
  for (wchar_t c : name.substr(0, dash)) pid = pid * 10 + static_cast<uint64_t>(c - L'0');
  return pid;
}

bool process_running(uint64_t pid) {
  if (pid > 0xFFFFFFFFu) return false;
  HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
  // Refused access means it exists; no such process is an invalid parameter.
  if (h == nullptr) return GetLastError() != ERROR_INVALID_PARAMETER;
  DWORD code = 0;
  const bool running = GetExitCodeProcess(h, &code) && code == STILL_ACTIVE;
  CloseHandle(h);
  return running;
}

}  // namespace

void remove_replace_leftovers(const std::filesystem::path& path) {
  const std::wstring prefix = path.filename().wstring() + L".tmp-";
  std::filesystem::path dir = path.parent_path();
  if (dir.empty()) dir = ".";
  std::error_code ec;
  for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    auto owner = temp_file_owner(it->path().filename().wstring(), prefix);
    if (!owner || *owner == 0) continue;
    // Another service on the same folder may be writing its own right now.
    if (*owner != GetCurrentProcessId() && process_running(*owner)) continue;
    DeleteFileW(it->path().c_str());
  }
}

Result<std::string> read_file(const std::filesystem::path& path, size_t max_bytes) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return fail(os_error_text(GetLastError()));
  // A pipe or a device behind the name is no file of ours, and may block a read.
  if (GetFileType(h) != FILE_TYPE_DISK) {
    CloseHandle(h);
    return fail("not a regular file");
  }
  std::string data;
  std::array<char, 4096> buf;
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(h, buf.data(), static_cast<DWORD>(buf.size()), &n, nullptr)) {
      const DWORD err = GetLastError();
      CloseHandle(h);
      return fail(os_error_text(err));
    }
    if (n == 0) break;
    if (data.size() + n > max_bytes) {
      CloseHandle(h);
      return fail("larger than " + std::to_string(max_bytes) + " bytes");
    }
    data.append(buf.data(), n);
  }
  CloseHandle(h);
  return data;
}

// A private file beside the target, flushed to the disk, then moved over it in one step,
// so the target always holds either the old text or the new one.
Status replace_file(const std::filesystem::path& path, std::string_view text) {
  static std::atomic<uint64_t> counter{0};
  std::filesystem::path temp;
  HANDLE h = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 100 && h == INVALID_HANDLE_VALUE; ++attempt) {
    temp = path;
    temp += ".tmp-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter.fetch_add(1));
    h = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) return fail(os_error_text(GetLastError()));
  }
  if (h == INVALID_HANDLE_VALUE) return fail(os_error_text(ERROR_FILE_EXISTS));

  auto abandon = [&](DWORD err) {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    DeleteFileW(temp.c_str());
    return fail(os_error_text(err));
  };
  while (!text.empty()) {
    DWORD n = 0;
    DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size(), 1u << 20));
    if (!WriteFile(h, text.data(), chunk, &n, nullptr) || n == 0) return abandon(GetLastError());
    text.remove_prefix(n);
  }
  if (!FlushFileBuffers(h)) return abandon(GetLastError());
  CloseHandle(h);
  h = INVALID_HANDLE_VALUE;
  if (!MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return abandon(GetLastError());
  return {};
}

}  // namespace chair::sys
