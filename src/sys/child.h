// A program we start, talk to and end ourselves, as a desktop UI does with the service: its
// standard output comes to us through a pipe, it runs in a process group of its own, and it is
// always reaped. POSIX only.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"

namespace chair::sys {

// How a child ended.
struct ChildExit {
  int code = -1;   // the exit code, or -1 when a signal ended it
  int signal = 0;  // the signal that ended it, or 0
  bool success() const { return code == 0; }
  // "exited with code 3", "was killed by signal 9"
  std::string text() const;
};

// Why a line the child was meant to print did not come.
struct MissingLine {
  enum class Why { kTimedOut, kOutputEnded, kGaveUp, kReadFailed };
  Why why = Why::kOutputEnded;
  std::string detail;  // the system's text for kReadFailed
};

struct ChildStreams {
  bool capture_output = true;  // false: its standard output goes to /dev/null
  bool keep_errors = true;     // false: its standard error goes to /dev/null
};

// Not for use from two threads at once.
class Child {
 public:
  // Starts `program` (looked up on PATH when it names no folder) with `args` and standard
  // input from /dev/null. The error text names the program and the system's reason.
  static Result<std::unique_ptr<Child>> start(const std::string& program, const std::vector<std::string>& args,
                                              ChildStreams streams = {});
  // Ends the child as end() does, unless it has been reaped already.
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  int pid() const { return pid_; }

  // Reads standard output until a line that begins with `prefix` and returns the rest of that
  // line (without its line end). Lines before it are skipped. `give_up` is asked about ten
  // times a second while nothing comes.
  Result<std::string, MissingLine> read_line(std::string_view prefix, std::chrono::milliseconds timeout,
                                             const std::function<bool()>& give_up = {});

  // How the child ended, once it has (it is reaped then); nullopt while it runs.
  std::optional<ChildExit> poll_exit();

  // SIGTERM, up to `grace` for it to go, then SIGKILL; reaps it. Also when it had ended before.
  ChildExit end(std::chrono::milliseconds grace = std::chrono::seconds(3));

  // Leaves the child running on its own: nothing ends it any more, and once we exit the system
  // reaps it. For a program that may have become what the user works with (a browser).
  void let_go();

 private:
  Child() = default;
  void close_output();

  int pid_ = -1;
  int output_ = -1;
  std::string pending_;  // output read past the last line handed out
  std::optional<ChildExit> exit_;
};

// Another program of ours, found from where the running one is: beside it (a build tree), else
// in each of `other_folders`, relative to its folder (an installation). The first candidate
// that is an executable file, else the first candidate. When the running program cannot tell
// where it is, the one candidate is in installed_service_dir() (paths.h), never in the
// current folder.
std::string companion_program(const std::string& name, const std::vector<std::string>& other_folders);

}  // namespace chair::sys
