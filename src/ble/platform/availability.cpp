#include <utility>

#include "ble/platform/platform.h"

namespace chair::ble {

Availability Availability::no_adapter(std::string detail) {
  std::string message = "未检测到蓝牙适配器 (" + detail + ")";
  return {State::NoAdapter, std::move(detail), std::move(message)};
}

Availability Availability::no_radio(std::string detail) {
  std::string message = "无法获取蓝牙无线电状态 (" + detail + ")";
  return {State::NoRadio, std::move(detail), std::move(message)};
}

Availability Availability::radio_off(std::string how_to_switch_on) {
  return {State::RadioOff, {}, std::move(how_to_switch_on)};
}

}  // namespace chair::ble
