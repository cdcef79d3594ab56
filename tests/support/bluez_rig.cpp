#include "bluez_rig.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>

#include "ble/bluez/names.h"
#include "tools/chair-sim/control.h"

namespace chair::test {

namespace {

using namespace ble::bluez;
using sim::kControlIface;
using sim::kControlName;
using sim::kControlPath;

long status_field(const std::string& path, const std::string& key) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key + ":", 0) == 0) return std::stol(line.substr(key.size() + 1));
  }
  return -1;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0, lf;
  while ((lf = text.find('\n', start)) != std::string::npos) {
    out.push_back(text.substr(start, lf - start));
    start = lf + 1;
  }
  return out;
}

}  // namespace

// ---- Journal ----

void Journal::collect(std::chrono::milliseconds timeout) {
  auto record = stream_.next(timeout);
  while (record) {
    auto j = Json::parse(*record, nullptr, false);
    if (!j.is_discarded()) records_.push_back(std::move(j));
    record = stream_.next(0ms);
  }
}

std::optional<size_t> Journal::wait(const std::function<bool(const Json&)>& pred, std::chrono::milliseconds timeout,
                                    size_t from) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  size_t checked = from;
  for (;;) {
    for (; checked < records_.size(); ++checked) {
      if (pred(records_[checked])) return checked;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    collect(std::min(left, std::chrono::milliseconds(100)));
  }
}

std::optional<size_t> Journal::wait_log(const std::string& text, std::chrono::milliseconds timeout, size_t from) {
  return wait([&](const Json& j) { return is_log(j, text); }, timeout, from);
}

std::optional<size_t> Journal::wait_log(const std::function<bool(const std::string&)>& pred,
                                        std::chrono::milliseconds timeout, size_t from) {
  return wait([&](const Json& j) { return j.value("type", "") == "log" && pred(j.value("log", "")); }, timeout, from);
}

std::optional<size_t> Journal::wait_status(const std::string& status, std::chrono::milliseconds timeout, size_t from) {
  return wait([&](const Json& j) { return j.value("type", "") == "status" && j.value("status", "") == status; },
              timeout, from);
}

size_t Journal::size() {
  collect(0ms);
  return records_.size();
}

Json Journal::at(size_t i) {
  collect(0ms);
  return i < records_.size() ? records_[i] : Json();
}

std::vector<std::string> Journal::logs(size_t from) {
  collect(0ms);
  std::vector<std::string> out;
  for (size_t i = from; i < records_.size(); ++i) {
    if (records_[i].value("type", "") == "log") out.push_back(records_[i].value("log", ""));
  }
  return out;
}

std::string Journal::dump(size_t from) {
  collect(0ms);
  std::string out;
  for (size_t i = from; i < records_.size(); ++i) out += records_[i].dump() + "\n";
  return out;
}

// ---- process figures ----

std::optional<ProcessFigures> process_figures(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  ProcessFigures f;
  f.threads = status_field(proc + "/status", "Threads");
  f.rss_kib = status_field(proc + "/status", "VmRSS");
  if (f.threads < 0 || f.rss_kib < 0) return std::nullopt;
  DIR* dir = opendir((proc + "/fd").c_str());
  if (!dir) return std::nullopt;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] != '.') ++f.fds;
  }
  closedir(dir);
  return f;
}

// ---- rig ----

BluezRig::BluezRig(RigOptions options) {
  // The child's environment is ours plus the entries given, and the first entry of a name wins.
  unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
  unsetenv("TAMRO_DATA_DIR");
  data_dir_ = make_data_dir("/tmp/chair-bluez-rig-XXXXXX", options.bound_address, options.bound_name);
  test_bus_ = sdbus::createSessionBusConnectionWithAddress(bus_.address());
  control_ = sdbus::createProxy(*test_bus_, kControlName, kControlPath);
  if (options.start_sim) start_sim(options.sim_args);
  const std::string bus = options.bus_for_service ? bus_.address() : "unix:path=" + data_dir_ + "/no-bus";
  service_ = std::make_unique<ServiceProcess>(
      bin_path("chair-service"), std::vector<std::string>{},
      std::vector<std::string>{"DBUS_SYSTEM_BUS_ADDRESS=" + bus, "TAMRO_DATA_DIR=" + data_dir_});
  service_->read_lines(3);
  port_ = service_->port();
  if (port_ == 0) throw std::runtime_error("chair-service did not announce its port: " + service_->err());
  events_ = std::make_unique<Journal>(port_);
  // Every new stream starts with the state snapshot: from then on nothing is missed.
  if (!events_->wait([](const Json& j) { return j.value("type", "") == "status"; }, 5s))
    throw std::runtime_error("the event stream sent no snapshot");
}

BluezRig::~BluezRig() {
  // CHAIR_E2E_EVENTS=1 prints what the service said, to read a run by eye.
  if (const char* show = std::getenv("CHAIR_E2E_EVENTS"); show && *show == '1' && events_)
    std::fprintf(stderr, "%s", events_->dump().c_str());
  events_.reset();
  service_.reset();
  kill_sim();
  control_.reset();
  test_bus_.reset();
  std::error_code ignored;
  std::filesystem::remove_all(data_dir_, ignored);
}

