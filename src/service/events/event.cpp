#include "service/events/event.h"

#include "common/text.h"

namespace chair {

ServiceEvent make_log_event(std::string text) {
  ServiceEvent e;
  e.type = "log";
  e.log = std::move(text);
  return e;
}

ServiceEvent make_status_event(std::string name) {
  ServiceEvent e;
  e.type = "status";
  e.status = std::move(name);
  return e;
}

ServiceEvent make_connected_event(std::string display_name) {
  ServiceEvent e = make_status_event("connected");
  e.name = std::move(display_name);
  return e;
}

ServiceEvent make_autoconnect_event(std::string phase, bind::BindConfig binding) {
  ServiceEvent e;
  e.type = "autoconnect";
  e.status = std::move(phase);
  e.bind = std::move(binding);
  return e;
}

ServiceEvent make_device_event(ble::DeviceRecord record) {
  ServiceEvent e;
  e.type = "device";
  e.device = std::move(record);
  return e;
}

ServiceEvent make_chair_event(ble::ChairStatus status) {
  ServiceEvent e;
  e.type = "chair";
  e.chair = std::move(status);
  return e;
}

ServiceEvent make_bind_event(bind::BindConfig binding) {
  ServiceEvent e;
  e.type = "bind";
  e.bind = std::move(binding);
  return e;
}

ServiceEvent make_bluetooth_event(BluetoothState state) {
  ServiceEvent e;
  e.type = "bluetooth";
  e.bluetooth = std::move(state);
  return e;
}

namespace {

// Writes "name": with the separating comma when needed.
class ObjectWriter {
 public:
  explicit ObjectWriter(std::string& out) : out_(out) { out_ += '{'; }
  ~ObjectWriter() { out_ += '}'; }
  std::string& key(std::string_view name) {
    if (!first_) out_ += ',';
    first_ = false;
    out_ += '"';
    out_ += name;
    out_ += "\":";
    return out_;
  }
  void str(std::string_view name, std::string_view value) { append_json_string(key(name), value); }
  void num(std::string_view name, long long value) { key(name) += std::to_string(value); }
  void unum(std::string_view name, unsigned long long value) { key(name) += std::to_string(value); }
  void boolean(std::string_view name, bool value) { key(name) += value ? "true" : "false"; }

 private:
  std::string& out_;
  bool first_ = true;
};

void write_device(std::string& out, const ble::DeviceRecord& d) {
  ObjectWriter w(out);
  w.str("address", d.address);
  w.str("name", d.name);
  w.num("rssi", d.rssi);
  w.unum("hits", d.hits);
  w.str("lastSeen", d.lastSeen);
  if (!d.services.empty()) {
    std::string& o = w.key("services");
    o += '[';
    for (size_t i = 0; i < d.services.size(); ++i) {
      if (i) o += ',';
      append_json_string(o, d.services[i]);
    }
    o += ']';
  }
  if (!d.vendors.empty()) {
    std::string& o = w.key("vendors");
    o += '[';
    for (size_t i = 0; i < d.vendors.size(); ++i) {
      if (i) o += ',';
      o += std::to_string(d.vendors[i]);
    }
    o += ']';
  }
}

void write_chair(std::string& out, const ble::ChairStatus& c) {
  ObjectWriter w(out);
  w.unum("cold", c.cold);
  w.unum("hot", c.hot);
  w.unum("vibrate", c.vibrate);
  w.unum("volume", c.volume);
  w.unum("lumbar", c.lumbar);
  w.unum("temp", c.temp);
  w.unum("switchByte", c.switchByte);
  w.boolean("btAudio", c.btAudio);
  w.boolean("motion", c.motion);
  w.boolean("headphone", c.headphone);
  w.boolean("seated", c.seated);
  w.boolean("waterOn", c.waterOn);
  w.boolean("heating", c.heating);
  w.str("raw", c.raw);
}

void write_bind(std::string& out, const bind::BindConfig& b) {
  ObjectWriter w(out);
  w.str("boundAddress", b.boundAddress);
  w.str("boundName", b.boundName);
  w.boolean("autoConnect", b.autoConnect);
  std::string& o = w.key("init");
  ObjectWriter i(o);
  i.str("water", b.init.water);
  i.num("coolLevel", b.init.coolLevel);
  i.num("heatLevel", b.init.heatLevel);
  i.num("lumbar", b.init.lumbar);
  i.num("vibrate", b.init.vibrate);
  i.num("volume", b.init.volume);
}

}  // namespace

std::string to_json(const ServiceEvent& e) {
  std::string out;
  out.reserve(128);
  {
    ObjectWriter w(out);
    w.str("type", e.type);
    if (e.device) write_device(w.key("device"), *e.device);
    if (!e.status.empty()) w.str("status", e.status);
    if (!e.name.empty()) w.str("name", e.name);
    if (!e.log.empty()) w.str("log", e.log);
    if (e.chair) write_chair(w.key("chair"), *e.chair);
    if (e.bind) write_bind(w.key("bind"), *e.bind);
    if (e.bluetooth) {
      w.str("state", e.bluetooth->state);
      w.str("message", e.bluetooth->message);  // "" included
    }
  }
  return out;
}

}  // namespace chair
