// The entry of the module build of the backend (module.h).
#include "ble/bluez/bluez_platform.h"
#include "ble/bluez/module.h"

extern "C" __attribute__((visibility("default"))) void chair_bluez_make_platform(chair::ble::PlatformPtr& out) {
  out = chair::ble::make_bluez_platform();
}
