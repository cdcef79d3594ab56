// How chairctl shows the service's records to a person: one readable line per event,
// tables of chairs, the binding.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace chairctl {

// Texts from the outside world (advertised names, log lines) go to a terminal: control
// characters are shown as \xNN instead of being obeyed. Invalid UTF-8 becomes U+FFFD.
std::string printable(std::string_view text);

// "HH:MM:SS" in local time.
std::string clock_text(std::chrono::system_clock::time_point when);

// One event record as a line without the time: "status connected (TAMRO X1)",
// "log TX: 55 01 ...", "chair cold=5 hot=0 ...". A record that is not JSON is shown as is.
std::string render_event(std::string_view record, bool color);

// The members of a chair record: "cold=5 hot=0 vibrate=0 volume=0 lumbar=3 temp=27
// switch=0x18 water=on heating=off seated=yes motion=off audio=off headphone=no".
std::string render_chair(const nlohmann::json& chair);

// The binding as "key  value" lines, for bind get.
std::string render_binding(const nlohmann::json& bind);

// The initial settings as bind init leaves them, one "key  value" line each; the levels in
// `missing` were not in the file the person gave, which the text says.
std::string render_init_settings(const nlohmann::json& init, const std::vector<std::string>& missing);

// What chairctl status shows: the members of the view it gathered ("link", "chair", "bind",
// and "bluetooth" and "timer" when the service offers them), one "key  value" line each.
std::string render_status(const nlohmann::json& view);

// The binding in the binding file's own form: two-space indentation, members in their
// declared order, unknown members kept after them, no line feed after the last brace.
std::string binding_file_text(const nlohmann::json& bind);

struct DeviceRow {
  std::string address;
  std::string name;
  int64_t rssi = 0;
  uint64_t hits = 0;
};

// A device record (as in events and /api/devices); false when it has no address.
bool device_row(const nlohmann::json& device, DeviceRow& row);
// Strongest signal first, then by address, so the table does not jump about.
void sort_rows(std::vector<DeviceRow>& rows);
// ADDRESS / NAME / RSSI / HITS, one line each, every line ended by a line feed.
std::string render_table(const std::vector<DeviceRow>& rows);
// One chair as a scan into a pipe reports it when first seen: address, name and signal
// separated by tabs (names may hold spaces), ended by a line feed.
std::string render_found_line(const DeviceRow& row);

}  // namespace chairctl
