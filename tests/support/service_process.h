// Programs a test starts: the simulator, a bus daemon, chairctl, and the real chair-service
// binary as the desktop UI starts it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace chair::test {

// build/bin (or the folder ctest names in CHAIR_BIN_DIR) joined with `name`.
std::string bin_path(const std::string& name);
// The same; the name the simulator's tests know it by.
inline std::string chair_bin(const std::string& name) { return bin_path(name); }

// The command line that starts `program`: the program itself, except that the service
// binary (bin_path("chair-service")) is replaced by the words of CHAIR_SERVICE_CMD when
// that is set, e.g. "/usr/lib/wine/wine64 /abs/path/chair-service.exe" to drive another
// build of the service with the same tests. The first word is an absolute path.
std::vector<std::string> service_command(const std::string& program);

// A started program: standard input empty, standard output and error collected as they come.
// It is killed (SIGKILL) when the test process dies, and by the destructor.
class ChildProcess {
 public:
  // argv[0] is a path. `env` entries are added to (or replace) the test's environment.
  explicit ChildProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  // Waits until a line equal to `line` has been printed (also one printed earlier).
  bool wait_for_line(const std::string& line, std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Waits until some line satisfies `pred`; returns it, or "" on timeout or end of output.
  std::string wait_for(const std::function<bool(const std::string&)>& pred,
                       std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Waits until `count` lines arrived, the output ended or the deadline passed.
  std::vector<std::string> read_lines(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Complete lines of standard output so far (the last one too once the output has ended).
  std::vector<std::string> lines() const;
  // Everything written to standard output / error so far.
  std::string out() const;
  std::string err() const;

  void kill(int signal = 9);
  // Waits for the process to end; its exit code, or -1 on timeout or when a signal ended it.
  int wait(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // SIGTERM, then SIGKILL after `grace`; the exit code, or 128 + the signal that ended it.
  int terminate(std::chrono::milliseconds grace = std::chrono::seconds(2));

 private:
  bool reap(std::chrono::milliseconds timeout);
  void read_output();
  void wait_output(std::chrono::milliseconds timeout);
  std::vector<std::string> lines_locked() const;

  pid_t pid_ = -1;
  int out_fd_ = -1, err_fd_ = -1;
  bool reaped_ = false;
  int status_ = 0;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::string out_, err_;
  bool ended_ = false;  // both pipes closed, or given up after the process ended
  bool stop_ = false;
  std::thread reader_;
};

// The service binary (or CHAIR_SERVICE_CMD in its place), started with `args` and extra
// environment entries ("KEY=value").
class ServiceProcess final : public ChildProcess {
 public:
  ServiceProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::vector<std::string>& env = {});
  // The port of the LISTEN_URL= line, 0 while there is none.
  uint16_t port() const;
};

// The service binary with `args` and `env`, once it has announced itself (three lines).
std::unique_ptr<ServiceProcess> start_service(const std::vector<std::string>& args = {},
                                              const std::vector<std::string>& env = {});

}  // namespace chair::test
