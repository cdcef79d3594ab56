// Link state, the write path, notifications, the connection handshake and the status poll.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "ble/platform/platform.h"
#include "common/result.h"

namespace chair {
struct ServiceState;
}

namespace chair::ble {

bool is_current(ServiceState& state, uint64_t generation);
void teardown(ServiceState& state);
void link_lost(ServiceState& state, uint64_t generation, const std::string& message);
Status write_frame(ServiceState& state, std::span<const uint8_t> bytes);
bool wait_for_status(ServiceState& state, uint64_t generation, uint64_t before);
void on_value_changed(ServiceState& state, const std::shared_ptr<ValueChangedArgs>& args);

bool connect_chair(const std::shared_ptr<ServiceState>& state, const std::string& address);
void gatt_setup(std::shared_ptr<ServiceState> state, std::string address, std::string name,
                DevicePtr device, uint64_t generation);
void status_poll(std::shared_ptr<ServiceState> state, uint64_t generation);

}  // namespace chair::ble
