// Texts the backend makes itself (the daemon's own errors keep their "[name] message" text).
#pragma once

namespace chair::ble::bluez {

inline constexpr const char* kNoAdapterText = "no Bluetooth adapter";
inline constexpr const char* kConnectionLostText = "the D-Bus connection was lost";
inline constexpr const char* kRestartedText = "the Bluetooth service restarted; the link is lost";
inline constexpr const char* kClosedText = "the connection is closed";
// For people, when the adapter is off: a Linux desktop has no Windows settings to point to.
inline constexpr const char* kRadioOffText = "蓝牙未开启，请在系统设置中打开蓝牙，或运行 bluetoothctl power on";

}  // namespace chair::ble::bluez
