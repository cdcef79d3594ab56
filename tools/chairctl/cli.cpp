#include "tools/chairctl/cli.h"

#include <fcntl.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/chairctl/client.h"
#include "tools/chairctl/event_stream.h"
#include "tools/chairctl/render.h"
#include "tools/chairctl/service_launch.h"

namespace chairctl {

namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// /api/connect and /api/scan/start wait for the Bluetooth stack, up to about 20 s per
// step; an answer that takes longer than this is not coming.
constexpr auto kRequestTimeout = 90s;
constexpr auto kStreamOpenTimeout = 10s;
constexpr auto kLaunchTimeout = 15s;
// The service reads at most this much of a request body.
constexpr size_t kMaxBodyFile = 1024 * 1024;

std::chrono::milliseconds to_ms(double seconds) {
  return std::chrono::milliseconds(static_cast<long long>(std::llround(seconds * 1000.0)));
}

// ---- output ---------------------------------------------------------------------------

bool stdout_is_terminal() {
  static const bool tty = ::isatty(STDOUT_FILENO) == 1;
  return tty;
}

bool use_color() {
  const char* no_color = std::getenv("NO_COLOR");
  const char* term = std::getenv("TERM");
  return stdout_is_terminal() && !(no_color && *no_color) && !(term && std::strcmp(term, "dumb") == 0);
}

// Writes and flushes at once, so a script reading our output sees each line as it
// happens. False when nobody reads any more.
bool emit(const std::string& text) {
  if (!text.empty() && std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) return false;
  return std::fflush(stdout) == 0;
}

int report(const Failure& failure) {
  // The service's own texts go out exactly as sent, so scripts can compare them.
  const std::string text = failure.from_service ? printable(failure.text) : "chairctl: " + printable(failure.text);
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
  return failure.exit_code;
}

// ---- files ----------------------------------------------------------------------------

Outcome<std::string> read_body_file(const std::string& path) {
  const bool from_stdin = path == "-";
  const int fd = from_stdin ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Failure{kExitService, "cannot read " + path + ": " + std::strerror(errno)};
  std::string text;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int err = errno;
      if (!from_stdin) ::close(fd);
      return Failure{kExitService, "cannot read " + path + ": " + std::strerror(err)};
    }
    if (n == 0) break;
    text.append(buf, static_cast<size_t>(n));
    if (text.size() > kMaxBodyFile) {
      if (!from_stdin) ::close(fd);
      return Failure{kExitService, path + " is larger than the 1 MiB the service accepts"};
    }
  }
  if (!from_stdin) ::close(fd);
  return text;
}

// Replaces `path` whole or not at all: an export that fails half-way must not destroy
// the copy that was there before.
Outcome<bool> write_file_atomically(const std::string& path, const std::string& text) {
  const std::string temp = path + ".tmp-" + std::to_string(::getpid());
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return Failure{kExitService, "cannot write " + path + ": " + std::strerror(errno)};
  auto abandon = [&](int err) -> Failure {
    ::close(fd);
    ::unlink(temp.c_str());
    return Failure{kExitService, "cannot write " + path + ": " + std::strerror(err)};
  };
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return abandon(n < 0 ? errno : EIO);
    done += static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0) return abandon(errno);
  if (::close(fd) != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    return Failure{kExitService, "cannot write " + path + ": " + std::strerror(err)};
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    return Failure{kExitService, "cannot write " + path + ": " + std::strerror(err)};
  }
  return true;
}

// ---- commands -------------------------------------------------------------------------

struct Context {
  ServiceClient& client;
  bool json_output = false;
  bool color = false;
};

std::optional<json> parse_record(const std::string& record) {
  json value = json::parse(record, nullptr, false);
  if (value.is_discarded() || !value.is_object()) return std::nullopt;
  return value;
}

