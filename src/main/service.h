// Start-up and the accept loop.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ble/platform/platform.h"
#include "common/result.h"
#include "main/service_state.h"

namespace chair {

// "-port" first, then "--port"; each exact or joined with "="; a value that does not
// parse gives 0 without falling back to the other name.
uint16_t find_port_option(const std::vector<std::string>& args);
bool parse_port_value(std::string_view text, uint16_t& port);

// The process entry: start-up, announcement, accept loop. Returns only on a listener
// failure, with the exit code 1.
int run_service(const std::vector<std::string>& args, ble::PlatformPtr platform);

// The service inside a test process: the same start-up and accept loop on a thread of
// its own, listening on an ephemeral port. The state lives for the rest of the process.
struct InProcessService {
  StatePtr state;
  uint16_t port = 0;
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port); }
};
struct InProcessOptions {
  Timings timings{};
  bool start_supervisor = true;
  bool start_listing = true;
};
Result<InProcessService> start_in_process(ble::PlatformPtr platform, InProcessOptions options = {});

}  // namespace chair
