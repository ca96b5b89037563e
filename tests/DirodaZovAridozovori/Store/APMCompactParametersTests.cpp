// Events made from the compact form hold exactly what the host-dictionary road made of the same
// parameters: every cleaning rule, item lists, screen parameters, under the limits given.
#include "APMCompactParameters.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "APMEvent.h"
#include "APMEventParameters.h"
#include "APMValue.h"

using platform::Object;

namespace {

const std::string kE = "\xC3\xA9";              // U+00E9, one UTF-16 unit in two bytes
const std::string kEmoji = "\xF0\x9F\x98\x80";  // U+1F600, two UTF-16 units in four bytes

std::string repeat(const std::string& text, int count) {
  std::string result;
  for (int i = 0; i < count; ++i) result += text;
  return result;
}

platform::Dictionary manyCustomParameters(int count) {
  platform::Dictionary parameters;
  for (int i = 0; i < count; ++i) parameters["p" + std::to_string(100 + i)] = Object(i);
  parameters["_o"] = Object("app");
  return parameters;
}

// The parameters as the dictionary road cleaned and converted them, step by step.
APMParameters dictionaryRoad(const platform::Dictionary& parameters, const std::string& name, bool isPublic,
                             const APMEventParameterLimits& limits) {
  auto cleaned = APMSanitizedEventParameters(parameters, name, isPublic, true, limits);
  return cleaned ? APMParametersFromDictionary(*cleaned) : APMParameters{};
}

TEST(APMCompactParametersTest, EventsFromTheCompactFormHoldWhatTheDictionaryRoadMade) {
  const platform::Dictionary item{{"item_id", Object("sku-1")}, {"price", Object(9.5)}, {"bad name", Object(1)}};
  const platform::Dictionary deepItem{{"inner", Object(platform::Array{Object(1)})}};
  APMEventParameterLimits tight;
  tight.maxPublicEventParams = 3;
  tight.maxPublicEventParameterValueLength = 8;
  tight.maxItemsPerParameter = 1;
  const struct {
    const char* label;
    platform::Dictionary parameters;
    APMEventParameterLimits limits;
  } cases[] = {
      {"nothing", {}, {}},
      {"an item's five parameters",
       {{"item_id", Object("SKU-00000001")},
        {"item_name", Object("Gorilla costume, large")},
        {"currency", Object("USD")},
        {"value", Object(9.99)},
        {"quantity", Object(int64_t{2})}},
       {}},
      {"refused names, a boolean, unsupported kinds",
       {{"1st", Object(1)},
        {"_reserved", Object(2)},
        {"flag", Object(true)},
        {"nothing", Object()},
        {"blob", Object(platform::Data{1, 2, 3})},
        {"when", Object(platform::Date{5})},
        {"nested", Object(platform::Dictionary{{"a", Object(1)}})},
        {"ok", Object("yes")}},
       {}},
      {"a text over the length limit",
       {{"text", Object(std::string(600, 'x') + "\xC3\xA9")}, {"short", Object("fine")}},
       {}},
      {"item lists, one item not a dictionary, one nested too deep",
       {{"items", Object(platform::Array{Object(item), Object("not an item"), Object(deepItem)})}},
       {}},
      {"more custom parameters than allowed", manyCustomParameters(120), {}},
      {"tight limits", {{"a", Object("0123456789")}, {"b", Object(1)}, {"c", Object(2)}, {"d", Object(3)},
                        {"items", Object(platform::Array{Object(item), Object(item)})}},
       tight},
      {"texts around the limit in bytes and in characters",
       {{"ascii_500", Object(repeat("x", 500))},
        {"ascii_501", Object(repeat("x", 501))},
        {"two_byte_300", Object(repeat(kE, 300))},
        {"emoji_250", Object(repeat(kEmoji, 250))},
        {"emoji_251", Object(repeat(kEmoji, 251))},
        {"broken_600", Object(repeat("\xFF", 600))}},
       {}},
      {"a null value as the first problem", {{"gone", Object()}, {"kept", Object(1)}}, {}},
      {"a text between the public and the internal limit", {{"text", Object(repeat("t", 200))}}, tight},
      {"names around the limit in bytes and in characters",
       {{repeat("n", 40), Object(1)},
        {repeat("m", 41), Object(2)},
        {repeat(kE, 20), Object(3)},
        {"d" + repeat(kEmoji, 20), Object(4)},
        {"diroda_x", Object(5)},
        {"ok", Object(false)}},
       {}},
      {"values after an item list and a dictionary",
       {{"a_items", Object(platform::Array{Object(item)})},
        {"b_nested", Object(platform::Dictionary{{"x", Object("y")}})},
        {"c_text", Object("after")},
        {"d_number", Object(-7.25)}},
       {}},
  };
  for (const auto& c : cases) {
    for (bool isPublic : {true, false}) {
      SCOPED_TRACE(std::string(c.label) + (isPublic ? ", public" : ", internal"));
      const APMCompactParameters compact(c.parameters);
      EXPECT_EQ(compact.empty(), c.parameters.empty());
      EXPECT_EQ(compact.dictionary().size(), c.parameters.size());
      auto event = APMEvent::create("app", isPublic, "select_item", 1700000000.5, 0, compact, c.limits);
      ASSERT_TRUE(event);
      EXPECT_EQ(event->parameters(), dictionaryRoad(c.parameters, "select_item", isPublic, c.limits));
      auto fromDictionary = APMEvent::create("app", isPublic, "select_item", 1700000000.5, 0, c.parameters, c.limits);
      ASSERT_TRUE(fromDictionary);
      EXPECT_TRUE(*event == *fromDictionary);
    }
  }
}

// Read in place, a text no longer in bytes than the limit is kept without counting; a longer one is
// counted in UTF-16 units and cut only when they exceed the limit.
TEST(APMCompactParametersTest, TextsAreCutByUnitsNotBytes) {
  APMEventParameterLimits limits;
  limits.maxPublicEventParameterValueLength = 10;
  const struct {
    const char* label;
    std::string text;
    std::string kept;
    int64_t length;  // "_el" when cut, else 0
  } cases[] = {
      {"ten bytes", repeat("a", 10), repeat("a", 10), 0},
      {"eleven bytes", repeat("a", 11), repeat("a", 10), 11},
      {"ten two-byte characters", repeat(kE, 10), repeat(kE, 10), 0},
      {"eleven two-byte characters", repeat(kE, 11), repeat(kE, 10), 11},
      {"five emoji are ten units", repeat(kEmoji, 5), repeat(kEmoji, 5), 0},
      {"six emoji are twelve units", repeat(kEmoji, 6), repeat(kEmoji, 5), 6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    auto event = APMEvent::create("app", true, "tap", 1, 0, APMCompactParameters({{"t", Object(c.text)}}), limits);
    ASSERT_TRUE(event);
    APMParameters expected{{"t", APMValue(c.kept)}};
    if (c.length) {
      expected["_err"] = APMValue(int64_t{4});
      expected["_ev"] = APMValue("t");
      expected["_el"] = APMValue(c.length);
    }
    EXPECT_EQ(event->parameters(), expected);
  }
}

TEST(APMCompactParametersTest, OnlyTheScreenEntriesJoinAnEventAndReplaceItsOwn) {
  const platform::Dictionary screen{{"_sa", Object(platform::Array{Object(platform::Dictionary{{"x", Object(1)}})})},
                                    {"_sn", Object("Home")},
                                    {"_sc", Object("HomeViewController")},
                                    {"_si", Object(int64_t{-42})},
                                    {"_sx", Object("not a screen entry")},
                                    {"screen", Object("neither")}};
  auto own = APMParameters{{"_sn", APMValue("Old")}, {"level", APMValue(int64_t{3})}};
  auto fromCompact = APMEvent::create("app", true, "tap", 1, 0, own);
  auto fromDictionary = APMEvent::create("app", true, "tap", 1, 0, own);
  fromCompact->addScreenParameters(APMCompactParameters(screen));
  fromDictionary->addScreenParameters(screen);
  const APMParameters expected{{"_sn", APMValue("Home")},
                               {"_sc", APMValue("HomeViewController")},
                               {"_si", APMValue(int64_t{-42})},
                               {"level", APMValue(int64_t{3})}};
  EXPECT_EQ(fromCompact->parameters(), expected);
  EXPECT_EQ(fromDictionary->parameters(), expected);
  fromCompact->addScreenParameters(APMCompactParameters());
  EXPECT_EQ(fromCompact->parameters(), expected) << "no screen leaves the event as it is";
  // Read once and kept for a run of events, the entries join each event the same way.
  auto converted = APMEvent::screenParametersInPlace(screen);
  ASSERT_TRUE(converted);
  for (int event = 0; event < 2; ++event) {
    auto fromConverted = APMEvent::create("app", true, "tap", 1, 0, own);
    fromConverted->addConvertedScreenParameters(*converted);
    EXPECT_EQ(fromConverted->parameters(), expected);
  }
}

// Each kind a screen entry may hold joins as the dictionary road converts it; a null one is refused
// and leaves the event's own value.
TEST(APMCompactParametersTest, ScreenEntriesOfEveryKindJoinAsTheDictionaryRoadConvertsThem) {
  const struct {
    const char* label;
    Object value;
    std::optional<APMValue> joined;  // none: the event keeps its own "_sn"
  } cases[] = {
      {"text", Object("Shop"), APMValue("Shop")},
      {"integer", Object(int64_t{7}), APMValue(int64_t{7})},
      {"double", Object(2.5), APMValue(2.5)},
      {"true", Object(true), APMValue(int64_t{1})},
      {"false", Object(false), APMValue(int64_t{0})},
      {"null", Object(), std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const platform::Dictionary screen{{"_sn", c.value}, {"_sx", Object("ignored")}};
    auto fromCompact = APMEvent::create("app", true, "tap", 1, 0, APMParameters{{"_sn", APMValue("Own")}});
    auto fromDictionary = APMEvent::create("app", true, "tap", 1, 0, APMParameters{{"_sn", APMValue("Own")}});
    fromCompact->addScreenParameters(APMCompactParameters(screen));
    fromDictionary->addScreenParameters(screen);
    const APMParameters expected{{"_sn", c.joined.value_or(APMValue("Own"))}};
    EXPECT_EQ(fromCompact->parameters(), expected);
    EXPECT_EQ(fromDictionary->parameters(), expected);
    // A null entry is refused with a log line, so it is never read ahead to be kept.
    auto converted = APMEvent::screenParametersInPlace(screen);
    ASSERT_EQ(converted.has_value(), c.joined.has_value());
    if (!converted) continue;
    auto fromConverted = APMEvent::create("app", true, "tap", 1, 0, APMParameters{{"_sn", APMValue("Own")}});
    fromConverted->addConvertedScreenParameters(*converted);
    EXPECT_EQ(fromConverted->parameters(), expected);
  }
}

}  // namespace
