// Advertisement scanner: records advertising chairs in the device table.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "ble/platform/platform.h"
#include "common/result.h"

namespace chair {
struct ServiceState;
}

namespace chair::ble {

std::string format_address(uint64_t address);  // C0:FF:EE:01:02:0A
std::string short_uuid(const Uuid& uuid);       // 180f for the Bluetooth base range
// The scanner's name filter: leading Unicode white space ignored, then the product word
// "TAMRO" at the start, compared as the full Unicode upper-case form of the name.
bool is_chair_name(std::string_view name);

Result<std::shared_ptr<Watcher>> start_watcher(const std::shared_ptr<ServiceState>& state);
void stop_scanning(ServiceState& state);
void on_advertisement(ServiceState& state, const std::shared_ptr<AdvertisementArgs>& args);

}  // namespace chair::ble
