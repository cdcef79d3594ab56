// Whole-file reads and crash-safe replacement on Windows.
#include <windows.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <system_error>

#include "sys/files.h"
#include "sys/win_text.h"

namespace chair::sys {

namespace {

std::string os_error_text(DWORD err) {
  std::string out = system_message(err);
  return out.empty() ? "error " + std::to_string(err) : out;
}

}  // namespace

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
