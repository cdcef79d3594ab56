// The simulated Bluetooth daemon on a private bus, and a connection of the test's own to that
// bus: the simulator's control words, and the daemon's properties as any client reads them.
// The simulator can be killed and started again on the same bus, as the real daemon restarts.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <sdbus-c++/sdbus-c++.h>

#include "dbus_fixture.h"

namespace chair::test {

class SimulatedDaemon {
 public:
  // Starts the simulator with `sim_args` unless `start` is false.
  explicit SimulatedDaemon(const std::vector<std::string>& sim_args = {}, bool start = true);
  ~SimulatedDaemon();
  SimulatedDaemon(const SimulatedDaemon&) = delete;
  SimulatedDaemon& operator=(const SimulatedDaemon&) = delete;

  // The bus a service or a backend is pointed at.
  const std::string& bus_address() const { return bus_.address(); }
  sdbus::IConnection& connection() { return *connection_; }

  // Starts the simulator (again) and waits for READY; throws when it does not come.
  void start(const std::vector<std::string>& sim_args);
  // SIGKILL: the daemon dies without a word and its objects vanish from the bus.
  void kill();
  // SIGTERM; the simulator's exit code.
  int stop();

  // A control command of the simulator; an error comes back as "error: <message>".
  std::string ctl(const std::vector<std::string>& args);
  // A flag of a daemon object; nullopt when the daemon does not answer.
  std::optional<bool> flag(const std::string& path, const std::string& iface, const std::string& name);
  // A flag of the simulated adapter ("Powered", "Discovering").
  std::optional<bool> adapter_flag(const std::string& name);
  // Match rules the bus daemon holds for the connections of process `pid`; nullopt (with the
  // reason in `why`) when the daemon keeps no statistics or the process has no connection.
  std::optional<uint32_t> match_rules(pid_t pid, std::string* why = nullptr);

 private:
  PrivateBus bus_;
  std::unique_ptr<ChildProcess> sim_;
  std::unique_ptr<sdbus::IConnection> connection_;
  std::unique_ptr<sdbus::IProxy> control_;
};

}  // namespace chair::test
