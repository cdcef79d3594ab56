#include "tools/chairctl/cli.h"

#include <unistd.h>

#include <CLI/CLI.hpp>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/text.h"
#include "tools/chairctl/arguments.h"
#include "tools/chairctl/client.h"
#include "tools/chairctl/commands.h"
#include "tools/chairctl/service_launch.h"
#include "tools/chairctl/session_commands.h"

namespace chairctl {

namespace {

using namespace std::chrono_literals;

// /api/connect and /api/scan/start wait for the Bluetooth stack, up to about 20 s per
// step; an answer that takes longer than this is not coming.
constexpr auto kRequestTimeout = 90s;
constexpr auto kLaunchTimeout = 15s;

bool use_color() {
  const char* no_color = std::getenv("NO_COLOR");
  const char* term = std::getenv("TERM");
  return ::isatty(STDOUT_FILENO) == 1 && !(no_color && *no_color) && !(term && std::strcmp(term, "dumb") == 0);
}

struct Target {
  std::string url;
  bool spawn = false;
  std::string service_path;
};

}  // namespace

// The value of a check, or the usage error CLI11 reports like its own (exit 2, before any
// request is made).
template <class T>
T checked(const char* what, Result<T, Failure> result) {
  if (!result) throw CLI::ValidationError(what, result.failure().text);
  return std::move(*result);
}

int run(int argc, char** argv) {
  install_interrupt_handlers();

  CLI::App app{
      "Drives a running chair-service: watch its events, scan for chairs, send commands, "
      "manage the bound chair.",
      "chairctl"};
  app.footer(
      "The service is found through --url, else the CHAIR_SERVICE_URL environment variable. --spawn starts "
      "a service of its own for this one command and shuts it down at the end (a new service has not "
      "scanned yet and is not connected).\n"
      "Commands that only change something print nothing when they succeed (with --json: the reply).\n"
      "Exit status: 0 done, 1 the service refused (its message is on standard error), 2 usage error, "
      "3 no service could be reached.");
  app.set_version_flag("--version", std::string("chairctl ") + CHAIR_VERSION, "print the version and exit");
  app.fallthrough();
  app.require_subcommand(1);

  Target target;
  bool json_output = false;
  auto* url_opt = app.add_option("--url", target.url, "the service's address, e.g. http://127.0.0.1:PORT");
  auto* spawn_opt =
      app.add_flag("--spawn", target.spawn, "start chair-service for this one command, and shut it down afterwards");
  app.add_option("--service", target.service_path,
                 "the chair-service executable for --spawn (default: beside chairctl, else "
                 "../libexec/chair-service/ from it)")
      ->needs(spawn_opt);
  url_opt->excludes(spawn_opt);
  app.add_flag("--json", json_output, "print the service's records and replies exactly as received");

  // The command chosen on the command line, run once the service is known.
  std::function<int(Context&)> command;
  // Each callback runs while the line is parsed: it checks the arguments (a usage error is
  // thrown from there) and leaves the command to run.
  auto on = [&](CLI::App* sub, const std::function<std::function<int(Context&)>()>& prepare) {
    sub->callback([&command, prepare] { command = prepare(); });
  };

  long watch_count = 0;
  auto* watch = app.add_subcommand("watch", "show live events, one line each, until Ctrl-C");
  watch->add_option("--count", watch_count, "end after this many events (the first is the current state)")
      ->check(CLI::PositiveNumber);
  on(watch, [&] { return [&](Context& ctx) { return cmd_watch(ctx, watch_count); }; });

  double scan_seconds = 10;
  auto* scan = app.add_subcommand("scan", "scan for chairs and show them as they are found");
  scan->add_option("--seconds", scan_seconds, "how long to scan (default 10)")->check(CLI::Range(0.1, 3600.0));
  on(scan, [&] { return [&](Context& ctx) { return cmd_scan(ctx, scan_seconds); }; });

  auto* devices = app.add_subcommand("devices", "list the chairs found by the last scan");
  on(devices, [] { return [](Context& ctx) { return cmd_devices(ctx); }; });

  std::string connect_address;
  ConnectRequest connect_request;
  auto* connect = app.add_subcommand("connect", "connect to a chair, given by its address or its name");
  auto* connect_addr_opt = connect->add_option("ADDR", connect_address, "the chair's address, e.g. C0:FF:EE:01:02:0A");
  auto* connect_name_opt = connect->add_option(
      "--name", connect_request.name,
      "the chair's name, or the beginning of it, among the chairs found (a short scan looks for it)");
  connect_addr_opt->excludes(connect_name_opt);
  connect->add_flag("--wait", connect_request.wait, "wait until the chair is ready (or the attempt failed)");
  connect->add_option("--timeout", connect_request.timeout_s, "seconds the whole command may take (default 30)")
      ->check(CLI::Range(0.1, 3600.0));
  on(connect, [&] {
    if (connect_addr_opt->count() == 0 && connect_name_opt->count() == 0) {
      throw CLI::ValidationError("connect", "give the chair's ADDR or --name NAME");
    }
    if (connect_addr_opt->count() > 0) {
      auto address = check_address(connect_address);
      if (!address) throw CLI::ValidationError("ADDR", address.failure().text + " (or --name NAME)");
      connect_request.address = *address;
    }
    if (connect_name_opt->count() > 0 && chair::trim_ascii(connect_request.name).empty()) {
      throw CLI::ValidationError("--name", "give a chair's name, or the beginning of one");
    }
    return [&](Context& ctx) { return cmd_connect(ctx, connect_request); };
  });

  auto* disconnect = app.add_subcommand("disconnect", "drop the link to the chair");
  on(disconnect, [] { return [](Context& ctx) { return simple_call(ctx, "/api/disconnect"); }; });

  std::string set_fn, set_level;
  auto* set = app.add_subcommand("set", "set a level: cold, hot, vibrate, volume or lumbar, 1 to 10");
  set->add_option("FUNCTION", set_fn, "cold, hot, vibrate, volume or lumbar")
      ->required()
      ->check(CLI::IsMember({"cold", "hot", "vibrate", "volume", "lumbar"}));
  set->add_option("LEVEL", set_level, "1 to 10")->required();
  on(set, [&] {
    const std::string level = checked("LEVEL", check_level(set_level));
    return [&, level](Context& ctx) {
      return simple_call(ctx, "/api/cmd/intensity", {{"fn", set_fn}, {"value", level}});
    };
  });

  std::string switch_bits;
  auto* sw = app.add_subcommand("switch", "send a switch byte (decimal or 0x hex)");
  sw->add_option("BITS", switch_bits, "e.g. 0x40 water on, 0x04 water off")->required();
  on(sw, [&] {
    const std::string bits = checked("BITS", check_switch_bits(switch_bits));
    return [bits](Context& ctx) { return simple_call(ctx, "/api/cmd/switch", {{"bits", bits}}); };
  });

  double query_timeout = 5;
  auto* query = app.add_subcommand("query", "ask the chair for its status and print the report");
  query->add_option("--timeout", query_timeout, "seconds the whole command may take (default 5)")
      ->check(CLI::Range(0.1, 3600.0));
  on(query, [&] { return [&](Context& ctx) { return cmd_query(ctx, query_timeout); }; });

  std::vector<std::string> raw_hex;
  auto* raw = app.add_subcommand("raw", "send bytes to the chair exactly as given");
  raw->add_option("HEX", raw_hex, "hexadecimal bytes, e.g. 55 01 0A 01 00 AA")->required();
  on(raw, [&] {
    const std::string hex = checked("HEX", check_raw_hex(raw_hex));
    return [hex](Context& ctx) { return simple_call(ctx, "/api/cmd/raw", {{"hex", hex}}); };
  });

  auto* bind = app.add_subcommand("bind", "the bound chair: the one the service reconnects to by itself");
  bind->require_subcommand(1);
  on(bind->add_subcommand("get", "show the bound chair and its initial settings"),
     [] { return [](Context& ctx) { return cmd_bind_get(ctx); }; });
  std::string bind_address, bind_name;
  auto* bind_set = bind->add_subcommand("set", "bind a chair, turn auto-connect on and connect to it");
  bind_set->add_option("ADDR", bind_address, "the chair's address")->required();
  bind_set->add_option("NAME", bind_name, "a name to remember it by");
  on(bind_set, [&] {
    const std::string address = checked("ADDR", check_address(bind_address));
    return [&, address](Context& ctx) {
      return simple_call(ctx, "/api/bind/set", {{"addr", address}, {"name", bind_name}});
    };
  });
  on(bind->add_subcommand("clear", "forget the bound chair (the link stays up)"),
     [] { return [](Context& ctx) { return simple_call(ctx, "/api/bind/clear"); }; });
  std::string autoconnect_state;
  auto* bind_auto = bind->add_subcommand("autoconnect", "switch automatic reconnection on or off");
  bind_auto->add_option("STATE", autoconnect_state, "on or off")->required()->check(CLI::IsMember({"on", "off"}));
  on(bind_auto, [&] {
    return [&](Context& ctx) {
      return simple_call(ctx, "/api/bind/autoconnect", {{"on", autoconnect_state == "on" ? "1" : "0"}});
    };
  });
  std::string init_file;
  auto* bind_init = bind->add_subcommand("init", "replace the initial settings from a JSON file (- reads stdin)");
  bind_init->add_option("FILE", init_file, "e.g. {\"water\":\"cool\",\"coolLevel\":10}")->required();
  on(bind_init, [&] { return [&](Context& ctx) { return cmd_bind_upload(ctx, "/api/bind/init", init_file); }; });
  std::string export_file;
  auto* bind_export = bind->add_subcommand("export", "write the binding as JSON to FILE, or print it");
  bind_export->add_option("FILE", export_file, "where to write it (replaced whole)");
  on(bind_export, [&] { return [&](Context& ctx) { return cmd_bind_export(ctx, export_file); }; });
  std::string import_file;
  auto* bind_import = bind->add_subcommand("import", "replace the whole binding from a JSON file (- reads stdin)");
  bind_import->add_option("FILE", import_file, "a file written by bind export")->required();
  on(bind_import, [&] { return [&](Context& ctx) { return cmd_bind_upload(ctx, "/api/bind/import", import_file); }; });

  auto* shutdown = app.add_subcommand("shutdown", "turn every chair function off and drop the link");
  on(shutdown, [] { return [](Context& ctx) { return simple_call(ctx, "/api/shutdown"); }; });
  add_session_commands(app, command);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? kExitOk : kExitUsage;
  }
  if (!command) return kExitUsage;

