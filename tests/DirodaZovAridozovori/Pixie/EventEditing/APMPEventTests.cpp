// The event record programs edit: coercion of new parameter values, equality, created events.

#include <gtest/gtest.h>

#include <cmath>

#include "EventEditing/APMPEvent.h"
#include "EventEditing/APMPEventContext.h"

namespace {

using platform::Object;

TEST(APMPEventTests, NewParameterValuesAreCoercedAgainstTheOldValue) {
  struct Case { const char* what; Object value; const char* name; Object old; Object expected; } cases[] = {
      {"integer parameter keeps integer kind", 2.5, "value", Object(int64_t(7)), Object(int64_t(2))},
      {"negative fraction truncates toward zero", -2.5, "value", Object(int64_t(7)), Object(int64_t(-2))},
      {"internal integer parameter refuses the change", 99.0, "_x", Object(int64_t(7)), Object(int64_t(7))},
      {"_el always becomes a whole number", 12.9, "_el", Object(3.5), Object(int64_t(12))},
      {"_syn over a text", 8.0, "_syn", Object("x"), Object(int64_t(8))},
      {"text parameter takes decimal text", 7.0, "label", Object("old"), Object("7")},
      {"floating parameter stays floating", 3.0, "price", Object(1.5), Object(3.0)},
      {"new parameter stored as given", 3.0, "fresh", Object(), Object(3.0)},
      {"text over a number stays text", Object("abc"), "value", Object(int64_t(7)), Object("abc")},
      {"NaN into an integer parameter", NAN, "value", Object(int64_t(7)), Object(int64_t(0))},
      {"huge number saturates", 1e300, "value", Object(int64_t(1)), Object(INT64_MAX)},
  };
  for (const Case& c : cases) {
    Object result = APMPCoerceParameterValue(c.value, c.name, c.old);
    EXPECT_EQ(result, c.expected) << c.what;
    EXPECT_EQ(result.kind(), c.expected.kind()) << c.what;
  }
}

TEST(APMPEventTests, EqualityLooksAtParametersBothWays) {
  const platform::Dictionary base{{"a", int64_t(1)}, {"b", "text"}, {"c", 2.5}};
  struct Case { const char* what; APMPEvent other; bool equal; } cases[] = {
      {"identical", APMPEvent("e", 0.5, base), true},
      {"timestamp within one epsilon", APMPEvent("e", std::nextafter(0.5, 1.0), base), true},
      {"timestamp further off", APMPEvent("e", 0.5 + 4e-16, base), false},
      {"other name", APMPEvent("f", 0.5, base), false},
      {"parameter removed", APMPEvent("e", 0.5, {{"a", int64_t(1)}, {"b", "text"}}), false},
      {"same number, floating kind", APMPEvent("e", 0.5, {{"a", 1.0}, {"b", "text"}, {"c", 2.5}}), false},
  };
  APMPEvent event("e", 0.5, base);
  for (const Case& c : cases) {
    EXPECT_EQ(event.isEqualToEvent(c.other), c.equal) << c.what;
    EXPECT_EQ(c.other.isEqualToEvent(event), c.equal) << c.what << " (reversed)";
  }
}

TEST(APMPEventTests, OnlyNumbersTextsAndItemListsAreParameterValues) {
  struct Case { const char* what; Object value; bool accepted; } cases[] = {
      {"integer", int64_t(3), true},
      {"text", "x", true},
      {"item list", platform::Array{platform::Dictionary{{"id", "sku"}, {"price", 2.5}}}, true},
      {"map", platform::Dictionary{{"k", "v"}}, false},
      {"list of texts", platform::Array{Object("a")}, false},
      {"item with a nested list", platform::Array{platform::Dictionary{{"x", platform::Array{}}}}, false},
      {"list holding null", platform::Array{Object()}, false},
      {"null", Object(), false},
  };
  for (const Case& c : cases) EXPECT_EQ(APMPIsEventParameterValue(c.value), c.accepted) << c.what;
}

TEST(APMPEventTests, ContextCoercesCreatedEventsAgainstTheInputAndResetsPerEvent) {
  APMPEventContext context;
  context.setInputEvent(std::make_shared<APMPEvent>("purchase", 10, platform::Dictionary{{"count", int64_t(2)},
                                                                                           {"label", "x"}}));
  context.outputEvent()->setName("changed");
  EXPECT_EQ(context.inputEvent()->name(), "purchase");
  context.logEventWithName("made", 11, {{"count", 3.7}, {"label", 4.0}, {"other", 1.5}, {"gone", Object()}});
  ASSERT_EQ(context.eventsToLog().size(), 1u);
  const APMPEvent& made = *context.eventsToLog()[0];
  EXPECT_EQ(made.name(), "made");
  EXPECT_EQ(made.timestamp(), 11);
  EXPECT_EQ(made.parameters(), (platform::Dictionary{{"count", int64_t(3)}, {"label", "4"}, {"other", 1.5}}));
  context.setInputEvent(std::make_shared<APMPEvent>("next", 12, platform::Dictionary{}));
  EXPECT_TRUE(context.eventsToLog().empty());
  EXPECT_EQ(context.outputEvent()->name(), "next");
}

}  // namespace
