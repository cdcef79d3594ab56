// Environment variables and the folders the system names for a user's settings.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "common/result.h"

namespace chair::sys {

// The variable's value as UTF-8 (read as UTF-16 on Windows, where the narrow copy is in the
// system code page). nullopt when unset, or on Windows when the value is not valid Unicode.
std::optional<std::string> env_text(const char* name);

// A path from UTF-8 text (on Windows the narrow constructor would read the code page).
std::filesystem::path utf8_path(std::string_view text);

// The per-user folder for settings: $XDG_CONFIG_HOME when absolute, else $HOME/.config (an
// empty HOME counts as unset) on POSIX; %APPDATA% (valid UTF-8 only) on Windows. nullopt
// when the environment names none.
std::optional<std::filesystem::path> user_config_dir();

// The system's temporary folder ("/tmp" when it cannot be found).
std::filesystem::path temp_dir();

#ifndef _WIN32
// The running program's own file, as an absolute path; an error when the system cannot tell
// (no /proc, or a path longer than the kernel shows there).
Result<std::filesystem::path> running_program();

// The folder this build installs the service and its Bluetooth module in
// (<prefix>/libexec/chair-service, as configured): where they are looked for when the running
// program cannot tell where it is. Programs are never looked for in the current folder.
std::filesystem::path installed_service_dir();
#endif

}  // namespace chair::sys
