#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>

#include "ble/winrt/pnp_listing.h"

namespace chair::ble::winrt {
namespace {

using Names = std::map<std::string, std::string>;

std::optional<Names> parsed(std::string_view output) {
  auto map = parse_pnp_output(output);
  if (!map) return std::nullopt;
  return Names(map->begin(), map->end());
}

struct Case {
  const char* label;
  std::string output;
  std::optional<Names> expected;  // nullopt: the cache is left as it is
};

const std::optional<Names> kUnchanged = std::nullopt;

TEST(ParsePnpOutput, DocumentShapes) {
  const Case cases[] = {
      {"single object", R"({"id":"BTHLE\\DEV_C0FFEE01020A\\7&1","name":"TAMRO Chair"})",
       Names{{"C0FFEE01020A", "TAMRO Chair"}}},
      {"array", R"([{"id":"BTHLE\\DEV_C0FFEE01020A","name":"A"},{"id":"BTHLE\\DEV_112233445566","name":"B"}])",
       Names{{"C0FFEE01020A", "A"}, {"112233445566", "B"}}},
      {"null empties", "null", Names{}},
      {"empty array", " [ ] \r\n", Names{}},
      {"number", "42", Names{}},
      {"string", R"("BTHLE\\DEV_C0FFEE01020A")", Names{}},
      {"array of non-objects", R"([1,null,"x",[{"id":"DEV_C0FFEE01020A","name":"nested"}]])", Names{}},
      {"mixed elements", R"([7,{"id":"DEV_C0FFEE01020A","name":"ok"},null])", Names{{"C0FFEE01020A", "ok"}}},
      {"empty", "", kUnchanged},
      {"white space only", " \r\n\t ", kUnchanged},
      {"garbage", "Get-PnpDevice : not recognized", kUnchanged},
      {"truncated", R"([{"id":"DEV_C0FFEE01020A","name":"A"})", kUnchanged},
      {"trailing text", R"({"id":"DEV_C0FFEE01020A","name":"A"} x)", kUnchanged},
      {"two values", R"({"id":"DEV_C0FFEE01020A","name":"A"} {})", kUnchanged},
      {"lone surrogate escape", R"({"id":"DEV_C0FFEE01020A","name":"\ud800"})", kUnchanged},
  };
  for (const auto& c : cases) EXPECT_EQ(parsed(c.output), c.expected) << c.label;
}

TEST(ParsePnpOutput, InstanceIdentifiers) {
  const Case cases[] = {
      {"lower-case marker and digits", R"({"id":"bthle\\dev_c0ffee01020a\\7&1","name":"N"})",
       Names{{"C0FFEE01020A", "N"}}},
      {"11 digits", R"({"id":"BTHLE\\DEV_C0FFEE01020\\x","name":"N"})", Names{}},
      {"11 digits at the end", R"({"id":"DEV_C0FFEE01020","name":"N"})", Names{}},
      {"16 digits keep the first 12", R"({"id":"DEV_C0FFEE01020ABCDE","name":"N"})", Names{{"C0FFEE01020A", "N"}}},
      {"non-hex inside", R"({"id":"DEV_C0FFEE01G20A","name":"N"})", Names{}},
      {"only the first marker counts", R"({"id":"DEV_\\DEV_C0FFEE01020A","name":"N"})", Names{}},
      {"no marker", R"({"id":"BTHLE\\C0FFEE01020A","name":"N"})", Names{}},
      {"id number", R"({"id":12,"name":"N"})", Names{}},
      {"id null", R"({"id":null,"name":"N"})", Names{}},
      {"id missing", R"({"name":"N"})", Names{}},
      {"later duplicate wins", R"([{"id":"DEV_C0FFEE01020A","name":"old"},{"id":"dev_c0ffee01020a","name":"new"}])",
       Names{{"C0FFEE01020A", "new"}}},
      {"skipped duplicate does not erase",
       R"([{"id":"DEV_C0FFEE01020A","name":"kept"},{"id":"DEV_C0FFEE01020A","name":" "}])",
       Names{{"C0FFEE01020A", "kept"}}},
  };
  for (const auto& c : cases) EXPECT_EQ(parsed(c.output), c.expected) << c.label;
}

TEST(ParsePnpOutput, Names) {
  const Case cases[] = {
      {"blank", R"({"id":"DEV_C0FFEE01020A","name":"   "})", Names{}},
      {"null", R"({"id":"DEV_C0FFEE01020A","name":null})", Names{}},
      {"missing", R"({"id":"DEV_C0FFEE01020A"})", Names{}},
      {"not a string", R"({"id":"DEV_C0FFEE01020A","name":5})", Names{}},
      {"padded", R"({"id":"DEV_C0FFEE01020A","name":"  TAMRO X1 \t"})", Names{{"C0FFEE01020A", "TAMRO X1"}}},
      {"unicode padding", "{\"id\":\"DEV_C0FFEE01020A\",\"name\":\"\\u3000电竞椅\xC2\xA0\"}",
       Names{{"C0FFEE01020A", "电竞椅"}}},
      {"invalid bytes become U+FFFD", "{\"id\":\"DEV_C0FFEE01020A\",\"name\":\"TAMRO\xFF\xFE\"}",
       Names{{"C0FFEE01020A", "TAMRO\xEF\xBF\xBD\xEF\xBF\xBD"}}},
      {"invalid bytes outside strings", "\xFF[]", kUnchanged},
  };
  for (const auto& c : cases) EXPECT_EQ(parsed(c.output), c.expected) << c.label;
}

TEST(ParsePnpOutput, NestingLimit) {
  auto nested = [](size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  EXPECT_EQ(parsed(nested(128)), Names{});
  EXPECT_EQ(parsed(nested(129)), kUnchanged);
  EXPECT_EQ(parsed(nested(200000)), kUnchanged);
}

}  // namespace
}  // namespace chair::ble::winrt
