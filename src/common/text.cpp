#include "common/text.h"

#include <cstdio>
#include <limits>

namespace chair {

bool is_ascii_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view trim_ascii_end(std::string_view s) {
  while (!s.empty() && is_ascii_space(s.back())) s.remove_suffix(1);
  return s;
}

std::string_view trim_ascii(std::string_view s) {
  while (!s.empty() && is_ascii_space(s.front())) s.remove_prefix(1);
  return trim_ascii_end(s);
}

namespace {

bool is_unicode_space(uint32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

// Decodes one code point at s[i]; returns its length, or 0 when the sequence is invalid.
size_t decode_utf8(std::string_view s, size_t i, uint32_t& cp) {
  auto b = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
  uint8_t c = b(i);
  if (c < 0x80) {
    cp = c;
    return 1;
  }
  size_t len;
  uint32_t min;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2, cp = c & 0x1F, min = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3, cp = c & 0x0F, min = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4, cp = c & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (i + len > s.size()) {
    // Report how far the truncated sequence is valid so the caller replaces it as one unit.
    return 0;
  }
  for (size_t k = 1; k < len; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(i + k) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

// Length of the maximal prefix of an invalid sequence at s[i] (at least 1), as the
// Unicode "substitution of maximal subparts" practice counts it.
size_t invalid_span(std::string_view s, size_t i) {
  auto b = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
  uint8_t c = b(i);
  size_t len;
  uint8_t lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 1;
  }
  size_t k = 1;
  for (; k < len && i + k < s.size(); ++k) {
    uint8_t x = b(i + k);
    if (k == 1 ? (x < lo || x > hi) : ((x & 0xC0) != 0x80)) break;
  }
  return k;
}

}  // namespace

std::string_view trim_unicode_start(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    uint32_t cp;
    size_t n = decode_utf8(s, i, cp);
    if (n == 0 || !is_unicode_space(cp)) break;
    i += n;
  }
  return s.substr(i);
}

std::string_view trim_unicode(std::string_view s) {
  s = trim_unicode_start(s);
  // Walk forward remembering the end of the last non-space code point.
  size_t i = 0, end = 0;
  while (i < s.size()) {
    uint32_t cp;
    size_t n = decode_utf8(s, i, cp);
    if (n == 0) {
      i += 1;
      end = i;
      continue;
    }
    i += n;
    if (!is_unicode_space(cp)) end = i;
  }
  return s.substr(0, end);
}

std::string to_upper_ascii(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

std::string to_lower_ascii(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

bool equal_ignoring_ascii_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

bool is_valid_utf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    uint32_t cp;
    size_t n = decode_utf8(s, i, cp);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string sanitize_utf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    uint32_t cp;
    size_t n = decode_utf8(s, i, cp);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      i += invalid_span(s, i);
    } else {
      out.append(s.substr(i, n));
      i += n;
    }
  }
  return out;
}

bool parse_u64(std::string_view s, uint64_t& out) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return false;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    uint64_t d = static_cast<uint64_t>(c - '0');
    if (v > (std::numeric_limits<uint64_t>::max() - d) / 10) return false;
    v = v * 10 + d;
  }
  out = v;
  return true;
}

bool parse_i32(std::string_view s, int32_t& out) {
  bool neg = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    neg = s.front() == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return false;
  int64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
    if (v > 2147483648LL) return false;
  }
  if (neg) v = -v;
  if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max()) return false;
  out = static_cast<int32_t>(v);
  return true;
}

void append_json_string(std::string& out, std::string_view text) {
  out += '"';
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case 0x08: out += "\\b"; break;
      case 0x09: out += "\\t"; break;
      case 0x0A: out += "\\n"; break;
      case 0x0C: out += "\\f"; break;
      case 0x0D: out += "\\r"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += ch;
        }
    }
  }
  out += '"';
}

}  // namespace chair
