// A platform that lets no exception through, in either direction: every call catches what its
// backend throws (and answers with an error, or nothing), and every handler it hands to the
// backend catches what the caller's handler throws. The BlueZ backend is a module with a C++
// runtime of its own: an exception thrown on one side and unwound on the other ends the process,
// even inside catch (...). Both sides wrap what they hand across.
#pragma once

#include "ble/platform/platform.h"

namespace chair::ble {

PlatformPtr make_guarded_platform(PlatformPtr inner);

}  // namespace chair::ble
