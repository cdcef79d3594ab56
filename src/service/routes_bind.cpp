// The binding routes and the silent shutdown.
#include <string>

#include "bind/binding_file.h"
#include "common/text.h"
#include "service/routes.h"

namespace chair::routes {

namespace {

std::string param_or_empty(const http::Request& request, const std::string& key) {
  const std::string* value = request.param(key);
  return value ? *value : std::string();
}

}  // namespace

http::Reply bind_get(Service& service, const http::Request&) {
  try {
    return http::Reply::json(bind::binding_json(service.binding().snapshot()));
  } catch (const std::exception&) {
    return http::Reply::json(nlohmann::json::object());
  }
}

http::Reply bind_set(Service& service, const http::Request& request) {
  const std::string address = to_upper_ascii(trim_unicode(param_or_empty(request, "addr")));
  const std::string name(trim_unicode(param_or_empty(request, "name")));
  if (address.empty()) return http::Reply::json(error_reply("缺少 addr 参数"));
  return status_reply(service.bind_chair(address, name));
}

http::Reply bind_clear(Service& service, const http::Request&) { return status_reply(service.unbind_chair()); }

http::Reply bind_autoconnect(Service& service, const http::Request& request) {
  // The UI sends on=0 to turn it off; anything else, or nothing at all, means on.
  const std::string* on = request.param("on");
  return status_reply(service.set_autoconnect(!(on && *on == "0")));
}

http::Reply bind_init(Service& service, const http::Request& request) {
  auto init = bind::parse_init_config(request.body);
  if (!init) return http::Reply::json(error_reply("解析失败: " + init.error()));
  return status_reply(service.set_initial_settings(*init));
}

http::Reply bind_import(Service& service, const http::Request& request) {
  auto record = bind::parse_stored_binding(request.body);
  if (!record) return http::Reply::json(error_reply("解析失败: " + record.error()));
  return status_reply(service.import_binding(*record));
}

http::Reply shutdown(Service& service, const http::Request&) {
  // A chair that may still be running is no success: the UI must not tell the user it is off.
  auto quieted = service.shutdown();
  return http::Reply::json(quieted ? ok_reply() : error_reply(quieted.error()));
}

}  // namespace chair::routes
