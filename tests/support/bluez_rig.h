// One whole installation per test case: a private bus, the simulated Bluetooth daemon with its
// chairs, and the real service talking to it over the bus, with an event stream open from the
// start. The simulator can be killed and started again on the same bus, as the daemon is when
// it restarts; the service keeps running.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <sdbus-c++/sdbus-c++.h>
#include <nlohmann/json.hpp>

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
  std::optional<size_t> wait(const std::function<bool(const Json&)>& pred, std::chrono::milliseconds timeout = 5s,
                             size_t from = 0);
  std::optional<size_t> wait_log(const std::string& text, std::chrono::milliseconds timeout = 5s, size_t from = 0);
  std::optional<size_t> wait_log(const std::function<bool(const std::string&)>& pred, std::chrono::milliseconds timeout,
                                 size_t from = 0);
  std::optional<size_t> wait_status(const std::string& status, std::chrono::milliseconds timeout = 5s, size_t from = 0);
  // Records received so far (collects what has arrived without waiting).
  size_t size();
  Json at(size_t i);
  // The "log" texts from `from` on, in order.
  std::vector<std::string> logs(size_t from = 0);
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
// A sanitized service keeps freed memory in quarantine and grows shadow memory as it runs, so
// its resident size says nothing about leaks or bounds there; the plain build checks it.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kResidentSizeTells = false;
#else
inline constexpr bool kResidentSizeTells = true;
#endif

// What every installation a scenario runs against offers: the simulator's control words for
// its chairs, the chairs' record of frames and state, the service's HTTP surface and its event
// journal. BluezRig and FakertRig differ only in how the control words reach the simulator
// and how the installation is started.
class SimulatedInstallation {
 public:
  virtual ~SimulatedInstallation() = default;

  // A control command of the simulator; an error comes back as "error: <message>".
  virtual std::string ctl(const std::vector<std::string>& args) = 0;
  // The simulator's "list" line of one device ("... connected=1 present=1").
  std::string sim_device(const std::string& address);
  // The frames the chair accepted, in order, as "request|command <hex>".
  std::vector<std::string> writes(const std::string& address);
  // The same without the write type: only the hex text of each frame.
  std::vector<std::string> frames(const std::string& address);
  Json chair_status(const std::string& address);

  Json api(const std::string& target, const std::string& body = {});
  // /api/connect and the wait for the "connected" status with the chair's name.
  void connect(const std::string& address, const std::string& name);

  uint16_t port() const { return port_; }
  Journal& events() { return *events_; }
  ServiceProcess& service() { return *service_; }
  pid_t service_pid() const { return service_->pid(); }

 protected:
  // A new data folder from a mkdtemp pattern; with an address, holding that chair bound with
  // auto-connect on and every initial setting off.
  static std::string make_data_dir(std::string pattern, const std::string& bound_address,
                                   const std::string& bound_name);

  std::unique_ptr<ServiceProcess> service_;
  uint16_t port_ = 0;
  std::unique_ptr<Journal> events_;
};

struct RigOptions {
  std::vector<std::string> sim_args{};
  bool start_sim = true;
  bool bus_for_service = true;  // false: the service is pointed at a bus that does not exist
  // A chair bound with auto-connect on before the service starts, so the supervisor owns it.
  std::string bound_address{};
  std::string bound_name{};
};

class BluezRig final : public SimulatedInstallation {
 public:
  explicit BluezRig(RigOptions options);
  ~BluezRig();
  BluezRig(const BluezRig&) = delete;
  BluezRig& operator=(const BluezRig&) = delete;

  // Starts the simulator (again) with these arguments and waits for READY.
  void start_sim(const std::vector<std::string>& sim_args);
  // SIGKILL: the daemon dies without a word and its objects vanish from the bus.
  void kill_sim();

  // Over the bus, on the simulator's control interface.
  std::string ctl(const std::vector<std::string>& args) override;
  // A flag of the simulated adapter ("Powered", "Discovering") as any client reads it;
  // nullopt when the daemon does not answer.
  std::optional<bool> adapter_flag(const std::string& name);

  // Match rules the bus daemon holds for the service's connections; nullopt (with the reason
  // in `why`) when the daemon keeps no statistics or the service has no connection.
  std::optional<uint32_t> service_match_rules(std::string* why = nullptr);

 private:
  PrivateBus bus_;
  std::string data_dir_;
  std::unique_ptr<ChildProcess> sim_;
  std::unique_ptr<sdbus::IConnection> test_bus_;  // control calls and daemon queries
  std::unique_ptr<sdbus::IProxy> control_;
};

bool is_log(const Json& record, const std::string& text);
bool ends_with(const std::string& text, const std::string& tail);
// True when `wanted` occurs in `all` in this order (other items may lie between).
bool in_order(const std::vector<std::string>& all, const std::vector<std::string>& wanted);
std::string joined(const std::vector<std::string>& lines);

}  // namespace chair::test
