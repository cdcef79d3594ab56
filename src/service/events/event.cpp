// The event records' JSON text; the device and binding records inside them come from their
// one writers, in declared order on one line.
#include "service/events/event.h"

#include "bind/binding_file.h"
#include "ble/protocol/functions.h"
#include "common/text.h"

namespace chair {

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

void write_device(std::string& out, const ble::DeviceRecord& d) { out += device_text(d, kEventLayout); }

void write_chair(std::string& out, const ble::ChairStatus& c) {
  ObjectWriter w(out);
  // The levels under their functions' names, in the order of the full report.
  for (const auto& function : ble::kChairFunctions) {
    if (function.has_levels()) w.unum(function.name, c.*function.report);
  }
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

void write_bind(std::string& out, const bind::BindConfig& b) { out += bind::binding_text(b, kEventLayout); }

// One writer per record: the members after "type".
void write_members(ObjectWriter& w, const LogEvent& e) {
  if (!e.log.empty()) w.str("log", e.log);
}
void write_members(ObjectWriter& w, const StatusEvent& e) {
  if (!e.status.empty()) w.str("status", e.status);
}
void write_members(ObjectWriter& w, const ConnectedEvent& e) {
  w.str("status", "connected");
  if (!e.name.empty()) w.str("name", e.name);
}
void write_members(ObjectWriter& w, const DeviceEvent& e) { write_device(w.key("device"), e.device); }
void write_members(ObjectWriter& w, const ChairEvent& e) { write_chair(w.key("chair"), e.chair); }
void write_members(ObjectWriter& w, const BindEvent& e) { write_bind(w.key("bind"), e.bind); }
void write_members(ObjectWriter& w, const AutoConnectEvent& e) {
  if (!e.phase.empty()) w.str("status", e.phase);
  write_bind(w.key("bind"), e.bind);
}
void write_members(ObjectWriter& w, const TimerEvent& e) { w.num("seconds", e.seconds); }
void write_members(ObjectWriter& w, const BluetoothEvent& e) {
  w.str("state", e.state);
  w.str("message", e.message);  // "" included
}

}  // namespace

std::string to_json(const ServiceEvent& event) {
  std::string out;
  out.reserve(128);
  std::visit(
      [&out](const auto& record) {
        ObjectWriter w(out);
        w.str("type", record.kType);
        write_members(w, record);
      },
      event);
  return out;
}

void append_chair_json(std::string& out, const ble::ChairStatus& status) { write_chair(out, status); }

nlohmann::json device_json(const ble::DeviceRecord& r) {
  nlohmann::json j = {
      {"address", r.address}, {"name", r.name}, {"rssi", r.rssi}, {"hits", r.hits}, {"lastSeen", r.lastSeen}};
  // Empty lists are left out, never written as [].
  if (!r.services.empty()) j["services"] = r.services;
  if (!r.vendors.empty()) j["vendors"] = r.vendors;
  return j;
}

std::string device_text(const ble::DeviceRecord& record, JsonLayout layout) {
  static constexpr std::string_view kMembers[] = {"address", "name", "rssi", "hits", "lastSeen", "services", "vendors"};
  return record_text(device_json(record), RecordShape{kMembers}, layout);
}

}  // namespace chair
