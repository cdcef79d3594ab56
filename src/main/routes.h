// The route table: exact paths, in dispatch order, and their handlers.
#pragma once

#include <memory>
#include <span>
#include <string_view>

#include <nlohmann/json.hpp>

#include "main/http.h"

namespace chair {

using RouteHandler = nlohmann::json (*)(const std::shared_ptr<ServiceState>& state,
                                        const HttpRequest& request);

struct Route {
  std::string_view path;
  RouteHandler handler;  // nullptr: not served (the 404 reply); "/api/events" streams instead
};

std::span<const Route> routes();

// Scanning, devices and connection.
nlohmann::json route_scan_start(const std::shared_ptr<ServiceState>&, const HttpRequest&);
nlohmann::json route_scan_stop(const std::shared_ptr<ServiceState>&, const HttpRequest&);
nlohmann::json route_devices(const std::shared_ptr<ServiceState>&, const HttpRequest&);
nlohmann::json route_connect(const std::shared_ptr<ServiceState>&, const HttpRequest&);
nlohmann::json route_disconnect(const std::shared_ptr<ServiceState>&, const HttpRequest&);
// Chair commands.
nlohmann::json route_cmd_intensity(const std::shared_ptr<ServiceState>&, const HttpRequest&);
nlohmann::json route_cmd_switch(const std::shared_ptr<ServiceState>&, const HttpRequest&);
nlohmann::json route_cmd_query(const std::shared_ptr<ServiceState>&, const HttpRequest&);
nlohmann::json route_cmd_raw(const std::shared_ptr<ServiceState>&, const HttpRequest&);
// Binding and shutdown.
nlohmann::json route_bind_get(const std::shared_ptr<ServiceState>&, const HttpRequest&);
nlohmann::json route_bind_set(const std::shared_ptr<ServiceState>&, const HttpRequest&);
nlohmann::json route_bind_clear(const std::shared_ptr<ServiceState>&, const HttpRequest&);
nlohmann::json route_bind_autoconnect(const std::shared_ptr<ServiceState>&, const HttpRequest&);
nlohmann::json route_bind_init(const std::shared_ptr<ServiceState>&, const HttpRequest&);
nlohmann::json route_bind_import(const std::shared_ptr<ServiceState>&, const HttpRequest&);
nlohmann::json route_shutdown(const std::shared_ptr<ServiceState>&, const HttpRequest&);

}  // namespace chair
