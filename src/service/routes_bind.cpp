// The binding routes and the silent shutdown.
#include <string>

#include "bind/binding_file.h"
#include "common/text.h"
#include "service/events/event.h"
#include "service/routes.h"

namespace chair::routes {

namespace {

std::string param_or_empty(const http::Request& request, const std::string& key) {
  const std::string* value = request.param(key);
  return value ? *value : std::string();
}

nlohmann::json binding_json(const bind::BindConfig& config) {
  const bind::InitConfig& init = config.init;
  return nlohmann::json{
      {"boundAddress", config.boundAddress},
      {"boundName", config.boundName},
      {"autoConnect", config.autoConnect},
      {"init",
       {{"water", init.water},
        {"coolLevel", init.coolLevel},
        {"heatLevel", init.heatLevel},
        {"lumbar", init.lumbar},
        {"vibrate", init.vibrate},
        {"volume", init.volume}}},
  };
}

// Every change is one "bind" event with the record as stored, and only on success: the
// store's own error text goes back to the UI unchanged, and nothing is announced.
Result<bind::BindConfig> change_binding(Service& service, const std::function<void(bind::BindConfig&)>& change) {
  auto stored = service.binding().update(change);
  if (stored) service.events().publish(make_bind_event(*stored));
  return stored;
}

http::Reply failure(const Result<bind::BindConfig>& stored) { return http::Reply::json(error_reply(stored.error())); }

}  // namespace

http::Reply bind_get(Service& service, const http::Request&) {
  try {
    return http::Reply::json(binding_json(service.binding().snapshot()));
  } catch (const std::exception&) {
    return http::Reply::json(nlohmann::json::object());
  }
}

http::Reply bind_set(Service& service, const http::Request& request) {
  const std::string address = to_upper_ascii(trim_ascii(param_or_empty(request, "addr")));
  const std::string name(trim_ascii(param_or_empty(request, "name")));
  if (address.empty()) return http::Reply::json(error_reply("缺少 addr 参数"));

  auto stored = change_binding(service, [&](bind::BindConfig& c) {
    c.boundAddress = address;
    c.boundName = name;
    c.autoConnect = true;
  });
  if (!stored) return failure(stored);
  service.events().publish_log("已绑定座椅 " + name + " (" + address + ")");
  // The reply does not wait for the chair; the attempt reports through events.
  service.autoconnect().connect_bound_soon(address);
  return http::Reply::json(ok_reply());
}

http::Reply bind_clear(Service& service, const http::Request&) {
  // A link to the chair stays up; only the memory of it goes.
  auto stored = change_binding(service, [](bind::BindConfig& c) {
    c.boundAddress.clear();
    c.boundName.clear();
  });
  if (!stored) return failure(stored);
  service.events().publish_log("已解绑座椅");
  return http::Reply::json(ok_reply());
}

http::Reply bind_autoconnect(Service& service, const http::Request& request) {
  // The UI sends on=0 to turn it off; anything else, or nothing at all, means on.
  const std::string* on_param = request.param("on");
  const bool on = !(on_param && *on_param == "0");
  auto stored = change_binding(service, [on](bind::BindConfig& c) { c.autoConnect = on; });
  if (!stored) return failure(stored);
  if (on) service.autoconnect().attempt_soon();
  return http::Reply::json(ok_reply());
}

http::Reply bind_init(Service& service, const http::Request& request) {
  auto init = bind::parse_init_config(request.body);
  if (!init) return http::Reply::json(error_reply("解析失败: " + init.error()));
  // Applied after the next connection's setup, not sent to a chair that is connected now.
  auto stored = change_binding(service, [&](bind::BindConfig& c) { c.init = *init; });
  if (!stored) return failure(stored);
  service.events().publish_log("已更新初始化参数");
  return http::Reply::json(ok_reply());
}

http::Reply bind_import(Service& service, const http::Request& request) {
  auto parsed = bind::parse_binding(request.body);
  if (!parsed) return http::Reply::json(error_reply("解析失败: " + parsed.error()));
  bind::BindConfig imported = std::move(*parsed);
  // A record without a water mode carries no usable settings at all.
  if (imported.init.water.empty()) imported.init = bind::InitConfig{};
  auto stored = change_binding(service, [&](bind::BindConfig& c) { c = imported; });
  if (!stored) return failure(stored);
  service.events().publish_log("已导入配置");
  service.autoconnect().attempt_soon();
  return http::Reply::json(ok_reply());
}

http::Reply shutdown(Service& service, const http::Request&) {
  // A chair that may still be running is no success: the UI must not tell the user it is off.
  auto quieted = service.shutdown();
  return http::Reply::json(quieted ? ok_reply() : error_reply(quieted.error()));
}

}  // namespace chair::routes
