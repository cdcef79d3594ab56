// Reading binding and init-settings documents, and the exact file text.
#include <gtest/gtest.h>

#include <string>

#include "bind/binding_file.h"

namespace chair::bind {
namespace {

InitConfig levels(std::string water, int32_t cool, int32_t heat, int32_t lumbar, int32_t vibrate, int32_t volume) {
  return InitConfig{std::move(water), cool, heat, lumbar, vibrate, volume};
}

const InitConfig kZeroLevels = levels("cool", 0, 0, 0, 0, 0);

TEST(ParseBinding, AcceptsObjectAndArrayForms) {
  struct Case {
    std::string json;
    BindConfig want;
  };
  const Case cases[] = {
      {R"({"boundAddress":"AA:BB:CC:DD:EE:FF","boundName":"TAMRO X","autoConnect":true,
          "init":{"water":"heat","coolLevel":1,"heatLevel":2,"lumbar":3,"vibrate":4,"volume":5}})",
       {"AA:BB:CC:DD:EE:FF", "TAMRO X", true, levels("heat", 1, 2, 3, 4, 5)}},
      // Missing members of a stored record: no auto-connect, fresh init.
      {R"({"boundAddress":"A"})", {"A", "", false, InitConfig{}}},
      {"{}", {"", "", false, InitConfig{}}},
      // Unknown members are skipped whatever they hold, nested values included.
      {R"({"x":null,"boundName":"n","y":[1.5,{"z":"q"}],"autoConnect":true})", {"", "n", true, InitConfig{}}},
      // A name repeated inside what an unknown member holds is no repeated member.
      {R"({"boundAddress":"A","extra":{"a":1,"a":2}})", {"A", "", false, InitConfig{}}},
      {R"({"x":[{"k":1,"k":{"k":2,"k":3}}],"boundName":"n"})", {"", "n", false, InitConfig{}}},
      {R"({"init":{"water":"cool","extra":{"a":1,"a":2}}})", {"", "", false, kZeroLevels}},
      {R"(["A","N",true,{"water":"cool","x":{"a":1,"a":2}}])", {"A", "N", true, kZeroLevels}},
      // Missing levels inside init read as 0; water may be empty here (load mends it).
      {R"({"init":{"water":"cool"}})", {"", "", false, kZeroLevels}},
      {R"({"init":{"water":""}})", {"", "", false, levels("", 0, 0, 0, 0, 0)}},
      {R"({"init":["off",7]})", {"", "", false, levels("off", 7, 0, 0, 0, 0)}},
      // Array form, by position, 0..4 elements.
      {"[]", {"", "", false, InitConfig{}}},
      {R"(["A"])", {"A", "", false, InitConfig{}}},
      {R"(["A","N"])", {"A", "N", false, InitConfig{}}},
      {R"(["A","N",true])", {"A", "N", true, InitConfig{}}},
      {R"(["A","N",true,["heat",1,2,3,4,5]])", {"A", "N", true, levels("heat", 1, 2, 3, 4, 5)}},
      // White space around the value; escapes and raw UTF-8 in strings.
      {" \t\r\n{\"boundName\":\"\\u6905\\\"\\n\xE6\xA4\x85\"} \n\t\r ",
       {"", "\xE6\xA4\x85\"\n\xE6\xA4\x85", false, InitConfig{}}},
  };
  for (const auto& c : cases) {
    auto got = parse_binding(c.json);
    ASSERT_TRUE(got.ok()) << c.json << " -> " << got.error();
    EXPECT_EQ(*got, c.want) << c.json;
  }
}

