// chair-panel: the control panel in the browser, and the parent of the chair-service it drives.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "tools/chair-panel/web_files.h"

namespace chair::panel {

struct PanelOptions {
  uint16_t port = 0;  // the panel's own port; 0: the system picks one
  bool open_browser = true;
  bool resident = false;  // runs on without pages, until it is stopped
  // Once no page has been open for this long, the panel ends as on Ctrl-C (not when resident).
  std::chrono::milliseconds grace{30000};
  std::string service;  // the service program; empty: beside us, else the installed one
};

// The options, or the exit code when the command line said all there was to do (--help,
// --version: 0) or was wrong (2).
struct Parsed {
  std::optional<PanelOptions> options;
  int exit_code = 0;
};
Parsed parse_arguments(int argc, char** argv);

// Runs until SIGINT, SIGTERM or SIGHUP, or until the last page has been closed for the grace
// period; 0 once the service confirmed the chair quiet and has been ended, 1 when something
// kept that from happening. When the user's panel runs already, shows its page instead and
// returns 0.
int run_panel(const PanelOptions& options, std::span<const WebFile> files);

}  // namespace chair::panel