  std::unique_ptr<LaunchedService> launched;
  if (target.spawn) {
    const std::string program = target.service_path.empty() ? default_service_path() : target.service_path;
    auto started = LaunchedService::start(program, {}, kLaunchTimeout);
    if (!started) return report(started.failure());
    launched = std::move(*started);
    target.url = launched->url();
  } else {
    if (target.url.empty()) {
      const char* env = std::getenv("CHAIR_SERVICE_URL");
      if (env) target.url = env;
    }
    if (target.url.empty()) {
      return report(Failure{kExitUsage, "no service given: use --url URL, set CHAIR_SERVICE_URL, or --spawn"});
    }
  }
  auto base = normalize_base_url(target.url);
  if (!base) return report(base.failure());

  ServiceClient client(*base, kRequestTimeout);
  Context ctx{client, json_output, use_color() && !json_output, target.spawn};
  int code = command(ctx);

  if (launched) {
    // The service this command started leaves as the UI would end it: quiet the chair
    // first, then the process. A second Ctrl-C cuts the request short.
    set_interrupted(false);
    ServiceClient closing(*base, 10s);
    auto quiet = closing.call("/api/shutdown");
    if (!quiet && code == kExitOk) code = report(quiet.failure());
    launched->stop();
  }
  return code;
}

}  // namespace chairctl
