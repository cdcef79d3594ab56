#include "main/routes.h"

namespace chair {

std::span<const Route> routes() {
  // Matched by exact, case-sensitive path, in this order; the method plays no part.
  static const Route table[] = {
      {"/api/events", nullptr},
      {"/api/scan/start", route_scan_start},
      {"/api/scan/stop", route_scan_stop},
      {"/api/devices", route_devices},
      {"/api/connect", route_connect},
      {"/api/disconnect", route_disconnect},
      {"/api/cmd/intensity", route_cmd_intensity},
      {"/api/cmd/switch", route_cmd_switch},
      {"/api/cmd/query", route_cmd_query},
      {"/api/cmd/raw", route_cmd_raw},
      {"/api/bind/get", route_bind_get},
      {"/api/bind/set", route_bind_set},
      {"/api/bind/clear", route_bind_clear},
      {"/api/bind/autoconnect", route_bind_autoconnect},
      {"/api/bind/init", route_bind_init},
      {"/api/bind/export", route_bind_get},
      {"/api/bind/import", route_bind_import},
      {"/api/shutdown", route_shutdown},
  };
  return table;
}

}  // namespace chair
