// chairctl status: the link, the chair's last report, the binding, and what else the service
// offers about itself, gathered from its routes and shown at once.
#include <algorithm>

#include "tools/chairctl/commands.h"
#include "tools/chairctl/render.h"

namespace chairctl {

namespace {

using json = nlohmann::json;
using Clock = EventFeed::Clock;
using namespace std::chrono_literals;

// A connected chair answers a query within a few hundred milliseconds; the poll asks every
// 2 s anyway, so a report that has not come by then is not coming soon.
constexpr auto kReportWait = 3s;

// A route that newer services have: its reply, or nothing when this service does not have it
// or could not answer it (the line is then left out). Only a service that is gone fails.
Result<std::optional<json>, Failure> optional_route(Context& ctx, const std::string& path) {
  auto reply = ctx.client.request(path);
  if (!reply) return reply.failure();
  auto value = interpret_reply(ctx.client.base_url() + path, *reply);
  if (!value || !value->is_object()) return std::optional<json>();
  return std::optional<json>(std::move(*value));
}

// The chair's report, asked for now: the stream was opened first, so the answer cannot slip
// past. Null when the chair does not answer in time.
json fresh_report(Context& ctx, EventFeed& feed) {
  const auto deadline = Clock::now() + kReportWait;
  if (!ctx.client.bounded(kReportWait).call("/api/cmd/query")) return json();
  std::string record;
  while (feed.next(record, deadline) == EventFeed::Wait::Record) {
    auto event = parse_record(record);
    if (event && member_text(*event, "type") == "chair") return event->value("chair", json());
  }
  return json();
}

}  // namespace

int cmd_status(Context& ctx) {
  auto feed = open_feed(ctx);
  if (!feed) return report(feed.failure());
  json view = json::object();

  // The stream's first record is the state; the link route adds which chair it is.
  std::string snapshot;
  (*feed)->next(snapshot, Clock::now());
  auto first = parse_record(snapshot);
  view["link"] = {{"status", first ? member_text(*first, "status") : std::string()}};
  auto link = link_info(ctx);
  if (!link) return report(link.failure());
  if (*link) view["link"] = json::parse((*link)->raw, nullptr, false);
  if (!view["link"].is_object()) view["link"] = json::object();

  const bool connected = view["link"].value("status", std::string()) == "connected";
  view["chair"] = connected ? fresh_report(ctx, **feed) : json();

  auto bind = ctx.client.call("/api/bind/get");
  if (!bind) return report(bind.failure());
  view["bind"] = *bind;

  for (const auto& [key, path] : {std::pair{"bluetooth", "/api/bluetooth"}, std::pair{"timer", "/api/timer/get"}}) {
    auto extra = optional_route(ctx, path);
    if (!extra) return report(extra.failure());
    if (*extra) view[key] = **extra;
  }
  emit(ctx.json_output ? view.dump(-1, ' ', false, json::error_handler_t::replace) + "\n" : render_status(view));
  return kExitOk;
}

}  // namespace chairctl
