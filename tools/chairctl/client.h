// Talks to a running service over HTTP: one request per connection, as the service wants.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/result.h"

namespace chairctl {

using chair::Result;

// Exit statuses of chairctl, shared by every command.
enum ExitCode : int {
  kExitOk = 0,
  kExitService = 1,        // the service answered with an error, or the answer was unusable
  kExitUsage = 2,          // the command line was wrong
  kExitUnreachable = 3,    // no answer at all: nothing listens there, or the service is gone
  kExitInterrupted = 130,  // Ctrl-C during a request
};

// Why something failed, and the exit status that follows from it.
struct Failure {
  int exit_code = kExitService;
  std::string text;
  bool from_service = false;  // the service's own error text, shown exactly as sent
  bool timed_out = false;     // no answer within the time the command allowed
};

using Param = std::pair<std::string, std::string>;

// The most chairctl keeps of one reply body or one event-stream line. The service's replies
// and records stay far below it; a peer that sends more is not the service, or is broken.
inline constexpr size_t kMaxReceived = 4 * 1024 * 1024;
// The one larger reply: a full day of reports is about 10 MB.
inline constexpr size_t kMaxHistory = 16 * 1024 * 1024;
// The failure for a reply or record past `limit`.
Failure too_much_from(const std::string& url, size_t limit = kMaxReceived);

struct HttpReply {
  long status = 0;
  std::string body;
};

// The base URL as given ("http://127.0.0.1:PORT", trailing slashes dropped), or a usage
// failure: the service speaks plain HTTP only.
Result<std::string, Failure> normalize_base_url(std::string url);

class ServiceClient {
 public:
  explicit ServiceClient(std::string base_url, std::chrono::milliseconds timeout = std::chrono::seconds(60));

  const std::string& base_url() const { return base_; }
  std::chrono::milliseconds timeout() const { return timeout_; }
  // The same service, with requests bounded by `timeout` instead.
  ServiceClient bounded(std::chrono::milliseconds timeout) const { return ServiceClient(base_, timeout); }
  // The same service, keeping at most `bytes` of a reply instead of kMaxReceived.
  ServiceClient limited(size_t bytes) const {
    ServiceClient client(*this);
    client.max_received_ = bytes;
    return client;
  }

  // "path?k=v&..." with every key and value percent-encoded.
  std::string target(const std::string& path, const std::vector<Param>& params = {}) const;

  // One request: GET, or POST when a body is given. Any HTTP answer is a value; a
  // failure means no answer came (kExitUnreachable, or timed_out when the time ran out).
  Result<HttpReply, Failure> request(const std::string& path, const std::vector<Param>& params = {},
                                     const std::optional<std::string>& body = std::nullopt) const;

  // A request whose answer must be a routed JSON reply. {"ok":false,"error":...} becomes a
  // failure carrying the service's own text; a refused or unknown path says which.
  // `raw_body`, when given, receives the reply's bytes as sent.
  Result<nlohmann::json, Failure> call(const std::string& path, const std::vector<Param>& params = {},
                                       const std::optional<std::string>& body = std::nullopt,
                                       std::string* raw_body = nullptr) const;

 private:
  std::string base_;
  std::chrono::milliseconds timeout_;
  size_t max_received_ = kMaxReceived;
};

// Turns an HTTP answer into the JSON reply or the failure the person should read.
Result<nlohmann::json, Failure> interpret_reply(const std::string& url, const HttpReply& reply);

// Ctrl-C and SIGTERM end waits and streams politely, so the scan is stopped and a spawned
// service is shut down on the way out.
void install_interrupt_handlers();
bool interrupted();
void set_interrupted(bool on);

}  // namespace chairctl
