// The backend as a module of its own, which chair-service loads at its first Bluetooth call:
// the D-Bus library and the eight libraries it pulls in take longer to load than the rest of
// the service takes to start, and nothing before the address announcement needs them.
#pragma once

#include "ble/platform/platform.h"

namespace chair::ble {

// The module's file, in the folder of the executable that loads it.
inline constexpr const char* kBluezModuleFile = "chair-bluez.so";
// The one function the module exports: it puts a new backend into `out`.
inline constexpr const char* kBluezModuleEntry = "chair_bluez_make_platform";
using BluezModuleEntry = void (*)(PlatformPtr& out);

// A platform that loads the module at its first call and hands every call to the backend in
// it. When the module cannot be loaded, the adapter reads as missing with the loader's text,
// and every other call fails with it.
PlatformPtr make_loaded_bluez_platform();

}  // namespace chair::ble
