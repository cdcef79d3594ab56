// Address texts and byte parsing shared by every route and component.
#include <gtest/gtest.h>

#include "common/address.h"
#include "common/hex.h"

namespace chair {
namespace {

TEST(FormatAddress, SixUpperCaseGroupsMostSignificantFirst) {
  struct Case {
    uint64_t value;
    const char* text;
  } cases[] = {
      {0xC0FFEE01020A, "C0:FF:EE:01:02:0A"},
      {0x000000000001, "00:00:00:00:00:01"},
      {0xFFFFFFFFFFFF, "FF:FF:FF:FF:FF:FF"},
      {0xABCD'C0FFEE01020A, "C0:FF:EE:01:02:0A"},  // only the low 48 bits are an address
  };
  for (auto& c : cases) EXPECT_EQ(format_address(c.value), c.text) << std::hex << c.value;
}

TEST(ParseAddress, StrictAndLenientForms) {
  struct Case {
    const char* text;
    std::optional<uint64_t> strict, lenient;
  } cases[] = {
      {"C0:FF:EE:01:02:0A", 0xC0FFEE01020A, 0xC0FFEE01020A}, {"c0:ff:ee:01:02:0a", 0xC0FFEE01020A, 0xC0FFEE01020A},
      {"C0FFEE01020A", std::nullopt, 0xC0FFEE01020A},        {"C0-FF-EE-01-02-0A", std::nullopt, 0xC0FFEE01020A},
      {"C0:FF:EE:01:02:0", std::nullopt, std::nullopt},      // eleven digits
      {"C0:FF:EE:01:02:0A:", std::nullopt, 0xC0FFEE01020A},  // a separator too many
      {"C0:FF:EE:01:02:0A0", std::nullopt, std::nullopt},    // thirteen digits
      {"C0:FF:EE:01:02:GA", std::nullopt, std::nullopt},     {"", std::nullopt, std::nullopt},
  };
  for (auto& c : cases) {
    EXPECT_EQ(parse_address(c.text), c.strict) << c.text;
    EXPECT_EQ(address_from_hex_digits(c.text), c.lenient) << c.text;
  }
}

TEST(CompactAddress, RemovesColonsAndUpperCases) {
  EXPECT_EQ(compact_address("c0:ff:ee:01:02:0a"), "C0FFEE01020A");
  EXPECT_EQ(compact_address("C0FFEE01020A"), "C0FFEE01020A");
  EXPECT_EQ(compact_address("::ab-cd::"), "AB-CD");
  EXPECT_EQ(compact_address(""), "");
}

TEST(ParseByte, DecimalAndHexadecimal) {
  struct Case {
    const char* text;
    int base;
    std::optional<uint8_t> value;
  } cases[] = {
      {"0", 10, 0},
      {"+255", 10, 255},
      {"255", 10, 255},
      {"256", 10, std::nullopt},
      {"-1", 10, std::nullopt},
      {"", 10, std::nullopt},
      {"+", 10, std::nullopt},
      {"1a", 10, std::nullopt},
      {"ff", 16, 0xFF},
      {"+40", 16, 0x40},
      {"100", 16, std::nullopt},
      {"0x40", 16, std::nullopt},
      {" 1", 10, std::nullopt},
      {"0000000000001", 10, 1},
  };
  for (auto& c : cases) EXPECT_EQ(parse_byte(c.text, c.base), c.value) << c.text << " base " << c.base;
}

}  // namespace
}  // namespace chair
