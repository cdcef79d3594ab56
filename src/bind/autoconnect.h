// Keeps the bound chair connected without being asked.
#pragma once

#include <memory>
#include <string>

namespace chair {
struct ServiceState;
}

namespace chair::bind {

void autoconnect_supervisor(std::shared_ptr<ServiceState> state);  // never returns
void autoconnect_attempt(const std::shared_ptr<ServiceState>& state);
void bind_then_connect(std::shared_ptr<ServiceState> state, std::string address);

// Detached-thread starters used by start-up and the binding routes. False when the
// thread could not be created; that is logged, never fatal.
bool start_autoconnect_supervisor(const std::shared_ptr<ServiceState>& state);
bool start_autoconnect_once(const std::shared_ptr<ServiceState>& state);
bool start_bind_then_connect(const std::shared_ptr<ServiceState>& state, const std::string& address);

}  // namespace chair::bind
