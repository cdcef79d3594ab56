// The backend as a module of its own, which chair-service loads at its first Bluetooth call:
// the D-Bus library and the eight libraries it pulls in take longer to load than the rest of
// the service takes to start, and nothing before the address announcement needs them.
#pragma once

#include <filesystem>

#include "ble/platform/platform.h"

namespace chair::ble {

// The module's file, in the folder of the executable that loads it.
inline constexpr const char* kBluezModuleFile = "chair-bluez.so";
// The one function the module exports: it puts a new backend into `out` (nothing when it
// cannot), and throws nothing.
inline constexpr const char* kBluezModuleEntry = "chair_bluez_make_platform";
using BluezModuleEntry = void (*)(PlatformPtr& out) noexcept;

// Where the service loads the module from: beside its own executable, or, when it cannot tell
// where that is, from the folder this build installs it in. Never the current folder.
std::filesystem::path bluez_module_path();

// A platform that loads the module at `file` at its first call and hands every call to the
// backend in it. When the module cannot be loaded (missing, not a readable regular file, not
// a module of ours, or making no backend), the adapter reads as missing with the loader's text,
// and every other call fails with it.
PlatformPtr make_loaded_bluez_platform(std::filesystem::path file = bluez_module_path());

}  // namespace chair::ble
