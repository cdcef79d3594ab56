#include "main/service_state.h"

namespace chair {

std::string status_name(ServiceState& state) {
  {
    std::lock_guard lock(state.link.mutex);
    if (state.link.connected) return "connected";
    if (state.link.open) return "connecting";
  }
  std::lock_guard lock(state.devices.mutex);
  return state.devices.scanning ? "scanning" : "idle";
}

}  // namespace chair