TEST(ParseBinding, RejectsInvalidDocuments) {
  const std::string invalid[] = {
      "",
      "   ",
      "null",
      "true",
      "\"text\"",
      "42",
      "{",
      "{}}",
      "{} x",
      "{}{}",
      "{} \f",                 // form feed is not JSON white space
      std::string("{}\0", 3),  // a NUL byte must not end the input early
      std::string("{\"boundName\":\"a\0b\"}", 19),
      "\xEF\xBB\xBF{}",            // byte-order mark
      "{\"boundName\":\"\xFF\"}",  // invalid UTF-8
      "{/*c*/}",
      // Duplicates, known or not, at the record level and inside init.
      R"({"boundName":"a","boundName":"b"})",
      R"({"x":1,"x":2})",
      R"({"init":{"water":"cool","lumbar":1,"lumbar":1}})",
      R"({"init":{"water":"cool","x":1,"x":2}})",
      R"(["A","N",true,{"water":"a","water":"b"}])",
      // Wrong member types, null included.
      R"({"boundAddress":null})",
      R"({"boundAddress":1})",
      R"({"boundName":["a"]})",
      R"({"autoConnect":"true"})",
      R"({"autoConnect":1})",
      R"({"init":null})",
      R"({"init":"cool"})",
      R"({"init":{}})",  // water is required
      R"({"init":{"coolLevel":1}})",
      R"({"init":[]})",
      R"({"init":["cool",1,2,3,4,5,6]})",  // more than six
      R"({"init":[1]})",
      // Array form: more than four elements, wrong positional types.
      R"(["A","N",true,{"water":"cool"},1])",
      R"([1])",
      R"(["A",null])",
      R"(["A","N","yes"])",
  };
  for (const auto& text : invalid) {
    auto got = parse_binding(text);
    EXPECT_FALSE(got.ok()) << "accepted: " << text;
    if (!got.ok()) {
      EXPECT_FALSE(got.error().empty()) << text;
    }
  }
}

TEST(ParseInitConfig, LevelsAreStrictSigned32BitIntegers) {
  struct Case {
    std::string level;
    bool ok;
    int32_t value;
  };
  const Case cases[] = {
      {"0", true, 0},
      {"-0", true, 0},
      {"2147483647", true, 2147483647},
      {"-2147483648", true, -2147483647 - 1},
      {"2147483648", false, 0},
      {"-2147483649", false, 0},
      {"4294967295", false, 0},
      {"18446744073709551615", false, 0},
      {"18446744073709551616", false, 0},  // read as a float by the library
      {"1.0", false, 0},
      {"1e2", false, 0},
      {"-0.0", false, 0},
      {"\"5\"", false, 0},
      {"null", false, 0},
      {"true", false, 0},
      {"[5]", false, 0},
      {"05", false, 0},
      {"+5", false, 0},
  };
  for (const auto& c : cases) {
    for (const std::string& json :
         {R"({"water":"cool","volume":)" + c.level + "}", R"(["cool",0,0,0,0,)" + c.level + "]"}) {
      auto got = parse_init_config(json);
      ASSERT_EQ(got.ok(), c.ok) << json;
      if (c.ok) {
        EXPECT_EQ(got->volume, c.value) << json;
      }
    }
  }
}

TEST(ParseInitConfig, ObjectArrayAndMissingWater) {
  auto obj = parse_init_config(R"({"volume":5,"water":"heat","extra":{"a":[]},"coolLevel":-3})");
  ASSERT_TRUE(obj.ok()) << obj.error();
  EXPECT_EQ(*obj, levels("heat", -3, 0, 0, 0, 5));

  auto arr = parse_init_config(R"(["off",1,2,3,4,5])");
  ASSERT_TRUE(arr.ok()) << arr.error();
  EXPECT_EQ(*arr, levels("off", 1, 2, 3, 4, 5));

  auto only_water = parse_init_config(R"(["cool"])");
  ASSERT_TRUE(only_water.ok());
  EXPECT_EQ(*only_water, kZeroLevels);

  auto nested = parse_init_config(R"({"water":"off","extra":{"a":1,"a":[{"b":1,"b":2}]}})");
  ASSERT_TRUE(nested.ok()) << nested.error();
  EXPECT_EQ(*nested, levels("off", 0, 0, 0, 0, 0));

  for (const char* bad : {R"({"coolLevel":1})", "[]", R"({"water":null})", R"(["cool",1,2,3,4,5,6])",
                          R"({"water":"a","water":"b"})", R"({"water":"a","x":1,"x":1})", "\"cool\""}) {
    EXPECT_FALSE(parse_init_config(bad).ok()) << bad;
  }
}

