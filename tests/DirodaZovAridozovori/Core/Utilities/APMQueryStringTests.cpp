#include "DirodaZovAridozovori/Core/Utilities/APMQueryString.h"

#include <gtest/gtest.h>

namespace {

using platform::Dictionary;
using platform::Object;

TEST(APMQueryStringTests, BuildsPairsInTheCallersOrder) {
  struct Case { const char* name; APMQueryItems items; const char* expected; } cases[] = {
      {"empty", {}, ""},
      {"configuration request",
       {{"platform", "macos"}, {"dmp_version", 111500}, {"runtime_version", 0}},
       "platform=macos&dmp_version=111500&runtime_version=0"},
      {"separators inside names and values", {{"a&b", "c=d"}, {"e+f", "g&h=i+j"}},
       "a%26b=c%3Dd&e%2Bf=g%26h%3Di%2Bj"},
      {"spaces and fragments", {{"q", "a b#c"}}, "q=a%20b%23c"},
      {"query characters left alone", {{"path", "/x/y?z:1@2,3;4!$'()*-._~"}}, "path=/x/y?z:1@2,3;4!$'()*-._~"},
      {"percent and non-ASCII", {{"pct", "100%"}, {"word", "h\xc3\xa9"}}, "pct=100%25&word=h%C3%A9"},
      {"booleans and doubles", {{"on", true}, {"off", false}, {"ratio", 0.25}, {"whole", 3.0}},
       "on=1&off=0&ratio=0.25&whole=3"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(apm_queryString(c.items), c.expected);
  }
}

TEST(APMQueryStringTests, ParsesArgumentStrings) {
  struct Case { const char* arguments; Dictionary expected; } cases[] = {
      {"", {}},
      {"a=1&b=2&a=3", {{"a", "1"}, {"b", "2"}}},
      {"flag", {{"flag", ""}}},
      {"q=a+b%20c", {{"q", "a b c"}}},
      {"k=v=w", {{"k", "v=w"}}},
      {"=v", {{"", "v"}}},
      {"bad=%zz&good=%41", {{"bad", ""}, {"good", "A"}}},
      {"%ff=1", {{"", "1"}}},
      {"word=h%C3%A9", {{"word", "h\xc3\xa9"}}},
      {"zclid=abc&&utm_source=news&", {{"zclid", "abc"}, {"utm_source", "news"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    EXPECT_EQ(Object(apm_dictionaryWithHttpArgumentsString(c.arguments)), Object(c.expected));
  }
}

TEST(APMQueryStringTests, UnescapingRefusesBrokenEscapes) {
  struct Case { const char* argument; std::optional<std::string> expected; } cases[] = {
      {"a+b", "a b"}, {"%25", "%"}, {"%", std::nullopt}, {"%2", std::nullopt}, {"%g0", std::nullopt},
      {"%C3", std::nullopt},  // half of a UTF-8 sequence
      {"%e2%82%ac", "\xe2\x82\xac"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.argument);
    EXPECT_EQ(apm_stringByUnescapingFromURLArgument(c.argument), c.expected);
  }
}

}  // namespace
