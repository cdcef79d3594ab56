// Starts chair-service as a child, the way the desktop UI does, and ends it again.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tools/chairctl/client.h"

namespace chairctl {

// Where chair-service is looked for, in order, given the folder of the running chairctl: beside
// it (a build tree), then where an installation keeps it (../libexec/chair-service/).
std::vector<std::string> service_candidates(const std::string& own_folder);
// The first candidate that is an executable file, else the first candidate.
std::string default_service_path();

class LaunchedService {
 public:
  // Starts `program` with `args` and reads its standard output until the "LISTEN_URL="
  // line (or `timeout`). Its standard error stays ours, so a listener failure is seen.
  static Result<std::unique_ptr<LaunchedService>, Failure> start(const std::string& program,
                                                         const std::vector<std::string>& args,
                                                         std::chrono::milliseconds timeout);
  // Stops the child if stop() was not called.
  ~LaunchedService();
  LaunchedService(const LaunchedService&) = delete;
  LaunchedService& operator=(const LaunchedService&) = delete;

  const std::string& url() const { return url_; }

  // SIGTERM, up to `grace` for it to go, then SIGKILL; always reaps the child.
  // Returns a description of how it ended ("exited with 0", "killed by signal 9").
  std::string stop(std::chrono::milliseconds grace = std::chrono::seconds(3));

 private:
  LaunchedService() = default;
  int pid_ = -1;
  int out_fd_ = -1;
  bool reaped_ = false;
  std::string url_;
};

}  // namespace chairctl
