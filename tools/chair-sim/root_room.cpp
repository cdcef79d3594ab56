#include "root_room.h"

#include "ble/bluez/names.h"

namespace chair::sim {

RootRoom::RootRoom(World& world) : world_(world) {}

void RootRoom::export_root() {
  object_ = sdbus::createObject(world_.bus, ble::bluez::kRootPath);
  object_->addObjectManager();
}

void RootRoom::drop() { object_.reset(); }

}  // namespace chair::sim
