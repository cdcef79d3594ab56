#include "ble/protocol/status.h"

#include <algorithm>

#include "ble/protocol/functions.h"
#include "ble/protocol/switch_bits.h"

namespace chair::ble {

namespace {

constexpr size_t kMinPending = 5;         // header, command, direction, length and one more byte
constexpr size_t kFullReportPayload = 7;  // cold, hot, vibrate, volume, lumbar, temp, switch
// After one unusually large notification the buffer gives its memory back.
constexpr size_t kKeepCapacity = 4096;

ChairStatus full_report(std::span<const uint8_t> frame, std::string raw) {
  ChairStatus s;
  s.cold = frame[4];
  s.hot = frame[5];
  s.vibrate = frame[6];
  s.volume = frame[7];
  s.lumbar = frame[8];
  s.temp = frame[9];
  set_switch(s, frame[10]);
  s.raw = std::move(raw);
  return s;
}

ChairStatus single_value(const std::optional<ChairStatus>& last, uint8_t carried_switch, const ChairFunction& function,
                         uint8_t value, std::string raw) {
  ChairStatus s;
  if (last) {
    s = *last;
  } else if (carried_switch != 0) {
    set_switch(s, carried_switch);
  }
  // The switch byte brings its six flags along.
  if (function.report == &ChairStatus::switchByte) {
    set_switch(s, value);
  } else {
    s.*function.report = value;
  }
  s.raw = std::move(raw);
  return s;
}

}  // namespace

SwitchFlags switch_flags(uint8_t bits) {
  SwitchFlags f;
  f.btAudio = bits & kBtAudio;
  f.motion = bits & kMotion;
  f.headphone = bits & kHeadphone;
  f.seated = bits & kSeated;
  f.waterOn = bits & kWaterOn;
  f.heating = bits & kHeating;
  return f;
}

void set_switch(ChairStatus& status, uint8_t bits) {
  const SwitchFlags f = switch_flags(bits);
  status.switchByte = bits;
  status.btAudio = f.btAudio;
  status.motion = f.motion;
  status.headphone = f.headphone;
  status.seated = f.seated;
  status.waterOn = f.waterOn;
  status.heating = f.heating;
}

void RxState::reset() {
  std::lock_guard lock(mutex);
  rxBuffer.clear();
  lastStatus.reset();
}

RxResult on_chair_bytes(RxState& rx, std::span<const uint8_t> bytes, uint8_t carried_switch) {
  RxResult result;
  std::lock_guard lock(rx.mutex);
  Bytes& buf = rx.rxBuffer;
  buf.insert(buf.end(), bytes.begin(), bytes.end());

  // Frames are cut by moving a cursor; the consumed front is erased once at the end, so a long
  // notification of noise and frames costs linear time, not a shift of the buffer per frame.
  size_t pos = 0;
  for (;;) {
    const auto header = std::find(buf.begin() + pos, buf.end(), kFrameHeader);
    if (header == buf.end()) {
      pos = buf.size();
      break;
    }
    pos = static_cast<size_t>(header - buf.begin());
    const size_t available = buf.size() - pos;
    if (available < kMinPending) break;
    const size_t length = buf[pos + 3];
    if (available < length + 5) break;
    // The length byte may or may not count the checksum; a trailer right where the longer reading
    // puts it decides for the longer frame, the checksum then settles the payload length.
    const size_t frame_size =
        (available > length + 5 && buf[pos + length + 5] == kFrameTrailer) ? length + 6 : length + 5;
    const std::span<const uint8_t> frame(buf.data() + pos, frame_size);
    pos += frame_size;

    std::string hex = hex_dump(frame);
    if (hex != rx.lastRxHex) {
      rx.lastRxHex = hex;
      result.logs.push_back("RX: " + hex);
    }

    const auto info = parse_frame(frame);
    if (!info || info->direction != kFromChair) continue;

    std::optional<ChairStatus> status;
    if (info->command == kQuery && info->payload_length >= kFullReportPayload) {
      status = full_report(frame, std::move(hex));
    } else if (const ChairFunction* function = find_function(info->command); function && info->payload_length >= 1) {
      status = single_value(rx.lastStatus, carried_switch, *function, frame[4], std::move(hex));
    }
    if (!status) continue;
    rx.lastStatus = *status;
    result.update = std::move(status);
  }

  buf.erase(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(pos));
  if (buf.capacity() > kKeepCapacity) buf.shrink_to_fit();
  return result;
}

}  // namespace chair::ble
