#include "simulator.h"

#include "ble/bluez/names.h"

namespace chair::sim {

namespace {

constexpr std::chrono::milliseconds kTickInterval{1000};

}  // namespace

using namespace ble::bluez;

Simulator::Simulator(sdbus::IConnection& bluez_bus, sdbus::IConnection& control_bus, Scheduler& scheduler,
                     SimOptions options)
    : world_(bluez_bus, scheduler, std::move(options)),
      characteristics_(world_),
      services_(world_, characteristics_),
      devices_(world_, services_, characteristics_),
      adapter_(world_, devices_),
      root_(world_),
      control_(world_, control_bus, adapter_, devices_, services_, characteristics_) {}

void Simulator::start() {
  control_.export_control();
  name_watch_ = world_.bus.addMatch(std::string("type='signal',sender='") + kBusDaemonName + "',interface='" +
                                        kBusDaemonIface + "',member='" + kNameOwnerChanged + "'",
                                    [this](sdbus::Message& m) {
                                      try {
                                        std::string name, old_owner, new_owner;
                                        m >> name >> old_owner >> new_owner;
                                        if (!name.empty() && name[0] == ':' && new_owner.empty()) on_name_lost(name);
                                      } catch (...) {
                                      }
                                    });
  world_.scheduler.call([this] { start_world(); });
}

void Simulator::start_world() {
  root_.export_root();
  adapter_.export_adapter();
  for (auto& [address, d] : world_.devices) {
    if (d->spec.known) devices_.export_device(*d);
  }
  // Announcements and the chairs' temperature run for the life of the simulator.
  world_.scheduler.post_after(world_.options.announce_interval, [this] { announce_loop(); });
  world_.scheduler.post_after(kTickInterval, [this] { tick_loop(); });
}

void Simulator::announce_loop() {
  if (world_.stopped) return;
  adapter_.announce();
  world_.scheduler.post_after(world_.options.announce_interval, [this] { announce_loop(); });
}

void Simulator::tick_loop() {
  if (world_.stopped) return;
  for (auto& [address, d] : world_.devices) {
    if (d->model) d->model->tick();
  }
  world_.scheduler.post_after(kTickInterval, [this] { tick_loop(); });
}

void Simulator::stop() {
  world_.stopped = true;
  for (auto& [address, d] : world_.devices) {
    for (auto& c : d->chars) c->object.reset();
    for (auto& s : d->services) s->object.reset();
    d->object.reset();
  }
  adapter_.drop();
  root_.drop();
  control_.drop();
}

void Simulator::on_name_lost(const std::string& unique_name) {
  world_.scheduler.post([this, unique_name] {
    if (world_.stopped) return;
    adapter_.sender_left(unique_name);
    characteristics_.sender_left(unique_name);
  });
}

}  // namespace chair::sim
