#include "service_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <thread>

namespace chair::test {

extern "C" char** environ;

std::string bin_path(const std::string& name) {
  const char* dir = std::getenv("CHAIR_BIN_DIR");
  std::string base = dir && *dir ? dir : CHAIR_DEFAULT_BIN_DIR;
  return base + "/" + name;
}

std::vector<std::string> service_command(const std::string& program) {
  const char* cmd = std::getenv("CHAIR_SERVICE_CMD");
  if (cmd == nullptr || *cmd == '\0' || program != bin_path("chair-service")) return {program};
  std::vector<std::string> words;
  std::string word;
  for (const char* c = cmd;; ++c) {
    if (*c == ' ' || *c == '\0') {
      if (!word.empty()) words.push_back(std::move(word));
      word.clear();
      if (*c == '\0') break;
    } else {
      word += *c;
    }
  }
  if (words.empty()) return {program};
  return words;
}

ServiceProcess::ServiceProcess(const std::string& program, const std::vector<std::string>& args,
                               const std::vector<std::string>& env) {
  const std::vector<std::string> command = service_command(program);
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
  std::vector<std::string> envs;
  for (char** e = environ; *e; ++e) envs.emplace_back(*e);
  for (const auto& e : env) envs.push_back(e);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, 0);
    std::vector<char*> argv;
    for (const auto& c : command) argv.push_back(const_cast<char*>(c.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& e : envs) envp.push_back(e.data());
    envp.push_back(nullptr);
    execve(command[0].c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  out_fd_ = out[0];
  err_fd_ = err[0];
}

ServiceProcess::~ServiceProcess() {
  kill(SIGKILL);
  wait(std::chrono::seconds(5));
  if (out_fd_ >= 0) close(out_fd_);
  if (err_fd_ >= 0) close(err_fd_);
}

void ServiceProcess::pump(std::chrono::milliseconds timeout) {
  pollfd p[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
  if (poll(p, 2, static_cast<int>(timeout.count())) <= 0) return;
  char buf[4096];
  for (int i = 0; i < 2; ++i) {
    if (!(p[i].revents & (POLLIN | POLLHUP))) continue;
    ssize_t n = read(p[i].fd, buf, sizeof buf);
    if (n > 0) (i == 0 ? out_ : err_).append(buf, static_cast<size_t>(n));
    if (n == 0) {
      close(p[i].fd);
      (i == 0 ? out_fd_ : err_fd_) = -1;
    }
  }
}

std::vector<std::string> ServiceProcess::read_lines(size_t count, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  auto lines = [&] {
    std::vector<std::string> v;
    size_t start = 0, lf;
    while ((lf = out_.find('\n', start)) != std::string::npos) {
      v.push_back(out_.substr(start, lf - start));
      start = lf + 1;
    }
    return v;
  };
  while (lines().size() < count && out_fd_ >= 0 && std::chrono::steady_clock::now() < deadline)
    pump(std::chrono::milliseconds(20));
  auto v = lines();
  for (const auto& l : v) {
    if (l.rfind("LISTEN_URL=http://127.0.0.1:", 0) == 0) port_ = static_cast<uint16_t>(std::atoi(l.c_str() + 28));
  }
  return v;
}

std::string ServiceProcess::out() {
  pump(std::chrono::milliseconds(0));
  return out_;
}

std::string ServiceProcess::err() {
  pump(std::chrono::milliseconds(0));
  return err_;
}

int ServiceProcess::wait(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return -1;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!reaped_) {
    pid_t r = waitpid(pid_, &status_, WNOHANG);
    if (r == pid_) {
      reaped_ = true;
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    if (out_fd_ >= 0 || err_fd_ >= 0)
      pump(std::chrono::milliseconds(10));
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // Normally the pipes end with the process. Should something it started still hold them
  // (an emulator's helper processes can), what is there is taken and the wait ends anyway.
  auto drain_until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while ((out_fd_ >= 0 || err_fd_ >= 0) && std::chrono::steady_clock::now() < drain_until)
    pump(std::chrono::milliseconds(100));
  return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}

void ServiceProcess::kill(int signal) {
  if (pid_ > 0 && !reaped_) ::kill(pid_, signal);
}

}  // namespace chair::test
