// A virtual chair: takes the bytes written to its data characteristic and answers with the
// notifications a real chair would send. No Bluetooth, no D-Bus; the simulator and the fake
// platform of the service's tests both drive it. All members are thread-safe.
//
// Behaviour:
// - Written bytes are reassembled into frames the way the service cuts its own receive stream
//   (first 0x55, length byte, trailer rule) and validated; frames not addressed to the chair
//   (direction other than 0x0A), bad frames and noise are dropped without an answer.
// - Query (command 1): a full report 55 01 0B L cold hot vibrate volume lumbar temp switch chk AA.
// - The protocol's level functions (cooling, heating, vibration, volume, lumbar): the level is
//   stored (values above the function's top level count as the top) and answered with a
//   single-value report 55 cmd 0B L v chk AA. Cooling and heating exclude each other: a cooling
//   level above 0 clears the heating level and the other way round.
// - Switch (command 7): 0x40 water on, 0x04 water off, 0x02 motion off, 0x01 Bluetooth audio off;
//   any other byte is taken as the new switch byte. The heating bit (5) follows "water on and a
//   heating level set". Answered with a command-7 single-value report carrying the new switch byte.
// - Commands of no function get no answer.
// - L is payload + 1 by default (the form the chair ships with); `short_length` selects L = payload.
// - Silent: frames are still applied, nothing is answered.
// - `tick()` moves the temperature byte one step towards the cooling/heating target.
// - Chunking: when enabled, the answers of one write are cut into pieces of random size, and a
//   write's answers may be held back and sent with the next write's answers in one notification
//   (`flush()` releases held-back bytes). The concatenated byte stream never changes.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "ble/protocol/frame.h"
#include "ble/protocol/functions.h"
#include "ble/protocol/status.h"
#include "ble/protocol/switch_bits.h"

namespace chair::sim {

using Bytes = chair::ble::Bytes;

// The switch byte's bits and the switch command's bytes are the protocol's own.
using ble::kBtAudio, ble::kMotion, ble::kHeadphone, ble::kSeated, ble::kWaterOn, ble::kHeating;
using ble::kSwitchAudioOff, ble::kSwitchMotionOff, ble::kSwitchWaterOff, ble::kSwitchWaterOn;

struct ChairState {
  uint8_t cold = 0;
  uint8_t hot = 0;
  uint8_t vibrate = 0;
  uint8_t volume = 0;
  uint8_t lumbar = 0;
  uint8_t temp = 28;             // raw temperature byte, drifts on tick()
  uint8_t switchByte = kSeated;  // somebody sits on a fresh chair

  bool operator==(const ChairState&) const = default;
};

struct ChairModelOptions {
  bool short_length = false;  // L = payload instead of payload + 1
  bool chunking = false;      // split answers and merge consecutive ones
  uint32_t seed = 1;          // chunking is deterministic for a given seed
  size_t max_piece = 16;      // largest piece when chunking (at least 1); pieces cross
                              // report boundaries when answers were merged
  ChairState initial;
};

class ChairModel {
 public:
  explicit ChairModel(ChairModelOptions options = {});

  // Bytes written to the chair; returns the notifications to send back, in order.
  std::vector<Bytes> on_write(std::span<const uint8_t> bytes);
  // Releases answers held back by chunking (one notification, or none).
  std::vector<Bytes> flush();
  // One step of temperature drift.
  void tick();

  void set_silent(bool silent);
  bool silent() const;
  ChairState state() const;
  void set_state(const ChairState& state);

  // The full report of the current state, as one frame.
  Bytes full_report() const;
  // The state as compact JSON: {"cold":..,"hot":..,...,"switchByte":..,"silent":..}.
  std::string state_json() const;

 private:
  Bytes report_locked(uint8_t command, std::span<const uint8_t> payload) const;
  Bytes full_report_locked() const;
  void apply_locked(uint8_t command, uint8_t value, Bytes& answers);
  uint8_t set_level_locked(const ble::ChairFunction& function, uint8_t value);
  uint8_t switch_locked(uint8_t value);
  void set_switch_byte_locked(uint8_t bits);
  std::vector<Bytes> chunk_locked(Bytes stream);

  mutable std::mutex mutex_;
  ChairModelOptions options_;
  // What the chair would report, kept as the report decodes so that the protocol's functions
  // find their fields in it; `raw` stays empty.
  ble::ChairStatus status_;
  bool silent_ = false;
  Bytes rx_;    // written bytes not yet forming a whole frame
  Bytes held_;  // answers held back for merging
  std::mt19937 rng_;
};

}  // namespace chair::sim
