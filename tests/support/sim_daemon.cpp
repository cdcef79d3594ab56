#include "sim_daemon.h"

#include <signal.h>

#include <map>
#include <stdexcept>

#include "ble/bluez/names.h"
#include "tools/chair-sim/control.h"

namespace chair::test {

using namespace std::chrono_literals;
using namespace ble::bluez;

SimulatedDaemon::SimulatedDaemon(const std::vector<std::string>& sim_args, bool start) {
  connection_ = sdbus::createSessionBusConnectionWithAddress(bus_.address());
  control_ = sdbus::createProxy(*connection_, sim::kControlName, sim::kControlPath);
  if (start) this->start(sim_args);
}

SimulatedDaemon::~SimulatedDaemon() {
  kill();
  control_.reset();
  connection_.reset();
}

void SimulatedDaemon::start(const std::vector<std::string>& sim_args) {
  std::vector<std::string> argv{bin_path("chair-sim"), "--bus", bus_.address()};
  argv.insert(argv.end(), sim_args.begin(), sim_args.end());
  sim_ = std::make_unique<ChildProcess>(argv);
  if (!sim_->wait_for_line("READY", 10s)) throw std::runtime_error("chair-sim did not become ready: " + sim_->err());
}

void SimulatedDaemon::kill() { sim_.reset(); }

int SimulatedDaemon::stop() {
  const int code = sim_ ? sim_->terminate() : -1;
  sim_.reset();
  return code;
}

std::string SimulatedDaemon::ctl(const std::vector<std::string>& args) {
  try {
    std::string out;
    control_->callMethod("Command")
        .onInterface(sim::kControlIface)
        .withTimeout(5s)
        .withArguments(args)
        .storeResultsTo(out);
    return out;
  } catch (const sdbus::Error& e) {
    return "error: " + e.getMessage();
  }
}

std::optional<bool> SimulatedDaemon::flag(const std::string& path, const std::string& iface, const std::string& name) {
  try {
    auto proxy = sdbus::createProxy(*connection_, kBluezService, path);
    sdbus::Variant value;
    proxy->callMethod(kGet)
        .onInterface(kPropertiesIface)
        .withTimeout(5s)
        .withArguments(iface, name)
        .storeResultsTo(value);
    if (!value.containsValueOfType<bool>()) return std::nullopt;
    return value.get<bool>();
  } catch (const sdbus::Error&) {
    return std::nullopt;
  }
}

std::optional<bool> SimulatedDaemon::adapter_flag(const std::string& name) {
  return flag(kSimAdapterPath, kAdapterIface, name);
}

std::optional<uint32_t> SimulatedDaemon::match_rules(pid_t pid, std::string* why) {
  auto say = [why](const std::string& text) {
    if (why) *why = text;
    return std::nullopt;
  };
  try {
    auto daemon = sdbus::createProxy(*connection_, kBusDaemonName, kBusDaemonPath);
    std::vector<std::string> names;
    daemon->callMethod("ListNames").onInterface(kBusDaemonIface).storeResultsTo(names);
    std::optional<uint32_t> total;
    for (const auto& name : names) {
      if (name.empty() || name[0] != ':') continue;
      uint32_t owner = 0;
      try {
        daemon->callMethod("GetConnectionUnixProcessID")
            .onInterface(kBusDaemonIface)
            .withArguments(name)
            .storeResultsTo(owner);
      } catch (const sdbus::Error&) {
        continue;  // left meanwhile
      }
      if (static_cast<pid_t>(owner) != pid) continue;
      std::map<std::string, sdbus::Variant> stats;
      daemon->callMethod("GetConnectionStats")
          .onInterface("org.freedesktop.DBus.Debug.Stats")
          .withArguments(name)
          .storeResultsTo(stats);
      auto it = stats.find("MatchRules");
      if (it == stats.end() || !it->second.containsValueOfType<uint32_t>())
        return say("no MatchRules in the statistics");
      total = total.value_or(0) + it->second.get<uint32_t>();
    }
    if (!total) return say("the process has no connection on the bus");
    return total;
  } catch (const sdbus::Error& e) {
    return say(e.getName() + ": " + e.getMessage());
  }
}

}  // namespace chair::test
