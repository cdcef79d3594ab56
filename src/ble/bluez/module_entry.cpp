// The entry of the module build of the backend (module.h).
#include "ble/bluez/bluez_platform.h"
#include "ble/bluez/module.h"
#include "ble/platform/guarded.h"

// Nothing may leave the module by an exception: its C++ runtime is not the loader's.
extern "C" __attribute__((visibility("default"))) void chair_bluez_make_platform(
    chair::ble::PlatformPtr& out) noexcept {
  try {
    out = chair::ble::make_guarded_platform(chair::ble::make_bluez_platform());
  } catch (...) {
    out.reset();
  }
}
