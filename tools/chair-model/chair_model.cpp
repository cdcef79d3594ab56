#include "tools/chair-model/chair_model.h"

#include <algorithm>
#include <array>

#include <nlohmann/json.hpp>

namespace chair::sim {

namespace {

constexpr uint8_t kAmbientTemp = 28;
constexpr uint8_t kTempPerLevel = 2;

ble::ChairStatus as_status(const ChairState& state) {
  ble::ChairStatus s;
  s.cold = state.cold;
  s.hot = state.hot;
  s.vibrate = state.vibrate;
  s.volume = state.volume;
  s.lumbar = state.lumbar;
  s.temp = state.temp;
  ble::set_switch(s, state.switchByte);
  return s;
}

}  // namespace

ChairModel::ChairModel(ChairModelOptions options)
    : options_(options), status_(as_status(options.initial)), rng_(options.seed) {
  if (options_.max_piece == 0) options_.max_piece = 1;
}

Bytes ChairModel::report_locked(uint8_t command, std::span<const uint8_t> payload) const {
  const auto length = static_cast<uint8_t>(payload.size() + (options_.short_length ? 0 : 1));
  Bytes frame{ble::kFrameHeader, command, ble::kFromChair, length};
  frame.insert(frame.end(), payload.begin(), payload.end());
  uint8_t checksum = 0;
  for (size_t i = 1; i < frame.size(); ++i) checksum ^= frame[i];
  frame.push_back(checksum);
  frame.push_back(ble::kFrameTrailer);
  return frame;
}

Bytes ChairModel::full_report_locked() const {
  const std::array<uint8_t, 7> payload{status_.cold,   status_.hot,  status_.vibrate,   status_.volume,
                                       status_.lumbar, status_.temp, status_.switchByte};
  return report_locked(ble::kQuery, payload);
}

Bytes ChairModel::full_report() const {
  std::lock_guard lock(mutex_);
  return full_report_locked();
}

void ChairModel::set_switch_byte_locked(uint8_t bits) {
  // The heating bit follows "water on and a heating level set".
  const bool heating = (bits & kWaterOn) && status_.hot > 0;
  ble::set_switch(status_, heating ? (bits | kHeating) : (bits & ~kHeating));
}

uint8_t ChairModel::set_level_locked(const ble::ChairFunction& function, uint8_t value) {
  const auto level = static_cast<uint8_t>(std::min<int64_t>(value, function.levels.max));
  status_.*function.report = level;
  if (!function.thermal) return level;
  // Cooling and heating exclude each other.
  if (level > 0) {
    for (const auto& other : ble::kChairFunctions)
      if (other.thermal && &other != &function) status_.*other.report = 0;
  }
  set_switch_byte_locked(status_.switchByte);
  return level;
}

uint8_t ChairModel::switch_locked(uint8_t value) {
  const uint8_t bits = status_.switchByte;
  switch (value) {
    case kSwitchWaterOn: set_switch_byte_locked(bits | kWaterOn); break;
    case kSwitchWaterOff: ble::set_switch(status_, bits & ~(kWaterOn | kHeating)); break;
    case kSwitchMotionOff: ble::set_switch(status_, bits & ~kMotion); break;
    case kSwitchAudioOff: ble::set_switch(status_, bits & ~kBtAudio); break;
    default: ble::set_switch(status_, value); break;
  }
  return status_.switchByte;
}

void ChairModel::apply_locked(uint8_t command, uint8_t value, Bytes& answers) {
  Bytes report;
  if (command == ble::kQuery) {
    report = full_report_locked();
  } else if (const ble::ChairFunction* function = ble::find_function(command)) {
    const uint8_t answer = function->has_levels() ? set_level_locked(*function, value) : switch_locked(value);
    const std::array<uint8_t, 1> payload{answer};
    report = report_locked(command, payload);
  }
  answers.insert(answers.end(), report.begin(), report.end());
}

std::vector<Bytes> ChairModel::chunk_locked(Bytes stream) {
  if (!options_.chunking) {
    if (stream.empty()) return {};
    return {std::move(stream)};
  }
  Bytes all = std::move(held_);
  held_.clear();
  all.insert(all.end(), stream.begin(), stream.end());
  if (all.empty()) return {};
  // Hold a fresh answer back now and then, so that it travels together with the next one.
  if (!stream.empty() && all.size() == stream.size() && rng_() % 3 == 0) {
    held_ = std::move(all);
    return {};
  }
  std::vector<Bytes> pieces;
  size_t at = 0;
  while (at < all.size()) {
    const size_t size = std::min(all.size() - at, 1 + rng_() % options_.max_piece);
    pieces.emplace_back(all.begin() + static_cast<ptrdiff_t>(at), all.begin() + static_cast<ptrdiff_t>(at + size));
    at += size;
  }
  return pieces;
}

std::vector<Bytes> ChairModel::on_write(std::span<const uint8_t> bytes) {
  std::lock_guard lock(mutex_);
  rx_.insert(rx_.end(), bytes.begin(), bytes.end());
  Bytes answers;
  // The chair cuts its input with the same rule the service applies to its own.
  for (;;) {
    const auto start = std::find(rx_.begin(), rx_.end(), ble::kFrameHeader);
    rx_.erase(rx_.begin(), start);
    if (rx_.size() < 5) break;
    const size_t length = rx_[3];
    if (rx_.size() < length + 5) break;
    const size_t frame_size =
        (rx_.size() > length + 5 && rx_[length + 5] == ble::kFrameTrailer) ? length + 6 : length + 5;
    const Bytes frame(rx_.begin(), rx_.begin() + static_cast<ptrdiff_t>(frame_size));
    rx_.erase(rx_.begin(), rx_.begin() + static_cast<ptrdiff_t>(frame_size));
    const auto info = ble::parse_frame(frame);
    if (!info || info->direction != ble::kToChair) continue;
    if (info->command != ble::kQuery && info->payload_length < 1) continue;
    const uint8_t value = info->payload_length > 0 ? frame[4] : 0;
    Bytes answer;
    apply_locked(info->command, value, answer);
    if (!silent_) answers.insert(answers.end(), answer.begin(), answer.end());
  }
  return chunk_locked(std::move(answers));
}

std::vector<Bytes> ChairModel::flush() {
  std::lock_guard lock(mutex_);
  if (held_.empty()) return {};
  std::vector<Bytes> out{std::move(held_)};
  held_.clear();
  return out;
}

void ChairModel::tick() {
  std::lock_guard lock(mutex_);
  int target = kAmbientTemp;
  if (status_.switchByte & kWaterOn) {
    if (status_.cold > 0)
      target -= kTempPerLevel * status_.cold;
    else if (status_.hot > 0)
      target += kTempPerLevel * status_.hot;
  }
  if (status_.temp < target)
    ++status_.temp;
  else if (status_.temp > target)
    --status_.temp;
}

void ChairModel::set_silent(bool silent) {
  std::lock_guard lock(mutex_);
  silent_ = silent;
}

bool ChairModel::silent() const {
  std::lock_guard lock(mutex_);
  return silent_;
}

ChairState ChairModel::state() const {
  std::lock_guard lock(mutex_);
  const ble::ChairStatus& s = status_;
  return ChairState{s.cold, s.hot, s.vibrate, s.volume, s.lumbar, s.temp, s.switchByte};
}

void ChairModel::set_state(const ChairState& state) {
  std::lock_guard lock(mutex_);
  status_ = as_status(state);
}

std::string ChairModel::state_json() const {
  std::lock_guard lock(mutex_);
  nlohmann::ordered_json j;
  for (const auto& function : ble::kChairFunctions) {
    if (function.has_levels()) j[std::string(function.name)] = status_.*function.report;
  }
  j["temp"] = status_.temp;
  j["switchByte"] = status_.switchByte;
  j["silent"] = silent_;
  return j.dump();
}

}  // namespace chair::sim
