#include "dbus_fixture.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "eventually.h"

extern char** environ;

namespace chair::test {

namespace {

constexpr const char* kBusConfig = R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>custom</type>
  <listen>unix:path=@DIR@/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
)";

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env) {
  // Everything the child needs is prepared before fork: only async-signal-safe calls after it.
  std::map<std::string, std::string> merged;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    const size_t eq = entry.find('=');
    if (eq != std::string::npos) merged[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& [k, v] : env) merged[k] = v;
  std::vector<std::string> env_strings;
  for (const auto& [k, v] : merged) env_strings.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  for (auto& s : args) argp.push_back(s.data());
  argp.push_back(nullptr);

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    dup2(fds[1], STDOUT_FILENO);
    // Signals blocked by the test's threads must not stay blocked in the child.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(argp[0], argp.data(), envp.data());
    _exit(127);
  }
  close(fds[1]);
  out_fd_ = fds[0];
  reader_ = std::thread([this] {
    std::string pending;
    char buf[4096];
    for (;;) {
      const ssize_t n = read(out_fd_, buf, sizeof buf);
      if (n <= 0) break;
      pending.append(buf, static_cast<size_t>(n));
      size_t nl;
      while ((nl = pending.find('\n')) != std::string::npos) {
        {
          std::lock_guard lock(mutex_);
          lines_.push_back(pending.substr(0, nl));
        }
        pending.erase(0, nl + 1);
        changed_.notify_all();
      }
    }
    {
      std::lock_guard lock(mutex_);
      if (!pending.empty()) lines_.push_back(pending);
      closed_ = true;
    }
    changed_.notify_all();
  });
}

ChildProcess::~ChildProcess() {
  terminate();
  if (reader_.joinable()) reader_.join();
  if (out_fd_ >= 0) close(out_fd_);
}

std::string ChildProcess::wait_for(const std::function<bool(const std::string&)>& pred,
                                   std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  size_t checked = 0;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    for (; checked < lines_.size(); ++checked) {
      if (pred(lines_[checked])) return lines_[checked];
    }
    if (closed_) return "";
    if (changed_.wait_until(lock, deadline) == std::cv_status::timeout && checked == lines_.size()) return "";
  }
}

bool ChildProcess::wait_for_line(const std::string& line, std::chrono::milliseconds timeout) {
  return !wait_for([&](const std::string& l) { return l == line; }, timeout).empty();
}

std::vector<std::string> ChildProcess::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

int ChildProcess::terminate(std::chrono::milliseconds grace) {
  if (pid_ <= 0) return status_;
  kill(pid_, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + grace;
  int wstatus = 0;
  for (;;) {
    const pid_t r = waitpid(pid_, &wstatus, WNOHANG);
    if (r == pid_) break;
    if (r < 0) {
      wstatus = 0;
      break;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &wstatus, 0);
      break;
    }
    usleep(5000);
  }
  pid_ = -1;
  status_ = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  return status_;
}

PrivateBus::PrivateBus() {
  std::string templ = (std::filesystem::temp_directory_path() / "chair-bus-XXXXXX").string();
  if (!mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
  dir_ = templ;
  std::string config = kBusConfig;
  config.replace(config.find("@DIR@"), 5, dir_);
  std::ofstream(dir_ + "/bus.conf") << config;
  daemon_ = std::make_unique<ChildProcess>(std::vector<std::string>{
      "/usr/bin/dbus-daemon", "--config-file=" + dir_ + "/bus.conf", "--nofork", "--print-address"});
  address_ = daemon_->wait_for([](const std::string& l) { return l.rfind("unix:", 0) == 0; });
  if (address_.empty()) throw std::runtime_error("dbus-daemon did not start");
}

PrivateBus::~PrivateBus() {
  daemon_.reset();
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

std::string chair_bin(const std::string& name) {
  const char* dir = std::getenv("CHAIR_BIN_DIR");
  return std::string(dir && *dir ? dir : CHAIR_TEST_DBUS_BIN_DIR) + "/" + name;
}

bool wait_for_condition(const std::function<bool()>& cond, std::chrono::milliseconds timeout) {
  return eventually(cond, timeout);
}

}  // namespace chair::test
