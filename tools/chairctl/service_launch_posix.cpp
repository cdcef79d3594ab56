#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <thread>

#include "tools/chairctl/service_launch.h"

extern "C" char** environ;

namespace chairctl {

namespace {

constexpr std::string_view kListenPrefix = "LISTEN_URL=";

std::string ended_text(int status) {
  if (WIFEXITED(status)) return "exited with code " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "was killed by signal " + std::to_string(WTERMSIG(status));
  return "ended";
}

}  // namespace

std::vector<std::string> service_candidates(const std::string& own_folder) {
  return {own_folder + "/chair-service", own_folder + "/../libexec/chair-service/chair-service"};
}

std::string default_service_path() {
  char buf[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "chair-service";
  std::string self(buf, static_cast<size_t>(n));
  const size_t slash = self.rfind('/');
  const auto candidates = service_candidates(slash == std::string::npos ? std::string(".") : self.substr(0, slash));
  for (const auto& candidate : candidates) {
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return candidates.front();
}

Result<std::unique_ptr<LaunchedService>, Failure> LaunchedService::start(const std::string& program,
                                                                 const std::vector<std::string>& args,
                                                                 std::chrono::milliseconds timeout) {
  if (::access(program.c_str(), X_OK) != 0) {
    return Failure{kExitUnreachable, "cannot start " + program + ": " + std::strerror(errno)};
  }
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) {
    return Failure{kExitUnreachable, std::string("cannot create a pipe: ") + std::strerror(errno)};
  }
  const int devnull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);

  // Everything the child needs is built before fork: after it only async-signal-safe calls.
  // Should chairctl die without stopping it, the service notices its parent is gone and
  // quiets the chair by itself.
  std::vector<std::string> storage{program};
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : storage) argv.push_back(a.data());
  argv.push_back(nullptr);

  const pid_t pid = ::fork();
  if (pid < 0) {
    const int err = errno;
    ::close(out[0]);
    ::close(out[1]);
    if (devnull >= 0) ::close(devnull);
    return Failure{kExitUnreachable, std::string("cannot start chair-service: ") + std::strerror(err)};
  }
  if (pid == 0) {
    // Its own process group: a Ctrl-C at the terminal reaches chairctl only, which then
    // shuts the service down in order instead of having it killed mid-way.
    ::setpgid(0, 0);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    ::sigaction(SIGPIPE, &dfl, nullptr);
    if (devnull >= 0) ::dup2(devnull, 0);
    ::dup2(out[1], 1);
    ::execve(program.c_str(), argv.data(), environ);
    ::_exit(127);
  }
  ::close(out[1]);
  if (devnull >= 0) ::close(devnull);

  std::unique_ptr<LaunchedService> service(new LaunchedService());
  service->pid_ = pid;
  service->out_fd_ = out[0];

  // The service prints three lines once it listens; the address is on the one that
  // starts with LISTEN_URL=.
  std::string buffer;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    size_t lf;
    while ((lf = buffer.find('\n')) != std::string::npos) {
      std::string line = buffer.substr(0, lf);
      buffer.erase(0, lf + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.rfind(kListenPrefix, 0) == 0) {
        auto url = normalize_base_url(line.substr(kListenPrefix.size()));
        if (!url) {
          service->stop();
          return Failure{kExitUnreachable, program + " announced an unusable address: " + line};
        }
        service->url_ = *url;
        return service;
      }
    }
    if (interrupted()) {
      service->stop(std::chrono::milliseconds(500));
      return Failure{kExitInterrupted, "interrupted while " + program + " was starting"};
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      const std::string how = service->stop(std::chrono::milliseconds(500));
      return Failure{kExitUnreachable, program + " did not announce its address within " +
                                           std::to_string(timeout.count()) + " ms (it " + how + ")"};
    }
    pollfd p{service->out_fd_, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 100)));
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    char chunk[1024];
    const ssize_t n = ::read(service->out_fd_, chunk, sizeof chunk);
    if (n > 0) {
      buffer.append(chunk, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;  // end of output: the service is gone or going
  }
  const std::string how = service->stop(std::chrono::milliseconds(500));
  return Failure{kExitUnreachable, program + " " + how + " before announcing its address"};
}

LaunchedService::~LaunchedService() { stop(); }

std::string LaunchedService::stop(std::chrono::milliseconds grace) {
  if (out_fd_ >= 0) {
    ::close(out_fd_);
    out_fd_ = -1;
  }
  if (pid_ <= 0 || reaped_) return "had ended";
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) {
    reaped_ = true;
    return ended_text(status);
  }
  ::kill(pid_, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + grace;
  while (std::chrono::steady_clock::now() < deadline) {
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      reaped_ = true;
      return ended_text(status);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid_, SIGKILL);
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  reaped_ = true;
  return ended_text(status);
}

}  // namespace chairctl
