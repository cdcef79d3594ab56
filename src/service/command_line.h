// The service's command line: its one option, the port.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace chair {

// A port number as the command line gives it: decimal digits only, leading zeros allowed,
// one optional leading "+", at most 65535; nullopt for anything else.
std::optional<uint16_t> parse_port(std::string_view text);

// "-port" first, then "--port"; each exact or joined with "="; a value that does not parse
// gives 0 without falling back to the other name.
uint16_t find_port_option(const std::vector<std::string>& args);

}  // namespace chair
