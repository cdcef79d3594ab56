#include "control_room.h"

#include <algorithm>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "ble/bluez/names.h"
#include "ble/protocol/frame.h"
#include "control.h"

namespace chair::sim {

ControlRoom::ControlRoom(World& world, sdbus::IConnection& control_bus, AdapterRoom& adapter, DeviceRoom& devices,
                         ServiceRoom& services, CharacteristicRoom& characteristics)
    : world_(world),
      control_bus_(control_bus),
      adapter_(adapter),
      devices_(devices),
      services_(services),
      characteristics_(characteristics) {}

void ControlRoom::export_control() {
  object_ = sdbus::createObject(control_bus_, kControlPath);
  // Answered from the scheduler: this connection's loop must never wait for the scheduler,
  // which itself sends on this connection (WriteRecorded).
  object_->registerMethod(kControlCommand)
      .onInterface(kControlIface)
      .implementedAs([this](sdbus::Result<std::string>&& call, std::vector<std::string> args) {
        auto reply = std::make_shared<sdbus::Result<std::string>>(std::move(call));
        world_.scheduler.post([this, reply, args = std::move(args)] {
          const Result<std::string> result = run(args);
          if (result)
            reply->returnResults(*result);
          else
            reply->returnError(sdbus::Error(kControlError, result.error()));
        });
      });
  object_->registerSignal(kWriteRecorded)
      .onInterface(kControlIface)
      .withParameters<std::string, std::string, std::string>("address", "type", "hex");
  object_->finishRegistration();
  sdbus::IObject* object = object_.get();
  world_.write_listener = [object](const std::string& address, const WriteRecord& w) {
    try {
      object->emitSignal(kWriteRecorded)
          .onInterface(kControlIface)
          .withArguments(address, w.type, ble::hex_dump(w.value));
    } catch (const std::exception& e) {
      std::fprintf(stderr, "chair-sim: WriteRecorded: %s\n", e.what());
    }
  };
}

void ControlRoom::drop() {
  world_.write_listener = nullptr;
  object_.reset();
}

Result<std::string> ControlRoom::run(const std::vector<std::string>& args) {
  if (args.empty()) return fail("missing command");
  const std::string& cmd = args[0];
  auto on_off = [&](size_t i) -> Result<bool> {
    if (args.size() > i && (args[i] == "on" || args[i] == "off")) return args[i] == "on";
    return fail(cmd + ": want on or off");
  };

  if (cmd == "power") {
    auto on = on_off(1);
    if (!on) return on.take_error();
    adapter_.set_powered(*on);
    return std::string();
  }
  if (cmd == "list") {
    std::string out;
    for (auto& [address, d] : world_.devices) {
      out += address + " name=" + d->spec.name + " chair=" + (d->spec.chair ? "1" : "0") +
             " exported=" + (d->object ? "1" : "0") + " connected=" + (d->connected ? "1" : "0") +
             " present=" + (d->spec.present ? "1" : "0") + "\n";
    }
    return out;
  }
  if (cmd == "silent") {
    auto on = on_off(1);
    if (!on) return on.take_error();
    if (args.size() > 2) {
      auto d = world_.device_arg(args, 2);
      if (!d) return d.take_error();
      if (!(*d)->model) return fail(args[2] + " is not a chair");
      (*d)->model->set_silent(*on);
    } else {
      for (auto& [address, d] : world_.devices) {
        if (d->model) d->model->set_silent(*on);
      }
    }
    return std::string();
  }

  auto found = world_.device_arg(args, 1);
  if (!found) return found.take_error();
  return run_on_device(cmd, args, **found);
}

Result<std::string> ControlRoom::run_on_device(const std::string& cmd, const std::vector<std::string>& args,
                                               DeviceSim& d) {
  if (cmd == "drop") {
    // Switched off: the link goes, and it does not come back until "present".
    d.spec.present = false;
    devices_.link_down(d);
    return std::string();
  }
  if (cmd == "present" || cmd == "come-back") {
    d.spec.present = true;
    return std::string();
  }
  if (cmd == "refuse-writes") {
    d.refusal = {args.size() > 2 ? args[2] : ble::bluez::kErrorFailed,
                 args.size() > 3 ? args[3] : "Operation failed with ATT error: 0x0e"};
    return std::string();
  }
  if (cmd == "accept-writes") {
    d.refusal.reset();
    return std::string();
  }
  if (cmd == "hold-writes" || cmd == "release-writes") {
    characteristics_.hold_writes(d, cmd == "hold-writes");
    return std::string();
  }
  if (cmd == "layout") {
    if (args.size() < 3) return fail("layout: missing layout name");
    auto layout = parse_layout(args[2]);
    if (!layout) return layout.take_error();
    if (!d.spec.chair) return fail(args[1] + " is not a chair");
    d.spec.layout = *layout;
    // The old attribute table goes at once; a connected chair shows the new one right away,
    // otherwise it appears at the next connection.
    services_.remove_table(d);
    if (d.connected) services_.build_table(d);
    return std::string();
  }
  if (cmd == "remove") {
    devices_.remove_device(d);
    return std::string();
  }
  if (cmd == "writes") {
    std::string out;
    for (const auto& w : d.writes) out += w.type + " " + ble::hex_dump(w.value) + "\n";
    return out;
  }
  if (cmd == "clear-writes") {
    d.writes.clear();
    return std::string();
  }
  if (cmd == "status") return status_json(d);
  return fail("unknown command '" + cmd + "'");
}

std::string ControlRoom::status_json(const DeviceSim& d) {
  nlohmann::ordered_json j;
  j["address"] = d.spec.address;
  j["exported"] = d.object != nullptr;
  j["present"] = d.spec.present;
  j["connected"] = d.connected;
  j["servicesResolved"] = d.resolved;
  j["notifying"] = std::any_of(d.chars.begin(), d.chars.end(), [](const auto& c) { return c->notifying; });
  j["layout"] = layout_name(d.spec.layout);
  // A chair adds its own state after the device's.
  if (d.model) j.update(nlohmann::ordered_json::parse(d.model->state_json()));
  return j.dump();
}

}  // namespace chair::sim
