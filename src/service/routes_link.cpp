// Scanning, devices, connection and the chair command routes: validate, call, answer.
#include <optional>
#include <string>
#include <string_view>

#include "ble/protocol/commands.h"
#include "ble/protocol/function_lookup.h"
#include "common/hex.h"
#include "common/text.h"
#include "service/event_stream.h"
#include "service/events/event.h"
#include "service/routes.h"

namespace chair::routes {

namespace {

std::optional<uint8_t> parse_switch_bits(std::string_view text) {
  text = trim_unicode(text);
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) return parse_byte(text.substr(2), 16);
  return parse_byte(text, 10);
}

}  // namespace

http::Reply events(Service& service, const http::Request&) {
  return http::Reply::stream([&service](http::ByteSink& sink) {
    serve_events(
        service.events(), [&service] { return service.status_name(); }, sink,
        [&service] {
          std::vector<ServiceEvent> state = service.stream_snapshot();
          if (const int64_t left = service.timer().seconds_left(); left > 0) state.push_back(TimerEvent{left});
          return state;
        });
  });
}

http::Reply scan_start(Service& service, const http::Request&) { return status_reply(service.start_scan()); }

http::Reply scan_stop(Service& service, const http::Request&) {
  service.stop_scan();
  return http::Reply::json(ok_reply());
}

http::Reply devices(Service& service, const http::Request&) {
  try {
    auto list = nlohmann::json::array();
    for (const auto& r : service.scanner().devices()) list.push_back(device_json(r));
    return http::Reply::json(list);
  } catch (const std::exception&) {
    return http::Reply::json(nlohmann::json::array());
  }
}

http::Reply connect(Service& service, const http::Request& request) {
  const std::string* addr = request.param("addr");
  const std::string address = addr ? to_upper_ascii(trim_unicode(*addr)) : std::string();
  if (address.empty()) return http::Reply::json(error_reply("missing addr param"));
  // Success means the link is open; the handshake reports on its own through events.
  return http::Reply::json(service.connect(address) ? ok_reply() : error_reply("connect failed"));
}

http::Reply disconnect(Service& service, const http::Request&) {
  return http::Reply::json(service.disconnect() ? ok_reply() : error_reply("not connected"));
}

http::Reply link(Service& service, const http::Request&) {
  const ble::LinkView view = service.link().view();
  const bool open = view.phase != ble::LinkPhase::Closed;
  return http::Reply::json({{"address", open ? view.address : std::string()},
                            {"name", view.phase == ble::LinkPhase::Connected ? view.name : std::string()},
                            {"status", service.status_name()}});
}

http::Reply cmd_intensity(Service& service, const http::Request& request) {
  const std::string* value_text = request.param("value");
  int32_t value = 0;
  if (!value_text || !parse_i32(*value_text, value)) return http::Reply::json(error_reply("invalid value"));

  const std::string* fn = request.param("fn");
  const ble::ChairFunction* function = fn ? ble::find_level_function(*fn) : nullptr;
  if (!function) return http::Reply::json(error_reply("invalid fn: " + (fn ? *fn : std::string())));

  // The range is checked here so that a refused level never reaches the thermal memory.
  if (auto frame = ble::level_frame(function->code, value); !frame)
    return http::Reply::json(error_reply(frame.error()));
  return status_reply(service.link().send_level(function->code, value));
}

http::Reply cmd_switch(Service& service, const http::Request& request) {
  const std::string* bits_text = request.param("bits");
  std::optional<uint8_t> bits = bits_text ? parse_switch_bits(*bits_text) : std::nullopt;
  if (!bits) return http::Reply::json(error_reply("invalid bits"));
  return status_reply(service.link().send_switch(*bits));
}

http::Reply cmd_query(Service& service, const http::Request&) { return status_reply(service.link().send_query()); }

http::Reply cmd_raw(Service& service, const http::Request& request) {
  const std::string* hex = request.param("hex");
  // Sent exactly as given: no framing is added and no frame check is made.
  auto bytes = ble::raw_bytes(hex ? std::string_view(*hex) : std::string_view());
  if (!bytes) return http::Reply::json(error_reply(bytes.error()));
  return status_reply(service.link().send_raw(*bytes));
}

}  // namespace chair::routes
