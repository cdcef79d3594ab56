// chairctl's commands beside the chair routes: the session timer, the report history and
// recording a session for a bug report.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <functional>
#include <string_view>

#include "tools/chairctl/commands.h"

namespace chairctl {

// Adds `timer`, `history` and `record` to `app`; the one chosen on the command line is left in
// `command` while the line is parsed.
void add_session_commands(CLI::App& app, std::function<int(Context&)>& command);

// "30m", "90s", "2h", "1h30m": whole seconds, 1 to 86400.
Result<int64_t, Failure> parse_duration(std::string_view text);

}  // namespace chairctl
