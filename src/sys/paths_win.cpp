#include <windows.h>

#include <cstring>
#include <system_error>

#include "sys/paths.h"
#include "sys/win_text.h"

namespace chair::sys {

// The environment is read as UTF-16 and handed on as UTF-8: the narrow copy is in the
// system code page and would garble a non-ASCII user folder.
std::optional<std::string> env_text(const char* name) {
  std::wstring wname(name, name + std::strlen(name));
  SetLastError(ERROR_SUCCESS);  // an empty value answers 0 without setting an error
  DWORD need = GetEnvironmentVariableW(wname.c_str(), nullptr, 0);
  if (need == 0) {
    if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
    return std::string();
  }
  std::wstring value(need, L'\0');
  DWORD got = GetEnvironmentVariableW(wname.c_str(), value.data(), need);
  if (got >= need) return std::nullopt;
  value.resize(got);
  if (value.empty()) return std::string();
  // Unpaired surrogates cannot be written as UTF-8; such a value counts as unset.
  int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, value.data(), static_cast<int>(value.size()), nullptr, 0,
                              nullptr, nullptr);
  if (n <= 0) return std::nullopt;
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, value.data(), static_cast<int>(value.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

std::filesystem::path utf8_path(std::string_view text) { return std::filesystem::path(utf8_to_wide(text)); }

std::optional<std::filesystem::path> user_config_dir() {
  auto appdata = env_text("APPDATA");
  if (!appdata) return std::nullopt;
  return utf8_path(*appdata);
}

std::filesystem::path temp_dir() {
  std::error_code ec;
  std::filesystem::path temp = std::filesystem::temp_directory_path(ec);
  if (ec || temp.empty()) return "/tmp";
  return temp;
}

}  // namespace chair::sys
