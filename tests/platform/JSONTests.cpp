#include "platform/JSON.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

using platform::Array;
using platform::Dictionary;
using platform::Error;
using platform::JSON;
using platform::Object;

std::string nested(size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

TEST(JSONTests, ValuesKeepTheirKinds) {
  Error error;
  Object value = JSON::parse(
      R"({"s": "caf\u00e9", "t": true, "f": false, "n": null, "i": 1234567, "neg": -9223372036854775808,
          "d": 1.5, "whole": 1.0, "huge": 18446744073709551615, "a": [1, "x", {}], "dup": 1, "dup": 2})",
      &error);
  EXPECT_TRUE(error.empty());
  const Object expected(Dictionary{
      {"s", Object("caf\xC3\xA9")}, {"t", Object(true)}, {"f", Object(false)}, {"n", Object()},
      {"i", Object(1234567)}, {"neg", Object(static_cast<long long>(INT64_MIN))}, {"d", Object(1.5)},
      {"whole", Object(1.0)}, {"huge", Object(18446744073709551615.0)},
      {"a", Object(Array{Object(1), Object("x"), Object(Dictionary{})})}, {"dup", Object(2)}});
  EXPECT_EQ(value, expected);
  EXPECT_TRUE(value["i"].isInteger());
  EXPECT_TRUE(value["neg"].isInteger());
  EXPECT_TRUE(value["whole"].isDouble());
  EXPECT_TRUE(value["huge"].isDouble());
  EXPECT_TRUE(value["t"].isBool());
  EXPECT_EQ(JSON::parse(nested(512)).arrayValue().size(), 1u);
}

TEST(JSONTests, TextsThatAreNotJSONAreRefused) {
  const std::string cases[] = {
      "",           "{",           R"({"a":1,})", R"({"a":1} x)", "[1,2",        "{'a':1}",
      "{\"a\":\"\xFF\"}", "1e400", "-1e400",      "[NaN]",       nested(513),   "\"\\ud800x\"",
  };
  for (const auto& text : cases) {
    SCOPED_TRACE(text.substr(0, 20));
    Error error;
    EXPECT_TRUE(JSON::parse(text, &error).isNull());
    EXPECT_EQ(error.domain, "platform.JSON");
    EXPECT_EQ(error.code, 1);
  }
}

TEST(JSONTests, ObjectReadersRefuseEveryOtherTopLevel) {
  for (const char* text : {"[]", "\"x\"", "1", "true", "null", "[{\"a\":1}]"}) {
    SCOPED_TRACE(text);
    Error error;
    EXPECT_EQ(JSON::parseObject(std::string(text), &error), std::nullopt);
    EXPECT_EQ(error.domain, "platform.JSON");
    EXPECT_EQ(error.code, 2);
  }
  Error error;
  EXPECT_EQ(JSON::parseObject(std::string("{\"a\""), &error), std::nullopt);
  EXPECT_EQ(error.code, 1);
  const std::string reply = R"({"deeplink": "app://x"})";
  auto object = JSON::parseObject(platform::Data(reply.begin(), reply.end()));
  ASSERT_TRUE(object.has_value());
  EXPECT_EQ(JSON::string(*object, "deeplink"), "app://x");
  EXPECT_EQ(JSON::parseObject(std::string("{}")), Dictionary{});
}

TEST(JSONTests, ReadsAnswerOnlyForTheirOwnType) {
  const Dictionary object = *JSON::parseObject(std::string(
      R"({"s": "x", "t": true, "f": false, "i": 7, "d": 2.5, "e": 1e3, "tenth": 0.1, "o": {}, "a": [], "n": null})"));
  EXPECT_EQ(JSON::string(object, "s"), "x");
  EXPECT_EQ(JSON::boolean(object, "t"), true);
  EXPECT_EQ(JSON::boolean(object, "f"), false);
  EXPECT_EQ(JSON::integer(object, "i"), 7);
  EXPECT_EQ(JSON::number(object, "d"), 2.5);
  EXPECT_EQ(JSON::number(object, "i"), 7.0);
  EXPECT_NE(JSON::object(object, "o"), nullptr);
  EXPECT_NE(JSON::array(object, "a"), nullptr);

  const std::pair<const char*, const char*> wrongType[] = {
      {"string", "i"}, {"boolean", "i"}, {"integer", "d"}, {"integer", "e"}, {"integer", "t"}, {"number", "t"},
      {"number", "s"}, {"object", "a"}, {"array", "o"},    {"string", "n"},  {"integer", "absent"},
  };
  for (const auto& [reader, key] : wrongType) {
    SCOPED_TRACE(std::string(reader) + " " + key);
    bool answered = std::string(reader) == "string"    ? JSON::string(object, key).has_value()
                    : std::string(reader) == "boolean" ? JSON::boolean(object, key).has_value()
                    : std::string(reader) == "integer" ? JSON::integer(object, key).has_value()
                    : std::string(reader) == "number"  ? JSON::number(object, key).has_value()
                    : std::string(reader) == "object"  ? JSON::object(object, key) != nullptr
                                                       : JSON::array(object, key) != nullptr;
    EXPECT_FALSE(answered);
  }

  const std::pair<const char*, std::optional<std::string>> texts[] = {
      {"s", "x"}, {"i", "7"}, {"d", "2.5"}, {"e", "1000"}, {"tenth", "0.1"}, {"t", "1"}, {"f", "0"},
      {"n", std::nullopt}, {"o", std::nullopt}, {"a", std::nullopt}, {"absent", std::nullopt},
  };
  for (const auto& [key, expected] : texts) EXPECT_EQ(JSON::stringValue(object, key), expected) << key;
}

}  // namespace
