// The commands of chairctl, each run once against a service that is already known.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tools/chairctl/client.h"

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

int cmd_watch(Context& ctx, long count);
int cmd_query(Context& ctx, double timeout_s);

struct ConnectRequest {
  std::string address;  // display form; empty when `name` chooses the chair
  std::string name;
  bool wait = false;
  double timeout_s = 30;
};
int cmd_connect(Context& ctx, const ConnectRequest& request);

int cmd_scan(Context& ctx, double seconds);
int cmd_devices(Context& ctx);
int cmd_bind_get(Context& ctx);
int cmd_bind_export(Context& ctx, const std::string& file);
int cmd_bind_upload(Context& ctx, const std::string& path, const std::string& file);

}  // namespace chairctl
