// The root object "/": the object manager that lists every object of the daemon and announces
// objects as they come and go.
#pragma once

#include <memory>

#include "world.h"

namespace chair::sim {

class RootRoom {
 public:
  explicit RootRoom(World& world);

  // Before any other object: their announcements go out through this manager.
  void export_root();
  void drop();

 private:
  World& world_;
  std::unique_ptr<sdbus::IObject> object_;
};

}  // namespace chair::sim