std::string type_of(const json& event) {
  auto it = event.find("type");
  return it != event.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::string member_text(const json& event, const char* key) {
  auto it = event.find(key);
  return it != event.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// A command whose answer is {"ok":true} prints nothing on success.
int simple_call(Context& ctx, const std::string& path, const std::vector<Param>& params = {},
                const std::optional<std::string>& body = std::nullopt) {
  auto reply = ctx.client.call(path, params, body);
  return reply ? kExitOk : report(reply.failure());
}

int cmd_watch(Context& ctx, long count) {
  auto stream = EventStream::open(ctx.client, kStreamOpenTimeout);
  if (!stream) return report(stream.failure());
  long shown = 0;
  std::string record;
  for (;;) {
    switch ((*stream)->next(record, Clock::now() + 1h)) {
      case EventStream::Wait::Record: {
        const std::string line = ctx.json_output
                                     ? record
                                     : clock_text(std::chrono::system_clock::now()) + " " + render_event(record, ctx.color);
        if (!emit(line + "\n")) return kExitOk;
        if (count > 0 && ++shown >= count) return kExitOk;
        break;
      }
      case EventStream::Wait::Timeout:
        break;
      case EventStream::Wait::Interrupted:
        return kExitOk;
      case EventStream::Wait::Closed:
        return report((*stream)->closed_reason());
    }
  }
}

int cmd_query(Context& ctx, double timeout_s) {
  // Subscribed before asking, so the answer cannot slip past.
  auto stream = EventStream::open(ctx.client, kStreamOpenTimeout);
  if (!stream) return report(stream.failure());
  auto sent = ctx.client.call("/api/cmd/query");
  if (!sent) return report(sent.failure());

  const auto deadline = Clock::now() + to_ms(timeout_s);
  std::string record;
  for (;;) {
    switch ((*stream)->next(record, deadline)) {
      case EventStream::Wait::Record: {
        auto event = parse_record(record);
        if (!event || type_of(*event) != "chair") continue;
        auto chair = event->find("chair");
        const std::string line = ctx.json_output ? record : render_chair(chair != event->end() ? *chair : json::object());
        emit(line + "\n");
        return kExitOk;
      }
      case EventStream::Wait::Timeout: {
        char text[64];
        std::snprintf(text, sizeof text, "no status report from the chair within %g s", timeout_s);
        return report(Failure{kExitService, text});
      }
      case EventStream::Wait::Interrupted:
        return kExitInterrupted;
      case EventStream::Wait::Closed:
        return report((*stream)->closed_reason());
    }
  }
}

int cmd_connect(Context& ctx, const std::string& address, bool wait, double timeout_s) {
  if (!wait) return simple_call(ctx, "/api/connect", {{"addr", address}});

  auto stream = EventStream::open(ctx.client, kStreamOpenTimeout);
  if (!stream) return report(stream.failure());
  auto sent = ctx.client.call("/api/connect", {{"addr", address}});
  if (!sent) return report(sent.failure());

  // The stream starts with the state as it was before the request; only what follows
  // this attempt's own "connecting" tells how it went.
  bool attempt_seen = false;
  std::string last_log;
  const auto deadline = Clock::now() + to_ms(timeout_s);
  std::string record;
  for (;;) {
    switch ((*stream)->next(record, deadline)) {
      case EventStream::Wait::Record: {
        auto event = parse_record(record);
        if (!event) continue;
        const std::string type = type_of(*event);
        if (type == "log") last_log = member_text(*event, "log");
        if (type != "status") continue;
        const std::string status = member_text(*event, "status");
        if (status == "connecting") attempt_seen = true;
        if (status == "connected" && attempt_seen) {
          emit((ctx.json_output ? record : render_event(record, ctx.color)) + "\n");
          return kExitOk;
        }
        if (status == "idle" && attempt_seen) {
          return report(Failure{kExitService, "the chair did not connect" + (last_log.empty() ? "" : ": " + last_log)});
        }
        break;
      }
      case EventStream::Wait::Timeout: {
        char text[64];
        std::snprintf(text, sizeof text, "the chair did not connect within %g s", timeout_s);
        return report(Failure{kExitService, text});
      }
      case EventStream::Wait::Interrupted:
        return kExitInterrupted;
      case EventStream::Wait::Closed:
        return report((*stream)->closed_reason());
    }
  }
}

// The live table of a scan: redrawn in place on a terminal, printed once at the end
// otherwise.
class ScanTable {
 public:
  explicit ScanTable(bool live) : live_(live) {}

  void update(const DeviceRow& row) {
    rows_[row.address] = row;
    dirty_ = true;
  }
  void replace(const std::vector<DeviceRow>& rows) {
    rows_.clear();
    for (const auto& r : rows) rows_[r.address] = r;
    dirty_ = true;
  }
  bool dirty() const { return dirty_; }

  void draw(const std::string& heading) {
    if (!live_) return;
    std::string text;
    // Back to the first line of the previous drawing, and clear from there.
    if (lines_ > 0) text += "\x1b[" + std::to_string(lines_) + "F\x1b[J";
    const std::string table = heading + "\n" + render_table(sorted());
    text += table;
    lines_ = static_cast<int>(std::count(table.begin(), table.end(), '\n'));
    emit(text);
    dirty_ = false;
  }

  void finish() {
    if (live_) {
      draw(rows_.empty() ? "No chairs found." : "Chairs found:");
    } else {
      emit(rows_.empty() ? std::string("No chairs found.\n") : render_table(sorted()));
    }
  }

 private:
  std::vector<DeviceRow> sorted() const {
    std::vector<DeviceRow> rows;
    for (const auto& [address, row] : rows_) rows.push_back(row);
    sort_rows(rows);
    return rows;
  }

  bool live_;
  bool dirty_ = false;
  int lines_ = 0;
  std::map<std::string, DeviceRow> rows_;
};

int cmd_scan(Context& ctx, double seconds) {
  auto stream = EventStream::open(ctx.client, kStreamOpenTimeout);
  if (!stream) return report(stream.failure());
  auto started = ctx.client.call("/api/scan/start");
  if (!started) return report(started.failure());

  ScanTable table(stdout_is_terminal() && !ctx.json_output);
  const auto start = Clock::now();
  const auto end = start + to_ms(seconds);
  auto next_draw = start;
  std::optional<Failure> broken;
  std::string record;
  while (!broken) {
    const auto now = Clock::now();
    if (now >= end) break;
    if (now >= next_draw) {
      const auto left = std::chrono::duration_cast<std::chrono::seconds>(end - now + 999ms).count();
      table.draw("Scanning for chairs, " + std::to_string(left) + " s left (Ctrl-C stops)");
      next_draw = now + (table.dirty() ? 250ms : 1000ms);
    }
    const auto wake = std::min(end, next_draw);
    auto wait = (*stream)->next(record, wake);
    if (wait == EventStream::Wait::Interrupted) break;
    if (wait == EventStream::Wait::Closed) broken = (*stream)->closed_reason();
    if (wait != EventStream::Wait::Record) continue;
    auto event = parse_record(record);
    if (!event || type_of(*event) != "device") continue;
    DeviceRow row;
    auto device = event->find("device");
    if (device != event->end() && device_row(*device, row)) {
      table.update(row);
      // A new sighting is shown soon, but the screen is not redrawn for every advertisement.
      next_draw = std::min(next_draw, Clock::now() + 250ms);
    }
  }

  // The scan is stopped whatever happened, even after Ctrl-C: a forgotten scan keeps
  // the radio busy and holds off the automatic reconnect.
  set_interrupted(false);
  auto stopped = ctx.client.call("/api/scan/stop");
  std::string raw;
  auto listed = ctx.client.call("/api/devices", {}, std::nullopt, &raw);
  if (listed && listed->is_array()) {
    std::vector<DeviceRow> rows;
    for (const auto& device : *listed) {
      DeviceRow row;
      if (device_row(device, row)) rows.push_back(row);
    }
    table.replace(rows);
  }
  if (ctx.json_output) {
    if (listed) emit(raw + "\n");
  } else {
    table.finish();
  }
  if (broken) return report(*broken);
  if (!stopped) return report(stopped.failure());
  if (!listed) return report(listed.failure());
  return kExitOk;
}

int cmd_devices(Context& ctx) {
  std::string raw;
  auto listed = ctx.client.call("/api/devices", {}, std::nullopt, &raw);
  if (!listed) return report(listed.failure());
  if (ctx.json_output) return emit(raw + "\n") ? kExitOk : kExitService;
  std::vector<DeviceRow> rows;
  if (listed->is_array()) {
    for (const auto& device : *listed) {
      DeviceRow row;
      if (device_row(device, row)) rows.push_back(row);
    }
  }
  sort_rows(rows);
  emit(rows.empty() ? std::string("No chairs found.\n") : render_table(rows));
  return kExitOk;
}

int cmd_bind_get(Context& ctx) {
  std::string raw;
  auto bind = ctx.client.call("/api/bind/get", {}, std::nullopt, &raw);
  if (!bind) return report(bind.failure());
  emit(ctx.json_output ? raw + "\n" : render_binding(*bind));
  return kExitOk;
}

int cmd_bind_export(Context& ctx, const std::string& file) {
  auto bind = ctx.client.call("/api/bind/export");
  if (!bind) return report(bind.failure());
  const std::string text = binding_file_text(*bind);
  if (file.empty() || file == "-") {
    emit(text + "\n");
    return kExitOk;
  }
  auto written = write_file_atomically(file, text);
  return written ? kExitOk : report(written.failure());
}

int cmd_bind_upload(Context& ctx, const std::string& path, const std::string& file) {
  auto body = read_body_file(file);
  if (!body) return report(body.failure());
  return simple_call(ctx, path, {}, *body);
}

// ---- finding the service --------------------------------------------------------------

struct Target {
  std::string url;
  bool spawn = false;
  std::string service_path;
};

}  // namespace

int run(int argc, char** argv) {
  install_interrupt_handlers();

  CLI::App app{"Drives a running chair-service: watch its events, scan for chairs, send commands, "
               "manage the bound chair.",
               "chairctl"};
  app.footer(
      "The service is found through --url, else the CHAIR_SERVICE_URL environment variable; --spawn starts "
      "one instead and shuts it down at the end.\n"
      "Commands that only change something print nothing when they succeed.\n"
      "Exit status: 0 done, 1 the service refused (its message is on standard error), 2 usage error, "
      "3 no service could be reached.");
  app.fallthrough();
  app.require_subcommand(1);

  Target target;
  bool json_output = false;
  auto* url_opt = app.add_option("--url", target.url, "the service's address, e.g. http://127.0.0.1:PORT");
  auto* spawn_opt = app.add_flag("--spawn", target.spawn,
                                 "start chair-service for this command, and shut it down afterwards");
  app.add_option("--service", target.service_path,
                 "the chair-service executable for --spawn (default: next to chairctl)")
      ->needs(spawn_opt);
  url_opt->excludes(spawn_opt);
  app.add_flag("--json", json_output, "print the service's records and replies exactly as received");

  // The command chosen on the command line, run once the service is known.
  std::function<int(Context&)> command;
  auto on = [&](CLI::App* sub, std::function<int(Context&)> body) {
    sub->callback([&command, body] { command = body; });
  };

  long watch_count = 0;
  auto* watch = app.add_subcommand("watch", "show live events, one line each, until Ctrl-C");
  watch->add_option("--count", watch_count, "end after this many events (the first is the current state)")
      ->check(CLI::PositiveNumber);
  on(watch, [&](Context& ctx) { return cmd_watch(ctx, watch_count); });

  double scan_seconds = 10;
  auto* scan = app.add_subcommand("scan", "scan for chairs and show them as they are found");
  scan->add_option("--seconds", scan_seconds, "how long to scan (default 10)")->check(CLI::Range(0.1, 3600.0));
  on(scan, [&](Context& ctx) { return cmd_scan(ctx, scan_seconds); });

  auto* devices = app.add_subcommand("devices", "list the chairs found by the last scan");
  on(devices, [](Context& ctx) { return cmd_devices(ctx); });

  std::string connect_address;
  bool connect_wait = false;
  double connect_timeout = 30;
  auto* connect = app.add_subcommand("connect", "connect to a chair");
  connect->add_option("ADDR", connect_address, "the chair's address, e.g. C0:FF:EE:01:02:0A")->required();
  connect->add_flag("--wait", connect_wait, "wait until the chair is ready (or the attempt failed)");
  connect->add_option("--timeout", connect_timeout, "seconds to wait with --wait (default 30)")
      ->check(CLI::Range(0.1, 3600.0));
  on(connect, [&](Context& ctx) { return cmd_connect(ctx, connect_address, connect_wait, connect_timeout); });

  auto* disconnect = app.add_subcommand("disconnect", "drop the link to the chair");
  on(disconnect, [](Context& ctx) { return simple_call(ctx, "/api/disconnect"); });

  std::string set_fn, set_level;
  auto* set = app.add_subcommand("set", "set a level: cold, hot, vibrate, volume or lumbar, 1 to 10");
  set->add_option("FUNCTION", set_fn, "cold, hot, vibrate, volume or lumbar")
      ->required()
      ->check(CLI::IsMember({"cold", "hot", "vibrate", "volume", "lumbar"}));
  // The level goes to the service as typed: its own check gives the message.
  set->add_option("LEVEL", set_level, "1 to 10")->required();
  on(set, [&](Context& ctx) {
    return simple_call(ctx, "/api/cmd/intensity", {{"fn", set_fn}, {"value", set_level}});
  });

  std::string switch_bits;
  auto* sw = app.add_subcommand("switch", "send a switch byte (decimal or 0x hex)");
  sw->add_option("BITS", switch_bits, "e.g. 0x40 water on, 0x04 water off")->required();
  on(sw, [&](Context& ctx) { return simple_call(ctx, "/api/cmd/switch", {{"bits", switch_bits}}); });

  double query_timeout = 5;
  auto* query = app.add_subcommand("query", "ask the chair for its status and print the report");
  query->add_option("--timeout", query_timeout, "seconds to wait for the report (default 5)")
      ->check(CLI::Range(0.1, 3600.0));
  on(query, [&](Context& ctx) { return cmd_query(ctx, query_timeout); });

  std::vector<std::string> raw_hex;
  auto* raw = app.add_subcommand("raw", "send bytes to the chair exactly as given");
  raw->add_option("HEX", raw_hex, "hexadecimal bytes, e.g. 55 01 0A 01 00 AA")->required();
  on(raw, [&](Context& ctx) {
    std::string hex;
    for (const auto& part : raw_hex) hex += (hex.empty() ? "" : " ") + part;
    return simple_call(ctx, "/api/cmd/raw", {{"hex", hex}});
  });

  auto* bind = app.add_subcommand("bind", "the bound chair: the one the service reconnects to by itself");
  bind->require_subcommand(1);
  on(bind->add_subcommand("get", "show the bound chair and its initial settings"),
     [](Context& ctx) { return cmd_bind_get(ctx); });
  std::string bind_address, bind_name;
  auto* bind_set = bind->add_subcommand("set", "bind a chair, turn auto-connect on and connect to it");
  bind_set->add_option("ADDR", bind_address, "the chair's address")->required();
  bind_set->add_option("NAME", bind_name, "a name to remember it by");
  on(bind_set, [&](Context& ctx) {
    return simple_call(ctx, "/api/bind/set", {{"addr", bind_address}, {"name", bind_name}});
  });
  on(bind->add_subcommand("clear", "forget the bound chair (the link stays up)"),
     [](Context& ctx) { return simple_call(ctx, "/api/bind/clear"); });
  std::string autoconnect_state;
  auto* bind_auto = bind->add_subcommand("autoconnect", "switch automatic reconnection on or off");
  bind_auto->add_option("STATE", autoconnect_state, "on or off")->required()->check(CLI::IsMember({"on", "off"}));
  on(bind_auto, [&](Context& ctx) {
    return simple_call(ctx, "/api/bind/autoconnect", {{"on", autoconnect_state == "on" ? "1" : "0"}});
  });
  std::string init_file;
  auto* bind_init = bind->add_subcommand("init", "replace the initial settings from a JSON file (- reads stdin)");
  bind_init->add_option("FILE", init_file, "e.g. {\"water\":\"cool\",\"coolLevel\":10}")->required();
  on(bind_init, [&](Context& ctx) { return cmd_bind_upload(ctx, "/api/bind/init", init_file); });
  std::string export_file;
  auto* bind_export = bind->add_subcommand("export", "write the binding as JSON to FILE, or print it");
  bind_export->add_option("FILE", export_file, "where to write it (replaced whole)");
  on(bind_export, [&](Context& ctx) { return cmd_bind_export(ctx, export_file); });
  std::string import_file;
  auto* bind_import = bind->add_subcommand("import", "replace the whole binding from a JSON file (- reads stdin)");
  bind_import->add_option("FILE", import_file, "a file written by bind export")->required();
  on(bind_import, [&](Context& ctx) { return cmd_bind_upload(ctx, "/api/bind/import", import_file); });

  auto* shutdown = app.add_subcommand("shutdown", "turn every chair function off and drop the link");
  on(shutdown, [](Context& ctx) { return simple_call(ctx, "/api/shutdown"); });

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
  Context ctx{client, json_output, use_color() && !json_output};
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
