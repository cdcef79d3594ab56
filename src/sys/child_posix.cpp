#include "sys/child.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <thread>

#include "sys/paths.h"
#include "sys/spawn_linux.h"

namespace chair::sys {
namespace {

using Clock = std::chrono::steady_clock;

// How often read_line asks whether to give up while the child is silent.
constexpr auto kGiveUpCheck = std::chrono::milliseconds(100);

ChildExit exit_of(int status) {
  ChildExit e;
  if (WIFEXITED(status)) e.code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) e.signal = WTERMSIG(status);
  return e;
}

}  // namespace

std::string ChildExit::text() const {
  if (signal != 0) return "was killed by signal " + std::to_string(signal);
  if (code >= 0) return "exited with code " + std::to_string(code);
  return "ended";
}

Result<std::unique_ptr<Child>> Child::start(const std::string& program, const std::vector<std::string>& args,
                                            ChildStreams streams) {
  auto spawned = detail::spawn_process(program, args,
                                       {.capture_output = streams.capture_output, .keep_errors = streams.keep_errors});
  if (!spawned) return spawned.take_error();
  std::unique_ptr<Child> child(new Child());
  child->pid_ = spawned->pid;
  child->output_ = spawned->output;
  return child;
}

Child::~Child() {
  if (!exit_ && pid_ > 0) end();
  close_output();
}

void Child::let_go() {
  close_output();
  pid_ = -1;
}

void Child::close_output() {
  if (output_ >= 0) ::close(output_);
  output_ = -1;
}

Result<std::string, MissingLine> Child::read_line(std::string_view prefix, std::chrono::milliseconds timeout,
                                                  const std::function<bool()>& give_up) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    size_t lf;
    while ((lf = pending_.find('\n')) != std::string::npos) {
      std::string line = pending_.substr(0, lf);
      pending_.erase(0, lf + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.compare(0, prefix.size(), prefix) == 0) return line.substr(prefix.size());
    }
    if (output_ < 0) return MissingLine{MissingLine::Why::kOutputEnded, {}};
    if (give_up && give_up()) return MissingLine{MissingLine::Why::kGaveUp, {}};
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return MissingLine{MissingLine::Why::kTimedOut, {}};
    pollfd p{output_, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(std::min(left, std::chrono::milliseconds(kGiveUpCheck)).count()));
    if (ready < 0 && errno != EINTR)
      return MissingLine{MissingLine::Why::kReadFailed, std::system_category().message(errno)};
    if (ready <= 0) continue;
    char chunk[4096];
    const ssize_t n = ::read(output_, chunk, sizeof chunk);
    if (n > 0) {
      pending_.append(chunk, static_cast<size_t>(n));
    } else if (n == 0) {
      close_output();  // the child is gone, or closed its standard output
    } else if (errno != EINTR && errno != EAGAIN) {
      return MissingLine{MissingLine::Why::kReadFailed, std::system_category().message(errno)};
    }
  }
}

std::optional<ChildExit> Child::poll_exit() {
  if (exit_ || pid_ <= 0) return exit_;
  int status = 0;
  pid_t r;
  while ((r = ::waitpid(pid_, &status, WNOHANG)) < 0 && errno == EINTR) {
  }
  if (r == pid_) {
    exit_ = exit_of(status);
  } else if (r < 0) {
    exit_ = ChildExit{};  // ECHILD: reaped elsewhere; gone either way, how is unknown
  }
  return exit_;
}

ChildExit Child::end(std::chrono::milliseconds grace) {
  if (pid_ <= 0) return exit_.value_or(ChildExit{});
  if (poll_exit()) return *exit_;
  ::kill(pid_, SIGTERM);
  const auto deadline = Clock::now() + grace;
  auto pause = std::chrono::milliseconds(1);
  while (Clock::now() < deadline) {
    std::this_thread::sleep_for(pause);
    if (poll_exit()) return *exit_;
    pause = std::min(pause * 2, std::chrono::milliseconds(20));
  }
  ::kill(pid_, SIGKILL);
  int status = 0;
  pid_t r;
  while ((r = ::waitpid(pid_, &status, 0)) < 0 && errno == EINTR) {
  }
  exit_ = r == pid_ ? exit_of(status) : ChildExit{};
  return *exit_;
}

std::string companion_program(const std::string& name, const std::vector<std::string>& other_folders) {
  std::vector<std::string> candidates;
  if (auto self = running_program()) {
    const std::string folder = self->parent_path().string();
    candidates.push_back(folder + "/" + name);
    for (const auto& other : other_folders) {
      std::string path = folder;
      path.append("/").append(other).append("/").append(name);
      candidates.push_back(std::move(path));
    }
  } else {
    // Never the current folder: whatever lies there is not ours to start.
    candidates.push_back((installed_service_dir() / name).string());
  }
  for (const auto& candidate : candidates) {
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return candidates.front();
}

}  // namespace chair::sys
