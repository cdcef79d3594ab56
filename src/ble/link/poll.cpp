#include "ble/link/poll.h"

#include "ble/protocol/commands.h"

namespace chair::ble {

namespace {
constexpr int kFailuresToLoseLink = 3;
}

void run_status_poll(const std::shared_ptr<LinkState>& state, uint64_t generation) {
  LinkState& s = *state;
  const Bytes query = query_frame();
  int failures = 0;
  for (;;) {
    // A closed or replaced link ends its worker without a word, as soon as it happens.
    if (!s.pause(generation, s.timings().poll_interval)) return;
    const auto thermal = s.poll_beat(generation);
    if (!thermal) return;

    // The chair drops an idle cooling or heating level on its own, so it is sent again on
    // every beat; these writes do not count as poll failures.
    for (const auto& frame : thermal_reassertion_frames(*thermal)) {
      (void)s.write_frame(frame, WriteTicket::link(generation));
    }

    const uint64_t before = s.status_count();
    auto written = s.write_frame(query, WriteTicket::link(generation));
    const bool answered = written && s.wait_for_status(generation, before);
    if (answered) {
      failures = 0;
      continue;
    }
    // A link that ended during the beat is no failure of the chair's.
    if (!s.current(generation)) return;
    // Only the first failure of a run is logged; one answer clears the run.
    if (failures == 0) {
      s.events().on_link_log(written ? std::string("status poll timeout")
                                     : "status poll write failed: " + written.error());
    }
    ++failures;

    if (failures >= kFailuresToLoseLink) {
      s.lost(generation, "status poll failed; reconnecting");
      return;
    }
  }
}

}  // namespace chair::ble
