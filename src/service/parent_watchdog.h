// Ends the service when the process that started it is gone.
//
// The UI always ends the service itself; a service whose parent died is an orphan that
// would keep the chair cooling or heating and keep reconnecting to it for ever. So when
// the parent goes, the chair is quieted as "/api/shutdown" does and the process exits 0.
#pragma once

#include <memory>

namespace chair {

struct ServiceState;

// Does nothing when the parent is already init at start (started detached by hand).
void start_parent_watchdog(const std::shared_ptr<ServiceState>& state);

}  // namespace chair
