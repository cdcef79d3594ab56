// chairctl: drives a running chair-service from the command line or a script.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>

#include "tools/chairctl/commands.h"

namespace chairctl {

// The whole program: parses the arguments, finds or starts the service, runs one
// command. Returns the exit status (0 done, 1 the service said no, 2 usage, 3 no service).
int run(int argc, char** argv);

// What a subcommand leaves to run once the service is known.
using Command = std::function<int(Context&)>;
// Ties a subcommand to the work it stands for: `prepare` runs while the line is parsed, checks
// the arguments (a usage error is thrown from there, as CLI::ValidationError) and returns the
// command. Groups of subcommands take one of these and add themselves to the app; the
// values their options fill must outlive the parse (keep them in shared_ptr captures).
using Register = std::function<void(CLI::App* sub, const std::function<Command()>& prepare)>;

// The value of a check, or the usage error CLI11 reports like its own (exit 2, before any
// request is made).
template <class T>
T checked(const char* what, Result<T, Failure> result) {
  if (!result) throw CLI::ValidationError(what, result.failure().text);
  return std::move(*result);
}

}  // namespace chairctl
