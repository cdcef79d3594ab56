// One installation per fault case: a private bus, the simulated Bluetooth daemon, the real
// service and an event stream open from the start. The simulator can be killed and started
// again on the same bus, as the daemon is when it restarts; the service keeps running.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <sdbus-c++/sdbus-c++.h>

#include "dbus_fixture.h"
#include "http_client.h"
#include "service_process.h"

namespace chair::test {

using Json = nlohmann::json;
using namespace std::chrono_literals;

// Every record the service sent on one stream, kept so that a case can look back and wait
// for something after a given point.
class Journal {
 public:
  explicit Journal(uint16_t port) : stream_(port) {}

  // Index of the first record at or after `from` that satisfies `pred`, waiting up to `timeout`.
  std::optional<size_t> wait(const std::function<bool(const Json&)>& pred, std::chrono::milliseconds timeout,
                             size_t from = 0);
  std::optional<size_t> wait_log(const std::function<bool(const std::string&)>& pred,
                                 std::chrono::milliseconds timeout, size_t from = 0);
  std::optional<size_t> wait_status(const std::string& status, std::chrono::milliseconds timeout, size_t from = 0);
  size_t size();
  Json at(size_t i);
  // One record per line from `from` on, for failure messages.
  std::string dump(size_t from = 0);

 private:
  void collect(std::chrono::milliseconds timeout);
  EventStream stream_;
  std::vector<Json> records_;
};

// What the kernel says about a process: the figures that grow when something leaks.
struct ProcessFigures {
  long threads = 0;
  long fds = 0;
  long rss_kib = 0;
};
std::optional<ProcessFigures> process_figures(pid_t pid);

struct RigOptions {
  std::vector<std::string> sim_args{};
  // A chair bound with auto-connect on before the service starts, so the supervisor owns it.
  std::string bound_address{};
  std::string bound_name{};
};

class FaultRig {
 public:
  explicit FaultRig(RigOptions options);
  ~FaultRig();
  FaultRig(const FaultRig&) = delete;
  FaultRig& operator=(const FaultRig&) = delete;

  // Starts the simulator (again) with these arguments and waits for READY.
  void start_sim(const std::vector<std::string>& sim_args);
  // SIGKILL: the daemon dies without a word and its objects vanish from the bus.
  void kill_sim();

  // A control command of the simulator; an error comes back as "error: <message>".
  std::string ctl(const std::vector<std::string>& args);
  // The simulator's "list" line of one device ("... connected=1 present=1").
  std::string sim_device(const std::string& address);

  Json api(const std::string& target) { return get_json(port_, target); }
  Journal& events() { return *events_; }
  uint16_t port() const { return port_; }
  pid_t service_pid() const { return service_->pid(); }

  // Match rules the bus daemon holds for the service's connections; nullopt (with the reason
  // in `why`) when the daemon keeps no statistics or the service has no connection.
  std::optional<uint32_t> service_match_rules(std::string* why = nullptr);

 private:
  PrivateBus bus_;
  std::string data_dir_;
  std::unique_ptr<ChildProcess> sim_;
  std::unique_ptr<sdbus::IConnection> test_bus_;  // control calls and daemon queries
  std::unique_ptr<ServiceProcess> service_;
  uint16_t port_ = 0;
  std::unique_ptr<Journal> events_;
};

bool is_log(const Json& record, const std::string& text);
bool ends_with(const std::string& text, const std::string& tail);

}  // namespace chair::test
