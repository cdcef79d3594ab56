#include "tools/chairctl/cli.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/text.h"
#include "tools/chairctl/arguments.h"
#include "tools/chairctl/client.h"
#include "tools/chairctl/discovery.h"
#include "tools/chairctl/service_launch.h"
#include "tools/chairctl/session_commands.h"

namespace chairctl {

namespace {

using namespace std::chrono_literals;

// /api/connect and /api/scan/start wait for the Bluetooth stack, up to about 20 s per
// step; an answer that takes longer than this is not coming.
constexpr auto kRequestTimeout = 90s;
constexpr auto kLaunchTimeout = 15s;

// Shown under every subcommand's help: the options that choose the service and the output
// belong to chairctl itself, and are accepted before or after the command.
constexpr const char* kCommonOptions =
    "Options of every command (before or after it):\n"
    "  --url URL       the service's address, e.g. http://127.0.0.1:PORT (else CHAIR_SERVICE_URL, else the\n"
    "                  service that chair-panel --resident announced)\n"
    "  --json          print the service's replies and records exactly as received\n"
    "  --spawn         start chair-service for this one command, and shut it down afterwards\n"
    "  --service PATH  the chair-service executable for --spawn";

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

std::string names_of(const std::vector<CLI::App*>& subs) {
  std::string out;
  for (const CLI::App* sub : subs) out += (out.empty() ? "" : ", ") + sub->get_name();
  return out;
}

// CLI11 says only "A subcommand is required" when the word given is not a command; a person
// who typed "sacn" wants to hear about "sacn".
std::string usage_text(CLI::App& app, const CLI::Error& error) {
  CLI::App* deepest = &app;
  for (auto subs = app.get_subcommands(); !subs.empty(); subs = subs.front()->get_subcommands()) {
    deepest = subs.front();
  }
  std::string text = error.what();
  if (dynamic_cast<const CLI::RequiredError*>(&error) != nullptr && text.find("subcommand") != std::string::npos) {
    std::string unknown;
    for (const std::string& word : app.remaining(true)) {
      if (!word.empty() && word[0] != '-') {
        unknown = word;
        break;
      }
    }
    const std::string commands = names_of(deepest->get_subcommands([](const CLI::App*) { return true; }));
    text = unknown.empty() ? "a command is required" : "unknown command \"" + printable(unknown) + "\"";
    text +=
        "; the commands " + (deepest == &app ? std::string() : "of " + deepest->get_name() + " ") + "are: " + commands;
  }
  return "chairctl: " + text + "\nRun chairctl --help, or chairctl COMMAND --help, for more information.\n";
}

void add_event_commands(CLI::App& app, const Register& on) {
  auto watch_count = std::make_shared<long>(0);
  auto frames = std::make_shared<bool>(false);
  auto* watch = app.add_subcommand("watch", "show live events, one line each, until Ctrl-C");
  watch->add_option("--count", *watch_count, "end after this many events (the first is the current state)")
      ->check(CLI::PositiveNumber);
  watch->add_flag("--frames", *frames,
                  "also show the TX/RX frames and every chair report, repeated ones included (--json always does)");
  on(watch, [=] { return [=](Context& ctx) { return cmd_watch(ctx, *watch_count, *frames); }; });

  auto* status = app.add_subcommand(
      "status", "show the link, the chair's levels and switches, the bound chair and auto-connect at once");
  on(status, [] { return [](Context& ctx) { return cmd_status(ctx); }; });
}

void add_link_commands(CLI::App& app, const Register& on) {
  auto scan_seconds = std::make_shared<double>(10);
  auto* scan = app.add_subcommand("scan", "scan for chairs and show them as they are found");
  scan->add_option("--seconds", *scan_seconds, "how long to scan (default 10)")->check(CLI::Range(0.1, 3600.0));
  on(scan, [=] { return [=](Context& ctx) { return cmd_scan(ctx, *scan_seconds); }; });

  auto* devices = app.add_subcommand("devices", "list the chairs found by the last scan");
  on(devices, [] { return [](Context& ctx) { return cmd_devices(ctx); }; });

  auto address = std::make_shared<std::string>();
  auto request = std::make_shared<ConnectRequest>();
  auto* connect = app.add_subcommand("connect", "connect to a chair, given by its address or its name");
  auto* addr_opt = connect->add_option("ADDR", *address, "the chair's address, e.g. C0:FF:EE:01:02:0A");
  auto* name_opt = connect->add_option(
      "--name", request->name,
      "the chair's name, or the beginning of it, among the chairs found (a short scan looks for it)");
  addr_opt->excludes(name_opt);
  connect->add_flag("--wait", request->wait, "wait until the chair is ready (or the attempt failed)");
  connect->add_option("--timeout", request->timeout_s, "seconds the whole command may take (default 30)")
      ->check(CLI::Range(0.1, 3600.0));
  on(connect, [=] {
    if (addr_opt->count() == 0 && name_opt->count() == 0) {
      throw CLI::ValidationError("connect", "give the chair's ADDR or --name NAME");
    }
    if (addr_opt->count() > 0) {
      auto checked_address = check_address(*address);
      if (!checked_address) throw CLI::ValidationError("ADDR", checked_address.failure().text + " (or --name NAME)");
      request->address = *checked_address;
    }
    if (name_opt->count() > 0 && chair::trim_ascii(request->name).empty()) {
      throw CLI::ValidationError("--name", "give a chair's name, or the beginning of one");
    }
    return [=](Context& ctx) { return cmd_connect(ctx, *request); };
  });

  auto* disconnect = app.add_subcommand("disconnect", "drop the link to the chair");
  on(disconnect, [] { return [](Context& ctx) { return simple_call(ctx, "/api/disconnect"); }; });
}

void add_chair_commands(CLI::App& app, const Register& on) {
  auto fn = std::make_shared<std::string>();
  auto level_text = std::make_shared<std::string>();
  auto* set = app.add_subcommand("set", "set a level: cold, hot, vibrate, volume or lumbar, 1 to 10 or off");
  set->add_option("FUNCTION", *fn, "cold, hot, vibrate, volume or lumbar")
      ->required()
      ->check(CLI::IsMember({"cold", "hot", "vibrate", "volume", "lumbar"}));
  set->add_option("LEVEL", *level_text, "1 to 10, or off (0)")->required();
  on(set, [=] {
    const std::string level = checked("LEVEL", check_level(*level_text));
    if (level == kLevelOff) return Command([=](Context& ctx) { return cmd_level_off(ctx, *fn); });
    return Command([=](Context& ctx) {
      return simple_call(ctx, "/api/cmd/intensity", {{"fn", *fn}, {"value", level}});
    });
  });

  auto bits_text = std::make_shared<std::string>();
  auto* sw = app.add_subcommand("switch", "send a switch byte (decimal or 0x hex)");
  sw->add_option("BITS", *bits_text, "e.g. 0x40 water on, 0x04 water off")->required();
  on(sw, [=] {
    const std::string bits = checked("BITS", check_switch_bits(*bits_text));
    return [bits](Context& ctx) { return simple_call(ctx, "/api/cmd/switch", {{"bits", bits}}); };
  });

  auto query_timeout = std::make_shared<double>(5);
  auto* query = app.add_subcommand("query", "ask the chair for its status and print the report");
  query->add_option("--timeout", *query_timeout, "seconds the whole command may take (default 5)")
      ->check(CLI::Range(0.1, 3600.0));
  on(query, [=] { return [=](Context& ctx) { return cmd_query(ctx, *query_timeout); }; });

  auto raw_hex = std::make_shared<std::vector<std::string>>();
  auto* raw = app.add_subcommand("raw", "send bytes to the chair exactly as given");
  raw->add_option("HEX", *raw_hex, "hexadecimal bytes, e.g. 55 01 0A 02 00 09 AA (a status query)")->required();
  on(raw, [=] {
    const std::string hex = checked("HEX", check_raw_hex(*raw_hex));
    return [hex](Context& ctx) { return simple_call(ctx, "/api/cmd/raw", {{"hex", hex}}); };
  });

  auto* shutdown = app.add_subcommand("shutdown", "turn every chair function off and drop the link");
  on(shutdown, [] { return [](Context& ctx) { return cmd_shutdown(ctx); }; });
}

void add_bind_commands(CLI::App& app, const Register& on) {
  auto* bind = app.add_subcommand("bind", "the bound chair: the one the service reconnects to by itself");
  bind->require_subcommand(1);
  on(bind->add_subcommand("get", "show the bound chair and its initial settings"),
     [] { return [](Context& ctx) { return cmd_bind_get(ctx); }; });

  auto address = std::make_shared<std::string>();
  auto name = std::make_shared<std::string>();
  auto* bind_set = bind->add_subcommand("set", "bind a chair, turn auto-connect on and connect to it");
  bind_set->add_option("ADDR", *address, "the chair's address")->required();
  bind_set->add_option("NAME", *name, "a name to remember it by");
  on(bind_set, [=] {
    const std::string checked_address = checked("ADDR", check_address(*address));
    return [=](Context& ctx) {
      return simple_call(ctx, "/api/bind/set", {{"addr", checked_address}, {"name", *name}});
    };
  });
  on(bind->add_subcommand("clear", "forget the bound chair (the link stays up)"),
     [] { return [](Context& ctx) { return simple_call(ctx, "/api/bind/clear"); }; });

  auto state = std::make_shared<std::string>();
  auto* bind_auto = bind->add_subcommand("autoconnect", "switch automatic reconnection on or off");
  bind_auto->add_option("STATE", *state, "on or off")->required()->check(CLI::IsMember({"on", "off"}));
  on(bind_auto, [=] {
    return [=](Context& ctx) {
      return simple_call(ctx, "/api/bind/autoconnect", {{"on", *state == "on" ? "1" : "0"}});
    };
  });

  auto init_file = std::make_shared<std::string>();
  auto* bind_init = bind->add_subcommand("init", "replace the initial settings from a JSON file (- reads stdin)");
  bind_init->add_option("FILE", *init_file, "e.g. {\"water\":\"cool\",\"coolLevel\":10}")->required();
  on(bind_init, [=] { return [=](Context& ctx) { return cmd_bind_init(ctx, *init_file); }; });

  auto export_file = std::make_shared<std::string>();
  auto* bind_export = bind->add_subcommand("export", "write the binding as JSON to FILE, or print it");
  bind_export->add_option("FILE", *export_file, "where to write it (replaced whole)");
  on(bind_export, [=] { return [=](Context& ctx) { return cmd_bind_export(ctx, *export_file); }; });

  auto import_file = std::make_shared<std::string>();
  auto* bind_import = bind->add_subcommand("import", "replace the whole binding from a JSON file (- reads stdin)");
  bind_import->add_option("FILE", *import_file, "a file written by bind export")->required();
  on(bind_import, [=] { return [=](Context& ctx) { return cmd_bind_upload(ctx, "/api/bind/import", *import_file); }; });
}

// Every subcommand, nested ones included, names the options that belong to all of them.
void add_common_footer(CLI::App& app) {
  for (CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; })) {
    sub->footer(kCommonOptions);
    add_common_footer(*sub);
  }
}

