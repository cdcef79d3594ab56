// Keeps one chair-service running as our child, the way a desktop UI does: starts it, reads its
// LISTEN_URL= line, starts a new one when it dies, and at the end has it quiet the chair before
// ending it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/result.h"
#include "sys/child.h"
#include "tools/chair-panel/site.h"

namespace chair::panel {

struct KeeperTimings {
  std::chrono::milliseconds start_timeout{15000};  // for the LISTEN_URL= line
  // A new service asks for its predecessor's port (the open page knows that one) for this
  // long, then takes any free port: the old one may stay taken for a minute.
  std::chrono::milliseconds same_port_for{2000};
  std::chrono::milliseconds retry_pause{200};  // after a failed start, doubling up to the next
  std::chrono::milliseconds max_retry_pause{5000};
  std::chrono::milliseconds shutdown_timeout{10000};  // for the reply to /api/shutdown
  std::chrono::milliseconds end_grace{3000};          // between SIGTERM and SIGKILL
};

// "http://127.0.0.1:PORT" (a trailing "/" dropped) and its port, from what the service announced;
// nullopt for anything else, which is never put into a header or handed to the page.
struct ServiceUrl {
  std::string base;
  uint16_t port = 0;
};
std::optional<ServiceUrl> parse_service_url(std::string_view announced);

// Asks the service on 127.0.0.1:port to quiet the chair and waits for its {"ok":true}.
// `give_up` is asked about ten times a second while the reply is awaited.
Status call_shutdown(uint16_t port, std::chrono::milliseconds timeout, const std::function<bool()>& give_up = {});

class ServiceKeeper {
 public:
  using Note = std::function<void(const std::string&)>;
  // `note` receives what a person watching should know (one line each); `give_up` is asked
  // while we wait on the service, and a yes abandons the wait.
  ServiceKeeper(std::string program, std::shared_ptr<ServiceAddress> address, Note note,
                std::function<bool()> give_up = {}, KeeperTimings timings = {});
  ~ServiceKeeper();
  ServiceKeeper(const ServiceKeeper&) = delete;
  ServiceKeeper& operator=(const ServiceKeeper&) = delete;

  // The first service; the error says why it did not come up.
  Status start();
  // Called every so often: once the service has ended, starts a new one, retrying with growing
  // pauses (one attempt per call that finds one due).
  void check();
  // Quiets the chair through the running service, then ends the service (also when the call
  // failed). Fails when no service confirmed it.
  Status stop();

  // The running service's process id, -1 when none runs (for tests).
  int pid() const;

 private:
  Status start_one(uint16_t port);

  std::string program_;
  std::shared_ptr<ServiceAddress> address_;
  Note note_;
  std::function<bool()> give_up_;
  KeeperTimings timings_;
  std::unique_ptr<sys::Child> child_;
  uint16_t port_ = 0;  // the last service's port
  // While no service runs: since when, and when the next attempt is due.
  std::chrono::steady_clock::time_point down_since_, next_attempt_;
  std::chrono::milliseconds pause_{0};
};

}  // namespace chair::panel
