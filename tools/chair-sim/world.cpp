#include "world.h"

#include <algorithm>
#include <cstdio>

#include "ble/bluez/names.h"
#include "common/text.h"

namespace chair::sim {

namespace {

constexpr uint16_t kTestCompanyId = 0xFFFF;  // reserved for tests by the SIG

}  // namespace

using namespace ble::bluez;

bool CharSim::has_flag(const std::string& f) const { return std::find(flags.begin(), flags.end(), f) != flags.end(); }

CharSim* DeviceSim::find_char(const std::string& char_path) const {
  for (const auto& c : chars) {
    if (c->path == char_path) return c.get();
  }
  return nullptr;
}

std::map<uint16_t, sdbus::Variant> DeviceSim::manufacturer_data() const {
  const uint8_t tail = static_cast<uint8_t>(std::stoi(spec.address.substr(15), nullptr, 16));
  return {{kTestCompanyId, sdbus::Variant(std::vector<uint8_t>{spec.chair ? uint8_t{0xC4} : uint8_t{0x01}, tail})}};
}

World::World(sdbus::IConnection& bus_connection, Scheduler& sim_scheduler, SimOptions sim_options)
    : bus(bus_connection), scheduler(sim_scheduler), options(std::move(sim_options)), adapter_path(kSimAdapterPath) {
  powered = options.powered;
  for (const auto& spec : options.devices) {
    auto d = std::make_unique<DeviceSim>();
    d->spec = spec;
    d->path = device_path(adapter_path, spec.address);
    if (spec.replay) {
      d->replay = std::make_unique<ReplayChair>(spec.replay);
    } else if (spec.chair) {
      ChairModelOptions mo;
      mo.short_length = spec.short_length;
      mo.chunking = spec.chunking;
      mo.seed = spec.seed;
      d->model = std::make_unique<ChairModel>(mo);
      d->model->set_silent(spec.silent);
    }
    devices[spec.address] = std::move(d);
  }
}

DeviceSim* World::find(const std::string& address) {
  auto it = devices.find(address);
  if (it == devices.end()) it = devices.find(to_upper_ascii(address));
  return it == devices.end() ? nullptr : it->second.get();
}

Result<DeviceSim*> World::device_arg(const std::vector<std::string>& args, size_t index) {
  if (args.size() <= index) return fail(args[0] + ": missing device address");
  DeviceSim* d = find(args[index]);
  if (!d) return fail("unknown device " + args[index]);
  return d;
}

bool World::duplicate_data() const {
  return std::any_of(discovery_sessions.begin(), discovery_sessions.end(), [](const auto& s) { return s.second; });
}

void reply_ok(const Reply& reply) {
  if (reply) reply->returnResults();
}

void reply_error(const Reply& reply, const std::string& name, const std::string& message) {
  if (reply) reply->returnError(sdbus::Error(name, message));
}

void emit_changed(sdbus::IObject* object, const std::string& iface, const Props& changed,
                  const std::vector<std::string>& invalidated) {
  if (!object) return;
  auto signal = object->createSignal(kPropertiesIface, kPropertiesChanged);
  signal << iface << changed << invalidated;
  object->emitSignal(signal);
}

std::string sender_of(sdbus::IObject* object) {
  const sdbus::Message* m = object->getCurrentlyProcessedMessage();
  return m ? m->getSender() : std::string();
}

std::string handle_suffix(std::string_view kind, uint16_t handle) {
  char digits[8];
  std::snprintf(digits, sizeof digits, "%04x", handle);
  return std::string(kind) + digits;
}

}  // namespace chair::sim
