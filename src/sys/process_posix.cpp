// Process runner for POSIX systems: posix_spawnp, standard output through a pipe.
//
// The service keeps many sockets open and runs this from several threads at once, so
// nothing of ours may reach the child: the pipe is created close-on-exec, and where the
// C library allows it every descriptor above standard error is closed in the child as
// well, which also covers descriptors some other code opened without the flag.
#include "sys/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <thread>

extern char** environ;

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

class SpawnSetup {
 public:
  SpawnSetup() {
    files_ok_ = posix_spawn_file_actions_init(&files) == 0;
    attr_ok_ = posix_spawnattr_init(&attr) == 0;
  }
  ~SpawnSetup() {
    if (files_ok_) posix_spawn_file_actions_destroy(&files);
    if (attr_ok_) posix_spawnattr_destroy(&attr);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
  bool ok() const { return files_ok_ && attr_ok_; }

  posix_spawn_file_actions_t files;
  posix_spawnattr_t attr;

 private:
  bool files_ok_ = false;
  bool attr_ok_ = false;
};

// Owns the started child until it has been reaped. Whatever way run_process leaves,
// the child is waited for, so no zombie stays behind.
class Child {
 public:
  explicit Child(pid_t pid) : pid_(pid) {}
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() { kill_and_reap(); }

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

  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return fail("cannot create pipe: " + errno_text(errno));
  Fd read_end(pipe_fds[0]);
  Fd write_end(pipe_fds[1]);

  SpawnSetup setup;
  if (!setup.ok()) return fail("cannot prepare process start");
  // dup2 first: should the pipe have landed on 0 or 2 (a service started with closed
  // standard streams), the /dev/null opens that follow still give the right layout.
  bool actions_ok =
      posix_spawn_file_actions_adddup2(&setup.files, write_end.get(), STDOUT_FILENO) == 0 &&
      posix_spawn_file_actions_addopen(&setup.files, STDIN_FILENO, "/dev/null", O_RDONLY, 0) == 0 &&
      posix_spawn_file_actions_addopen(&setup.files, STDERR_FILENO, "/dev/null", O_WRONLY, 0) == 0;
#if defined(__GLIBC__) && defined(__GLIBC_PREREQ)
#if __GLIBC_PREREQ(2, 34)
  actions_ok = actions_ok && posix_spawn_file_actions_addclosefrom_np(&setup.files, STDERR_FILENO + 1) == 0;
#endif
#endif
  // The service ignores SIGPIPE and worker threads may block signals; the child gets
  // the ordinary defaults so it behaves as it would when started from a shell.
  sigset_t empty_mask, default_signals;
  sigemptyset(&empty_mask);
  sigemptyset(&default_signals);
  sigaddset(&default_signals, SIGPIPE);
  actions_ok = actions_ok &&
               posix_spawnattr_setflags(&setup.attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                                         POSIX_SPAWN_SETPGROUP) == 0 &&
               posix_spawnattr_setsigmask(&setup.attr, &empty_mask) == 0 &&
               posix_spawnattr_setsigdefault(&setup.attr, &default_signals) == 0 &&
               posix_spawnattr_setpgroup(&setup.attr, 0) == 0;
  if (!actions_ok) return fail("cannot prepare process start");

  std::vector<std::string> argv_text;
  argv_text.reserve(args.size() + 1);
  argv_text.push_back(program);
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  argv.reserve(argv_text.size() + 1);
  for (auto& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_t pid = -1;
  int rc = ::posix_spawnp(&pid, program.c_str(), &setup.files, &setup.attr, argv.data(), environ);
  write_end.reset();  // only the child writes; its end of the pipe must be ours no more for EOF
  if (rc != 0) return fail("cannot start " + program + ": " + errno_text(rc));
  Child child(pid);

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
    std::this_thread::sleep_for(std::min(pause, std::chrono::ceil<std::chrono::milliseconds>(
                                                    deadline - Clock::now())));
    pause = std::min(pause * 2, std::chrono::milliseconds(20));
  }
  return out;
}

}  // namespace chair::sys
