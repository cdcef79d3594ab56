// How every child process is started on Linux (pipe2 and, with glibc 2.34, closing every
// descriptor above standard error in the child); shared by run_process and Child.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "common/result.h"

namespace chair::sys::detail {

struct SpawnStreams {
  bool capture_output = true;  // standard output into a pipe we read; else /dev/null
  bool keep_errors = false;    // standard error shared with us; else /dev/null
};

struct Spawned {
  pid_t pid = -1;
  int output = -1;  // the pipe's read end (close-on-exec), -1 without capture
};

// Starts `program` (looked up on PATH when it names no folder) with `args` and standard input
// from /dev/null, in a process group of its own, with an empty signal mask and the default
// actions for the signals we may ignore or catch, and none of our other descriptors.
Result<Spawned> spawn_process(const std::string& program, const std::vector<std::string>& args, SpawnStreams streams);

}  // namespace chair::sys::detail
