#include "tools/chairctl/render.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "bind/binding_file.h"
#include "common/text.h"

namespace chairctl {

namespace {

using json = nlohmann::json;

constexpr const char* kReset = "\x1b[0m";
constexpr const char* kBold = "\x1b[1m";
constexpr const char* kDim = "\x1b[2m";
constexpr const char* kRed = "\x1b[31m";
constexpr const char* kGreen = "\x1b[32m";
constexpr const char* kYellow = "\x1b[33m";
constexpr const char* kBlue = "\x1b[34m";
constexpr const char* kMagenta = "\x1b[35m";
constexpr const char* kCyan = "\x1b[36m";

constexpr int64_t kMaxLevel = 10;

// Members are read leniently: a record from a newer or older service may lack one or
// carry another type, and that must never end the watch.
std::string text_of(const json& j, const char* key) {
  auto it = j.find(key);
  return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}
int64_t int_of(const json& j, const char* key) {
  auto it = j.find(key);
  if (it == j.end()) return 0;
  if (it->is_number_integer()) return it->get<int64_t>();
  if (it->is_number_unsigned()) return static_cast<int64_t>(std::min<uint64_t>(it->get<uint64_t>(), INT64_MAX));
  return 0;
}
bool bool_of(const json& j, const char* key) {
  auto it = j.find(key);
  return it != j.end() && it->is_boolean() && it->get<bool>();
}
const json& object_of(const json& j, const char* key) {
  static const json empty = json::object();
  if (!j.is_object()) return empty;
  auto it = j.find(key);
  return it != j.end() && it->is_object() ? *it : empty;
}

std::string paint(bool color, const char* code, const std::string& text) { return color ? code + text + kReset : text; }

const char* status_color(const std::string& status) {
  if (status == "connected") return kGreen;
  if (status == "idle") return kDim;
  return kYellow;
}

// Log lines that tell of trouble stand out; the service's failure texts say so in words.
bool troubled(const std::string& log) {
  for (const char* word : {"failed", "timeout", "error", "reconnecting", "blocked", "lost"}) {
    if (log.find(word) != std::string::npos) return true;
  }
  return false;
}

std::string bind_summary(const json& bind) {
  const std::string address = text_of(bind, "boundAddress");
  const std::string name = text_of(bind, "boundName");
  std::string out = address.empty() ? "none" : printable(address);
  if (!name.empty()) out += " (" + printable(name) + ")";
  out += bool_of(bind, "autoConnect") ? " autoconnect=on" : " autoconnect=off";
  const json& init = object_of(bind, "init");
  out += " init water=" + printable(text_of(init, "water"));
  out += " cool=" + std::to_string(int_of(init, "coolLevel"));
  out += " heat=" + std::to_string(int_of(init, "heatLevel"));
  out += " lumbar=" + std::to_string(int_of(init, "lumbar"));
  out += " vibrate=" + std::to_string(int_of(init, "vibrate"));
  out += " volume=" + std::to_string(int_of(init, "volume"));
  return out;
}

// Columns on a terminal: CJK characters take two cells, everything else one.
size_t display_width(std::string_view utf8) {
  size_t width = 0;
  for (size_t i = 0; i < utf8.size();) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    uint32_t cp = c;
    size_t len = 1;
    if (c >= 0xF0 && i + 3 < utf8.size()) {
      len = 4;
      cp = (c & 0x07) << 18 | (utf8[i + 1] & 0x3F) << 12 | (utf8[i + 2] & 0x3F) << 6 | (utf8[i + 3] & 0x3F);
    } else if (c >= 0xE0 && i + 2 < utf8.size()) {
      len = 3;
      cp = (c & 0x0F) << 12 | (utf8[i + 1] & 0x3F) << 6 | (utf8[i + 2] & 0x3F);
    } else if (c >= 0xC0 && i + 1 < utf8.size()) {
      len = 2;
    }
    const bool wide = (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF) ||
                      (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
                      (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
                      (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x20000 && cp <= 0x3FFFD);
    width += wide ? 2 : 1;
    i += len;
  }
  return width;
}

std::string pad(const std::string& text, size_t width) {
  const size_t have = display_width(text);
  return have >= width ? text : text + std::string(width - have, ' ');
}

}  // namespace

std::string printable(std::string_view text) {
  const std::string clean = chair::sanitize_utf8(text);
  std::string out;
  out.reserve(clean.size());
  for (size_t i = 0; i < clean.size(); ++i) {
    const auto c = static_cast<unsigned char>(clean[i]);
    char buf[8];
    if (c < 0x20 || c == 0x7F) {
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    } else if (c == 0xC2 && i + 1 < clean.size() && static_cast<unsigned char>(clean[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(clean[i + 1]) <= 0x9F) {
      // C1 controls (U+0080..U+009F): some terminals obey them as escape sequences.
      std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned char>(clean[i + 1]));
      out += buf;
      ++i;
    } else {
      out += clean[i];
    }
  }
  return out;
}

std::string clock_text(std::chrono::system_clock::time_point when) {
  const std::time_t t = std::chrono::system_clock::to_time_t(when);
  std::tm local{};
  localtime_r(&t, &local);
  char buf[16];
  std::strftime(buf, sizeof buf, "%H:%M:%S", &local);
  return buf;
}

std::string render_chair(const json& chair) {
  auto level = [&](const char* key) { return std::string(key) + "=" + std::to_string(int_of(chair, key)); };
  auto flag = [&](const char* label, const char* key, const char* yes, const char* no) {
    return std::string(label) + "=" + (bool_of(chair, key) ? yes : no);
  };
  char switch_text[8];
  std::snprintf(switch_text, sizeof switch_text, "0x%02x", static_cast<unsigned>(int_of(chair, "switchByte") & 0xFF));
  std::string out = level("cold") + " " + level("hot") + " " + level("vibrate") + " " + level("volume") + " " +
                    level("lumbar") + " " + level("temp") + " switch=" + switch_text;
  out += " " + flag("water", "waterOn", "on", "off");
  out += " " + flag("heating", "heating", "on", "off");
  out += " " + flag("seated", "seated", "yes", "no");
  out += " " + flag("motion", "motion", "on", "off");
  out += " " + flag("audio", "btAudio", "on", "off");
  out += " " + flag("headphone", "headphone", "yes", "no");
  return out;
}

std::string render_event(std::string_view record, bool color) {
  const json event = json::parse(record, nullptr, false);
  if (event.is_discarded() || !event.is_object()) return printable(record);
  const std::string type = text_of(event, "type");

  if (type == "status") {
    const std::string status = text_of(event, "status");
    const std::string name = text_of(event, "name");
    std::string out = paint(color, kBold, "status") + " " + paint(color, status_color(status), printable(status));
    if (!name.empty()) out += " (" + printable(name) + ")";
    return out;
  }
  if (type == "log") {
    const std::string log = text_of(event, "log");
    return paint(color, kDim, "log") + " " + (troubled(log) ? paint(color, kRed, printable(log)) : printable(log));
  }
  if (type == "chair") return paint(color, kCyan, "chair") + " " + render_chair(object_of(event, "chair"));
  if (type == "device") {
    const json& device = object_of(event, "device");
    return paint(color, kBlue, "device") + " " + printable(text_of(device, "address")) + " \"" +
           printable(text_of(device, "name")) + "\" rssi=" + std::to_string(int_of(device, "rssi")) +
           " hits=" + std::to_string(int_of(device, "hits"));
  }
  if (type == "bind") return paint(color, kMagenta, "bind") + " " + bind_summary(object_of(event, "bind"));
  if (type == "autoconnect") {
    return paint(color, kYellow, "autoconnect") + " " + printable(text_of(event, "status")) + " " +
           bind_summary(object_of(event, "bind"));
  }
  return printable(type.empty() ? std::string("event") : type) + " " + printable(record);
}

std::string render_binding(const json& bind) {
  const json& init = object_of(bind, "init");
  std::string out;
  const std::string address = text_of(bind, "boundAddress");
  out += "address      " + (address.empty() ? std::string("(none)") : printable(address)) + "\n";
  out += "name         " + printable(text_of(bind, "boundName")) + "\n";
  out += std::string("autoconnect  ") + (bool_of(bind, "autoConnect") ? "on" : "off") + "\n";
  out += "water        " + printable(text_of(init, "water")) + "\n";
  out += "coolLevel    " + std::to_string(int_of(init, "coolLevel")) + "\n";
  out += "heatLevel    " + std::to_string(int_of(init, "heatLevel")) + "\n";
  out += "lumbar       " + std::to_string(int_of(init, "lumbar")) + "\n";
  out += "vibrate      " + std::to_string(int_of(init, "vibrate")) + "\n";
  out += "volume       " + std::to_string(int_of(init, "volume")) + "\n";
  return out;
}

std::string render_init_settings(const json& init, const std::vector<std::string>& missing) {
  std::string out = "Initial settings, applied after every connection:\n";
  out += "water      " + printable(text_of(init, "water")) + "\n";
  for (const char* key : {"coolLevel", "heatLevel", "lumbar", "vibrate", "volume"}) {
    const int64_t level = int_of(init, key);
    std::string line = pad(key, 11) + std::to_string(level);
    const bool absent = std::find(missing.begin(), missing.end(), key) != missing.end();
    // The chair is sent levels 1 to 10 only: 0 leaves its own setting, more is taken as 10.
    if (absent) {
      line += "  (not in the file: 0, so not applied)";
    } else if (level <= 0) {
      line += "  (not applied)";
    } else if (level > kMaxLevel) {
      line += "  (applied as " + std::to_string(kMaxLevel) + ")";
    }
    out += line + "\n";
  }
  return out;
}

std::string render_status(const json& view) {
  const json& link = object_of(view, "link");
  const std::string status = text_of(link, "status");
  const std::string name = text_of(link, "name");
  const std::string address = text_of(link, "address");
  std::string chair_name = printable(name.empty() ? address : name);
  if (!name.empty() && !address.empty()) chair_name += " (" + printable(address) + ")";
  std::string out = "link       " + printable(status.empty() ? std::string("unknown") : status);
  if (!chair_name.empty()) out += (status == "connected" ? " to " : " ") + chair_name;
  out += "\n";

  const json& chair = object_of(view, "chair");
  if (chair.empty()) {
    out += std::string("chair      ") + (status == "connected" ? "no report yet" : "no report (not connected)") + "\n";
  } else {
    std::string levels;
    for (const char* key : {"cold", "hot", "vibrate", "volume", "lumbar", "temp"}) {
      levels += std::string(levels.empty() ? "" : " ") + key + "=" + std::to_string(int_of(chair, key));
    }
    out += "levels     " + levels + "\n";
    const std::string all = render_chair(chair);
    out += "switches   " + all.substr(all.find(" switch=") + 1) + "\n";
  }

  const json& bind = object_of(view, "bind");
  const std::string bound = text_of(bind, "boundAddress");
  const std::string bound_name = text_of(bind, "boundName");
  out += "bound      " + (bound.empty() ? std::string("none") : printable(bound));
  if (!bound_name.empty()) out += " (" + printable(bound_name) + ")";
  out += std::string(", auto-connect ") + (bool_of(bind, "autoConnect") ? "on" : "off") + "\n";
  const json& init = object_of(bind, "init");
  out += "init       water=" + printable(text_of(init, "water")) +
         " cool=" + std::to_string(int_of(init, "coolLevel")) + " heat=" + std::to_string(int_of(init, "heatLevel")) +
         " lumbar=" + std::to_string(int_of(init, "lumbar")) + " vibrate=" + std::to_string(int_of(init, "vibrate")) +
         " volume=" + std::to_string(int_of(init, "volume")) + "\n";

  if (view.contains("bluetooth")) {
    const json& bluetooth = object_of(view, "bluetooth");
    const std::string message = text_of(bluetooth, "message");
    out += "bluetooth  " + printable(text_of(bluetooth, "state"));
    if (!message.empty()) out += " (" + printable(message) + ")";
    out += "\n";
  }
  if (view.contains("timer")) {
    const int64_t seconds = int_of(object_of(view, "timer"), "seconds");
    char left[48];
    std::snprintf(left, sizeof left, "%lld:%02lld left", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
    out += std::string("timer      ") + (seconds > 0 ? left : "not running") + "\n";
  }
  return out;
}

std::string binding_file_text(const json& bind) { return chair::bind::binding_text(bind, chair::kFileLayout); }

bool device_row(const json& device, DeviceRow& row) {
  if (!device.is_object()) return false;
  row.address = text_of(device, "address");
  if (row.address.empty()) return false;
  row.name = text_of(device, "name");
  row.rssi = int_of(device, "rssi");
  row.hits = static_cast<uint64_t>(std::max<int64_t>(0, int_of(device, "hits")));
  return true;
}

void sort_rows(std::vector<DeviceRow>& rows) {
  std::sort(rows.begin(), rows.end(), [](const DeviceRow& a, const DeviceRow& b) {
    if (a.rssi != b.rssi) return a.rssi > b.rssi;
    return a.address < b.address;
  });
}

std::string render_table(const std::vector<DeviceRow>& rows) {
  size_t name_width = 4;
  std::vector<std::string> names;
  for (const auto& r : rows) {
    names.push_back(printable(r.name));
    name_width = std::max(name_width, display_width(names.back()));
  }
  std::string out = pad("ADDRESS", 19) + pad("NAME", name_width + 2) + "RSSI  HITS\n";
  for (size_t i = 0; i < rows.size(); ++i) {
    char numbers[48];
    std::snprintf(numbers, sizeof numbers, "%4lld  %llu", static_cast<long long>(rows[i].rssi),
                  static_cast<unsigned long long>(rows[i].hits));
    out += pad(printable(rows[i].address), 19) + pad(names[i], name_width + 2) + numbers + "\n";
  }
  return out;
}

std::string render_found_line(const DeviceRow& row) {
  return printable(row.address) + "\t" + printable(row.name) + "\t" + std::to_string(row.rssi) + "\n";
}

}  // namespace chairctl
