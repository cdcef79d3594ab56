// The Bluetooth platform on Windows: the Windows Runtime Bluetooth LE classes, reached
// through their binary interface (no language projection needed).
#pragma once

#include "ble/platform/platform.h"

namespace chair::ble {

PlatformPtr make_winrt_platform();

}  // namespace chair::ble
