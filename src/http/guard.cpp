#include "http/guard.h"

#include <utility>

#include "common/text.h"

namespace chair::http {

namespace {

constexpr std::string_view kForbidden = "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

bool header_is(const Request& request, std::string_view name, std::string_view value) {
  const std::string* found = request.header(name);
  return found && equal_ignoring_ascii_case(*found, value);
}

}  // namespace

Reply forbidden() { return Reply::raw(std::string(kForbidden)); }

bool refused_by_fetch_metadata(const Request& request) {
  if (header_is(request, "sec-fetch-mode", "no-cors")) return true;
  return header_is(request, "sec-fetch-mode", "navigate") && header_is(request, "sec-fetch-site", "cross-site");
}

std::vector<std::string> parse_origin_list(std::string_view text) {
  std::vector<std::string> origins;
  while (!text.empty()) {
    const size_t comma = text.find(',');
    const std::string_view entry = trim_ascii(text.substr(0, comma));
    if (!entry.empty()) origins.emplace_back(entry);
    text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
  }
  return origins;
}

RequestGuard::RequestGuard(std::optional<std::vector<std::string>> allowed_origins)
    : allowed_origins_(std::move(allowed_origins)) {}

bool RequestGuard::origin_allowed(const Request& request) const {
  if (!allowed_origins_) return true;
  // Every Origin header counts: a client that sends two is not a browser we must please.
  for (const Header& h : request.headers) {
    if (!equal_ignoring_ascii_case(h.name, "origin")) continue;
    if (h.value == "null") return false;
    bool listed = false;
    for (const std::string& allowed : *allowed_origins_) listed = listed || h.value == allowed;
    if (!listed) return false;
  }
  return true;
}

std::optional<Reply> RequestGuard::operator()(const Request& request) const {
  if (!host_is_loopback(request) || refused_by_fetch_metadata(request) || !origin_allowed(request)) return forbidden();
  return preflight_reply(request);
}

}  // namespace chair::http