// Runs `command` against the service the options name, starting one for --spawn.
int run_against_service(const Target& target, bool json_output, const Command& command) {
  std::unique_ptr<LaunchedService> launched;
  ServiceAddress address;
  if (target.spawn) {
    const std::string program = target.service_path.empty() ? default_service_path() : target.service_path;
    auto started = LaunchedService::start(program, {}, kLaunchTimeout);
    if (!started) return report(started.failure());
    launched = std::move(*started);
    address.url = launched->url();
  } else {
    auto found = find_service(target.url);
    if (!found) return report(found.failure());
    address = *found;
  }
  auto base = normalize_base_url(address.url);
  if (!base) return report(base.failure());

  ServiceClient client(*base, kRequestTimeout);
  Context ctx{client, json_output, use_color() && !json_output, target.spawn};
  int code = command(ctx);
  // An address left behind by a resident service that has ended names nothing any more.
  if (code == kExitUnreachable && address.from_resident_file) report(not_running_failure(address));

  if (launched) {
    // The service this command started leaves as the UI would end it: quiet the chair
    // first, then the process. A second Ctrl-C cuts the request short.
    set_interrupted(false);
    ServiceClient closing(*base, 10s);
    auto quiet = closing.call("/api/shutdown");
    // Told even when the command failed too: the chair may still be running.
    if (!quiet) {
      const int quiet_code = report_unquiet(quiet.failure());
      if (code == kExitOk) code = quiet_code;
    }
    launched->stop();
  }
  return code;
}

}  // namespace

