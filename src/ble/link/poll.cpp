// The status poll: the only periodic traffic to the chair, and how a chair that has gone
// away is noticed.
#include <thread>

#include "ble/link.h"
#include "ble/protocol/commands.h"
#include "main/service_state.h"

namespace chair::ble {

namespace {
constexpr int kFailuresToLoseLink = 3;
}

void status_poll(std::shared_ptr<ServiceState> state_ptr, uint64_t generation) {
  ServiceState& state = *state_ptr;
  state.platform->init_thread();

  const auto query = query_frame();
  int failures = 0;
  for (;;) {
    std::this_thread::sleep_for(state.timings.poll_interval);

    {
      // A closed or replaced link ends its worker without a word.
      std::lock_guard lock(state.link.mutex);
      if (!state.link.open || !state.link.ready || state.link.generation != generation) return;
    }

    // The chair drops an idle cooling or heating level on its own, so it is sent again on
    // every beat; these writes do not count as poll failures.
    for (const auto& frame : thermal_reassertion_frames(state.thermal.thermal_snapshot())) {
      (void)write_frame(state, frame);
    }

    const uint64_t before = state.statusCounter.load();
    // Only the first failure of a run is logged; one answer clears the run.
    if (auto written = write_frame(state, query); written) {
      if (wait_for_status(state, generation, before)) {
        failures = 0;
      } else {
        if (failures == 0) state.events.publish_log("status poll timeout");
        ++failures;
      }
    } else {
      if (failures == 0) state.events.publish_log("status poll write failed: " + written.error());
      ++failures;
    }

    if (failures >= kFailuresToLoseLink) {
      link_lost(state, generation, "status poll failed; reconnecting");
      return;
    }
  }
}

}  // namespace chair::ble
