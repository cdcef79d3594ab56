// The service keeps many sockets open and starts children from several threads at once, so
// nothing of ours may reach a child: the pipe is created close-on-exec, and where the C library
// allows it every descriptor above standard error is closed in the child as well, which also
// covers descriptors some other code opened without the flag.
#include "sys/spawn_linux.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <system_error>

extern char** environ;

namespace chair::sys::detail {
namespace {

std::string errno_text(int err) { return std::system_category().message(err); }

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

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

Result<Spawned> spawn_process(const std::string& program, const std::vector<std::string>& args, SpawnStreams streams) {
  int pipe_fds[2] = {-1, -1};
  if (streams.capture_output && ::pipe2(pipe_fds, O_CLOEXEC) != 0)
    return fail("cannot create pipe: " + errno_text(errno));
  int& read_end = pipe_fds[0];
  int& write_end = pipe_fds[1];

  SpawnSetup setup;
  bool actions_ok = setup.ok();
  // dup2 first: should the pipe have landed on 0 or 2 (a parent started with closed standard
  // streams), the /dev/null opens that follow still give the right layout.
  if (streams.capture_output) {
    actions_ok = actions_ok && posix_spawn_file_actions_adddup2(&setup.files, write_end, STDOUT_FILENO) == 0;
  } else {
    actions_ok =
        actions_ok && posix_spawn_file_actions_addopen(&setup.files, STDOUT_FILENO, "/dev/null", O_WRONLY, 0) == 0;
  }
  actions_ok =
      actions_ok && posix_spawn_file_actions_addopen(&setup.files, STDIN_FILENO, "/dev/null", O_RDONLY, 0) == 0;
  if (!streams.keep_errors) {
    actions_ok =
        actions_ok && posix_spawn_file_actions_addopen(&setup.files, STDERR_FILENO, "/dev/null", O_WRONLY, 0) == 0;
  }
#if defined(__GLIBC__) && defined(__GLIBC_PREREQ)
#if __GLIBC_PREREQ(2, 34)
  actions_ok = actions_ok && posix_spawn_file_actions_addclosefrom_np(&setup.files, STDERR_FILENO + 1) == 0;
#endif
#endif
  // We ignore SIGPIPE, and block or catch the stop signals; the child gets the ordinary
  // defaults so it behaves as it would when started from a shell. Its own process group keeps
  // a Ctrl-C at the terminal ours alone: we end the child in order instead.
  sigset_t empty_mask, default_signals;
  sigemptyset(&empty_mask);
  sigemptyset(&default_signals);
  for (int s : {SIGPIPE, SIGINT, SIGTERM, SIGHUP}) sigaddset(&default_signals, s);
  actions_ok = actions_ok &&
               posix_spawnattr_setflags(&setup.attr,
                                        POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP) == 0 &&
               posix_spawnattr_setsigmask(&setup.attr, &empty_mask) == 0 &&
               posix_spawnattr_setsigdefault(&setup.attr, &default_signals) == 0 &&
               posix_spawnattr_setpgroup(&setup.attr, 0) == 0;
  if (!actions_ok) {
    close_fd(read_end);
    close_fd(write_end);
    return fail("cannot prepare process start");
  }

  std::vector<std::string> argv_text;
  argv_text.reserve(args.size() + 1);
  argv_text.push_back(program);
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  argv.reserve(argv_text.size() + 1);
  for (auto& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, program.c_str(), &setup.files, &setup.attr, argv.data(), environ);
  close_fd(write_end);  // only the child writes; our copy would keep the pipe from ever ending
  if (rc != 0) {
    close_fd(read_end);
    return fail("cannot start " + program + ": " + errno_text(rc));
  }
  return Spawned{pid, read_end};
}

}  // namespace chair::sys::detail
