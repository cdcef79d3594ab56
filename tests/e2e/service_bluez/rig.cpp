#include "rig.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace chair::test {

using namespace std::chrono_literals;

namespace {

constexpr const char* kControlName = "com.chairsim.Control";
constexpr const char* kControlPath = "/chairsim";
constexpr const char* kControlIface = "com.chairsim.Control1";

}  // namespace

SimControl::SimControl(const std::string& bus_address)
    : conn_(sdbus::createSessionBusConnectionWithAddress(bus_address)),
      proxy_(sdbus::createProxy(*conn_, kControlName, kControlPath)) {}

std::string SimControl::command(const std::vector<std::string>& args) {
  try {
    std::string out;
    proxy_->callMethod("Command").onInterface(kControlIface).withTimeout(5s).withArguments(args).storeResultsTo(out);
    return out;
  } catch (const sdbus::Error& e) {
    return "error: " + e.getMessage();
  }
}

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
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    collect(std::min(left, std::chrono::milliseconds(100)));
  }
}

std::optional<size_t> Journal::wait_log(const std::string& text, std::chrono::milliseconds timeout, size_t from) {
  return wait([&](const Json& j) { return j.value("type", "") == "log" && j.value("log", "") == text; }, timeout,
              from);
}

std::optional<size_t> Journal::wait_status(const std::string& status, std::chrono::milliseconds timeout,
                                           size_t from) {
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

Rig::Rig(std::vector<std::string> sim_args, RigOptions options) {
  // The service's environment is the test's plus ours, and the first entry of a name wins.
  unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
  unsetenv("TAMRO_DATA_DIR");
  char tmpl[] = "/tmp/chair-bluez-e2e-XXXXXX";
  if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
  data_dir_ = tmpl;
  control_ = std::make_unique<SimControl>(bus_.address());
  if (options.start_sim) start_sim(sim_args);
  const std::string bus = options.bus_for_service ? bus_.address() : "unix:path=" + data_dir_ + "/no-bus";
  service_ = std::make_unique<ServiceProcess>(bin_path("chair-service"), std::vector<std::string>{},
                                              std::vector<std::string>{"DBUS_SYSTEM_BUS_ADDRESS=" + bus,
                                                                       "TAMRO_DATA_DIR=" + data_dir_});
  service_->read_lines(3);
  port_ = service_->port();
  if (port_ == 0) throw std::runtime_error("chair-service did not announce its port: " + service_->err());
  events_ = std::make_unique<Journal>(port_);
  // The snapshot that every new stream starts with tells that the stream is registered.
  if (!events_->wait([](const Json& j) { return j.value("type", "") == "status"; }))
    throw std::runtime_error("the event stream sent no snapshot");
}

Rig::~Rig() {
  // CHAIR_E2E_EVENTS=1 prints what the service said, for reading a run by eye.
  if (const char* show = std::getenv("CHAIR_E2E_EVENTS"); show && *show == '1' && events_)
    std::fprintf(stderr, "%s", events_->dump().c_str());
  events_.reset();
  service_.reset();
  kill_sim();
  std::error_code ignored;
  std::filesystem::remove_all(data_dir_, ignored);
}

void Rig::start_sim(const std::vector<std::string>& sim_args) {
  std::vector<std::string> argv{chair_bin("chair-sim"), "--bus", bus_.address()};
  argv.insert(argv.end(), sim_args.begin(), sim_args.end());
  sim_ = std::make_unique<ChildProcess>(argv);
  if (!sim_->wait_for_line("READY", 10s)) throw std::runtime_error("chair-sim did not become ready");
}

void Rig::kill_sim() {
  if (!sim_) return;
  ::kill(sim_->pid(), SIGKILL);
  sim_->terminate();
  sim_.reset();
}

std::vector<std::string> Rig::writes(const std::string& address) {
  std::vector<std::string> out;
  const std::string text = ctl({"writes", address});
  size_t start = 0, lf;
  while ((lf = text.find('\n', start)) != std::string::npos) {
    out.push_back(text.substr(start, lf - start));
    start = lf + 1;
  }
  return out;
}

std::vector<std::string> Rig::frames(const std::string& address) {
  std::vector<std::string> out;
  for (const auto& w : writes(address)) out.push_back(w.substr(w.find(' ') + 1));
  return out;
}

Json Rig::chair_status(const std::string& address) {
  return Json::parse(ctl({"status", address}), nullptr, false);
}

Json Rig::api(const std::string& target, const std::string& body) { return get_json(port_, target, body); }

void Rig::connect(const std::string& address, const std::string& name) {
  const size_t from = events_->size();
  ASSERT_EQ(api("/api/connect?addr=" + address), Json::parse(R"({"ok":true})"));
  const auto connected = events_->wait_status("connected", 10s, from);
  ASSERT_TRUE(connected) << events_->dump(from);
  EXPECT_EQ(events_->at(*connected).value("name", ""), name);
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
