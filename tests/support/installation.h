// One whole installation per test case, as the desktop UI finds it: the real service, chairs
// in the simulator's words, and an event stream open from the start. On Linux the service
// talks to the simulated Bluetooth daemon on a private bus; on the Windows build
// (chair-service-fakert.exe under Wine, the command in CHAIR_FAKERT_CMD) its fake runtime holds
// the chairs and takes the simulator's control words over a connection to the rig. A scenario
// written against this class runs on either platform.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "http_client.h"
#include "service_process.h"
#include "sim_daemon.h"

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

// The chair most cases need, in the simulator's words, and the service's replies.
inline constexpr const char* kChair = "C0:FF:EE:01:02:0A";
inline constexpr const char* kChairName = "TAMRO-X1";
inline const std::string kPairedChair = std::string(kChair) + ",name=TAMRO-X1,paired";
inline const Json kOk = Json{{"ok", true}};
inline Json error_reply(const std::string& text) { return Json{{"error", text}, {"ok", false}}; }

enum class Platform { BlueZ, Windows };
void PrintTo(Platform platform, std::ostream* os);

struct RigOptions {
  std::vector<std::string> sim_args{};
  bool start_sim = true;        // BlueZ: false leaves the bus without a Bluetooth daemon
  bool bus_for_service = true;  // BlueZ: false points the service at a bus that does not exist
  // A chair bound with auto-connect on before the service starts, so the supervisor owns it.
  std::string bound_address{};
  std::string bound_name{};
  Platform platform = Platform::BlueZ;
};

class Installation {
 public:
  // Throws when the service, the simulator or the fake runtime does not come up.
  explicit Installation(RigOptions options);
  ~Installation();
  Installation(const Installation&) = delete;
  Installation& operator=(const Installation&) = delete;

  // Whether this machine can run the platform's installation: the Windows one needs
  // CHAIR_FAKERT_CMD ("/usr/lib/wine/wine64 /abs/build-windows-tests/bin/chair-service-fakert.exe",
  // scripts/test-windows sets it); the Linux one is out when CHAIR_SERVICE_CMD puts another
  // build behind the service.
  static bool available(Platform platform);
  static const char* name(Platform platform);
  Platform platform() const { return platform_; }
  // What the platform's own failures read like: the radio switched off, and a write the chair
  // refused.
  std::string radio_off_text() const;
  std::string refused_write_text() const;

  // A control command of the simulator; an error comes back as "error: <message>".
  std::string ctl(const std::vector<std::string>& args);
  // The simulator's "list" line of one device ("... connected=1 present=1").
  std::string sim_device(const std::string& address);
  // The frames the chair accepted, in order, as "request|command <hex>".
  std::vector<std::string> writes(const std::string& address);
  // The same without the write type: only the hex text of each frame.
  std::vector<std::string> frames(const std::string& address);
  Json chair_status(const std::string& address);
  // The Linux daemon, to kill, restart and question; fails the test on Windows.
  SimulatedDaemon& daemon();

  Json api(const std::string& target, const std::string& body = {});
  // /api/connect and the wait for the "connected" status with the chair's name.
  void connect(const std::string& address, const std::string& name);
  // Initial settings that write nothing but the water switch (off), so that a case's own
  // frames and the chair's answers are not mixed with the settings' levels.
  void quiet_init();

  uint16_t port() const { return port_; }
  Journal& events() { return *events_; }
  ServiceProcess& service() { return *service_; }
  pid_t service_pid() const { return service_->pid(); }

  // The end of a scenario. On Windows: auto-connect off and the chair quieted, then every
  // runtime object the service obtained must be released, no event handler left registered,
  // and no call made from a thread outside an apartment; fails the test with what is left.
  void expect_released();

 private:
  void start_bluez(const RigOptions& options);
  void start_windows(const RigOptions& options);

  Platform platform_;
  std::string data_dir_;
  std::unique_ptr<SimulatedDaemon> daemon_;  // Linux
  int control_ = -1;                         // Windows: the fake runtime's connection
  std::unique_ptr<ServiceProcess> service_;
  uint16_t port_ = 0;
  std::unique_ptr<Journal> events_;
};

bool is_log(const Json& record, const std::string& text);
// True when `wanted` occurs in `all` in this order (other items may lie between).
bool in_order(const std::vector<std::string>& all, const std::vector<std::string>& wanted);
std::string joined(const std::vector<std::string>& lines);

}  // namespace chair::test
