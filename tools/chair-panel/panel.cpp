#include "tools/chair-panel/panel.h"

#include <pthread.h>
#include <signal.h>

#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <thread>

#include "http/server.h"
#include "sys/child.h"
#include "tools/chair-panel/keeper.h"
#include "tools/chair-panel/link_watch.h"
#include "tools/chair-panel/pages.h"
#include "tools/chair-panel/runtime.h"
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

void announce(const std::string& panel_url, const std::string& service_url) {
  std::printf("Panel: %s\n", panel_url.c_str());
  if (!service_url.empty()) std::printf("Service: %s\n", service_url.c_str());
  std::fflush(stdout);
}

// A panel started while the user's panel runs only shows that one: a second service would
// fight the first over the chair.
int show_running_panel(const std::string& page, const PanelOptions& options) {
  announce(page, {});
  if (!options.open_browser) {
    say("the panel runs already: " + page);
    return 0;
  }
  say("the panel runs already; opening its page");
  auto opener = sys::Child::start("xdg-open", {page}, {.capture_output = false, .keep_errors = false});
  if (!opener) {
    say("could not open a browser (" + opener.error() + "); open " + page + " yourself");
    return 1;
  }
  // Some openers wait for the browser they started, which is the user's from then on.
  for (int slice = 0; slice < 30; ++slice) {
    if (auto ended = (*opener)->poll_exit()) {
      if (ended->success()) return 0;
      say("could not open a browser (xdg-open " + ended->text() + "); open " + page + " yourself");
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  (*opener)->let_go();
  return 0;
}

// Only the panel's own page may drive its service: a page of another local port, or a file,
// is refused by the service (the page may be opened under either loopback name).
void allow_only_our_page(uint16_t port) {
  const std::string p = std::to_string(port);
  ::setenv("CHAIR_ALLOWED_ORIGINS", ("http://127.0.0.1:" + p + ",http://localhost:" + p).c_str(), 1);
}

// The user's one panel: nullopt and `exit_code` 0 when another runs and was shown instead;
// without a runtime folder there is nothing to find and we run on our own.
std::optional<RuntimeFolder> claim_runtime_folder(const PanelOptions& options, std::optional<int>& exit_code) {
  auto folder = RuntimeFolder::open();
  if (!folder) {
    say(folder.error() + "; other panels cannot find this one");
    return std::nullopt;
  }
  // Longer than a service may take to announce itself.
  auto claimed = folder->claim(std::chrono::seconds(20), stop_pending);
  if (!claimed) {
    say(claimed.error());
    exit_code = 1;
    return std::nullopt;
  }
  if (*claimed) {
    exit_code = show_running_panel(**claimed, options);
    return std::nullopt;
  }
  return std::move(*folder);
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
  app.add_flag("--resident", options.resident,
               "run on without a browser or pages (as a login service) until stopped; chairctl finds the service");
  double grace_seconds = 30;
  app.add_option("--grace", grace_seconds, "end this many seconds after the last page was closed (default 30)")
      ->check(CLI::Range(0.0, 86400.0));
  app.add_option("--service", options.service,
                 "the chair-service program (default: beside chair-panel, else ../libexec/chair-service/ from it)");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return {std::nullopt, code == 0 ? 0 : 2};
  }
  options.open_browser = !no_browser && !options.resident;
  options.grace = std::chrono::milliseconds(static_cast<int64_t>(grace_seconds * 1000));
  return {options, 0};
}

int run_panel(const PanelOptions& options, std::span<const WebFile> files) {
  // Blocked before any thread starts, so in all of them (children get an empty mask): the main
  // thread takes them with sigtimedwait and stops in order, never inside a handler.
  const sigset_t stops = stop_signals();
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);

  std::optional<int> shown;
  std::optional<RuntimeFolder> runtime = claim_runtime_folder(options, shown);
  if (shown) return *shown;

  auto address = std::make_shared<ServiceAddress>();
  Pages pages;
  LinkWatch link(address);
  http::Server server(http::Router{}, site_handler({files, address, [&link] { return link.connected(); }, &pages}));
  const auto port = server.listen(options.port);
  if (!port) {
    say("cannot listen on 127.0.0.1:" + std::to_string(options.port) + ": " + port.error());
    return 1;
  }
  allow_only_our_page(*port);
  const std::string program =
      options.service.empty() ? sys::companion_program("chair-service", {"../libexec/chair-service"}) : options.service;
  ServiceKeeper keeper(program, address, say, stop_pending);
  if (const Status started = keeper.start(); !started) {
    say(started.error());
    return 1;
  }
  std::thread serving([&server] { server.run(); });
  const std::string url = "http://127.0.0.1:" + std::to_string(*port) + "/";
  std::string service_url = address->get();
  // Found before announced: whoever reads the address may look for us next.
  if (runtime) {
    for (const auto& [name, text] : {std::pair{"panel", url}, std::pair{"url", service_url}}) {
      if (const Status written = runtime->publish(name, text); !written) say(written.error());
    }
  }
  announce(url, service_url);

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
    if (const std::string now = address->get(); runtime && !now.empty() && now != service_url) {
      service_url = now;
      if (const Status written = runtime->publish("url", service_url); !written) say(written.error());
    }
    if (opener) {
      if (auto ended = opener->poll_exit()) {
        if (!ended->success())
          say("could not open a browser (xdg-open " + ended->text() + "); open " + url + " yourself");
        opener.reset();
      }
    }
    const auto unattended = pages.unattended_for();
    if (!options.resident && unattended && *unattended >= options.grace) {
      say("the last page was closed; stopping");
      break;
    }
  }

  // Nobody is sent to a service that is about to end.
  runtime.reset();
  const Status quiet = keeper.stop();
  pages.close();
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
