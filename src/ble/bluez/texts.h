// Error texts the backend makes itself (the daemon's own errors keep its "[name] message" text).
#pragma once

namespace chair::ble::bluez {

inline constexpr const char* kNoAdapterText = "no Bluetooth adapter";
inline constexpr const char* kConnectionLostText = "the D-Bus connection was lost";
inline constexpr const char* kRestartedText = "the Bluetooth service restarted; the link is lost";
inline constexpr const char* kClosedText = "the connection is closed";

}  // namespace chair::ble::bluez
