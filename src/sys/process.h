// Runs a program and collects its standard output, with bounds on size and time.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "common/result.h"

namespace chair::sys {

struct ProcessLimits {
  size_t max_output = 1024 * 1024;                               // more output makes the run fail
  std::chrono::milliseconds timeout = std::chrono::seconds(30);  // then the child is killed
};

// Starts `program` (looked up on PATH) with `args`, no console window where that
// applies, standard error discarded, and waits for it. Returns its standard output,
// or an error text when it cannot be started, is killed for its time, or writes too much.
// Never leaves a zombie behind.
Result<std::string> run_process(const std::string& program, const std::vector<std::string>& args,
                                const ProcessLimits& limits = {});

}  // namespace chair::sys
