#include "tools/chairctl/service_launch.h"

namespace chairctl {

namespace {
constexpr std::string_view kListenPrefix = "LISTEN_URL=";
}  // namespace

std::string default_service_path() {
  return chair::sys::companion_program("chair-service", {"../libexec/chair-service"});
}

Result<std::unique_ptr<LaunchedService>, Failure> LaunchedService::start(const std::string& program,
                                                                         const std::vector<std::string>& args,
                                                                         std::chrono::milliseconds timeout) {
  // Should chairctl die without stopping it, the service notices its parent is gone and quiets
  // the chair by itself.
  auto child = chair::sys::Child::start(program, args);
  if (!child) return Failure{kExitUnreachable, child.error()};
  std::unique_ptr<LaunchedService> service(new LaunchedService(std::move(*child)));

  // The service prints three lines once it listens; the address is on the one that starts
  // with LISTEN_URL=.
  auto line = service->child_->read_line(kListenPrefix, timeout, [] { return interrupted(); });
  if (line) {
    auto url = normalize_base_url(*line);
    if (!url) {
      service->stop();
      return Failure{kExitUnreachable,
                     program + " announced an unusable address: " + std::string(kListenPrefix) + *line};
    }
    service->url_ = *url;
    return service;
  }
  using Why = chair::sys::MissingLine::Why;
  const std::string how = service->stop(std::chrono::milliseconds(500));
  switch (line.failure().why) {
    case Why::kGaveUp: return Failure{kExitInterrupted, "interrupted while " + program + " was starting"};
    case Why::kTimedOut:
      return Failure{kExitUnreachable, program + " did not announce its address within " +
                                           std::to_string(timeout.count()) + " ms (it " + how + ")"};
    case Why::kOutputEnded:
    case Why::kReadFailed: break;
  }
  return Failure{kExitUnreachable, program + " " + how + " before announcing its address"};
}

std::string LaunchedService::stop(std::chrono::milliseconds grace) { return child_->end(grace).text(); }

}  // namespace chairctl
