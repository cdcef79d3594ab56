#include "service/command_line.h"

namespace chair {

namespace {

std::optional<std::string> find_option(const std::vector<std::string>& args, const std::string& name) {
  const std::string joined = name + "=";
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == name) {
      if (i + 1 < args.size()) return args[i + 1];
      return std::nullopt;
    }
    if (args[i].rfind(joined, 0) == 0) return args[i].substr(joined.size());
  }
  return std::nullopt;
}

}  // namespace

std::optional<uint16_t> parse_port(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint32_t>(c - '0');
    if (value > 65535) return std::nullopt;
  }
  return static_cast<uint16_t>(value);
}

uint16_t find_port_option(const std::vector<std::string>& args) {
  auto value = find_option(args, "-port");
  if (!value) value = find_option(args, "--port");
  return value ? parse_port(*value).value_or(0) : 0;
}

}  // namespace chair