void BluezRig::start_sim(const std::vector<std::string>& sim_args) {
  std::vector<std::string> argv{chair_bin("chair-sim"), "--bus", bus_.address()};
  argv.insert(argv.end(), sim_args.begin(), sim_args.end());
  sim_ = std::make_unique<ChildProcess>(argv);
  if (!sim_->wait_for_line("READY", 10s)) throw std::runtime_error("chair-sim did not become ready");
}

void BluezRig::kill_sim() {
  if (!sim_) return;
  ::kill(sim_->pid(), SIGKILL);
  sim_->terminate();
  sim_.reset();
}

std::string BluezRig::ctl(const std::vector<std::string>& args) {
  try {
    std::string out;
    control_->callMethod("Command").onInterface(kControlIface).withTimeout(5s).withArguments(args).storeResultsTo(out);
    return out;
  } catch (const sdbus::Error& e) {
    return "error: " + e.getMessage();
  }
}

std::string SimulatedInstallation::make_data_dir(std::string pattern, const std::string& bound_address,
                                                 const std::string& bound_name) {
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  if (!bound_address.empty()) {
    const Json binding = {
        {"boundAddress", bound_address},
        {"boundName", bound_name},
        {"autoConnect", true},
        {"init", {{"water", "off"}, {"coolLevel", 0}, {"heatLevel", 0}, {"lumbar", 0}, {"vibrate", 0}, {"volume", 0}}},
    };
    std::ofstream(pattern + "/bind.json") << binding.dump(2);
  }
  return pattern;
}

std::string SimulatedInstallation::sim_device(const std::string& address) {
  const std::string list = ctl({"list"});
  const size_t at = list.find(address + " ");
  if (at == std::string::npos) return "";
  return list.substr(at, list.find('\n', at) - at);
}

std::vector<std::string> SimulatedInstallation::writes(const std::string& address) {
  return lines_of(ctl({"writes", address}));
}

std::vector<std::string> SimulatedInstallation::frames(const std::string& address) {
  std::vector<std::string> out;
  for (const auto& w : writes(address)) out.push_back(w.substr(w.find(' ') + 1));
  return out;
}

Json SimulatedInstallation::chair_status(const std::string& address) {
  return Json::parse(ctl({"status", address}), nullptr, false);
}

std::optional<bool> BluezRig::adapter_flag(const std::string& name) {
  try {
    auto adapter = sdbus::createProxy(*test_bus_, kBluezService, kSimAdapterPath);
    sdbus::Variant value;
    adapter->callMethod(kGet)
        .onInterface(kPropertiesIface)
        .withTimeout(5s)
        .withArguments(std::string(kAdapterIface), name)
        .storeResultsTo(value);
    if (!value.containsValueOfType<bool>()) return std::nullopt;
    return value.get<bool>();
  } catch (const sdbus::Error&) {
    return std::nullopt;
  }
}

Json SimulatedInstallation::api(const std::string& target, const std::string& body) {
  return get_json(port_, target, body);
}

void SimulatedInstallation::connect(const std::string& address, const std::string& name) {
  const size_t from = events_->size();
  ASSERT_EQ(api("/api/connect?addr=" + address), Json::parse(R"({"ok":true})"));
  const auto connected = events_->wait_status("connected", 10s, from);
  ASSERT_TRUE(connected) << events_->dump(from);
  EXPECT_EQ(events_->at(*connected).value("name", ""), name);
}

std::optional<uint32_t> BluezRig::service_match_rules(std::string* why) {
  auto say = [why](const std::string& text) {
    if (why) *why = text;
    return std::nullopt;
  };
  try {
    auto daemon = sdbus::createProxy(*test_bus_, kBusDaemonName, kBusDaemonPath);
    std::vector<std::string> names;
    daemon->callMethod("ListNames").onInterface(kBusDaemonIface).storeResultsTo(names);
    std::optional<uint32_t> total;
    for (const auto& name : names) {
      if (name.empty() || name[0] != ':') continue;
      uint32_t pid = 0;
      try {
        daemon->callMethod("GetConnectionUnixProcessID")
            .onInterface(kBusDaemonIface)
            .withArguments(name)
            .storeResultsTo(pid);
      } catch (const sdbus::Error&) {
        continue;  // left meanwhile
      }
      if (static_cast<pid_t>(pid) != service_->pid()) continue;
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
    if (!total) return say("the service has no connection on the bus");
    return total;
  } catch (const sdbus::Error& e) {
    return say(e.getName() + ": " + e.getMessage());
  }
}

bool is_log(const Json& record, const std::string& text) {
  return record.value("type", "") == "log" && record.value("log", "") == text;
}

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool in_order(const std::vector<std::string>& all, const std::vector<std::string>& wanted) {
  size_t next = 0;
  for (const auto& item : all) {
    if (next < wanted.size() && item == wanted[next]) ++next;
  }
  return next == wanted.size();
}

std::string joined(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& l : lines) out += l + "\n";
  return out;
}

}  // namespace chair::test
