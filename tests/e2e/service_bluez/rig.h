// One whole installation per test: a private bus, the simulated Bluetooth daemon with its chairs,
// and the real service talking to it over the bus, with an event stream open from the start.
#pragma once

#include <chrono>
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

// The simulator's test control, called over the bus (no process per command).
class SimControl {
 public:
  explicit SimControl(const std::string& bus_address);
  // The command's output; an error becomes "error: <message>".
  std::string command(const std::vector<std::string>& args);

 private:
  std::unique_ptr<sdbus::IConnection> conn_;
  std::unique_ptr<sdbus::IProxy> proxy_;
};

// Every event record the service sent on one stream, kept so that tests can look back.
class Journal {
 public:
  explicit Journal(uint16_t port) : stream_(port) {}
  // Index of the first record at or after `from` satisfying `pred`, waiting up to `timeout`.
  std::optional<size_t> wait(const std::function<bool(const Json&)>& pred,
                             std::chrono::milliseconds timeout = std::chrono::seconds(5), size_t from = 0);
  std::optional<size_t> wait_log(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(5),
                                 size_t from = 0);
  std::optional<size_t> wait_status(const std::string& status,
                                    std::chrono::milliseconds timeout = std::chrono::seconds(5), size_t from = 0);
  // Records received so far (collects what has arrived without waiting).
  size_t size();
  Json at(size_t i);
  // The "log" texts from `from` on, in order.
  std::vector<std::string> logs(size_t from = 0);
  // Everything received, one record per line, for failure messages.
  std::string dump(size_t from = 0);

 private:
  void collect(std::chrono::milliseconds timeout);
  EventStream stream_;
  std::vector<Json> records_;
};

struct RigOptions {
  bool start_sim = true;
  bool bus_for_service = true;  // false: the service is pointed at a bus that does not exist
};

class Rig {
 public:
  explicit Rig(std::vector<std::string> sim_args, RigOptions options = {});
  ~Rig();

  // Starts (again) the simulator with these arguments; waits for READY.
  void start_sim(const std::vector<std::string>& sim_args);
  // SIGKILL: the daemon dies without a word, its objects vanish from the bus.
  void kill_sim();

  std::string ctl(const std::vector<std::string>& args) { return control_->command(args); }
  // The frames the chair accepted, in order, as "request|command <hex>".
  std::vector<std::string> writes(const std::string& address);
  // The same without the write type: only the hex text of each frame.
  std::vector<std::string> frames(const std::string& address);
  Json chair_status(const std::string& address);

  Json api(const std::string& target, const std::string& body = {});
  // /api/connect and the wait for the "connected" status.
  void connect(const std::string& address, const std::string& name);

  uint16_t port() const { return port_; }
  Journal& events() { return *events_; }
  ServiceProcess& service() { return *service_; }

 private:
  PrivateBus bus_;
  std::string data_dir_;
  std::unique_ptr<ChildProcess> sim_;
  std::unique_ptr<SimControl> control_;
  std::unique_ptr<ServiceProcess> service_;
  uint16_t port_ = 0;
  std::unique_ptr<Journal> events_;
};

// True when `wanted` occurs in `all` in this order (other items may lie between).
bool in_order(const std::vector<std::string>& all, const std::vector<std::string>& wanted);
std::string joined(const std::vector<std::string>& lines);

}  // namespace chair::test
