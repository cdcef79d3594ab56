// The service's command line.
#include <gtest/gtest.h>

#include <optional>

#include "service/command_line.h"

namespace chair {
namespace {

TEST(PortValue, DecimalDigitsUpTo65535) {
  struct {
    const char* text;
    std::optional<uint16_t> port;
  } cases[] = {
      {"8080", 8080},
      {"0043579", 43579},
      {"0000000000065535", 65535},
      {"+80", 80},
      {"0", 0},
      {"65535", 65535},
      {"65536", std::nullopt},
      {"99999999999999999999", std::nullopt},
      {"", std::nullopt},
      {"+", std::nullopt},
      {"-1", std::nullopt},
      {"0x10", std::nullopt},
      {" 80", std::nullopt},
      {"80 ", std::nullopt},
      {"++80", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_port(c.text), c.port) << c.text;
}
}  // namespace
}  // namespace chair
