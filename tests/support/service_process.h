// Starts the real chair-service binary as a child process, as the desktop UI does.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace chair::test {

// build/bin (or the folder ctest names in CHAIR_BIN_DIR) joined with `name`.
std::string bin_path(const std::string& name);

// The command line that starts `program`: the program itself, except that the service
// binary (bin_path("chair-service")) is replaced by the words of CHAIR_SERVICE_CMD when
// that is set, e.g. "/usr/lib/wine/wine64 /abs/path/chair-service.exe" to drive another
// build of the service with the same tests. The first word is an absolute path.
std::vector<std::string> service_command(const std::string& program);

class ServiceProcess {
 public:
  // Starts `program` with `args` and extra environment entries ("KEY=value").
  ServiceProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::vector<std::string>& env = {});
  ~ServiceProcess();
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  // Reads standard output until `count` lines arrived or the deadline passed.
  std::vector<std::string> read_lines(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Everything written to standard output / error so far (after waiting for exit when exited).
  std::string out();
  std::string err();
  // The port of the LISTEN_URL= line (read_lines must have seen it), 0 when none.
  uint16_t port() const { return port_; }
  // Waits for the process to end; returns its exit code, or -1 on timeout / signal.
  int wait(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  void kill(int signal = 9);
  pid_t pid() const { return pid_; }

 private:
  void pump(std::chrono::milliseconds timeout);
  pid_t pid_ = -1;
  int out_fd_ = -1, err_fd_ = -1;
  std::string out_, err_;
  uint16_t port_ = 0;
  bool reaped_ = false;
  int status_ = 0;
};

}  // namespace chair::test
