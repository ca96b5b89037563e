#include "APMEventParameters.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "StoreTestSupport.h"
#include "platform/Unicode.h"

using platform::Dictionary;
using platform::Object;

namespace {

struct LoggedEvent {
  std::string origin;
  std::string name;
  Dictionary parameters;
};

class ErrorEventRecorder {
 public:
  ErrorEventRecorder() {
    APMSetInternalEventLogger([this](const std::string& origin, const std::string& name, const Dictionary& parameters) {
      events.push_back({origin, name, parameters});
    });
  }
  ~ErrorEventRecorder() { APMSetInternalEventLogger(nullptr); }
  std::vector<LoggedEvent> events;
};

class ScopedLimits {
 public:
  explicit ScopedLimits(APMEventParameterLimits limits) {
    APMSetEventParameterLimitsProvider([limits] { return limits; });
  }
  ~ScopedLimits() { APMSetEventParameterLimitsProvider(nullptr); }
};

TEST(APMSanitizedEventParametersTest, CleansAndRecordsTheFirstProblem) {
  APMEventParameterLimits limits;
  limits.maxPublicEventParameterValueLength = 100;
  ScopedLimits scoped(limits);
  struct Case {
    const char* label;
    Dictionary input;
    Dictionary expected;
  };
  const std::vector<Case> cases = {
      {"valid values pass unchanged",
       {{"item", Object("a")}, {"price", Object(2.5)}, {"qty", Object(3)}},
       {{"item", Object("a")}, {"price", Object(2.5)}, {"qty", Object(3)}}},
      {"an invalid name is dropped and reported",
       {{"ok", Object(1)}, {"bad name", Object(2)}},
       {{"ok", Object(1)}, {"_err", Object(kAPMErrorEventInvalidParameterName)}, {"_ev", Object("bad name")}}},
      {"an internal name from the app is dropped",
       {{"_err", Object(99)}},
       {{"_err", Object(kAPMErrorEventInvalidParameterName)}, {"_ev", Object("_err")}}},
      {"a reserved prefix is dropped with its own code",
       {{"da_x", Object(1)}},
       {{"_err", Object(kAPMErrorEventReservedParameterName)}, {"_ev", Object("da_x")}}},
      {"a long value is cut and its length recorded",
       {{"text", Object(repeat("t", 150))}},
       {{"text", Object(repeat("t", 100))},
        {"_err", Object(kAPMErrorEventParameterValueTooLong)},
        {"_ev", Object("text")},
        {"_el", Object(150)}}},
      {"a dictionary value is dropped",
       {{"nested", Object(Dictionary{{"a", Object(1)}})}},
       {{"_err", Object(kAPMErrorEventUnsupportedParameterValue)}, {"_ev", Object("nested")}}},
      {"only the first problem (in name order) is recorded",
       {{"a b", Object(1)}, {"z", Object(repeat("t", 101))}},
       {{"z", Object(repeat("t", 100))}, {"_err", Object(kAPMErrorEventInvalidParameterName)}, {"_ev", Object("a b")}}},
  };
  for (const Case& c : cases) {
    auto cleaned = APMSanitizedEventParameters(c.input, "purchase", true, true);
    ASSERT_TRUE(cleaned) << c.label;
    EXPECT_EQ(Object(*cleaned), Object(c.expected)) << c.label << ": " << Object(*cleaned).description();
  }
}

TEST(APMSanitizedEventParametersTest, CutsLongValuesOnCharacterBoundaries) {
  APMEventParameterLimits limits;
  limits.maxPublicEventParameterValueLength = 100;
  ScopedLimits scoped(limits);
  const std::string emoji = "\xF0\x9F\x98\x80";  // two UTF-16 units
  // 99 ASCII characters then an emoji: the emoji would straddle the limit, so it goes entirely.
  auto cleaned = APMSanitizedEventParameters({{"t", Object(repeat("a", 99) + emoji + "tail")}}, "e", true, true);
  ASSERT_TRUE(cleaned);
  const std::string& text = cleaned->at("t").stringValue();
  EXPECT_EQ(text, repeat("a", 99));
  EXPECT_TRUE(platform::isValidUtf8(text));
  EXPECT_EQ(cleaned->at("_el"), Object(104));
}

TEST(APMSanitizedEventParametersTest, CapsCustomParametersButKeepsInternalOnes) {
  APMEventParameterLimits limits;
  limits.maxPublicEventParams = 3;
  ScopedLimits scoped(limits);
  Dictionary input{{"d", Object(1)}, {"a", Object(1)}, {"c", Object(1)}, {"b", Object(1)}, {"e", Object(1)}};
  auto cleaned = APMSanitizedEventParameters(input, "many", true, true);
  ASSERT_TRUE(cleaned);
  EXPECT_TRUE(cleaned->count("a") && cleaned->count("b") && cleaned->count("c"));
  EXPECT_FALSE(cleaned->count("d") || cleaned->count("e"));
  EXPECT_EQ(cleaned->at("_err"), Object(kAPMErrorEventTooManyParameters));
}

TEST(APMSanitizedEventParametersTest, ItemListsAreCleanedItemByItem) {
  APMEventParameterLimits limits;
  limits.maxItemScopedCustomParameters = 2;
  ScopedLimits scoped(limits);
  platform::Array items{Object(Dictionary{{"id", Object("x")}, {"price", Object(1.5)}, {"zz", Object(1)}}),
                        Object("not a dictionary"), Object(Dictionary{{"bad name", Object(1)}})};
  auto cleaned = APMSanitizedEventParameters({{"items", Object(items)}}, "purchase", true, true);
  ASSERT_TRUE(cleaned);
  const platform::Array& kept = cleaned->at("items").arrayValue();
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[0], Object(Dictionary{{"id", Object("x")}, {"price", Object(1.5)}}));
  EXPECT_EQ(kept[1], Object(Dictionary{}));
  EXPECT_TRUE(cleaned->count("_err"));

