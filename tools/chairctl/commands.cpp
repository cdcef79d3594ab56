#include "tools/chairctl/commands.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>

#include "ble/protocol/commands.h"
#include "ble/protocol/switch_bits.h"
#include "sys/files.h"
#include "tools/chairctl/arguments.h"
#include "tools/chairctl/event_feed.h"
#include "tools/chairctl/render.h"

namespace chairctl {

namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kStreamOpenTimeout = 10s;
// How long a failed connection attempt may take to explain itself on the event stream after
// the service's refusal arrived.
constexpr auto kReasonGrace = 1s;
// The level commands of the chair, by the names the level route knows.
struct LevelCommand {
  std::string_view fn;
  uint8_t command;
};
constexpr LevelCommand kLevelCommands[] = {{"cold", chair::ble::kCold},
                                           {"hot", chair::ble::kHot},
                                           {"vibrate", chair::ble::kVibrate},
                                           {"volume", chair::ble::kVolume},
                                           {"lumbar", chair::ble::kLumbar}};
// A chair chosen by name that is not in the last scan's list is looked for this long.
constexpr auto kNameScan = 5s;
// Once a chair with the name showed up, other chairs that would make the name ambiguous
// get this long to show up as well.
constexpr auto kNameScanSettle = 1s;
// The service reads at most this much of a request body.
constexpr size_t kMaxBodyFile = 1024 * 1024;
// How long the service gets to answer when chairctl checks whether it is still there.
constexpr auto kProbeTimeout = 2s;

std::chrono::milliseconds to_ms(double seconds) {
  return std::chrono::milliseconds(static_cast<long long>(std::llround(seconds * 1000.0)));
}

std::chrono::milliseconds left_until(Clock::time_point deadline) {
  return std::max(0ms, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
}

std::string seconds_text(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", seconds);
  return text;
}

bool stdout_is_terminal() {
  static const bool tty = ::isatty(STDOUT_FILENO) == 1;
  return tty;
}

std::string type_of(const json& event) { return member_text(event, "type"); }

std::vector<DeviceRow> device_rows(const json& list) {
  std::vector<DeviceRow> rows;
  if (!list.is_array()) return rows;
  for (const auto& device : list) {
    DeviceRow row;
    if (device_row(device, row)) rows.push_back(row);
  }
  return rows;
}

bool starts_with(const std::string& text, std::string_view prefix) { return text.rfind(prefix, 0) == 0; }

bool is_frame_line(const std::string& log) { return starts_with(log, "TX: ") || starts_with(log, "RX: "); }

// What one connection attempt said on the event stream. The link serves one request at a
// time, and each begins with "connecting ADDRESS ...": the lines from there to the next
// such line are the attempt's own. Frames, and lines of another link or attempt that arrive
// meanwhile, explain nothing about it.
struct AttemptLog {
  std::string address;
  bool started = false;
  bool ours = false;
  std::vector<std::string> logs;
  std::string status;  // the latest status after the attempt started

  void take(const json& event) {
    const std::string type = type_of(event);
    if (type == "status") {
      const std::string value = member_text(event, "status");
      if (value == "connecting") started = true;
      if (started) status = value;
    } else if (type == "log") {
      const std::string text = member_text(event, "log");
      if (starts_with(text, "connecting ")) {
        ours = !address.empty() && text == "connecting " + address + " ...";
        return;
      }
      if (ours && !is_frame_line(text)) logs.push_back(text);
    }
  }
  // The line that says why the attempt failed: the device did not open, or the handshake
  // gave up (those lines end in "reconnecting").
  std::string reason() const {
    for (auto it = logs.rbegin(); it != logs.rend(); ++it) {
      const std::string& line = *it;
      if (starts_with(line, "connect failed") || starts_with(line, "MAC parse failed") ||
          (line.size() >= 12 && line.compare(line.size() - 12, 12, "reconnecting") == 0)) {
        return line;
      }
    }
    return {};
  }
  std::string last_log() const {
    const std::string why = reason();
    return !why.empty() || logs.empty() ? why : logs.back();
  }
};

// Reads what has arrived (without waiting) into `attempt`.
void absorb(EventFeed& feed, AttemptLog& attempt) {
  std::string record;
  while (feed.next(record, Clock::now()) == EventFeed::Wait::Record) {
    if (auto event = parse_record(record)) attempt.take(*event);
  }
}

// The service refused to open the link; the why follows on the event stream (it may still be
// on its way when the refusal arrives).
std::string refusal_reason(EventFeed& feed, AttemptLog& attempt, Clock::time_point deadline) {
  const auto until = std::min(deadline, Clock::now() + kReasonGrace);
  std::string record;
  while (attempt.reason().empty() && feed.next(record, until) == EventFeed::Wait::Record) {
    if (auto event = parse_record(record)) attempt.take(*event);
  }
  return attempt.reason();
}

// The stream's first record says "connected" without naming the chair; a person wants to know
// which one.
std::string with_chair_name(Context& ctx, const std::string& record) {
  auto event = parse_record(record);
  if (!event || type_of(*event) != "status" || member_text(*event, "status") != "connected" ||
      event->contains("name")) {
    return record;
  }
  auto link = link_info(ctx);
  if (!link || !*link || (*link)->name.empty()) return record;
  (*event)["name"] = (*link)->name;
  return event->dump(-1, ' ', false, json::error_handler_t::replace);
}

// A service that sees no adapter says only that; where to look is ours to add.
int report_scan_failure(const Failure& failure) {
  const int code = report(failure);
  if (failure.from_service && starts_with(failure.text, "未检测到蓝牙适配器")) {
    note(
        "the service sees no Bluetooth adapter. With a real chair, bluetoothd must be running and the adapter "
        "present; with the simulator, DBUS_SYSTEM_BUS_ADDRESS must name the simulator's bus where the service "
        "was started (scripts/demo --keep prints the line to paste)");
  }
  return code;
}

// The reply printed as received with --json, whatever it said.
void emit_reply(const Context& ctx, const std::string& raw) {
  if (ctx.json_output && !raw.empty()) emit(raw + "\n");
}

// ---- files ----------------------------------------------------------------------------

Result<std::string, Failure> read_body_file(const std::string& path) {
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

// ---- choosing a chair by name ---------------------------------------------------------

// The chairs that have names the service knows: the last scan's list, the chair it has a link
// to (a connected chair no longer advertises, so a scan does not list it) and the bound chair.
Result<std::vector<DeviceRow>, Failure> known_chairs(Context& ctx, const std::optional<LinkInfo>& link) {
  auto listed = ctx.client.call("/api/devices");
  if (!listed) return listed.failure();
  std::vector<DeviceRow> rows = device_rows(*listed);
  auto add = [&rows](const std::string& address, const std::string& name) {
    const bool listed_already =
        std::any_of(rows.begin(), rows.end(), [&](const DeviceRow& r) { return r.address == address; });
    if (!address.empty() && !name.empty() && !listed_already) rows.push_back(DeviceRow{address, name, 0, 0});
  };
  if (link) add(link->address, link->name);
  auto bound = ctx.client.call("/api/bind/get");
  if (bound && bound->is_object()) add(member_text(*bound, "boundAddress"), member_text(*bound, "boundName"));
  return rows;
}

// A chair that is not among the known ones is looked for with a short scan of its own.
Result<DeviceRow, Failure> find_by_name(Context& ctx, EventFeed& feed, const std::string& name,
                                        const std::optional<LinkInfo>& link, Clock::time_point deadline) {
  auto known = known_chairs(ctx, link);
  if (!known) return known.failure();
  if (!chairs_named(*known, name).empty()) return choose_by_name(*known, name);

  auto started = ctx.client.call("/api/scan/start");
  if (!started) return started.failure();
  std::map<std::string, DeviceRow> seen;
  for (const auto& row : *known) seen[row.address] = row;
  const auto scan_end = std::min(deadline, Clock::now() + kNameScan);
  auto until = scan_end;
  std::optional<Failure> broken;
  std::string record;
  while (!broken) {
    const auto wait = feed.next(record, until);
    if (wait == EventFeed::Wait::Closed) broken = why_closed(ctx, feed);
    if (wait == EventFeed::Wait::Interrupted) broken = Failure{kExitInterrupted, "interrupted"};
    if (wait != EventFeed::Wait::Record) break;
    auto event = parse_record(record);
    if (!event || type_of(*event) != "device") continue;
    DeviceRow row;
    auto device = event->find("device");
    if (device == event->end() || !device_row(*device, row)) continue;
    seen[row.address] = row;
    std::vector<DeviceRow> rows;
    rows.reserve(seen.size());
    for (const auto& [address, r] : seen) rows.push_back(r);
    if (!chairs_named(rows, name).empty()) until = std::min(until, Clock::now() + kNameScanSettle);
  }
  set_interrupted(false);
  auto stopped = ctx.client.call("/api/scan/stop");
  if (broken) return *broken;
  if (!stopped) return stopped.failure();
  std::vector<DeviceRow> rows;
  rows.reserve(seen.size());
  for (const auto& [address, r] : seen) rows.push_back(r);
  return choose_by_name(rows, name);
}

}  // namespace

// ---- shared by the commands ------------------------------------------------------------

bool emit(const std::string& text) {
  if (!text.empty() && std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) return false;
  return std::fflush(stdout) == 0;
}

void note(const std::string& text) {
  std::fprintf(stderr, "chairctl: %s\n", printable(text).c_str());
  std::fflush(stderr);
}

std::optional<json> parse_record(const std::string& record) {
  json value = json::parse(record, nullptr, false);
  if (value.is_discarded() || !value.is_object()) return std::nullopt;
  return value;
}

std::string member_text(const json& object, const char* key) {
  auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

Result<std::unique_ptr<EventFeed>, Failure> open_feed(Context& ctx, Clock::time_point deadline) {
  const auto left = deadline == Clock::time_point::max() ? kStreamOpenTimeout : left_until(deadline);
  return EventFeed::open(ctx.client, std::min<std::chrono::milliseconds>(kStreamOpenTimeout, left));
}

Failure why_closed(Context& ctx, const EventFeed& feed) {
  if (!feed.closed_by_service()) return feed.closed_reason();
  auto probe = ctx.client.bounded(kProbeTimeout).request("/api/devices");
  if (probe) return feed.closed_reason();
  return Failure{kExitUnreachable, "could not reach the service at " + ctx.client.base_url() +
                                       " any more: its event stream ended and it no longer answers"};
}

Result<std::optional<LinkInfo>, Failure> link_info(Context& ctx) {
  auto reply = ctx.client.request("/api/link");
  if (!reply) return reply.failure();
  if (reply->status == 404) return std::optional<LinkInfo>();
  auto value = interpret_reply(ctx.client.base_url() + "/api/link", *reply);
  if (!value) return value.failure();
  if (!value->is_object()) return std::optional<LinkInfo>();
  return std::optional<LinkInfo>(LinkInfo{member_text(*value, "status"), member_text(*value, "address"),
                                          member_text(*value, "name"), reply->body});
}

int report(const Failure& failure) {
  // Line by line, so that a list of candidates keeps its shape while control characters
  // inside a line are still shown rather than obeyed.
  std::string text = failure.from_service ? "" : "chairctl: ";
  size_t start = 0;
  for (;;) {
    const size_t lf = failure.text.find('\n', start);
    text += printable(std::string_view(failure.text).substr(start, lf == std::string::npos ? lf : lf - start));
    if (lf == std::string::npos) break;
    text += '\n';
    start = lf + 1;
  }
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
  return failure.exit_code;
}

int simple_call(Context& ctx, const std::string& path, const std::vector<Param>& params,
                const std::optional<std::string>& body) {
  std::string raw;
  auto reply = ctx.client.call(path, params, body, &raw);
  emit_reply(ctx, raw);
  return reply ? kExitOk : report(reply.failure());
}

int cmd_watch(Context& ctx, long count, bool frames) {
  auto feed = open_feed(ctx);
  if (!feed) return report(feed.failure());
  long shown = 0;
  // A person reading along wants what changed: the poll's frames every 2 s and a chair that
  // reports the same thing again say nothing new. --json keeps every record for scripts.
  const bool everything = frames || ctx.json_output;
  std::optional<json> last_chair;
  std::string record;
  for (;;) {
    switch ((*feed)->next(record, Clock::now() + 1h)) {
      case EventFeed::Wait::Record: {
        if (!everything) {
          auto event = parse_record(record);
          const std::string type = event ? type_of(*event) : std::string();
          if (type == "log" && is_frame_line(member_text(*event, "log"))) break;
          if (type == "chair") {
            // The frame itself may differ (an answer to a query or to a setting); what it says
            // is what counts.
            json chair = event->value("chair", json());
            if (chair.is_object()) chair.erase("raw");
            if (last_chair == chair) break;
            last_chair = chair;
          }
        }
        if (shown == 0 && !ctx.json_output) record = with_chair_name(ctx, record);
        const std::string line =
            ctx.json_output ? record
                            : clock_text(std::chrono::system_clock::now()) + " " + render_event(record, ctx.color);
        if (!emit(line + "\n")) return kExitOk;
        if (count > 0 && ++shown >= count) return kExitOk;
        break;
      }
      case EventFeed::Wait::Timeout: break;
      case EventFeed::Wait::Interrupted: return kExitOk;
      case EventFeed::Wait::Closed: return report(why_closed(ctx, **feed));
    }
  }
}

int cmd_query(Context& ctx, double timeout_s) {
  const auto deadline = Clock::now() + to_ms(timeout_s);
  const Failure too_late{kExitService, "no status report from the chair within " + seconds_text(timeout_s)};
  // Subscribed before asking, so the answer cannot slip past.
  auto feed = open_feed(ctx, deadline);
  if (!feed) return report(feed.failure().timed_out ? too_late : feed.failure());
  std::string raw;
  auto sent = ctx.client.bounded(std::max(1ms, left_until(deadline))).call("/api/cmd/query", {}, std::nullopt, &raw);
  if (!sent) {
    emit_reply(ctx, raw);
    return report(sent.failure().timed_out ? too_late : sent.failure());
  }

  std::string record;
  for (;;) {
    switch ((*feed)->next(record, deadline)) {
      case EventFeed::Wait::Record: {
        auto event = parse_record(record);
        if (!event || type_of(*event) != "chair") continue;
        auto chair = event->find("chair");
        const std::string line =
            ctx.json_output ? record : render_chair(chair != event->end() ? *chair : json::object());
        emit(line + "\n");
        return kExitOk;
      }
      case EventFeed::Wait::Timeout: return report(too_late);
      case EventFeed::Wait::Interrupted: return kExitInterrupted;
      case EventFeed::Wait::Closed: return report(why_closed(ctx, **feed));
    }
  }
}

namespace {

// --wait: the attempt's end on the event stream, "connected" or back to "idle".
int wait_until_connected(Context& ctx, EventFeed& feed, AttemptLog& attempt, Clock::time_point deadline,
                         const std::function<Failure()>& too_late) {
  std::string record;
  for (;;) {
    switch (feed.next(record, deadline)) {
      case EventFeed::Wait::Record: {
        auto event = parse_record(record);
        if (!event) continue;
        attempt.take(*event);
        if (!attempt.started || type_of(*event) != "status") continue;
        if (attempt.status == "connected") {
          emit((ctx.json_output ? record : render_event(record, ctx.color)) + "\n");
          return kExitOk;
        }
        if (attempt.status == "idle") {
          std::string reason = refusal_reason(feed, attempt, deadline);
          return report(Failure{kExitService, "the chair did not connect" + (reason.empty() ? "" : ": " + reason)});
        }
        break;
      }
      case EventFeed::Wait::Timeout: return report(too_late());
      case EventFeed::Wait::Interrupted: return kExitInterrupted;
      case EventFeed::Wait::Closed: return report(why_closed(ctx, feed));
    }
  }
}

}  // namespace

int cmd_connect(Context& ctx, const ConnectRequest& request) {
  // --timeout covers everything: the stream, finding the chair by name, the request (which the
  // service holds while it looks for the device) and the wait for the handshake.
  const auto deadline = Clock::now() + to_ms(request.timeout_s);
  AttemptLog attempt;
  auto too_late = [&] {
    std::string text = "the chair did not connect within " + seconds_text(request.timeout_s);
    const std::string last = attempt.last_log();
    if (!last.empty()) text += "; the service's last word: " + last;
    return Failure{kExitService, text};
  };

  auto feed = open_feed(ctx, deadline);
  if (!feed) return report(feed.failure().timed_out ? too_late() : feed.failure());
  auto link = link_info(ctx);
  if (!link) return report(link.failure());
  std::string address = request.address;
  if (address.empty()) {
    auto chosen = find_by_name(ctx, **feed, request.name, *link, deadline);
    if (!chosen) return report_scan_failure(chosen.failure());
    address = chosen->address;
  }
  // Asking again would drop the link and open it anew: the chair would stop for a moment.
  if (*link && (*link)->status == "connected" && (*link)->address == address) {
    const std::string name = (*link)->name.empty() ? address : (*link)->name;
    emit(ctx.json_output ? (*link)->raw + "\n" : "already connected to " + printable(name) + "\n");
    return kExitOk;
  }
  if (left_until(deadline) <= 0ms) return report(too_late());
  attempt.address = address;

  std::string raw;
  // Never zero: libcurl reads a zero timeout as none at all.
  auto sent = ctx.client.bounded(std::max(1ms, left_until(deadline)))
                  .call("/api/connect", {{"addr", address}}, std::nullopt, &raw);
  if (!sent) {
    absorb(**feed, attempt);
    if (sent.failure().timed_out) {
      Failure late = too_late();
      late.text += " (the service may still be trying)";
      return report(late);
    }
    emit_reply(ctx, raw);
    if (!sent.failure().from_service) return report(sent.failure());
    // "connect failed" alone does not say why; the attempt's log line on the stream does, and
    // it begins with the reply's own words.
    Failure refused = sent.failure();
    const std::string reason = refusal_reason(**feed, attempt, deadline);
    if (!reason.empty()) refused.text = reason.rfind(refused.text, 0) == 0 ? reason : refused.text + "\n" + reason;
    return report(refused);
  }
  if (!request.wait) {
    emit_reply(ctx, raw);
    return kExitOk;
  }

  return wait_until_connected(ctx, **feed, attempt, deadline, too_late);
}

namespace {

// The live table of a scan, redrawn in place on a terminal. Into a pipe each chair is written
// once, when first seen, so a script can act on it at once.
class ScanTable {
 public:
  explicit ScanTable(bool live) : live_(live) {}

  void update(const DeviceRow& row) {
    const bool fresh = rows_.find(row.address) == rows_.end();
    rows_[row.address] = row;
    dirty_ = true;
    if (!live_ && fresh) emit(render_found_line(row));
  }
  void replace(const std::vector<DeviceRow>& rows) {
    rows_.clear();
    for (const auto& r : rows) rows_[r.address] = r;
    dirty_ = true;
  }
  bool dirty() const { return dirty_; }
  bool empty() const { return rows_.empty(); }

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

  void finish(bool found_any) {
    if (live_) {
      draw(rows_.empty() ? "No chairs found." : "Chairs found:");
    } else if (!found_any) {
      emit("No chairs found.\n");
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

}  // namespace

int cmd_scan(Context& ctx, double seconds) {
  auto feed = open_feed(ctx);
  if (!feed) return report(feed.failure());
  // The first record is the state before the scan. A connected chair stops advertising, so a
  // person who sees an empty list must learn why.
  std::string record;
  if ((*feed)->next(record, Clock::now()) == EventFeed::Wait::Record) {
    auto event = parse_record(record);
    if (event && type_of(*event) == "status" && member_text(*event, "status") == "connected") {
      const std::string name = member_text(*event, "name");
      note((name.empty() ? std::string("a chair") : name) +
           " is connected, and a connected chair does not advertise: it will not be listed "
           "(chairctl disconnect lets it be found)");
    }
  }
  auto started = ctx.client.call("/api/scan/start");
  if (!started) return report_scan_failure(started.failure());

  ScanTable table(stdout_is_terminal() && !ctx.json_output);
  const bool stream_rows = !ctx.json_output;
  const auto start = Clock::now();
  const auto end = start + to_ms(seconds);
  auto next_draw = start;
  std::optional<Failure> broken;
  while (!broken) {
    const auto now = Clock::now();
    if (now >= end) break;
    if (now >= next_draw) {
      const auto left = std::chrono::duration_cast<std::chrono::seconds>(end - now + 999ms).count();
      table.draw("Scanning for chairs, " + std::to_string(left) + " s left (Ctrl-C stops)");
      next_draw = now + (table.dirty() ? 250ms : 1000ms);
    }
    const auto wake = std::min(end, next_draw);
    auto wait = (*feed)->next(record, wake);
    if (wait == EventFeed::Wait::Interrupted) break;
    if (wait == EventFeed::Wait::Closed) broken = why_closed(ctx, **feed);
    if (wait != EventFeed::Wait::Record) continue;
    auto event = parse_record(record);
    if (!event || type_of(*event) != "device") continue;
    DeviceRow row;
    auto device = event->find("device");
    if (device != event->end() && device_row(*device, row)) {
      if (stream_rows) table.update(row);
      // A new sighting is shown soon, but the screen is not redrawn for every advertisement.
      next_draw = std::min(next_draw, Clock::now() + 250ms);
    }
  }
  const bool found_any = !table.empty();

  // The scan is stopped whatever happened, even after Ctrl-C: a forgotten scan keeps
  // the radio busy and holds off the automatic reconnect.
  set_interrupted(false);
  auto stopped = ctx.client.call("/api/scan/stop");
  std::string raw;
  auto listed = ctx.client.call("/api/devices", {}, std::nullopt, &raw);
  if (listed) table.replace(device_rows(*listed));
  if (ctx.json_output) {
    if (listed) emit(raw + "\n");
  } else {
    table.finish(found_any);
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
  std::vector<DeviceRow> rows = device_rows(*listed);
  sort_rows(rows);
  if (rows.empty()) {
    emit("No chairs found.\n");
    note(ctx.spawned ? "a service started with --spawn has not scanned yet: chairctl --spawn scan looks for chairs"
                     : "this lists what the last scan found: chairctl scan looks for chairs");
    return kExitOk;
  }
  emit(render_table(rows));
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
  // An export that fails half-way must not destroy the copy that was there before.
  auto written = chair::sys::replace_file(file, text);
  return written ? kExitOk : report(Failure{kExitService, "cannot write " + file + ": " + written.error()});
}

int cmd_level_off(Context& ctx, const std::string& fn) {
  const auto it = std::find_if(std::begin(kLevelCommands), std::end(kLevelCommands),
                               [&](const LevelCommand& c) { return fn == c.fn; });
  if (it == std::end(kLevelCommands)) return report(Failure{kExitUsage, "no level is called " + fn});
  if (it->command == chair::ble::kCold || it->command == chair::ble::kHot) {
    // The service re-asserts cooling or heating on every poll until the water is switched off;
    // a level 0 alone would be undone within two seconds.
    std::string raw;
    auto water_off =
        ctx.client.call("/api/cmd/switch", {{"bits", std::to_string(chair::ble::kSwitchWaterOff)}}, std::nullopt, &raw);
    if (!water_off) {
      emit_reply(ctx, raw);
      return report(water_off.failure());
    }
  }
  const std::string hex = chair::ble::hex_dump(chair::ble::zero_frame(it->command));
  return simple_call(ctx, "/api/cmd/raw", {{"hex", hex}});
}

int report_unquiet(const Failure& failure) {
  const int code = report(failure);
  if (failure.from_service) {
    note(
        "the chair did not confirm that it is quiet: it may still be cooling, heating or vibrating. Check it, "
        "and try chairctl shutdown again");
  }
  return code;
}

int cmd_shutdown(Context& ctx) {
  std::string raw;
  auto reply = ctx.client.call("/api/shutdown", {}, std::nullopt, &raw);
  emit_reply(ctx, raw);
  return reply ? kExitOk : report_unquiet(reply.failure());
}

int cmd_bind_init(Context& ctx, const std::string& file) {
  auto body = read_body_file(file);
  if (!body) return report(body.failure());
  // What does not parse here goes to the service as it is, which then says what is wrong.
  const json settings = json::parse(*body, nullptr, false);
  std::vector<std::string> missing;
  if (!settings.is_discarded()) {
    auto known = check_init_settings(settings);
    if (!known) return report(known.failure());
    missing = missing_init_levels(settings);
  }
  std::string raw;
  auto reply = ctx.client.call("/api/bind/init", {}, *body, &raw);
  emit_reply(ctx, raw);
  if (!reply) return report(reply.failure());
  if (ctx.json_output) return kExitOk;
  // What the service stored, which is what the next connection applies.
  auto bind = ctx.client.call("/api/bind/get");
  if (bind && bind->is_object()) emit(render_init_settings(bind->value("init", json::object()), missing));
  return kExitOk;
}

int cmd_bind_upload(Context& ctx, const std::string& path, const std::string& file) {
  auto body = read_body_file(file);
  if (!body) return report(body.failure());
  return simple_call(ctx, path, {}, *body);
}

}  // namespace chairctl
