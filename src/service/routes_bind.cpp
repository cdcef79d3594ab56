// The binding routes and the silent shutdown.
#include <mutex>
#include <string>
#include <thread>

#include "bind/autoconnect.h"
#include "bind/binding_store.h"
#include "ble/link.h"
#include "ble/scanner.h"
#include "common/text.h"
#include "main/routes.h"
#include "main/service_state.h"

namespace chair {

namespace {

std::string param_or_empty(const HttpRequest& request, const std::string& key) {
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

// Every change is a read-modify-write of a snapshot, then one "bind" event on success.
// The store's own error text goes back to the UI unchanged, and nothing is announced.
Status store_and_announce(ServiceState& state, const bind::BindConfig& config) {
  Status saved = bind::save_binding(state, config);
  if (saved) bind::publish_binding(state);
  return saved;
}

}  // namespace

nlohmann::json route_bind_get(const std::shared_ptr<ServiceState>& state, const HttpRequest&) {
  try {
    return binding_json(bind::binding_snapshot(*state));
  } catch (const std::exception&) {
    return nlohmann::json::object();
  }
}

nlohmann::json route_bind_set(const std::shared_ptr<ServiceState>& state,
                              const HttpRequest& request) {
  const std::string address = to_upper_ascii(trim_ascii(param_or_empty(request, "addr")));
  const std::string name(trim_ascii(param_or_empty(request, "name")));
  if (address.empty()) return error_reply("缺少 addr 参数");

  bind::BindConfig config = bind::binding_snapshot(*state);
  config.boundAddress = address;
  config.boundName = name;
  config.autoConnect = true;
  if (Status saved = store_and_announce(*state, config); !saved) return error_reply(saved.error());
  state->events.publish_log("已绑定座椅 " + name + " (" + address + ")");
  // The reply does not wait for the chair; the attempt reports through events.
  bind::start_bind_then_connect(state, address);
  return ok_reply();
}

nlohmann::json route_bind_clear(const std::shared_ptr<ServiceState>& state, const HttpRequest&) {
  // A link to the chair stays up; only the memory of it goes.
  bind::BindConfig config = bind::binding_snapshot(*state);
  config.boundAddress.clear();
  config.boundName.clear();
  if (Status saved = store_and_announce(*state, config); !saved) return error_reply(saved.error());
  state->events.publish_log("已解绑座椅");
  return ok_reply();
}

nlohmann::json route_bind_autoconnect(const std::shared_ptr<ServiceState>& state,
                                      const HttpRequest& request) {
  // The UI sends on=0 to turn it off; anything else, or nothing at all, means on.
  const std::string* on_param = request.param("on");
  const bool on = !(on_param && *on_param == "0");

  bind::BindConfig config = bind::binding_snapshot(*state);
  config.autoConnect = on;
  if (Status saved = store_and_announce(*state, config); !saved) return error_reply(saved.error());
  if (on) bind::start_autoconnect_once(state);
  return ok_reply();
}

nlohmann::json route_bind_init(const std::shared_ptr<ServiceState>& state,
                               const HttpRequest& request) {
  auto init = bind::parse_init_config(request.body);
  if (!init) return error_reply("解析失败: " + init.error());

  // Applied after the next connection's setup, not sent to a chair that is connected now.
  bind::BindConfig config = bind::binding_snapshot(*state);
  config.init = std::move(*init);
  if (Status saved = store_and_announce(*state, config); !saved) return error_reply(saved.error());
  state->events.publish_log("已更新初始化参数");
  return ok_reply();
}

nlohmann::json route_bind_import(const std::shared_ptr<ServiceState>& state,
                                 const HttpRequest& request) {
  auto parsed = bind::parse_binding(request.body);
  if (!parsed) return error_reply("解析失败: " + parsed.error());

  bind::BindConfig config = std::move(*parsed);
  // A record without a water mode carries no usable settings at all.
  if (config.init.water.empty()) config.init = bind::InitConfig{};
  if (Status saved = store_and_announce(*state, config); !saved) return error_reply(saved.error());
  state->events.publish_log("已导入配置");
  bind::start_autoconnect_once(state);
  return ok_reply();
}

nlohmann::json route_shutdown(const std::shared_ptr<ServiceState>& state, const HttpRequest&) {
  state->platform->init_thread();
  ble::stop_scanning(*state);

  bool ready = false;
  {
    std::lock_guard lock(state->link.mutex);
    ready = state->link.open && state->link.ready;
  }
  if (ready) {
    // Otherwise the status poll would switch cooling or heating back on at its next beat.
    state->thermal.set_thermal(false, 0, 0);
    state->events.publish_log("silent shutdown: turning off all chair functions...");
    // Every frame is tried even when one fails: a chair that hears only some of them is
    // still quieter than one that hears none.
    for (const ble::Bytes& frame : ble::silent_frames()) {
      (void)ble::write_frame(*state, frame);
      std::this_thread::sleep_for(state->timings.silent_step);
    }
    state->events.publish_log("chair entered silent state");
  }
  ble::teardown(*state);
  state->events.publish_status("idle");
  return ok_reply();
}

}  // namespace chair
