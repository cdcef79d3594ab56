// The checks a loopback service runs before routing, against pages in the user's browser
// that would use it behind the user's back. A page can reach 127.0.0.1 like any site, and
// a plain <img>, <script> or form sends GET and POST requests without asking anyone.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "http/server.h"

namespace chair::http {

// The reply to a request refused before routing: 403, no body.
Reply forbidden();

// What a browser says of the request in its Fetch Metadata (Sec-Fetch-Mode and -Site):
// refused are requests a page makes without CORS (an <img>, a <script>, a no-cors fetch) and
// navigations that another site starts (a link or a form on a foreign page). Requests
// without these headers (anything but a browser), navigations the user started
// (Sec-Fetch-Site: none) and CORS requests (fetch, EventSource) pass.
bool refused_by_fetch_metadata(const Request& request);

// A comma-separated list of origins, each exactly as a browser sends it in Origin
// ("http://127.0.0.1:41234"), white space around the entries and empty entries dropped.
std::vector<std::string> parse_origin_list(std::string_view text);

// The pre-routing hook of a loopback service: the Host guard, Fetch Metadata, the allowed
// origins, then the answer to a browser's preflight. A refused request gets forbidden() and
// runs no route, preflights included.
class RequestGuard {
 public:
  // Without a list, Origin is not looked at. With one, a request carrying an Origin that is
  // not in it is refused; "null" (a page from a file, a sandboxed frame) always is. A request
  // without Origin passes.
  explicit RequestGuard(std::optional<std::vector<std::string>> allowed_origins = std::nullopt);

  std::optional<Reply> operator()(const Request& request) const;

 private:
  bool origin_allowed(const Request& request) const;

  std::optional<std::vector<std::string>> allowed_origins_;
};

}  // namespace chair::http
