// Starts chair-service as a child, the way the desktop UI does, and ends it again.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "sys/child.h"
#include "tools/chairctl/client.h"

namespace chairctl {

// chair-service beside the running chairctl (a build tree), else where an installation keeps
// it (../libexec/chair-service/).
std::string default_service_path();

class LaunchedService {
 public:
  // Starts `program` with `args` and reads its standard output until the "LISTEN_URL="
  // line (or `timeout`). Its standard error stays ours, so a listener failure is seen.
  static Result<std::unique_ptr<LaunchedService>, Failure> start(const std::string& program,
                                                                 const std::vector<std::string>& args,
                                                                 std::chrono::milliseconds timeout);

  const std::string& url() const { return url_; }

  // SIGTERM, up to `grace` for it to go, then SIGKILL; always reaps the child.
  // Returns a description of how it ended ("exited with code 0", "was killed by signal 9").
  std::string stop(std::chrono::milliseconds grace = std::chrono::seconds(3));

 private:
  explicit LaunchedService(std::unique_ptr<chair::sys::Child> child) : child_(std::move(child)) {}
  std::unique_ptr<chair::sys::Child> child_;  // ended with the object, if stop() was not called
  std::string url_;
};

}  // namespace chairctl
