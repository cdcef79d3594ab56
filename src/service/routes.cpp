// The route table: exact paths, in dispatch order, and their handlers.
#include "service/routes.h"

#include <exception>
#include <string_view>
#include <utility>

namespace chair {

namespace routes {

nlohmann::json ok_reply() { return nlohmann::json{{"ok", true}}; }

nlohmann::json error_reply(std::string text) { return nlohmann::json{{"error", std::move(text)}, {"ok", false}}; }

http::Reply status_reply(const Status& done) {
  return http::Reply::json(done ? ok_reply() : error_reply(done.error()));
}

}  // namespace routes

http::Router Service::router() {
  using Handler = http::Reply (*)(Service&, const http::Request&);
  // Matched by exact, case-sensitive path; the method plays no part.
  static constexpr std::pair<std::string_view, Handler> kRoutes[] = {
      {"/api/events", routes::events},
      {"/api/scan/start", routes::scan_start},
      {"/api/scan/stop", routes::scan_stop},
      {"/api/devices", routes::devices},
      {"/api/connect", routes::connect},
      {"/api/disconnect", routes::disconnect},
      {"/api/link", routes::link},
      {"/api/cmd/intensity", routes::cmd_intensity},
      {"/api/cmd/switch", routes::cmd_switch},
      {"/api/cmd/query", routes::cmd_query},
      {"/api/cmd/raw", routes::cmd_raw},
      {"/api/bind/get", routes::bind_get},
      {"/api/bind/set", routes::bind_set},
      {"/api/bind/clear", routes::bind_clear},
      {"/api/bind/autoconnect", routes::bind_autoconnect},
      {"/api/bind/init", routes::bind_init},
      {"/api/bind/export", routes::bind_get},
      {"/api/bind/import", routes::bind_import},
      {"/api/shutdown", routes::shutdown},
      {"/api/timer/set", routes::timer_set},
      {"/api/timer/cancel", routes::timer_cancel},
      {"/api/timer/get", routes::timer_get},
      {"/api/history", routes::history},
      {"/api/bluetooth", routes::bluetooth},
  };
  http::Router router;
  for (const auto& [path, handler] : kRoutes) {
    router.add(std::string(path), [this, handler = handler](const http::Request& request) {
      // A handler's failure is the client's error reply, never the end of its connection's
      // thread.
      try {
        return handler(*this, request);
      } catch (const std::exception& e) {
        return http::Reply::json(routes::error_reply(std::string("internal error: ") + e.what()));
      } catch (...) {
        return http::Reply::json(routes::error_reply("internal error"));
      }
    });
  }
  return router;
}

}  // namespace chair
