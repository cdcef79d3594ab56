// What a black-box scenario asks of the installation it runs against, whichever platform
// stands behind the service: the simulator's control words, the chair's record of frames and
// state, the service's HTTP surface and its event journal. BluezRig (the simulated Bluetooth
// daemon on a private bus) and FakertRig (chair-service-fakert.exe under Wine) both offer it;
// RigTraits holds the little that differs: the texts the platform's own failures produce, and
// what each rig checks once a scenario is over.
#pragma once

#include <concepts>
#include <cstdlib>
#include <string>
#include <vector>

#include "bluez_rig.h"
#include "fakert_rig.h"

namespace chair::test {

template <class R>
concept ScenarioRig = requires(R rig, const std::string& text, const std::vector<std::string>& words) {
  { rig.ctl(words) } -> std::same_as<std::string>;
  { rig.sim_device(text) } -> std::same_as<std::string>;
  { rig.writes(text) } -> std::same_as<std::vector<std::string>>;
  { rig.frames(text) } -> std::same_as<std::vector<std::string>>;
  { rig.chair_status(text) } -> std::same_as<Json>;
  { rig.api(text) } -> std::same_as<Json>;
  { rig.api(text, text) } -> std::same_as<Json>;
  rig.connect(text, text);
  { rig.events() } -> std::same_as<Journal&>;
  { rig.service() } -> std::same_as<ServiceProcess&>;
};

template <ScenarioRig R>
struct RigTraits;

template <>
struct RigTraits<BluezRig> {
  using Options = RigOptions;
  static constexpr const char* kName = "BlueZ";
  static constexpr const char* kRadioOff = "蓝牙未开启，请在系统设置中打开蓝牙，或运行 bluetoothctl power on";
  // The daemon's answer to a write the chair refused.
  static constexpr const char* kRefusedWrite = "[org.bluez.Error.Failed] Operation failed with ATT error: 0x0e";
  // CHAIR_SERVICE_CMD would put another build of the service behind this rig.
  static bool available() {
    const char* other = std::getenv("CHAIR_SERVICE_CMD");
    return other == nullptr || *other == '\0';
  }
  static void finish(BluezRig&) {}
};

template <>
struct RigTraits<FakertRig> {
  using Options = FakertRigOptions;
  static constexpr const char* kName = "Windows";
  static constexpr const char* kRadioOff = "Windows 蓝牙未开启，请在「设置 → 蓝牙和其他设备」中打开蓝牙";
  // A write the chair answered with an error response ends in ProtocolError, both ways tried.
  static constexpr const char* kRefusedWrite = "status GattCommunicationStatus(2)";
  static bool available() { return FakertRig::available(); }
  static void finish(FakertRig& rig) { rig.expect_released(); }
};

}  // namespace chair::test