  auto refused = APMSanitizedEventParameters({{"items", Object(items)}}, "screen_view", true, false);
  ASSERT_TRUE(refused);
  EXPECT_FALSE(refused->count("items"));
  EXPECT_EQ(refused->at("_err"), Object(kAPMErrorEventUnsupportedParameterValue));
}

TEST(APMLogErrorEventTest, NamedErrorsCarryTheCutValueAndItsLength) {
  const std::string e = "\xC3\xA9";
  struct Case {
    const char* label;
    int64_t code;
    size_t limit;
    Object value;
    Dictionary expected;
  };
  const std::vector<Case> cases = {
      {"code 0 logs nothing", 0, 40, Object("x"), {}},
      {"short value, other code: only the code", 2, 40, Object("bad name"), {{"_err", Object(2)}}},
      {"value over the limit is cut with an ellipsis", 2, 5, Object("abcdefgh"),
       {{"_err", Object(2)}, {"_ev", Object("abcde...")}, {"_el", Object(8)}}},
      {"code 4 always carries the value", 4, 40, Object("short"),
       {{"_err", Object(4)}, {"_ev", Object("short")}, {"_el", Object(5)}}},
      {"multi-byte values are cut on characters and counted in characters", 7, 3, Object(repeat(e, 5)),
       {{"_err", Object(7)}, {"_ev", Object(repeat(e, 3) + "...")}, {"_el", Object(5)}}},
      {"a non-string value carries only the code", 7, 3, Object(12345), {{"_err", Object(7)}}},
  };
  for (const Case& c : cases) {
    ErrorEventRecorder recorder;
    APMLogErrorEventForName(c.code, "name", c.limit, c.value);
    if (c.expected.empty()) {
      EXPECT_TRUE(recorder.events.empty()) << c.label;
      continue;
    }
    ASSERT_EQ(recorder.events.size(), 1u) << c.label;
    EXPECT_EQ(recorder.events[0].parameters, c.expected) << c.label;
    if (const Object* ev = platform::find(recorder.events[0].parameters, "_ev")) {
      EXPECT_TRUE(platform::isValidUtf8(ev->stringValue())) << c.label;
    }
  }
}

}  // namespace
