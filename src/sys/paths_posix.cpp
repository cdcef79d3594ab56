#include <cstdlib>
#include <system_error>

#include "sys/paths.h"

namespace chair::sys {

std::optional<std::string> env_text(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

std::filesystem::path utf8_path(std::string_view text) { return std::filesystem::path(text); }

std::optional<std::filesystem::path> user_config_dir() {
  // The XDG rules ignore a relative XDG_CONFIG_HOME; an empty HOME would put the settings
  // wherever the service happened to start, so it counts as unset.
  if (auto xdg = env_text("XDG_CONFIG_HOME"); xdg && std::filesystem::path(*xdg).is_absolute()) {
    return std::filesystem::path(*xdg);
  }
  if (auto home = env_text("HOME"); home && !home->empty()) {
    return std::filesystem::path(*home) / ".config";
  }
  return std::nullopt;
}

std::filesystem::path temp_dir() {
  std::error_code ec;
  std::filesystem::path temp = std::filesystem::temp_directory_path(ec);
  if (ec || temp.empty()) return "/tmp";
  return temp;
}

}  // namespace chair::sys
