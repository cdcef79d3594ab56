#include "characteristic_room.h"

#include <algorithm>

#include "ble/bluez/names.h"

namespace chair::sim {

using namespace ble::bluez;

CharacteristicRoom::CharacteristicRoom(World& world) : world_(world) {}

void CharacteristicRoom::export_characteristic(DeviceSim& d, const ServiceSim& service, CharSim& c) {
  auto object = sdbus::createObject(world_.bus, c.path);
  sdbus::IObject* raw = object.get();
  CharSim* cp = &c;
  DeviceSim* dp = &d;
  const std::string path = c.path;
  const std::string service_path = service.path;
  object->registerProperty(kUuid).onInterface(kGattCharacteristicIface).withGetter([cp] { return cp->uuid; });
  object->registerProperty(kService).onInterface(kGattCharacteristicIface).withGetter([service_path] {
    return sdbus::ObjectPath(service_path);
  });
  object->registerProperty(kFlags).onInterface(kGattCharacteristicIface).withGetter([cp] { return cp->flags; });
  object->registerProperty(kValue).onInterface(kGattCharacteristicIface).withGetter([this, cp] {
    std::lock_guard lock(world_.mutex);
    return cp->value;
  });
  object->registerProperty(kNotifying).onInterface(kGattCharacteristicIface).withGetter([this, cp] {
    std::lock_guard lock(world_.mutex);
    return cp->notifying;
  });
  object->registerProperty(kMtu).onInterface(kGattCharacteristicIface).withGetter([this] {
    return static_cast<uint16_t>(world_.options.mtu);
  });
  object->registerMethod(kReadValue).onInterface(kGattCharacteristicIface).implementedAs([this, cp, dp](const Props&) {
    std::lock_guard lock(world_.mutex);
    if (!dp->connected) throw sdbus::Error(kErrorFailed, "Not connected");
    if (!cp->has_flag(kFlagRead)) throw sdbus::Error(kErrorNotPermitted, "Read not permitted");
    return cp->value;
  });
  // Methods look the characteristic up again on the scheduler: a layout change may have removed it.
  object->registerMethod(kWriteValue)
      .onInterface(kGattCharacteristicIface)
      .implementedAs([this, dp, path](sdbus::Result<>&& r, std::vector<uint8_t> value, Props opts) {
        auto reply = std::make_shared<sdbus::Result<>>(std::move(r));
        // The variants are read here, on the thread that received them.
        std::optional<std::string> type;
        if (auto it = opts.find(kWriteType); it != opts.end()) {
          type = it->second.containsValueOfType<std::string>() ? it->second.get<std::string>() : std::string();
        }
        world_.scheduler.post([this, dp, path, value = std::move(value), type, reply]() mutable {
          CharSim* c = dp->find_char(path);
          if (!c) return reply_error(reply, kErrorUnknownObject, "Unknown object " + path);
          write_value(*dp, *c, value, type, reply);
        });
      });
  object->registerMethod(kStartNotify)
      .onInterface(kGattCharacteristicIface)
      .implementedAs([this, raw, dp, path](sdbus::Result<>&& r) {
        auto reply = std::make_shared<sdbus::Result<>>(std::move(r));
        world_.scheduler.post([this, dp, path, sender = sender_of(raw), reply] {
          CharSim* c = dp->find_char(path);
          if (!c) return reply_error(reply, kErrorUnknownObject, "Unknown object " + path);
          start_notify(*dp, *c, sender, reply);
        });
      });
  object->registerMethod(kStopNotify)
      .onInterface(kGattCharacteristicIface)
      .implementedAs([this, raw, dp, path](sdbus::Result<>&& r) {
        auto reply = std::make_shared<sdbus::Result<>>(std::move(r));
        world_.scheduler.post([this, dp, path, sender = sender_of(raw), reply] {
          CharSim* c = dp->find_char(path);
          if (!c) return reply_error(reply, kErrorUnknownObject, "Unknown object " + path);
          stop_notify(*c, sender, reply);
        });
      });
  object->finishRegistration();
  c.object = std::move(object);
}

void CharacteristicRoom::arm_sessions(DeviceSim& d, bool armed) {
  for (auto& c : d.chars) {
    for (auto& [sender, is_armed] : c->sessions) is_armed = armed;
    set_notifying(*c);
  }
}

void CharacteristicRoom::link_down(DeviceSim& d) {
  for (auto& c : d.chars) c->request_pending = false;
  arm_sessions(d, false);
  // Held requests learn now that their link is gone.
  auto held = std::move(d.held_writes);
  d.held_writes.clear();
  for (auto& finish : held) finish();
}

void CharacteristicRoom::sender_left(const std::string& sender) {
  for (auto& [address, d] : world_.devices) {
    for (auto& c : d->chars) {
      if (c->sessions.erase(sender)) set_notifying(*c);
    }
  }
}

void CharacteristicRoom::hold_writes(DeviceSim& d, bool hold) {
  d.holding_writes = hold;
  if (hold) return;
  auto held = std::move(d.held_writes);
  d.held_writes.clear();
  for (auto& finish : held) finish();
}

void CharacteristicRoom::set_notifying(CharSim& c) {
  const bool now = std::any_of(c.sessions.begin(), c.sessions.end(), [](const auto& s) { return s.second; });
  if (now == c.notifying) return;
  world_.locked([&] { c.notifying = now; });
  emit_changed(c.object.get(), kGattCharacteristicIface, {{kNotifying, sdbus::Variant(now)}});
}

void CharacteristicRoom::start_notify(DeviceSim& d, CharSim& c, const std::string& sender, const Reply& reply) {
  if (!c.has_flag(kFlagNotify) && !c.has_flag(kFlagIndicate))
    return reply_error(reply, kErrorNotSupported, "Operation is not supported");
  if (auto it = c.sessions.find(sender); it != c.sessions.end()) {
    if (it->second) return reply_ok(reply);
    return reply_error(reply, kErrorInProgress, "In Progress");
  }
  c.sessions[sender] = d.connected;  // armed at the next connection otherwise
  reply_ok(reply);
  set_notifying(c);
}

void CharacteristicRoom::stop_notify(CharSim& c, const std::string& sender, const Reply& reply) {
  if (!c.sessions.erase(sender)) return reply_error(reply, kErrorFailed, "No notify session started");
  reply_ok(reply);
  set_notifying(c);
}

void CharacteristicRoom::write_value(DeviceSim& d, CharSim& c, const Bytes& value, std::optional<std::string> type,
                                     const Reply& reply) {
  if (!d.connected) return reply_error(reply, kErrorFailed, "Not connected");
  if (!type) type = c.has_flag(kFlagWrite) ? kWriteRequest : kWriteCommand;
  if (*type != kWriteRequest && *type != kWriteCommand && *type != kWriteReliable)
    return reply_error(reply, kErrorInvalidArguments, "Invalid arguments in method call");
  if (c.request_pending) return reply_error(reply, kErrorInProgress, "In Progress");
  const bool command = *type == kWriteCommand;
  // A write command is sent even without the flag; a request needs it.
  if (command && value.size() + 3 > world_.options.mtu)
    return reply_error(reply, kErrorFailed, "Failed to initiate write");
  if (!command && !c.has_flag(kFlagWrite)) return reply_error(reply, kErrorNotSupported, "Operation is not supported");
  if (d.refusal) return reply_error(reply, d.refusal->first, d.refusal->second);

  WriteRecord record{command ? kWriteCommand : kWriteRequest, value};
  d.writes.push_back(record);
  if (world_.write_listener) world_.write_listener(d.spec.address, record);

  if (command) {
    reply_ok(reply);
    deliver(d, c, value);
    return;
  }
  c.request_pending = true;
  DeviceSim* dp = &d;
  const uint64_t link = d.link_gen;
  const std::string path = c.path;
  auto finish = [this, dp, link, path, value, reply] {
    CharSim* cp = dp->find_char(path);
    if (cp) cp->request_pending = false;
    if (!cp || dp->link_gen != link || !dp->connected) return reply_error(reply, kErrorFailed, "Not connected");
    reply_ok(reply);
    deliver(*dp, *cp, value);
  };
  if (d.holding_writes)
    d.held_writes.push_back(finish);
  else if (world_.options.write_delay.count() == 0)
    finish();
  else
    world_.scheduler.post_after(world_.options.write_delay, finish);
}

void CharacteristicRoom::deliver(DeviceSim& d, CharSim& c, const Bytes& value) {
  if (!c.takes_commands) return;
  if (d.replay) return replay_answers(d, value);
  if (!d.model) return;
  send_answers(d, d.model->on_write(value));
  if (d.spec.chunking && !d.flush_scheduled) {
    d.flush_scheduled = true;
    DeviceSim* dp = &d;
    world_.scheduler.post_after(world_.options.flush_delay, [this, dp] {
      dp->flush_scheduled = false;
      if (dp->model) send_answers(*dp, dp->model->flush());
    });
  }
}

void CharacteristicRoom::replay_answers(DeviceSim& d, const Bytes& value) {
  DeviceSim* dp = &d;
  const uint64_t link = d.link_gen;
  for (auto& answer : d.replay->on_write(value)) {
    world_.scheduler.post_after(answer.delay, [this, dp, link, frame = std::move(answer.frame)] {
      // An answer of a link that has since gone does not reach the next one.
      if (dp->link_gen == link) send_answers(*dp, {frame});
    });
  }
}

void CharacteristicRoom::send_answers(DeviceSim& d, const std::vector<Bytes>& notes) {
  if (notes.empty() || !d.connected) return;
  for (auto& c : d.chars) {
    if (!c->sends_answers || !c->notifying) continue;
    for (const auto& note : notes) {
      world_.locked([&] { c->value = note; });
      // One signal per notification, also when the bytes equal the previous ones.
      emit_changed(c->object.get(), kGattCharacteristicIface, {{kValue, sdbus::Variant(note)}});
    }
  }
}

}  // namespace chair::sim
