#include "sim_options.h"

#include <algorithm>
#include <cctype>

#include "common/text.h"

namespace chair::sim {

const char* const kSimUsage =
    "usage: chair-sim [--bus ADDRESS] [--chair SPEC]... [--device SPEC]...\n"
    "                 [--connect-delay MS] [--disconnect-delay MS] [--bluez-disconnect-delay]\n"
    "                 [--announce-interval MS] [--temporary-timeout MS] [--write-delay MS]\n"
    "                 [--mtu N] [--powered-off] [--replay FILE]\n"
    "       chair-sim ctl [--bus ADDRESS] COMMAND [ARGS...]\n"
    "       chair-sim --version\n"
    "SPEC: ADDRESS[,name=NAME][,alias=NAME][,paired][,known][,hidden][,absent][,silent][,short-length]\n"
    "      [,chunking][,seed=N][,layout=normal|indicate-only|write-only-with-notifier|foreign-char|no-data-char]\n"
    "      [,rssi=-N]\n"
    "ctl COMMAND: silent on|off [ADDR] | drop ADDR | present ADDR | refuse-writes ADDR ERROR MESSAGE |\n"
    "      accept-writes ADDR | hold-writes ADDR | release-writes ADDR | power on|off |\n"
    "      layout ADDR LAYOUT | remove ADDR | writes ADDR |\n"
    "      clear-writes ADDR | status ADDR | list | watch-writes\n";

namespace {

struct LayoutName {
  Layout layout;
  const char* name;
};
constexpr LayoutName kLayouts[] = {
    {Layout::kNormal, "normal"},
    {Layout::kIndicateOnly, "indicate-only"},
    {Layout::kWriteOnlyWithNotifier, "write-only-with-notifier"},
    {Layout::kForeignChar, "foreign-char"},
    {Layout::kNoDataChar, "no-data-char"},
};

Result<std::string> parse_address(const std::string& text) {
  const std::string out = to_upper_ascii(text);
  bool ok = out.size() == 17;
  for (size_t i = 0; ok && i < out.size(); ++i) {
    ok = (i % 3 == 2) ? out[i] == ':' : std::isxdigit(static_cast<unsigned char>(out[i])) != 0;
  }
  if (!ok) return fail("bad address '" + text + "' (want XX:XX:XX:XX:XX:XX)");
  return out;
}

Result<long long> parse_number(const std::string& what, const std::string& text, long long min, long long max) {
  int32_t value = 0;
  if (parse_i32(text, value) && value >= min && value <= max) return static_cast<long long>(value);
  return fail("bad " + what + " '" + text + "'");
}

}  // namespace

Result<Layout> parse_layout(const std::string& text) {
  for (const auto& l : kLayouts) {
    if (text == l.name) return l.layout;
  }
  return fail("unknown layout '" + text + "'");
}

const char* layout_name(Layout layout) {
  for (const auto& l : kLayouts) {
    if (l.layout == layout) return l.name;
  }
  return "?";
}

Result<DeviceSpec> parse_device_spec(const std::string& text, bool chair) {
  DeviceSpec spec;
  spec.chair = chair;
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    parts.push_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  auto address = parse_address(parts[0]);
  if (!address) return address.take_error();
  spec.address = *address;
  for (size_t i = 1; i < parts.size(); ++i) {
    const std::string& p = parts[i];
    const size_t eq = p.find('=');
    const std::string key = p.substr(0, eq);
    const std::string value = eq == std::string::npos ? "" : p.substr(eq + 1);
    if (key == "name" && eq != std::string::npos)
      spec.name = value;
    else if (key == "alias" && eq != std::string::npos)
      spec.alias = value;
    else if (p == "paired")
      spec.paired = spec.known = true;
    else if (p == "known")
      spec.known = true;
    else if (p == "hidden")
      spec.advertising = false;
    else if (p == "absent")
      spec.present = false;
    else if (p == "silent")
      spec.silent = true;
    else if (p == "short-length")
      spec.short_length = true;
    else if (p == "chunking")
      spec.chunking = true;
    else if (key == "seed") {
      auto n = parse_number("seed", value, 0, INT32_MAX);
      if (!n) return n.take_error();
      spec.seed = static_cast<uint32_t>(*n);
    } else if (key == "rssi") {
      auto n = parse_number("rssi", value, -127, -1);
      if (!n) return n.take_error();
      spec.rssi = static_cast<int16_t>(*n);
    } else if (key == "layout") {
      auto l = parse_layout(value);
      if (!l) return l.take_error();
      spec.layout = *l;
    } else {
      return fail("unknown device option '" + p + "'");
    }
  }
  return spec;
}

Result<SimOptions> parse_sim_args(const std::vector<std::string>& args) {
  SimOptions o;
  auto ms = [&](size_t& i, std::chrono::milliseconds& out) -> Status {
    if (i + 1 >= args.size()) return fail(args[i] + " needs a value");
    auto n = parse_number(args[i], args[i + 1], 0, 600000);
    if (!n) return n.take_error();
    out = std::chrono::milliseconds(*n);
    ++i;
    return {};
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    Status st;
    if (a == "--bus" && i + 1 < args.size()) {
      o.bus = args[++i];
    } else if ((a == "--chair" || a == "--device") && i + 1 < args.size()) {
      auto spec = parse_device_spec(args[++i], a == "--chair");
      if (!spec) return spec.take_error();
      const bool duplicate = std::any_of(o.devices.begin(), o.devices.end(),
                                         [&](const DeviceSpec& d) { return d.address == spec->address; });
      if (duplicate) return fail("device " + spec->address + " given twice");
      o.devices.push_back(*spec);
    } else if (a == "--connect-delay") {
      st = ms(i, o.connect_delay);
    } else if (a == "--disconnect-delay") {
      st = ms(i, o.disconnect_delay);
    } else if (a == "--bluez-disconnect-delay") {
      o.disconnect_delay = std::chrono::milliseconds(2000);
    } else if (a == "--announce-interval") {
      st = ms(i, o.announce_interval);
      if (st && o.announce_interval.count() < 10) return fail("--announce-interval must be at least 10");
    } else if (a == "--temporary-timeout") {
      st = ms(i, o.temporary_timeout);
    } else if (a == "--write-delay") {
      st = ms(i, o.write_delay);
    } else if (a == "--mtu" && i + 1 < args.size()) {
      auto n = parse_number("mtu", args[++i], 23, 517);
      if (!n) return n.take_error();
      o.mtu = static_cast<unsigned>(*n);
    } else if (a == "--replay" && i + 1 < args.size()) {
      o.replay_file = args[++i];
    } else if (a == "--powered-off") {
      o.powered = false;
    } else {
      return fail("unknown or incomplete option '" + a + "'");
    }
    if (!st) return st.take_error();
  }
  return o;
}

}  // namespace chair::sim