int run(int argc, char** argv) {
  install_interrupt_handlers();

  CLI::App app{
      "Drives a running chair-service: watch its events, scan for chairs, send commands, "
      "manage the bound chair.",
      "chairctl"};
  app.footer(
      "The service is found through --url, else the CHAIR_SERVICE_URL environment variable, else the address "
      "that chair-panel --resident keeps in $XDG_RUNTIME_DIR/chair-service/url. --spawn starts a service of its "
      "own for this one command and shuts it down at the end (a new service has not scanned yet and is not "
      "connected).\n"
      "Commands that only change something print nothing when they succeed (with --json: the reply).\n"
      "Exit status: 0 done, 1 the service refused (its message is on standard error), 2 usage error, "
      "3 no service could be reached.");
  app.set_version_flag("--version", std::string("chairctl ") + CHAIR_VERSION, "print the version and exit");
  app.fallthrough();
  app.require_subcommand(1);
  app.failure_message([&app](const CLI::App*, const CLI::Error& e) { return usage_text(app, e); });

  Target target;
  bool json_output = false;
  auto* url_opt =
      app.add_option("--url", target.url, "the service's address, e.g. http://127.0.0.1:PORT")->type_name("URL");
  auto* spawn_opt =
      app.add_flag("--spawn", target.spawn, "start chair-service for this one command, and shut it down afterwards");
  app.add_option("--service", target.service_path,
                 "the chair-service executable for --spawn (default: beside chairctl, else "
                 "../libexec/chair-service/ from it)")
      ->type_name("PATH")
      ->needs(spawn_opt);
  url_opt->excludes(spawn_opt);
  app.add_flag("--json", json_output, "print the service's records and replies exactly as received");

  Command command;
  const Register on = [&command](CLI::App* sub, const std::function<Command()>& prepare) {
    sub->callback([&command, prepare] { command = prepare(); });
  };
  add_event_commands(app, on);
  add_link_commands(app, on);
  add_chair_commands(app, on);
  add_bind_commands(app, on);
  add_session_commands(app, command);
  add_common_footer(app);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? kExitOk : kExitUsage;
  }
  if (!command) return kExitUsage;
  return run_against_service(target, json_output, command);
}

}  // namespace chairctl
