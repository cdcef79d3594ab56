// The chair link as its users see it: requests for a link, closing, the user's commands, the
// silent shutdown and the health check. The record and its transitions are in link_state.cpp.
#include "ble/link/chair_link.h"

#include <future>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ble/link/link_state.h"
#include "ble/protocol/function_lookup.h"
#include "ble/protocol/settings.h"
#include "ble/protocol/switch_bits.h"

namespace chair::ble {

namespace {

std::string incomplete_quiet_text(const std::vector<Bytes>& not_taken) {
  std::string names;
  for (const auto& frame : not_taken) {
    if (!names.empty()) names += ", ";
    const std::string_view name = function_name_of(frame);
    names += name.empty() ? std::string_view("unknown") : name;
  }
  return "silent shutdown incomplete: the chair may still be running (not switched off: " + names + ")";
}

}  // namespace

ChairLink::ChairLink(PlatformPtr platform, LinkEvents& events, LinkDirectory& directory, LinkTimings timings)
    : state_(std::make_shared<LinkState>(std::move(platform), events, directory, timings)) {}

ChairLink::~ChairLink() { state_->stop_and_wait(); }

void ChairLink::connect_async(const std::string& address, ConnectOrigin origin,
                              std::function<void(ConnectOutcome)> done) {
  state_->requests().submit(ConnectRequest{address, origin, std::move(done)});
}

bool ChairLink::connect(const std::string& address) {
  auto outcome = std::make_shared<std::promise<ConnectOutcome>>();
  auto result = outcome->get_future();
  connect_async(address, ConnectOrigin::User, [outcome](ConnectOutcome o) { outcome->set_value(o); });
  return result.get() == ConnectOutcome::Opened;
}

LinkView ChairLink::view() const { return state_->view(); }

bool ChairLink::is_current(uint64_t generation) const { return state_->current(generation); }

const LinkTimings& ChairLink::timings() const { return state_->timings(); }

void ChairLink::teardown() { state_->close(); }

bool ChairLink::drop(uint64_t generation) { return state_->close(generation); }

bool ChairLink::drop_handshake() { return state_->close_handshake(); }

Status ChairLink::send_level(uint8_t command, int64_t level) {
  auto frame = level_frame(command, level);
  if (!frame) return frame.take_error();
  if (command == kCold || command == kHot) {
    state_->user_thermal_level(command == kHot ? kModeHeating : kModeCooling, static_cast<uint8_t>(level));
  } else {
    state_->user_set(setting_of(command));
  }
  return state_->write_frame(*frame, WriteTicket::user());
}

Status ChairLink::send_switch(uint8_t bits) {
  if (bits == kSwitchWaterOff || bits == kSwitchWaterOn) state_->user_thermal_switch(bits == kSwitchWaterOn);
  return state_->write_frame(switch_frame(bits), WriteTicket::user());
}

Status ChairLink::send_query() { return state_->write_frame(query_frame(), WriteTicket::user()); }

Status ChairLink::send_raw(std::span<const uint8_t> bytes) { return state_->write_frame(bytes, WriteTicket::user()); }

QuietReport ChairLink::quiet() {
  LinkState& s = *state_;
  QuietReport report;
  if (s.begin_quiet()) {
    s.events().on_link_log("silent shutdown: turning off all chair functions...");
    // Every frame is tried even when one fails: a chair that hears only some of them is still
    // quieter than one that hears none. One that failed gets a second chance after the rest.
    auto send = [&](const std::vector<Bytes>& frames) {
      std::vector<Bytes> failed;
      for (const auto& frame : frames) {
        if (!s.write_frame(frame, WriteTicket::quiet())) failed.push_back(frame);
        std::this_thread::sleep_for(s.timings().silent_step);
      }
      return failed;
    };
    const auto failed = send(silent_frames());
    report.not_taken = failed.empty() ? failed : send(failed);
    if (report.not_taken.empty()) {
      s.events().on_link_log("chair entered silent state");
    } else {
      report.failure = incomplete_quiet_text(report.not_taken);
      s.events().on_link_log(report.failure);
    }
  }
  s.close();
  return report;
}

ChairLink::Health ChairLink::check_health(uint64_t generation, int readings, std::chrono::milliseconds pause) {
  // A current link always has its connection.
  ConnectionPtr connection = state_->connection_of(generation);
  if (!connection) return Health::Replaced;
  for (int reading = 0; reading < readings; ++reading) {
    auto connected = connection->connected();
    if (!connected) return Health::Lost;
    if (*connected) return Health::Healthy;
    if (!state_->current(generation)) return Health::Replaced;
    std::this_thread::sleep_for(pause);
  }
  return Health::Lost;
}

ThermalSnapshot ChairLink::thermal() const { return state_->thermal(); }

}  // namespace chair::ble
