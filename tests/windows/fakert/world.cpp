#include "world.h"

#include <objbase.h>

#include <cstdio>

#include <nlohmann/json.hpp>

#include "ble/platform/platform.h"
#include "ble/protocol/frame.h"
#include "common/address.h"
#include "gatt.h"
#include "radio.h"
#include "streams.h"
#include "sys/win_text.h"

namespace chair::fakert {

namespace {

GUID base_uuid(uint16_t alias) {
  return abi::make_guid(alias, 0x0000, 0x1000, 0x80, 0x00, 0x00, 0x80, 0x5f, 0x9b, 0x34, 0xfb);
}
const GUID kChairService = base_uuid(0xfff0);
const GUID kNotifier = base_uuid(0xfff1);
const GUID kOtherCharacteristic = base_uuid(0xfff2);
const GUID kDataCharacteristic =
    abi::make_guid(0x7772e5db, 0x3868, 0x4112, 0xa1, 0xa9, 0xf2, 0x66, 0x9d, 0x10, 0x6b, 0xf3);
const GUID kBatteryService = base_uuid(0x180f);
const GUID kBatteryLevel = base_uuid(0x2a19);

using namespace ble;  // property bits

std::optional<uint64_t> parse_device_address(const std::string& text) { return address_from_hex_digits(text); }

void announcer(uint64_t epoch, std::chrono::milliseconds interval) {
  (void)CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  for (;;) {
    std::this_thread::sleep_for(interval);
    {
      std::lock_guard lock(world().mutex);
      if (world().epoch != epoch) return;
    }
    announce();
  }
}

}  // namespace

// ---- Timeline -------------------------------------------------------------------------

Timeline::Timeline() {
  thread_ = std::thread([this] { run(); });
  thread_.detach();  // the runtime lives as long as the process
}

void Timeline::post(std::chrono::milliseconds delay, std::function<void()> task) {
  {
    std::lock_guard lock(mutex_);
    tasks_.emplace(std::chrono::steady_clock::now() + delay, std::move(task));
  }
  cv_.notify_all();
}

bool Timeline::idle() {
  std::lock_guard lock(mutex_);
  return tasks_.empty() && !busy_;
}

void Timeline::run() {
  // The runtime's own threads live in the multithreaded apartment, as the system's do.
  (void)CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  std::unique_lock lock(mutex_);
  for (;;) {
    if (tasks_.empty()) {
      cv_.wait(lock);
      continue;
    }
    auto due = tasks_.begin()->first;
    if (std::chrono::steady_clock::now() < due) {
      cv_.wait_until(lock, due);
      continue;
    }
    auto task = std::move(tasks_.begin()->second);
    tasks_.erase(tasks_.begin());
    busy_ = true;
    lock.unlock();
    try {
      task();
    } catch (...) {
    }
    task = nullptr;  // what it held goes before the timeline counts as idle
    lock.lock();
    busy_ = false;
  }
}

// ---- World ----------------------------------------------------------------------------

World::World() = default;

World& world() {
  static World* the_world = new World();  // never destroyed: its threads run to the end
  return *the_world;
}

HRESULT World::enter(const std::string& call) {
  APTTYPE type;
  APTTYPEQUALIFIER qualifier;
  // A thread that never joined counts as in the process's multithreaded apartment once
  // there is one; the system says so with the "implicit" qualifier.
  const bool in_apartment =
      SUCCEEDED(CoGetApartmentType(&type, &qualifier)) && qualifier != APTTYPEQUALIFIER_IMPLICIT_MTA;
  std::lock_guard lock(records_mutex);
  calls.push_back(call);
  if (!in_apartment) apartment_violations.push_back(call);
  for (const std::string& key : {call, call.substr(0, call.find('('))}) {
    auto it = call_faults.find(key);
    if (it == call_faults.end()) continue;
    const HRESULT hr = it->second.first;
    if (--it->second.second <= 0) call_faults.erase(it);
    return hr;
  }
  return S_OK;
}

OperationPlan World::plan_operation(const std::string& call) {
  std::lock_guard lock(records_mutex);
  auto it = operation_faults.find(call);
  if (it == operation_faults.end()) return {};
  const OperationPlan plan = it->second.first;
  if (--it->second.second <= 0) operation_faults.erase(it);
  return plan;
}

DeviceState* World::find(uint64_t address) {
  auto it = devices.find(address);
  return it == devices.end() ? nullptr : &it->second;
}

bool World::update_link(DeviceState& d) {
  const bool wanted = options.powered && d.device.present && d.maintainers > 0;
  if (wanted && !d.connected) {
    d.connected = true;
    ++d.link;
  } else if (!wanted && d.connected) {
    link_down(d);
    return true;
  }
  return false;
}

void World::link_down(DeviceState& d) {
  d.connected = false;
  // The chair forgets the client configuration with the link.
  d.cccd = 0;
}

bool World::reachable(DeviceState& d) {
  if (!options.powered || !d.device.present) return false;
  if (!d.connected) {
    d.connected = true;
    ++d.link;
  }
  return true;
}

void World::send_answers(uint64_t address, uint64_t link, std::vector<sim::Bytes> notes) {
  if (notes.empty()) return;
  events.post(std::chrono::milliseconds(0), [address, link, notes = std::move(notes)] {
    for (const auto& note : notes) {
      std::vector<std::pair<Com<FakeCharacteristic>, Com<abi::IValueChangedHandler>>> targets;
      {
        std::lock_guard lock(world().mutex);
        DeviceState* d = world().find(address);
        if (!d || !d->connected || d->link != link || d->cccd == 0) return;
        std::vector<GUID> senders;
        for (const auto& service : gatt_table(*d)) {
          for (const auto& c : service.characteristics) {
            if (c.sends_answers) senders.push_back(c.uuid);
          }
        }
        for (const auto& r : world().value_registrations) {
          if (r.device->address != address || r.device->closed) continue;
          for (const GUID& uuid : senders) {
            if (IsEqualGUID(uuid, r.uuid)) targets.emplace_back(r.sender, r.handler);
          }
        }
      }
      if (targets.empty()) continue;
      auto args = make_value_changed_args(make_buffer(note));
      for (auto& [sender, handler] : targets) {
        (void)handler->Invoke(static_cast<abi::IGattCharacteristic*>(sender.get()), args.get());
      }
    }
  });
}

void World::schedule_flush(uint64_t address, uint64_t link) {
  std::chrono::milliseconds delay;
  {
    std::lock_guard lock(mutex);
    delay = options.flush_delay;
  }
  operations.post(delay, [address, link] {
    std::vector<sim::Bytes> notes;
    {
      std::lock_guard lock(world().mutex);
      DeviceState* d = world().find(address);
      if (!d || !d->model || d->link != link) return;
      notes = d->model->flush();
    }
    world().send_answers(address, link, std::move(notes));
  });
}

std::vector<ServiceEntry> gatt_table(const DeviceState& d) {
  if (!d.device.chair) return {{kBatteryService, {{kBatteryLevel, kPropRead | kPropNotify, 0x0003, false, false}}}};
  ServiceEntry chair{kChairService, {}};
  auto& c = chair.characteristics;
  switch (d.device.layout) {
    case sim::Layout::kNormal:
      c.push_back(
          {kDataCharacteristic, kPropRead | kPropWriteWithoutResponse | kPropWrite | kPropNotify, 0x000b, true, true});
      break;
    case sim::Layout::kIndicateOnly:
      c.push_back({kDataCharacteristic, kPropRead | kPropWrite | kPropIndicate, 0x000b, true, true});
      break;
    case sim::Layout::kWriteOnlyWithNotifier:
      c.push_back({kDataCharacteristic, kPropWriteWithoutResponse | kPropWrite, 0x000b, true, false});
      c.push_back({kNotifier, kPropNotify, 0x000e, false, true});
      break;
    case sim::Layout::kForeignChar:
      c.push_back({kNotifier, kPropRead | kPropWrite | kPropNotify, 0x000b, true, true});
      break;
    case sim::Layout::kNoDataChar: c.push_back({kOtherCharacteristic, kPropRead, 0x000b, false, false}); break;
  }
  return {chair};
}

std::string format_guid(const GUID& g) { return ble::winrt::to_uuid(g).to_string(); }
std::string address_text(uint64_t address) { return format_address(address); }

uint64_t object_born(const char* class_name) {
  std::lock_guard lock(world().records_mutex);
  ++world().live[class_name];
  return world().records_epoch;
}

void object_died(const char* class_name, uint64_t world_epoch) {
  std::lock_guard lock(world().records_mutex);
  if (world_epoch != world().records_epoch) return;
  if (--world().live[class_name] == 0) world().live.erase(class_name);
}

void count_status_read(const std::string& call) {
  std::lock_guard lock(world().records_mutex);
  ++world().status_reads[call];
}

// ---- The test's side ------------------------------------------------------------------

namespace {

void set_powered(bool on) {
  std::vector<Com<FakeWatcher>> aborted;
  {
    std::lock_guard lock(world().mutex);
    if (world().options.powered == on) return;
    world().options.powered = on;
    for (auto& [address, d] : world().devices) {
      if (on) {
        world().update_link(d);
      } else {
        world().link_down(d);
      }
    }
    if (!on) aborted = std::exchange(world().started_watchers, {});
  }
  for (auto& w : aborted) w->abort();
}

}  // namespace

void reset(Options options) {
  std::map<uint64_t, DeviceState> devices;
  std::vector<Com<FakeWatcher>> watchers;
  std::vector<ValueRegistration> registrations;
  uint64_t epoch;
  {
    std::lock_guard lock(world().mutex);
    devices = std::exchange(world().devices, {});
    watchers = std::exchange(world().started_watchers, {});
    registrations = std::exchange(world().value_registrations, {});
    world().registrations = 0;
    world().options = options;
    epoch = ++world().epoch;
  }
  {
    std::lock_guard lock(world().records_mutex);
    ++world().records_epoch;
    world().calls.clear();
    world().apartment_violations.clear();
    world().status_reads.clear();
    world().live.clear();
    world().call_faults.clear();
    world().operation_faults.clear();
  }
  if (options.announce_interval.count() > 0) {
    std::thread(announcer, epoch, options.announce_interval).detach();
  }
}

namespace {

void add_described(sim::DeviceSpec device) {
  DeviceState d;
  d.address = parse_address(device.address).value_or(0);
  if (device.chair) {
    sim::ChairModelOptions model;
    model.short_length = device.short_length;
    model.chunking = device.chunking;
    model.seed = device.seed;
    d.model = std::make_unique<sim::ChairModel>(model);
    d.model->set_silent(device.silent);
  }
  d.device = std::move(device);
  std::lock_guard lock(world().mutex);
  const uint64_t address = d.address;
  world().devices.insert_or_assign(address, std::move(d));
}

}  // namespace

Status add_device(const std::string& description, bool chair) {
  auto parsed = sim::parse_device_spec(description, chair);
  if (!parsed) return parsed.take_error();
  if (!parse_address(parsed->address)) return fail("bad address " + parsed->address);
  add_described(std::move(*parsed));
  return {};
}

Status reset_from_args(const std::vector<std::string>& args) {
  auto parsed = sim::parse_sim_args(args);
  if (!parsed) return parsed.take_error();
  Options options;
  options.powered = parsed->powered;
  options.announce_interval = parsed->announce_interval;
  reset(options);
  for (auto& device : parsed->devices) {
    if (!parse_address(device.address)) return fail("bad address " + device.address);
    add_described(std::move(device));
  }
  return {};
}

std::string control(const std::vector<std::string>& args) {
  auto error = [](const std::string& text) { return "error: " + text; };
  if (args.empty()) return error("missing command");
  const std::string& cmd = args[0];
  auto on_off = [&](size_t i) -> std::optional<bool> {
    if (args.size() > i && (args[i] == "on" || args[i] == "off")) return args[i] == "on";
    return std::nullopt;
  };
  if (cmd == "power") {
    auto on = on_off(1);
    if (!on) return error(cmd + ": want on or off");
    set_powered(*on);
    return "";
  }
  if (cmd == "objects") {
    nlohmann::ordered_json j;
    j["live"] = live_objects();
    j["registrations"] = live_registrations();
    j["apartmentViolations"] = apartment_violations();
    return j.dump();
  }

  std::lock_guard lock(world().mutex);
  if (cmd == "list") {
    std::string out;
    for (auto& [address, d] : world().devices) {
      out += d.device.address + " name=" + d.device.name + " chair=" + (d.device.chair ? "1" : "0") +
             " exported=1 connected=" + (d.connected ? "1" : "0") + " present=" + (d.device.present ? "1" : "0") + "\n";
    }
    return out;
  }
  auto device_at = [&](size_t i) -> DeviceState* {
    if (args.size() <= i) return nullptr;
    auto address = parse_device_address(args[i]);
    return address ? world().find(*address) : nullptr;
  };
  if (cmd == "silent") {
    auto on = on_off(1);
    if (!on) return error(cmd + ": want on or off");
    if (args.size() > 2) {
      DeviceState* d = device_at(2);
      if (!d) return error("unknown device " + args[2]);
      if (!d->model) return error(args[2] + " is not a chair");
      d->model->set_silent(*on);
    } else {
      for (auto& [address, d] : world().devices) {
        if (d.model) d.model->set_silent(*on);
      }
    }
    return "";
  }

  if (args.size() < 2) return error(cmd + ": missing device address");
  DeviceState* found = device_at(1);
  if (!found) return error("unknown device " + args[1]);
  DeviceState& d = *found;
  if (cmd == "drop") {
    // Switched off: the link goes, and it does not come back until "present".
    d.device.present = false;
    world().link_down(d);
    return "";
  }
  if (cmd == "present" || cmd == "come-back") {
    d.device.present = true;
    world().update_link(d);
    return "";
  }
  if (cmd == "refuse-writes") {
    Refusal refusal;
    if (args.size() > 2) {
      const std::string& how = args[2];
      try {
        if (how.rfind("0x", 0) == 0) {
          refusal.error = static_cast<HRESULT>(std::stoul(how.substr(2), nullptr, 16));
        } else {
          refusal.status = std::stoi(how);
        }
      } catch (...) {
        return error("refuse-writes: want a GATT status or 0x and an HRESULT");
      }
    }
    d.refusal = refusal;
    return "";
  }
  if (cmd == "accept-writes") {
    d.refusal.reset();
    return "";
  }
  if (cmd == "layout") {
    if (args.size() < 3) return error("layout: missing layout name");
    auto layout = sim::parse_layout(args[2]);
    if (!layout) return error(layout.error());
    if (!d.device.chair) return error(args[1] + " is not a chair");
    d.device.layout = *layout;
    return "";
  }
  if (cmd == "writes") {
    std::string out;
    for (const auto& w : d.writes) out += w + "\n";
    return out;
  }
  if (cmd == "clear-writes") {
    d.writes.clear();
    return "";
  }
  if (cmd == "status") {
    nlohmann::ordered_json j;
    j["address"] = d.device.address;
    j["exported"] = true;
    j["present"] = d.device.present;
    j["connected"] = d.connected;
    j["servicesResolved"] = d.connected;
    j["notifying"] = d.cccd != 0;
    j["layout"] = sim::layout_name(d.device.layout);
    // A chair adds its own state after the device's, as in the simulator.
    if (d.model) j.update(nlohmann::ordered_json::parse(d.model->state_json()));
    return j.dump();
  }
  return error("unknown command '" + cmd + "'");
}

void announce() {
  std::vector<DeviceState> advertising;  // the fields an advertisement carries
  std::vector<Com<FakeWatcher>> watchers;
  {
    std::lock_guard lock(world().mutex);
    if (!world().options.powered) return;
    watchers = world().started_watchers;
    for (auto& [address, d] : world().devices) {
      if (!d.device.advertising || !d.device.present) continue;
      DeviceState copy;
      copy.device = d.device;
      copy.address = d.address;
      advertising.push_back(std::move(copy));
    }
  }
  if (watchers.empty()) return;
  std::vector<Com<abi::IBluetoothLEAdvertisementReceivedEventArgs>> all;
  for (const auto& d : advertising) all.push_back(make_received_args(d));
  world().events.post(std::chrono::milliseconds(0), [watchers, all] {
    for (auto& w : watchers) {
      for (auto& args : all) w->deliver(args.get());
    }
  });
}

void fail_call(const std::string& call, HRESULT hr, int times) {
  std::lock_guard lock(world().records_mutex);
  world().call_faults[call] = {hr, times};
}

void fail_operation(const std::string& call, HRESULT hr, int times) {
  std::lock_guard lock(world().records_mutex);
  world().operation_faults[call] = {{OperationFault::Fail, hr}, times};
}

void empty_operation(const std::string& call, int times) {
  std::lock_guard lock(world().records_mutex);
  world().operation_faults[call] = {{OperationFault::Empty, S_OK}, times};
}

void hang_operation(const std::string& call, int times) {
  std::lock_guard lock(world().records_mutex);
  world().operation_faults[call] = {{OperationFault::Hang, S_OK}, times};
}

std::vector<std::string> calls(size_t from) {
  std::lock_guard lock(world().records_mutex);
  if (from >= world().calls.size()) return {};
  return {world().calls.begin() + static_cast<std::ptrdiff_t>(from), world().calls.end()};
}

size_t call_count() {
  std::lock_guard lock(world().records_mutex);
  return world().calls.size();
}

std::vector<std::string> apartment_violations() {
  std::lock_guard lock(world().records_mutex);
  return world().apartment_violations;
}

int status_reads(const std::string& call) {
  std::lock_guard lock(world().records_mutex);
  auto it = world().status_reads.find(call);
  return it == world().status_reads.end() ? 0 : it->second;
}

std::vector<std::string> writes(const std::string& address) {
  auto parsed = parse_device_address(address);
  std::lock_guard lock(world().mutex);
  DeviceState* d = parsed ? world().find(*parsed) : nullptr;
  return d ? d->writes : std::vector<std::string>{};
}

sim::ChairState chair_state(const std::string& address) {
  auto parsed = parse_device_address(address);
  std::lock_guard lock(world().mutex);
  DeviceState* d = parsed ? world().find(*parsed) : nullptr;
  return d && d->model ? d->model->state() : sim::ChairState{};
}

bool device_connected(const std::string& address) {
  auto parsed = parse_device_address(address);
  std::lock_guard lock(world().mutex);
  DeviceState* d = parsed ? world().find(*parsed) : nullptr;
  return d && d->connected;
}

std::map<std::string, int> live_objects() {
  std::lock_guard lock(world().records_mutex);
  return world().live;
}

int live_registrations() {
  std::lock_guard lock(world().mutex);
  return world().registrations;
}

bool settle(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int quiet = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    // Twice in a row: a task that just ran may have posted the next one.
    quiet = world().operations.idle() && world().events.idle() ? quiet + 1 : 0;
    if (quiet >= 2) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

}  // namespace chair::fakert

namespace chair::ble::winrt {

// The fake runtime's activation: its own classes only; anything else is not registered.
HRESULT activation_factory(const wchar_t* class_name, REFIID iid, void** factory) {
  if (factory == nullptr) return E_POINTER;
  *factory = nullptr;
  const std::wstring name(class_name);
  if (HRESULT hr = fakert::world().enter("RoGetActivationFactory(" + sys::wide_to_utf8(name) + ")"); FAILED(hr)) {
    return hr;
  }
  IInspectable* found = fakert::streams_factory(name);
  if (!found) found = fakert::radio_factory(name);
  if (!found) found = fakert::gatt_factory(name);
  if (!found) return REGDB_E_CLASSNOTREG;
  return found->QueryInterface(iid, factory);
}

}  // namespace chair::ble::winrt
