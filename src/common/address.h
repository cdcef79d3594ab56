// Bluetooth device addresses as the service writes and reads them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace chair {

// Display form: six upper-case two-digit groups joined by ":" ("C0:FF:EE:01:02:0A").
std::string format_address(uint64_t address);

// Strict display form in either letter case; nullopt for anything else.
std::optional<uint64_t> parse_address(std::string_view text);

// Lenient: every character but 0-9, a-f, A-F is dropped; exactly twelve digits must remain.
std::optional<uint64_t> address_from_hex_digits(std::string_view text);

// Compact form used as a lookup key: every ":" removed, the rest upper case (no other check).
std::string compact_address(std::string_view text);

}  // namespace chair
