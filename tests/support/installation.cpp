#include "installation.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace chair::test {

namespace {

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
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// The words of CHAIR_FAKERT_CMD: Wine and the Windows test build.
std::vector<std::string> fakert_command() {
  std::vector<std::string> words;
  const char* cmd = std::getenv("CHAIR_FAKERT_CMD");
  std::istringstream text(cmd ? cmd : "");
  for (std::string word; text >> word;) words.push_back(word);
  return words;
}

// The folder as the Windows program names it: Wine shows the host's root as drive Z:.
std::string windows_path(const std::filesystem::path& unix_path) {
  std::string path = unix_path.string();
  for (auto& c : path) {
    if (c == '/') c = '\\';
  }
  return "Z:" + path;
}

// A listening socket on 127.0.0.1 and its port.
std::pair<int, uint16_t> listen_loopback() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 1) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    throw std::runtime_error("no control socket");
  }
  return {fd, ntohs(addr.sin_port)};
}

// A new data folder; with an address, holding that chair bound with auto-connect on and every
// initial setting off.
std::string make_data_dir(const RigOptions& options) {
  std::string dir = (std::filesystem::temp_directory_path() / "chair-rig-XXXXXX").string();
  if (!mkdtemp(dir.data())) throw std::runtime_error("mkdtemp failed");
  if (!options.bound_address.empty()) {
    const Json binding = {
        {"boundAddress", options.bound_address},
        {"boundName", options.bound_name},
        {"autoConnect", true},
        {"init", {{"water", "off"}, {"coolLevel", 0}, {"heatLevel", 0}, {"lumbar", 0}, {"vibrate", 0}, {"volume", 0}}},
    };
    std::ofstream(dir + "/bind.json") << binding.dump(2);
  }
  return dir;
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

// ---- the installation ----

Installation::Installation(RigOptions options) : platform_(options.platform) {
  data_dir_ = make_data_dir(options);
  if (platform_ == Platform::BlueZ) {
    start_bluez(options);
  } else {
    start_windows(options);
  }
  port_ = service_->port();
  if (port_ == 0) throw std::runtime_error("the service did not announce its port: " + service_->err());
  events_ = std::make_unique<Journal>(port_);
  // Every new stream starts with the state snapshot: from then on nothing is missed.
  if (!events_->wait([](const Json& j) { return j.value("type", "") == "status"; }, 10s))
    throw std::runtime_error("the event stream sent no snapshot");
}

void Installation::start_bluez(const RigOptions& options) {
  daemon_ = std::make_unique<SimulatedDaemon>(options.sim_args, options.start_sim);
  const std::string bus = options.bus_for_service ? daemon_->bus_address() : "unix:path=" + data_dir_ + "/no-bus";
  service_ = start_service({}, {"DBUS_SYSTEM_BUS_ADDRESS=" + bus, "TAMRO_DATA_DIR=" + data_dir_});
}

// The fake runtime calls in before the service's main() runs; the service's PowerShell listing
// finds the test build's stand-in (bin/pnp beside the .exe) through WINEPATH.
void Installation::start_windows(const RigOptions& options) {
  const std::vector<std::string> words = fakert_command();
  if (words.empty()) throw std::runtime_error("CHAIR_FAKERT_CMD is not set");
  auto [listener, control_port] = listen_loopback();
  service_ = std::make_unique<ServiceProcess>(
      words.front(), std::vector<std::string>(words.begin() + 1, words.end()),
      std::vector<std::string>{"CHAIR_FAKERT_ARGS=" + Json(options.sim_args).dump(),
                               "CHAIR_FAKERT_CONTROL=" + std::to_string(control_port),
                               "TAMRO_DATA_DIR=" + windows_path(data_dir_),
                               "WINEPATH=" + windows_path(std::filesystem::path(words.back()).parent_path() / "pnp")});
  pollfd p{listener, POLLIN, 0};
  if (::poll(&p, 1, 30000) == 1) control_ = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  ::close(listener);
  if (control_ < 0) throw std::runtime_error("the fake runtime did not call in: " + service_->err());
  service_->read_lines(3, 30s);
}

Installation::~Installation() {
  // CHAIR_E2E_EVENTS=1 prints what the service said, to read a run by eye.
  if (const char* show = std::getenv("CHAIR_E2E_EVENTS"); show && *show == '1' && events_)
    std::fprintf(stderr, "%s", events_->dump().c_str());
  events_.reset();
  service_.reset();
  daemon_.reset();
  if (control_ >= 0) ::close(control_);
  std::error_code ignored;
  std::filesystem::remove_all(data_dir_, ignored);
}

bool Installation::available(Platform platform) {
  if (platform == Platform::Windows) return !fakert_command().empty();
  const char* other = std::getenv("CHAIR_SERVICE_CMD");
  return other == nullptr || *other == '\0';
}

const char* Installation::name(Platform platform) { return platform == Platform::BlueZ ? "BlueZ" : "Windows"; }

void PrintTo(Platform platform, std::ostream* os) { *os << Installation::name(platform); }

std::string Installation::radio_off_text() const {
  return platform_ == Platform::BlueZ ? "蓝牙未开启，请在系统设置中打开蓝牙，或运行 bluetoothctl power on"
                                      : "Windows 蓝牙未开启，请在「设置 → 蓝牙和其他设备」中打开蓝牙";
}

// BlueZ: the daemon's answer to a write the chair refused. Windows: an error response ends in
// ProtocolError, both write types tried.
std::string Installation::refused_write_text() const {
  return platform_ == Platform::BlueZ ? "[org.bluez.Error.Failed] Operation failed with ATT error: 0x0e"
                                      : "status GattCommunicationStatus(2)";
}

std::string Installation::ctl(const std::vector<std::string>& args) {
  if (daemon_) return daemon_->ctl(args);
  if (!send_all(control_, Json(args).dump() + "\n")) return "error: the control connection is gone";
  std::string reply;
  char c;
  for (;;) {
    pollfd p{control_, POLLIN, 0};
    if (::poll(&p, 1, 5000) != 1 || ::read(control_, &c, 1) != 1) return "error: no answer from the fake runtime";
    if (c == '\n') break;
    reply.push_back(c);
  }
  const Json j = Json::parse(reply, nullptr, false);
  return j.is_object() ? j.value("output", "") : "error: " + reply;
}

SimulatedDaemon& Installation::daemon() {
  if (!daemon_) throw std::logic_error("only the Linux installation has a Bluetooth daemon");
  return *daemon_;
}

std::string Installation::sim_device(const std::string& address) {
  const std::string list = ctl({"list"});
  const size_t at = list.find(address + " ");
  if (at == std::string::npos) return "";
  return list.substr(at, list.find('\n', at) - at);
}

std::vector<std::string> Installation::writes(const std::string& address) { return lines_of(ctl({"writes", address})); }

std::vector<std::string> Installation::frames(const std::string& address) {
  std::vector<std::string> out;
  for (const auto& w : writes(address)) out.push_back(w.substr(w.find(' ') + 1));
  return out;
}

Json Installation::chair_status(const std::string& address) {
  return Json::parse(ctl({"status", address}), nullptr, false);
}

Json Installation::api(const std::string& target, const std::string& body) { return get_json(port_, target, body); }

void Installation::connect(const std::string& address, const std::string& name) {
  const size_t from = events_->size();
  ASSERT_EQ(api("/api/connect?addr=" + address), kOk);
  const auto connected = events_->wait_status("connected", 10s, from);
  ASSERT_TRUE(connected) << events_->dump(from);
  EXPECT_EQ(events_->at(*connected).value("name", ""), name);
}

void Installation::quiet_init() {
  ASSERT_EQ(api("/api/bind/init", R"({"water":"off","coolLevel":0,"heatLevel":0,"lumbar":0,"vibrate":0,"volume":0})"),
            kOk);
}

void Installation::expect_released() {
  if (platform_ != Platform::Windows) return;
  EXPECT_EQ(api("/api/bind/autoconnect?on=0"), kOk);
  // An attempt of the supervisor under way when auto-connect went off may still open a
  // link; the next shutdown closes that one too.
  Json objects;
  bool released = false;
  for (const auto deadline = std::chrono::steady_clock::now() + 15s;;) {
    (void)api("/api/shutdown");
    objects = Json::parse(ctl({"objects"}), nullptr, false);
    released = objects.is_object() && objects["live"].empty() && objects["registrations"] == 0;
    if (released || std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(250ms);
  }
  EXPECT_TRUE(released) << "left in the service: " << objects.dump();
  EXPECT_EQ(objects["apartmentViolations"], Json::array()) << "calls from threads outside an apartment";
}

bool is_log(const Json& record, const std::string& text) {
  return record.value("type", "") == "log" && record.value("log", "") == text;
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
