#include "tools/chair-panel/panel.h"

#include <pthread.h>
#include <signal.h>

#include <CLI/CLI.hpp>

#include <cstdio>
#include <memory>
#include <thread>

#include "http/server.h"
#include "sys/child.h"
#include "tools/chair-panel/keeper.h"
#include "tools/chair-panel/site.h"

namespace chair::panel {

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
// How long the main thread waits for a stop signal before it looks after its children again.
constexpr timespec kWatchSlice{0, 200'000'000};

sigset_t stop_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : kStopSignals) sigaddset(&set, s);
  return set;
}

// Stop signals stay blocked and so pending until taken: one that arrived while we wait on the
// service (a second Ctrl-C, or the first one during a start) cuts the wait short.
bool stop_pending() {
  sigset_t pending;
  if (sigpending(&pending) != 0) return false;
  for (int s : kStopSignals) {
    if (sigismember(&pending, s) == 1) return true;
  }
  return false;
}

void say(const std::string& line) {
  std::fprintf(stderr, "chair-panel: %s\n", line.c_str());
  std::fflush(stderr);
}

}  // namespace

Parsed parse_arguments(int argc, char** argv) {
  CLI::App app{
      "The chair's control panel in the browser: starts chair-service as its child, serves the panel "
      "on 127.0.0.1 and opens it. Ctrl-C quiets the chair and ends the service.",
      "chair-panel"};
  app.set_version_flag("--version", std::string("chair-panel ") + CHAIR_VERSION, "print the version and exit");
  PanelOptions options;
  bool no_browser = false;
  app.add_option("--port", options.port, "the panel's port on 127.0.0.1 (default: one the system picks)")
      ->check(CLI::Range(0, 65535));
  app.add_flag("--no-browser", no_browser, "do not open the browser; only print the address");
  app.add_option("--service", options.service,
                 "the chair-service program (default: beside chair-panel, else ../libexec/chair-service/ from it)");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return {std::nullopt, code == 0 ? 0 : 2};
  }
  options.open_browser = !no_browser;
  return {options, 0};
}

int run_panel(const PanelOptions& options, std::span<const WebFile> files) {
  // Blocked before any thread starts, so in all of them (children get an empty mask): the main
  // thread takes them with sigtimedwait and stops in order, never inside a handler.
  const sigset_t stops = stop_signals();
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);

  auto address = std::make_shared<ServiceAddress>();
  const std::string program =
      options.service.empty() ? sys::companion_program("chair-service", {"../libexec/chair-service"}) : options.service;
  ServiceKeeper keeper(program, address, say, stop_pending);
  if (const Status started = keeper.start(); !started) {
    say(started.error());
    return 1;
  }

  http::Server server(http::Router{}, site_handler(files, address));
  const auto port = server.listen(options.port);
  if (!port) {
    say("cannot listen on 127.0.0.1:" + std::to_string(options.port) + ": " + port.error());
    if (const Status quiet = keeper.stop(); !quiet) say(quiet.error());
    return 1;
  }
  std::thread serving([&server] { server.run(); });
  const std::string url = "http://127.0.0.1:" + std::to_string(*port) + "/";
  std::printf("Panel: %s\nService: %s\n", url.c_str(), address->get().c_str());
  std::fflush(stdout);

  std::unique_ptr<sys::Child> opener;
  if (options.open_browser) {
    auto started = sys::Child::start("xdg-open", {url}, {.capture_output = false, .keep_errors = false});
    if (started) {
      opener = std::move(*started);
    } else {
      say("could not open a browser (" + started.error() + "); open " + url + " yourself");
    }
  }

  for (;;) {
    if (sigtimedwait(&stops, nullptr, &kWatchSlice) > 0) break;
    keeper.check();
    if (opener) {
      if (auto ended = opener->poll_exit()) {
        if (!ended->success())
          say("could not open a browser (xdg-open " + ended->text() + "); open " + url + " yourself");
        opener.reset();
      }
    }
  }

  const Status quiet = keeper.stop();
  server.stop();
  serving.join();
  // Some openers wait for the browser they started; that browser is the user's now.
  if (opener) opener->let_go();
  if (!quiet) {
    say(quiet.error());
    return 1;
  }
  say("the chair is quiet; chair-service has ended");
  return 0;
}

}  // namespace chair::panel
