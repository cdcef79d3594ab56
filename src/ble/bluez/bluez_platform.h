// The Linux backend: the platform operations over the Bluetooth daemon's D-Bus interface
// on the system bus.
#pragma once

#include "ble/platform/platform.h"

namespace chair::ble {

// Nothing is opened here: the bus connection is made at the first use and again after it
// broke, so the service starts and serves without a bus or a Bluetooth daemon, and works
// once one appears.
PlatformPtr make_bluez_platform();

}  // namespace chair::ble
