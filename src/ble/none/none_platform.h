// The backend of a build without Bluetooth support: every operation fails cleanly, so
// the service runs and answers, and a scan start reports the missing adapter.
#pragma once

#include "ble/platform/platform.h"

namespace chair::ble {

inline constexpr std::string_view kNoBackendText = "no Bluetooth adapter (this build has no Bluetooth backend)";

PlatformPtr make_none_platform();

}  // namespace chair::ble
