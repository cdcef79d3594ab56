// The commands of chairctl, each run once against a service that is already known.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/chairctl/client.h"
#include "tools/chairctl/event_feed.h"

namespace chairctl {

struct Context {
  ServiceClient& client;
  bool json_output = false;
  bool color = false;
  bool spawned = false;  // the service was started for this one command
};

// Prints a failure on standard error and returns its exit status. The service's own texts go
// out exactly as sent, so scripts can compare them; chairctl's own are marked as such.
int report(const Failure& failure);

// A request whose answer is {"ok":true}: prints nothing on success (the reply with --json).
int simple_call(Context& ctx, const std::string& path, const std::vector<Param>& params = {},
                const std::optional<std::string>& body = std::nullopt);

int cmd_watch(Context& ctx, long count, bool frames);
int cmd_query(Context& ctx, double timeout_s);
int cmd_status(Context& ctx);

struct ConnectRequest {
  std::string address;  // display form; empty when `name` chooses the chair
  std::string name;
  bool wait = false;
  double timeout_s = 30;
};
int cmd_connect(Context& ctx, const ConnectRequest& request);

int cmd_scan(Context& ctx, double seconds);
int cmd_devices(Context& ctx);
// "set FUNCTION off": the level-0 frame the chair knows, which the level route does not send.
int cmd_level_off(Context& ctx, const std::string& fn);
int cmd_shutdown(Context& ctx);
// The chair was not confirmed quiet: said loudly, since it may still be cooling or heating.
int report_unquiet(const Failure& failure);
int cmd_bind_get(Context& ctx);
int cmd_bind_init(Context& ctx, const std::string& file);
int cmd_bind_export(Context& ctx, const std::string& file);
int cmd_bind_upload(Context& ctx, const std::string& path, const std::string& file);

// ---- shared by the commands ------------------------------------------------------------

// Writes and flushes at once, so a script reading our output sees each line as it happens.
// False when nobody reads any more.
bool emit(const std::string& text);
// "chairctl: TEXT" on standard error.
void note(const std::string& text);

// An event record as JSON, when it is an object.
std::optional<nlohmann::json> parse_record(const std::string& record);
// A string member, or "" when it is missing or not a string.
std::string member_text(const nlohmann::json& object, const char* key);

// The event stream, opened within what is left until `deadline` (at most 10 s).
Result<std::unique_ptr<EventFeed>, Failure> open_feed(
    Context& ctx, EventFeed::Clock::time_point deadline = EventFeed::Clock::time_point::max());
// Why the stream ended: a service that has gone away is unreachable, not a refusal.
Failure why_closed(Context& ctx, const EventFeed& feed);

// The link as the service describes it ("/api/link"): status, and the chair's address and
// name once there is a link. nullopt from a service without the route.
struct LinkInfo {
  std::string status;
  std::string address;
  std::string name;
  std::string raw;  // the reply as sent
};
Result<std::optional<LinkInfo>, Failure> link_info(Context& ctx);

}  // namespace chairctl
