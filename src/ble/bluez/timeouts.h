// How long the backend waits for the daemon. Every call carries a timeout, all of them below
// the 20 s that a platform call may take; Connect gets longer because the kernel itself gives
// up an LE connection attempt only after about 20 s.
#pragma once

#include <chrono>

namespace chair::ble::bluez {

inline constexpr auto kCallTimeout = std::chrono::seconds(10);
inline constexpr auto kConnectTimeout = std::chrono::seconds(25);
// Connected and services resolved, once a connection was asked for.
inline constexpr auto kResolveTimeout = std::chrono::seconds(10);
// Discovery for a device the daemon does not know yet.
inline constexpr auto kLookupTimeout = std::chrono::seconds(10);
// Our own Disconnect still under way: a Connect sent before it ends would "succeed" on the
// dying link.
inline constexpr auto kDisconnectWait = std::chrono::seconds(5);

}  // namespace chair::ble::bluez
