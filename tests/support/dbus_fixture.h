// Test helpers for anything that talks D-Bus: a private dbus-daemon per test, and child
// processes (the simulator, the service) whose standard output the test can wait on.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace chair::test {

// A started program with its standard output read line by line; standard error is inherited.
// The child is killed when the test process dies, and terminated by the destructor.
class ChildProcess {
 public:
  // argv[0] is a path. `env` entries are added to (or replace) the test's environment.
  ChildProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  // Waits until a line equal to `line` has been printed (also one printed earlier).
  bool wait_for_line(const std::string& line, std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Waits until some line satisfies `pred`; returns it, or "" on timeout.
  std::string wait_for(const std::function<bool(const std::string&)>& pred,
                       std::chrono::milliseconds timeout = std::chrono::seconds(5));
  std::vector<std::string> lines() const;
  // SIGTERM, then SIGKILL after `grace`; returns the exit status (128 + signal when killed).
  int terminate(std::chrono::milliseconds grace = std::chrono::seconds(2));

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  int out_fd_ = -1;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
  bool closed_ = false;
  std::thread reader_;
};

// A dbus-daemon of its own with a permissive configuration (anyone may own any name, such as
// org.bluez, and send or receive anything), listening in a temporary directory.
class PrivateBus {
 public:
  PrivateBus();  // throws std::runtime_error when the daemon does not start
  ~PrivateBus();
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  // "unix:path=/tmp/.../bus,guid=..."
  const std::string& address() const { return address_; }

 private:
  std::string dir_;
  std::string address_;
  std::unique_ptr<ChildProcess> daemon_;
};

// A program built into the binary folder (CHAIR_BIN_DIR, set by the test runner).
std::string chair_bin(const std::string& name);

// The former name of eventually() (eventually.h), still used by the fault tests.
bool wait_for_condition(const std::function<bool()>& cond, std::chrono::milliseconds timeout = std::chrono::seconds(5));

}  // namespace chair::test
