#include "fakert_rig.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace chair::test {

namespace {

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

}  // namespace

bool FakertRig::available() { return !command().empty(); }

std::vector<std::string> FakertRig::command() {
  std::vector<std::string> words;
  const char* cmd = std::getenv("CHAIR_FAKERT_CMD");
  std::istringstream text(cmd ? cmd : "");
  for (std::string word; text >> word;) words.push_back(word);
  return words;
}

FakertRig::FakertRig(FakertRigOptions options) {
  unsetenv("TAMRO_DATA_DIR");
  data_dir_ = make_data_dir("/tmp/chair-fakert-rig-XXXXXX", options.bound_address, options.bound_name);

  auto [listener, control_port] = listen_loopback();
  const std::vector<std::string> words = command();
  if (words.empty()) throw std::runtime_error("CHAIR_FAKERT_CMD is not set");
  const std::string& exe = words.back();
  service_ = std::make_unique<ServiceProcess>(
      words.front(), std::vector<std::string>(words.begin() + 1, words.end()),
      std::vector<std::string>{"CHAIR_FAKERT_ARGS=" + Json(options.sim_args).dump(),
                               "CHAIR_FAKERT_CONTROL=" + std::to_string(control_port),
                               "TAMRO_DATA_DIR=" + windows_path(data_dir_),
                               "WINEPATH=" + windows_path(std::filesystem::path(exe).parent_path() / "pnp")});
  // The fake runtime calls in before the service's main() runs.
  pollfd p{listener, POLLIN, 0};
  if (::poll(&p, 1, 30000) == 1) control_ = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  ::close(listener);
  if (control_ < 0) throw std::runtime_error("the fake runtime did not call in: " + service_->err());

  service_->read_lines(3, std::chrono::seconds(30));
  port_ = service_->port();
  if (port_ == 0) throw std::runtime_error("chair-service-fakert did not announce its port: " + service_->err());
  events_ = std::make_unique<Journal>(port_);
  if (!events_->wait([](const Json& j) { return j.value("type", "") == "status"; }, 10s))
    throw std::runtime_error("the event stream sent no snapshot");
}

FakertRig::~FakertRig() {
  if (const char* show = std::getenv("CHAIR_E2E_EVENTS"); show && *show == '1' && events_)
    std::fprintf(stderr, "%s", events_->dump().c_str());
  events_.reset();
  service_.reset();
  if (control_ >= 0) ::close(control_);
  std::error_code ignored;
  std::filesystem::remove_all(data_dir_, ignored);
}

void FakertRig::expect_released() {
  EXPECT_EQ(api("/api/bind/autoconnect?on=0"), Json::parse(R"({"ok":true})"));
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

std::string FakertRig::ctl(const std::vector<std::string>& args) {
  const std::string line = Json(args).dump() + "\n";
  if (!send_all(control_, line)) return "error: the control connection is gone";
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

}  // namespace chair::test
