// Feeds arbitrary notification bytes, cut into arbitrary pieces, to the receive path.
// Input: the carried-over switch byte, then pieces, each a length byte and that many bytes;
// the length byte FF stands for a link teardown instead.
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "ble/protocol/status.h"

namespace {

using namespace chair::ble;

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

bool flags_match(const ChairStatus& s) {
  const SwitchFlags f = switch_flags(s.switchByte);
  return s.btAudio == f.btAudio && s.motion == f.motion && s.headphone == f.headphone && s.seated == f.seated &&
         s.waterOn == f.waterOn && s.heating == f.heating;
}

// A frame cut before its trailer arrived has no " AA" at the end of its raw text; nothing else of a
// report may depend on where the stream was split.
std::optional<ChairStatus> without_trailer(std::optional<ChairStatus> s) {
  if (s) {
    while (s->raw.size() >= 3 && s->raw.ends_with(" AA")) s->raw.resize(s->raw.size() - 3);
  }
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  {
    const auto parsed = parse_frame(std::span(data, size));
    if (parsed) check(4 + parsed->payload_length < size, "checksum offset inside the frame");
  }

  constexpr uint8_t kTeardown = 0xFF;
  if (size == 0) return 0;
  const uint8_t carried = data[0];
  RxState pieces;
  Bytes stream;
  bool was_reset = false;
  for (size_t at = 1; at < size;) {
    const uint8_t marker = data[at++];
    if (marker == kTeardown) {
      pieces.reset();
      was_reset = true;
      continue;
    }
    const size_t len = std::min<size_t>(marker, size - at);
    const Bytes chunk(data + at, data + at + len);
    at += len;
    stream.insert(stream.end(), chunk.begin(), chunk.end());
    const RxResult r = on_chair_bytes(pieces, chunk, carried);
    check(pieces.rxBuffer.size() <= kMaxPendingRx, "receive buffer bound");
    if (!pieces.rxBuffer.empty()) check(pieces.rxBuffer.front() == kFrameHeader, "kept bytes begin with 55");
    if (r.update) {
      check(flags_match(*r.update), "flags equal the switch byte's bits");
      check(pieces.lastStatus == r.update, "last status is the returned update");
      for (const auto& line : r.logs) check(line.starts_with("RX: "), "log line form");
    }
  }

  if (!was_reset) {
    RxState whole;
    const RxResult w = on_chair_bytes(whole, stream, carried);
    check(whole.rxBuffer.size() <= kMaxPendingRx, "receive buffer bound (whole)");
    if (w.update) check(flags_match(*w.update), "flags equal the switch byte's bits (whole)");
    check(without_trailer(whole.lastStatus) == without_trailer(pieces.lastStatus),
          "splitting the stream changes the decoded status");
  }
  return 0;
}
