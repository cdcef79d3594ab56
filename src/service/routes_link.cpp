// Connection routes and the chair command routes: validate, encode, write, answer.
#include <optional>
#include <string>
#include <string_view>

#include "ble/link.h"
#include "ble/protocol/commands.h"
#include "ble/scanner.h"
#include "common/text.h"
#include "main/http.h"
#include "main/routes.h"
#include "main/service_state.h"

namespace chair {

namespace {

constexpr uint8_t kSwitchWaterOff = 0x04;
constexpr uint8_t kSwitchThermalOn = 0x40;

nlohmann::json write_reply(ServiceState& state, std::span<const uint8_t> bytes) {
  auto written = ble::write_frame(state, bytes);
  return written ? ok_reply() : error_reply(written.error());
}

struct Channel {
  std::string_view fn;
  uint8_t command;
  bool thermal;
  uint8_t mode;
};

constexpr Channel kChannels[] = {
    {"cold", ble::kCold, true, 0},      {"hot", ble::kHot, true, 1},          {"vibrate", ble::kVibrate, false, 0},
    {"volume", ble::kVolume, false, 0}, {"lumbar", ble::kLumbar, false, 0},
};

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// An unsigned byte: optional "+", digits of the base, nothing else, at most 255.
std::optional<uint8_t> parse_byte(std::string_view text, int base) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  unsigned value = 0;
  for (char c : text) {
    const int d = hex_digit(c);
    if (d < 0 || d >= base) return std::nullopt;
    value = value * base + d;
    if (value > 255) return std::nullopt;
  }
  return static_cast<uint8_t>(value);
}

std::optional<uint8_t> parse_switch_bits(std::string_view text) {
  text = trim_ascii(text);
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    return parse_byte(text.substr(2), 16);
  }
  return parse_byte(text, 10);
}

}  // namespace

nlohmann::json route_connect(const StatePtr& state, const HttpRequest& request) {
  const std::string* addr = request.param("addr");
  const std::string address = addr ? to_upper_ascii(trim_ascii(*addr)) : std::string();
  if (address.empty()) return error_reply("missing addr param");
  ble::stop_scanning(*state);
  // Success means the link is open; the handshake reports on its own through events.
  return ble::connect_chair(state, address) ? ok_reply() : error_reply("connect failed");
}

nlohmann::json route_disconnect(const StatePtr& state, const HttpRequest&) {
  bool open = false;
  {
    std::lock_guard lock(state->link.mutex);
    open = state->link.open;
  }
  if (!open) return error_reply("not connected");
  ble::teardown(*state);
  state->events.publish_status("idle");
  state->events.publish_log("disconnected");
  return ok_reply();
}

nlohmann::json route_cmd_intensity(const StatePtr& state, const HttpRequest& request) {
  const std::string* value_text = request.param("value");
  int32_t value = 0;
  if (!value_text || !parse_i32(*value_text, value)) return error_reply("invalid value");

  const std::string* fn = request.param("fn");
  const Channel* channel = nullptr;
  if (fn) {
    for (const auto& c : kChannels) {
      if (c.fn == *fn) channel = &c;
    }
  }
  if (!channel) return error_reply("invalid fn: " + (fn ? *fn : std::string()));

  auto frame = ble::level_frame(channel->command, value);
  if (!frame) return error_reply(frame.error());

  // Remembered before the write, and kept even if the write fails: the poll re-asserts it
  // once a chair is there.
  if (channel->thermal) state->thermal.set_thermal(true, channel->mode, static_cast<uint8_t>(value));
  return write_reply(*state, *frame);
}

nlohmann::json route_cmd_switch(const StatePtr& state, const HttpRequest& request) {
  const std::string* bits_text = request.param("bits");
  std::optional<uint8_t> bits = bits_text ? parse_switch_bits(*bits_text) : std::nullopt;
  if (!bits) return error_reply("invalid bits");

  if (*bits == kSwitchWaterOff) {
    state->thermal.set_thermal(false, 0, 0);
  } else if (*bits == kSwitchThermalOn) {
    const auto t = state->thermal.thermal_snapshot();
    state->thermal.set_thermal(true, t.mode, t.level);
  }
  return write_reply(*state, ble::switch_frame(*bits));
}

nlohmann::json route_cmd_query(const StatePtr& state, const HttpRequest&) {
  return write_reply(*state, ble::query_frame());
}

nlohmann::json route_cmd_raw(const StatePtr& state, const HttpRequest& request) {
  const std::string* hex = request.param("hex");
  // Sent exactly as given: no framing is added and no frame check is made.
  auto bytes = ble::raw_bytes(hex ? std::string_view(*hex) : std::string_view());
  if (!bytes) return error_reply(bytes.error());
  return write_reply(*state, *bytes);
}

}  // namespace chair
