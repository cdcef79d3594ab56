// Small text helpers shared by every subsystem: trimming, case, UTF-8 checks.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace chair {

// ASCII white space as the HTTP reader and the query parameters understand it
// (space, tab, CR, LF, vertical tab, form feed).
bool is_ascii_space(char c);
std::string_view trim_ascii(std::string_view s);
std::string_view trim_ascii_end(std::string_view s);

// Unicode White_Space code points (U+0009..U+000D, U+0020, U+0085, U+00A0, U+1680,
// U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000) at both ends / the start.
std::string_view trim_unicode(std::string_view s);
std::string_view trim_unicode_start(std::string_view s);
// Nothing but Unicode white space (or nothing at all).
inline bool is_blank(std::string_view s) { return trim_unicode(s).empty(); }

std::string to_upper_ascii(std::string_view s);
std::string to_lower_ascii(std::string_view s);
// The same bytes but for the case of ASCII letters.
bool equal_ignoring_ascii_case(std::string_view a, std::string_view b);

bool is_valid_utf8(std::string_view s);
// Decodes bytes as UTF-8, replacing each maximal invalid subsequence with U+FFFD.
std::string sanitize_utf8(std::string_view bytes);

// Strict decimal parsing: optional single leading '+' (and '-' where signed),
// at least one digit, nothing else, no overflow.
bool parse_u64(std::string_view s, uint64_t& out);
bool parse_i32(std::string_view s, int32_t& out);

// A JSON string literal as the event stream and bind.json write it: \" \\ \b \t \n \f \r,
// other bytes below 0x20 as \u00xx (lower case); every other byte unchanged.
void append_json_string(std::string& out, std::string_view text);

}  // namespace chair
