// The binding as the UI changes it: saved, announced, then acted on.
#include "service/service.h"

#include "common/address.h"

namespace chair {

Result<bind::BindConfig> Service::change_binding(const std::function<void(bind::BindConfig&)>& change) {
  auto stored = store_->update(change);
  if (stored) hub_.publish(BindEvent{*stored});
  return stored;
}

Status Service::bind_chair(const std::string& address, const std::string& name) {
  auto stored = change_binding([&](bind::BindConfig& c) {
    c.boundAddress = address;
    c.boundName = name;
    c.autoConnect = true;
  });
  if (!stored) return stored.take_error();
  hub_.publish_log("已绑定座椅 " + name + " (" + address + ")");
  // Binding the chair already linked (or being linked) is bookkeeping: a new connection
  // would apply the initial settings again over what the user has chosen since.
  const ble::LinkView view = link_->view();
  if (view.phase != ble::LinkPhase::Closed && compact_address(view.address) == compact_address(address)) return {};
  // Not waited for: the attempt reports through events.
  autoconnect_->connect_bound_soon(address);
  return {};
}

Status Service::unbind_chair() {
  auto stored = change_binding([](bind::BindConfig& c) {
    c.boundAddress.clear();
    c.boundName.clear();
  });
  if (!stored) return stored.take_error();
  hub_.publish_log("已解绑座椅");
  return {};
}

Status Service::set_autoconnect(bool on) {
  auto stored = change_binding([on](bind::BindConfig& c) { c.autoConnect = on; });
  if (!stored) return stored.take_error();
  if (on) autoconnect_->attempt_soon();
  return {};
}

Status Service::set_initial_settings(const ble::InitConfig& init) {
  auto stored = change_binding([&](bind::BindConfig& c) { c.init = init; });
  if (!stored) return stored.take_error();
  hub_.publish_log("已更新初始化参数");
  return {};
}

Status Service::import_binding(const bind::BindConfig& record) {
  auto stored = change_binding([&](bind::BindConfig& c) { c = record; });
  if (!stored) return stored.take_error();
  hub_.publish_log("已导入配置");
  // Does nothing unless the record names a chair with auto-connect on.
  autoconnect_->attempt_soon();
  return {};
}

}  // namespace chair