std::string nested_arrays(size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

TEST(ParseBinding, NestingLimitIs128Levels) {
  // The record object is level 1, so an unknown member may hold 127 more levels.
  auto at_limit = parse_binding(R"({"x":)" + nested_arrays(127) + "}");
  EXPECT_TRUE(at_limit.ok()) << at_limit.error();
  auto over = parse_binding(R"({"x":)" + nested_arrays(128) + "}");
  ASSERT_FALSE(over.ok());
  EXPECT_NE(over.error().find("128"), std::string::npos) << over.error();

  std::string objects;
  for (int i = 0; i < 127; ++i) objects += R"({"a":)";
  objects += "1" + std::string(127, '}');
  EXPECT_TRUE(parse_binding(R"({"x":)" + objects + "}").ok());
  EXPECT_FALSE(parse_binding(R"({"x":{"a":)" + objects + "}}").ok());

  EXPECT_TRUE(parse_init_config(R"({"water":"cool","x":)" + nested_arrays(127) + "}").ok());
  EXPECT_FALSE(parse_init_config(R"({"water":"cool","x":)" + nested_arrays(128) + "}").ok());
}

TEST(ParseBinding, HugeNestingIsRefusedWithoutExhaustingTheStack) {
  const size_t depth = 100000;
  EXPECT_FALSE(parse_binding(std::string(depth, '[')).ok());
  EXPECT_FALSE(parse_binding(nested_arrays(depth)).ok());
  std::string objects;
  for (size_t i = 0; i < depth; ++i) objects += R"({"a":)";
  EXPECT_FALSE(parse_binding(objects).ok());
  EXPECT_FALSE(parse_init_config(nested_arrays(depth)).ok());
}

TEST(BindingFileText, ExactIndentedForm) {
  EXPECT_EQ(binding_file_text(BindConfig{}),
            "{\n"
            "  \"boundAddress\": \"\",\n"
            "  \"boundName\": \"\",\n"
            "  \"autoConnect\": true,\n"
            "  \"init\": {\n"
            "    \"water\": \"cool\",\n"
            "    \"coolLevel\": 10,\n"
            "    \"heatLevel\": 6,\n"
            "    \"lumbar\": 3,\n"
            "    \"vibrate\": 0,\n"
            "    \"volume\": 0\n"
            "  }\n"
            "}");

  BindConfig odd{"C0:FF:EE:01:02:0A", "a\"b\\c\n\t\x01\x1f/\x7f\xE6\xA4\x85", false,
                 levels("heat", -2147483647 - 1, 2147483647, -1, 0, 7)};
  EXPECT_EQ(binding_file_text(odd),
            "{\n"
            "  \"boundAddress\": \"C0:FF:EE:01:02:0A\",\n"
            "  \"boundName\": \"a\\\"b\\\\c\\n\\t\\u0001\\u001f/\x7f\xE6\xA4\x85\",\n"
            "  \"autoConnect\": false,\n"
            "  \"init\": {\n"
            "    \"water\": \"heat\",\n"
            "    \"coolLevel\": -2147483648,\n"
            "    \"heatLevel\": 2147483647,\n"
            "    \"lumbar\": -1,\n"
            "    \"vibrate\": 0,\n"
            "    \"volume\": 7\n"
            "  }\n"
            "}");
}

TEST(BindingFileText, RoundTripsThroughTheReader) {
  const BindConfig records[] = {
      BindConfig{},
      BindConfig{"AA:BB:CC:DD:EE:FF", "TAMRO \xE5\xBA\xA7\xE6\xA4\x85", false, levels("off", 1, 2, 3, 4, 5)},
      BindConfig{"", std::string("\x01\x02\b\f\r\"\\", 7), true, levels("", -5, 0, 0, 0, 2147483647)},
  };
  for (const auto& r : records) {
    auto back = parse_binding(binding_file_text(r));
    ASSERT_TRUE(back.ok()) << back.error();
    EXPECT_EQ(*back, r);
  }
}

}  // namespace
}  // namespace chair::bind
