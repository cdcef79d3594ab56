// Process runner for POSIX systems: standard output through a pipe, with bounds on size and
// time.
#include "sys/process.h"

#include <poll.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <thread>

#include "sys/spawn_linux.h"

namespace chair::sys {
namespace {

using Clock = std::chrono::steady_clock;

std::string errno_text(int err) { return std::system_category().message(err); }

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }
  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// Owns the started child until it has been reaped. Whatever way run_process leaves,
// the child is waited for, so no zombie stays behind.
class RunningChild {
 public:
  explicit RunningChild(pid_t pid) : pid_(pid) {}
  RunningChild(const RunningChild&) = delete;
  RunningChild& operator=(const RunningChild&) = delete;
  ~RunningChild() { kill_and_reap(); }

  // True once the child has ended (and has been reaped).
  bool try_reap() {
    if (pid_ <= 0) return true;
    for (;;) {
      pid_t r = ::waitpid(pid_, nullptr, WNOHANG);
      if (r == pid_) break;
      if (r == 0) return false;
      if (errno == EINTR) continue;
      break;  // ECHILD: somebody else reaped it; it is gone either way
    }
    pid_ = -1;
    return true;
  }

  void kill_and_reap() {
    if (pid_ <= 0) return;
    // The child leads its own process group: anything it started goes down with it
    // and cannot keep running (or keep our pipe open) after we give up.
    ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }

 private:
  pid_t pid_;
};

int poll_timeout_ms(Clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<decltype(left)>(left, 0, 60'000));
}

}  // namespace

Result<std::string> run_process(const std::string& program, const std::vector<std::string>& args,
                                const ProcessLimits& limits) {
  const auto deadline = Clock::now() + limits.timeout;

  auto spawned = detail::spawn_process(program, args, {.capture_output = true, .keep_errors = false});
  if (!spawned) return spawned.take_error();
  Fd read_end(spawned->output);
  RunningChild child(spawned->pid);

  std::string out;
  char buffer[64 * 1024];
  for (;;) {
    if (Clock::now() >= deadline) return fail(program + " did not finish in time");
    pollfd p{read_end.get(), POLLIN, 0};
    int n = ::poll(&p, 1, poll_timeout_ms(deadline));
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail("cannot read output of " + program + ": " + errno_text(errno));
    }
    if (n == 0) continue;
    ssize_t got = ::read(read_end.get(), buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return fail("cannot read output of " + program + ": " + errno_text(errno));
    }
    if (got == 0) break;
    if (out.size() + static_cast<size_t>(got) > limits.max_output)
      return fail("output of " + program + " is too large");
    out.append(buffer, static_cast<size_t>(got));
  }
  read_end.reset();

  // The output is complete; the process may still take a moment to exit, but not past
  // the deadline.
  auto pause = std::chrono::milliseconds(1);
  while (!child.try_reap()) {
    if (Clock::now() >= deadline) return fail(program + " did not finish in time");
    std::this_thread::sleep_for(std::min(pause, std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now())));
    pause = std::min(pause * 2, std::chrono::milliseconds(20));
  }
  return out;
}

}  // namespace chair::sys
