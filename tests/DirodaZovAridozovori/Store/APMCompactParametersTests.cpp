// Events made from the compact form hold exactly what the host-dictionary road made of the same
// parameters: every cleaning rule, item lists, screen parameters, under the limits given.
#include "APMCompactParameters.h"

#include <gtest/gtest.h>

#include <string>

#include "APMEvent.h"
#include "APMEventParameters.h"
#include "APMValue.h"

using platform::Object;

namespace {

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

TEST(APMCompactParametersTest, OnlyTheScreenEntriesJoinAnEventAndReplaceItsOwn) {
  const platform::Dictionary screen{{"_sn", Object("Home")},
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
}

}  // namespace
