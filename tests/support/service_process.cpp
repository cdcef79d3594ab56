#include "service_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace chair::test {

std::string bin_path(const std::string& name) {
  const char* dir = std::getenv("CHAIR_BIN_DIR");
  return std::string(dir && *dir ? dir : CHAIR_DEFAULT_BIN_DIR) + "/" + name;
}

std::vector<std::string> service_command(const std::string& program) {
  const char* cmd = std::getenv("CHAIR_SERVICE_CMD");
  if (cmd == nullptr || *cmd == '\0' || program != bin_path("chair-service")) return {program};
  std::vector<std::string> words;
  std::istringstream text(cmd);
  for (std::string word; text >> word;) words.push_back(word);
  return words;
}

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

  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  const int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    dup2(devnull, STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    // Signals blocked by the test's threads must not stay blocked in the child.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(argp[0], argp.data(), envp.data());
    _exit(127);
  }
  close(devnull);
  close(out[1]);
  close(err[1]);
  out_fd_ = out[0];
  err_fd_ = err[0];
  reader_ = std::thread([this] { read_output(); });
}

ChildProcess::~ChildProcess() {
  kill(SIGKILL);
  reap(std::chrono::seconds(5));
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  if (reader_.joinable()) reader_.join();
  if (out_fd_ >= 0) close(out_fd_);
  if (err_fd_ >= 0) close(err_fd_);
}

void ChildProcess::read_output() {
  pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
  char buf[4096];
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (stop_) break;
    }
    if (fds[0].fd < 0 && fds[1].fd < 0) break;
    // A short wait, so that a stop is seen even while a helper of the program keeps a pipe open.
    if (poll(fds, 2, 50) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const ssize_t n = read(fds[i].fd, buf, sizeof buf);
      std::lock_guard lock(mutex_);
      if (n > 0) {
        (i == 0 ? out_ : err_).append(buf, static_cast<size_t>(n));
      } else {
        fds[i].fd = -1;
      }
    }
    changed_.notify_all();
  }
  std::lock_guard lock(mutex_);
  ended_ = true;
  changed_.notify_all();
}

std::vector<std::string> ChildProcess::lines_locked() const {
  std::vector<std::string> v;
  size_t start = 0, lf;
  while ((lf = out_.find('\n', start)) != std::string::npos) {
    v.push_back(out_.substr(start, lf - start));
    start = lf + 1;
  }
  if (ended_ && start < out_.size()) v.push_back(out_.substr(start));
  return v;
}

std::vector<std::string> ChildProcess::lines() const {
  std::lock_guard lock(mutex_);
  return lines_locked();
}

std::string ChildProcess::wait_for(const std::function<bool(const std::string&)>& pred,
                                   std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::unique_lock lock(mutex_);
  for (;;) {
    for (const auto& line : lines_locked()) {
      if (pred(line)) return line;
    }
    if (ended_ || changed_.wait_until(lock, deadline) == std::cv_status::timeout) return "";
  }
}

bool ChildProcess::wait_for_line(const std::string& line, std::chrono::milliseconds timeout) {
  return !wait_for([&](const std::string& l) { return l == line; }, timeout).empty();
}

std::vector<std::string> ChildProcess::read_lines(size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, timeout, [&] { return ended_ || lines_locked().size() >= count; });
  return lines_locked();
}

std::string ChildProcess::out() const {
  std::lock_guard lock(mutex_);
  return out_;
}

std::string ChildProcess::err() const {
  std::lock_guard lock(mutex_);
  return err_;
}

void ChildProcess::kill(int signal) {
  if (pid_ > 0 && !reaped_) ::kill(pid_, signal);
}

bool ChildProcess::reap(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return false;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!reaped_) {
    const pid_t r = waitpid(pid_, &status_, WNOHANG);
    if (r == pid_ || r < 0) {
      reaped_ = true;
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  // Normally the pipes end with the process. Should something it started still hold them
  // (an emulator's helper processes can), what is there is taken and the wait ends anyway.
  wait_output(std::chrono::seconds(2));
  return true;
}

void ChildProcess::wait_output(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, timeout, [&] { return ended_; });
}

int ChildProcess::wait(std::chrono::milliseconds timeout) {
  if (!reap(timeout)) return -1;
  return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}

int ChildProcess::terminate(std::chrono::milliseconds grace) {
  kill(SIGTERM);
  if (!reap(grace)) {
    kill(SIGKILL);
    reap(std::chrono::seconds(5));
  }
  return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
}

namespace {

std::vector<std::string> joined(std::vector<std::string> command, const std::vector<std::string>& args) {
  command.insert(command.end(), args.begin(), args.end());
  return command;
}

std::map<std::string, std::string> entries(const std::vector<std::string>& env) {
  std::map<std::string, std::string> out;
  for (const auto& e : env) {
    const size_t eq = e.find('=');
    out[e.substr(0, eq)] = eq == std::string::npos ? "" : e.substr(eq + 1);
  }
  return out;
}

}  // namespace

ServiceProcess::ServiceProcess(const std::string& program, const std::vector<std::string>& args,
                               const std::vector<std::string>& env)
    : ChildProcess(joined(service_command(program), args), entries(env)) {}

std::unique_ptr<ServiceProcess> start_service(const std::vector<std::string>& args,
                                              const std::vector<std::string>& env) {
  auto service = std::make_unique<ServiceProcess>(bin_path("chair-service"), args, env);
  service->read_lines(3);
  return service;
}

uint16_t ServiceProcess::port() const {
  constexpr std::string_view kListen = "LISTEN_URL=http://127.0.0.1:";
  for (const auto& l : lines()) {
    if (l.rfind(kListen, 0) == 0) return static_cast<uint16_t>(std::atoi(l.c_str() + kListen.size()));
  }
  return 0;
}

}  // namespace chair::test
