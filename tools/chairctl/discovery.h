// Where chairctl finds the service when it does not start one itself.
#pragma once

#include <string>

#include "tools/chairctl/client.h"

namespace chairctl {

struct ServiceAddress {
  std::string url;
  // The address came from the file a resident chair-panel keeps while it runs.
  bool from_resident_file = false;
};

// The file in which `chair-panel --resident` keeps its service's address while it runs:
// $XDG_RUNTIME_DIR/chair-service/url. Empty when XDG_RUNTIME_DIR is not an absolute path.
std::string resident_url_file();

// --url when given, else CHAIR_SERVICE_URL when not empty, else the resident service's file.
// Without any of them: a failure (no service could be reached) that says how to start one.
Result<ServiceAddress, Failure> find_service(const std::string& url_option);

// Said after a resident service's address could not be reached: it has ended, and how to
// start one again.
Failure not_running_failure(const ServiceAddress& address);

}  // namespace chairctl
