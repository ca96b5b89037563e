#include "APMEventParameters.h"

#include <gtest/gtest.h>

#include "StoreTestSupport.h"

using platform::Dictionary;
using platform::Object;

namespace {

// The parameters of each internal event logged while it lives.
class ErrorEventRecorder {
 public:
  ErrorEventRecorder() {
    APMSetInternalEventLogger([this](const std::string&, const std::string&, const Dictionary& p) { events.push_back(p); });
  }
  ~ErrorEventRecorder() { APMSetInternalEventLogger(nullptr); }
  std::vector<Dictionary> events;
};

// Limits small enough that every cut shows.
class APMSanitizedEventParametersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    APMSetEventParameterLimitsProvider([] {
      APMEventParameterLimits limits;
      limits.maxPublicEventParameterValueLength = 100;
      limits.maxPublicEventParams = 3;
      limits.maxItemScopedCustomParameters = 2;
      return limits;
    });
  }
  void TearDown() override { APMSetEventParameterLimitsProvider(nullptr); }
};

TEST_F(APMSanitizedEventParametersTest, CleansAndRecordsTheFirstProblem) {
  struct Case {
    const char* label;
    Dictionary input;
    Dictionary expected;
  };
  const std::vector<Case> cases = {
      {"valid values pass unchanged", {{"item", Object("a")}, {"price", Object(2.5)}, {"qty", Object(3)}},
       {{"item", Object("a")}, {"price", Object(2.5)}, {"qty", Object(3)}}},
      {"an invalid name is dropped and reported", {{"ok", Object(1)}, {"bad name", Object(2)}},
       {{"ok", Object(1)}, {"_err", Object(kAPMErrorEventInvalidParameterName)}, {"_ev", Object("bad name")}}},
      {"an internal name from the app is dropped", {{"_err", Object(99)}},
       {{"_err", Object(kAPMErrorEventInvalidParameterName)}, {"_ev", Object("_err")}}},
      {"a reserved prefix is dropped with its own code", {{"da_x", Object(1)}},
       {{"_err", Object(kAPMErrorEventReservedParameterName)}, {"_ev", Object("da_x")}}},
      {"a long value is cut and its length recorded", {{"text", Object(repeat("t", 150))}},
       {{"text", Object(repeat("t", 100))},
        {"_err", Object(kAPMErrorEventParameterValueTooLong)},
        {"_ev", Object("text")},
        {"_el", Object(150)}}},
      {"a dictionary value is dropped", {{"nested", Object(Dictionary{{"a", Object(1)}})}},
       {{"_err", Object(kAPMErrorEventUnsupportedParameterValue)}, {"_ev", Object("nested")}}},
      {"an emoji that would straddle the limit goes entirely", {{"t", Object(repeat("a", 99) + "\xF0\x9F\x98\x80tail")}},
       {{"t", Object(repeat("a", 99))}, {"_err", Object(kAPMErrorEventParameterValueTooLong)}, {"_ev", Object("t")},
        {"_el", Object(104)}}},
      // The refused name travels as "_ev": cut to 40 characters, as valid UTF-8, "..." only when cut.
      {"a huge refused name is cut", {{repeat("n", 4096), Object(1)}},
       {{"_err", Object(kAPMErrorEventInvalidParameterName)}, {"_ev", Object(repeat("n", 40) + "...")}}},
      {"a refused name of 40 characters is whole", {{repeat("\xC3\xA9", 40), Object(1)}},
       {{"_err", Object(kAPMErrorEventInvalidParameterName)}, {"_ev", Object(repeat("\xC3\xA9", 40))}}},
      {"a refused name of invalid UTF-8 is repaired", {{"a\xFF\xC3", Object(1)}},
       {{"_err", Object(kAPMErrorEventInvalidParameterName)}, {"_ev", Object("a\xEF\xBF\xBD\xEF\xBF\xBD")}}},
      {"only the first problem (in name order) is recorded", {{"a b", Object(1)}, {"z", Object(repeat("t", 101))}},
       {{"z", Object(repeat("t", 100))}, {"_err", Object(kAPMErrorEventInvalidParameterName)}, {"_ev", Object("a b")}}},
  };
  for (const Case& c : cases) {
    auto cleaned = APMSanitizedEventParameters(c.input, "purchase", true, true);
    ASSERT_TRUE(cleaned) << c.label;
    EXPECT_EQ(Object(*cleaned), Object(c.expected)) << c.label << ": " << Object(*cleaned).description();
  }
}

TEST_F(APMSanitizedEventParametersTest, CapsCustomParametersButKeepsInternalOnes) {
  auto cleaned = APMSanitizedEventParameters(
      {{"d", Object(1)}, {"a", Object(1)}, {"c", Object(1)}, {"b", Object(1)}, {"e", Object(1)}}, "many", true, true);
  ASSERT_TRUE(cleaned);
  EXPECT_TRUE(cleaned->count("a") && cleaned->count("b") && cleaned->count("c"));
  EXPECT_FALSE(cleaned->count("d") || cleaned->count("e"));
  EXPECT_EQ(cleaned->at("_err"), Object(kAPMErrorEventTooManyParameters));
}

TEST_F(APMSanitizedEventParametersTest, ItemListsAreCleanedItemByItem) {
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
    ASSERT_EQ(recorder.events.size(), c.expected.empty() ? 0u : 1u) << c.label;
    for (const Dictionary& parameters : recorder.events) EXPECT_EQ(parameters, c.expected) << c.label;
  }
}

}  // namespace
