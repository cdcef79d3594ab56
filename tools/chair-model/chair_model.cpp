#include "tools/chair-model/chair_model.h"

#include <algorithm>
#include <array>

#include <nlohmann/json.hpp>

#include "ble/protocol/commands.h"

namespace chair::sim {

namespace {

constexpr uint8_t kMaxLevel = 10;
constexpr uint8_t kAmbientTemp = 28;
constexpr uint8_t kTempPerLevel = 2;

}  // namespace

ChairModel::ChairModel(ChairModelOptions options) : options_(options), state_(options.initial), rng_(options.seed) {
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

Bytes ChairModel::full_report() const {
  std::lock_guard lock(mutex_);
  const std::array<uint8_t, 7> payload{state_.cold,   state_.hot,  state_.vibrate,   state_.volume,
                                       state_.lumbar, state_.temp, state_.switchByte};
  return report_locked(ble::kQuery, payload);
}

void ChairModel::apply_locked(uint8_t command, uint8_t value, Bytes& answers) {
  auto heating_follows = [this] {
    const bool heating = (state_.switchByte & kWaterOn) && state_.hot > 0;
    state_.switchByte = heating ? (state_.switchByte | kHeating) : (state_.switchByte & ~kHeating);
  };
  const uint8_t level = std::min(value, kMaxLevel);
  uint8_t answer = level;
  switch (command) {
    case ble::kQuery: {
      const std::array<uint8_t, 7> payload{state_.cold,   state_.hot,  state_.vibrate,   state_.volume,
                                           state_.lumbar, state_.temp, state_.switchByte};
      const Bytes report = report_locked(ble::kQuery, payload);
      answers.insert(answers.end(), report.begin(), report.end());
      return;
    }
    case ble::kCold:
      state_.cold = level;
      if (level > 0) state_.hot = 0;
      heating_follows();
      break;
    case ble::kHot:
      state_.hot = level;
      if (level > 0) state_.cold = 0;
      heating_follows();
      break;
    case ble::kVibrate: state_.vibrate = level; break;
    case ble::kVolume: state_.volume = level; break;
    case ble::kLumbar: state_.lumbar = level; break;
    case ble::kSwitch:
      switch (value) {
        case kSwitchWaterOn:
          state_.switchByte |= kWaterOn;
          heating_follows();
          break;
        case kSwitchWaterOff: state_.switchByte &= ~(kWaterOn | kHeating); break;
        case kSwitchMotionOff: state_.switchByte &= ~kMotion; break;
        case kSwitchAudioOff: state_.switchByte &= ~kBtAudio; break;
        default: state_.switchByte = value; break;
      }
      answer = state_.switchByte;
      break;
    default: return;  // unknown commands get no answer
  }
  const std::array<uint8_t, 1> payload{answer};
  const Bytes report = report_locked(command, payload);
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
  if (state_.switchByte & kWaterOn) {
    if (state_.cold > 0)
      target -= kTempPerLevel * state_.cold;
    else if (state_.hot > 0)
      target += kTempPerLevel * state_.hot;
  }
  if (state_.temp < target)
    ++state_.temp;
  else if (state_.temp > target)
    --state_.temp;
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
  return state_;
}

void ChairModel::set_state(const ChairState& state) {
  std::lock_guard lock(mutex_);
  state_ = state;
}

std::string ChairModel::state_json() const {
  std::lock_guard lock(mutex_);
  nlohmann::ordered_json j;
  j["cold"] = state_.cold;
  j["hot"] = state_.hot;
  j["vibrate"] = state_.vibrate;
  j["volume"] = state_.volume;
  j["lumbar"] = state_.lumbar;
  j["temp"] = state_.temp;
  j["switchByte"] = state_.switchByte;
  j["silent"] = silent_;
  return j.dump();
}

}  // namespace chair::sim
