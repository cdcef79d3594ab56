// The route handlers: parse the request, call the service or a component, reply.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "http/server.h"
#include "service/service.h"

namespace chair::routes {

nlohmann::json ok_reply();
nlohmann::json error_reply(std::string text);
// {"ok":true}, or the error's text.
http::Reply status_reply(const Status& done);

// Scanning, devices and connection.
http::Reply events(Service& service, const http::Request& request);
http::Reply scan_start(Service& service, const http::Request& request);
http::Reply scan_stop(Service& service, const http::Request& request);
http::Reply devices(Service& service, const http::Request& request);
http::Reply connect(Service& service, const http::Request& request);
http::Reply disconnect(Service& service, const http::Request& request);
// The state with the chair it concerns; the stream's snapshot names no chair.
http::Reply link(Service& service, const http::Request& request);
// Whether Bluetooth can be used.
http::Reply bluetooth(Service& service, const http::Request& request);
// Chair commands.
http::Reply cmd_intensity(Service& service, const http::Request& request);
http::Reply cmd_switch(Service& service, const http::Request& request);
http::Reply cmd_query(Service& service, const http::Request& request);
http::Reply cmd_raw(Service& service, const http::Request& request);
// Binding and shutdown.
http::Reply bind_get(Service& service, const http::Request& request);
http::Reply bind_set(Service& service, const http::Request& request);
http::Reply bind_clear(Service& service, const http::Request& request);
http::Reply bind_autoconnect(Service& service, const http::Request& request);
http::Reply bind_init(Service& service, const http::Request& request);
http::Reply bind_import(Service& service, const http::Request& request);
http::Reply shutdown(Service& service, const http::Request& request);
// The session timer and the report history.
http::Reply timer_set(Service& service, const http::Request& request);
http::Reply timer_cancel(Service& service, const http::Request& request);
http::Reply timer_get(Service& service, const http::Request& request);
http::Reply history(Service& service, const http::Request& request);

}  // namespace chair::routes
