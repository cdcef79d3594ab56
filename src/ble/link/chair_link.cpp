// The link record's operations: currency checks, teardown, the write path, the wait for a
// fresh status report and the notification handler.
#include "ble/link.h"

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ble/platform/wait_async.h"
#include "ble/protocol/frame.h"
#include "ble/protocol/status.h"
#include "main/events/event.h"
#include "main/service_state.h"

namespace chair::ble {

namespace {

const char* const kNotReady = "not connected or characteristic not found";

std::string gatt_status_text(GattStatus status) {
  return "GattCommunicationStatus(" + std::to_string(static_cast<int>(status)) + ")";
}

}  // namespace

bool is_current(ServiceState& state, uint64_t generation) {
  std::lock_guard lock(state.link.mutex);
  return state.link.open && state.link.generation == generation;
}

void teardown(ServiceState& state) {
  DevicePtr device;
  SessionPtr session;
  CharacteristicPtr notify_char;
  CharacteristicPtr write_char;
  int64_t token = 0;
  {
    std::lock_guard lock(state.link.mutex);
    auto& link = state.link;
    device = std::move(link.device);
    session = std::move(link.gattSession);
    notify_char = std::move(link.notifyChar);
    write_char = std::move(link.writeChar);
    link.device.reset();
    link.gattSession.reset();
    link.notifyChar.reset();
    link.writeChar.reset();
    token = std::exchange(link.notifyToken, 0);
    link.open = false;
    link.connected = false;
    link.ready = false;
    link.preferWithoutResponse = false;
    link.generation = 0;
    link.lastSwitch = 0;
    link.address.clear();
  }
  // Dropped outside the lock: the last reference may make the platform do work.
  write_char.reset();

  // Nothing left to re-assert once the chair is gone.
  state.thermal.set_thermal(false, 0, 0);

  // Every platform failure here is ignored: a teardown always leaves the record closed.
  // Registration first, then the session, then the device, so no notification arrives on a
  // half-closed link.
  if (notify_char && token != 0) (void)notify_char->remove_value_changed(token);
  if (session) (void)session->close();
  if (device) (void)device->close();
  notify_char.reset();
  session.reset();
  device.reset();

  state.rx.reset();
}

void link_lost(ServiceState& state, uint64_t generation, const std::string& message) {
  // A late failure of an old link must never close a newer one.
  if (!is_current(state, generation)) return;
  state.events.publish_log(message);
  teardown(state);
  state.events.publish_status("idle");
}

Status write_frame(ServiceState& state, std::span<const uint8_t> bytes) {
  CharacteristicPtr target;
  bool prefer_without_response = false;
  {
    std::lock_guard lock(state.link.mutex);
    if (!state.link.ready) return fail(kNotReady);
    // A chair without a write characteristic takes its frames on the notifying one.
    target = state.link.writeChar ? state.link.writeChar : state.link.notifyChar;
    if (!target) return fail(kNotReady);
    prefer_without_response = state.link.preferWithoutResponse;
  }

  state.events.publish_log("TX: " + hex_dump(bytes));

  const WriteOption order[2] = {
      prefer_without_response ? WriteOption::WithoutResponse : WriteOption::WithResponse,
      prefer_without_response ? WriteOption::WithResponse : WriteOption::WithoutResponse,
  };
  std::string pending_error;
  for (WriteOption option : order) {
    // A fresh buffer per attempt; if the bytes cannot even be put in one, the second
    // option would fail the same way.
    auto buffer = state.platform->create_buffer(bytes);
    if (!buffer) return buffer.take_error();
    auto result = wait_async(target->write_value_with_option_async(std::move(*buffer), option));
    if (!result) {
      pending_error = result.error();
      continue;
    }
    if (*result == GattStatus::Success) return {};
    pending_error = "status " + gatt_status_text(*result);
  }
  return fail(pending_error);
}

bool wait_for_status(ServiceState& state, uint64_t generation, uint64_t before) {
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    if (std::chrono::steady_clock::now() - start >= state.timings.status_wait) return false;
    if (!is_current(state, generation)) return false;
    if (state.statusCounter.load() != before) return true;
    std::this_thread::sleep_for(state.timings.status_check);
  }
}

void on_value_changed(ServiceState& state, const std::shared_ptr<ValueChangedArgs>& args) {
  if (!args) return;
  auto value = args->characteristic_value();
  if (!value || !*value) return;
  // An unreadable value still goes through the decoder as no bytes.
  std::vector<uint8_t> bytes;
  if (auto read = state.platform->read_buffer(*value)) bytes = std::move(*read);

  uint8_t last_switch = 0;
  {
    std::lock_guard lock(state.link.mutex);
    // Generations are not compared: teardown removes the registration, and anything that
    // still slips through after it finds the link closed here.
    if (!state.link.open) return;
    last_switch = state.link.lastSwitch;
  }

  RxResult rx = on_chair_bytes(state.rx, bytes, last_switch);

  if (rx.update) {
    {
      std::lock_guard lock(state.link.mutex);
      state.link.lastSwitch = rx.update->switchByte;
    }
    // Once per notification, however many reports it carried.
    state.statusCounter.fetch_add(1);
  }
  for (auto& line : rx.logs) state.events.publish_log(std::move(line));
  if (rx.update) state.events.publish(make_chair_event(std::move(*rx.update)));
}

}  // namespace chair::ble
