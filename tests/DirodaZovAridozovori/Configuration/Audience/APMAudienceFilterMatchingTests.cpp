#include "Audience/APMAudienceFilterMatching.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "AudienceTestSupport.h"

namespace {

double stepsFrom(double value, int steps) {
  const double toward = steps < 0 ? -INFINITY : INFINITY;
  for (int i = 0; i < std::abs(steps); ++i) value = std::nextafter(value, toward);
  return value;
}

struct ValueCase {
  const char* name;
  APMFilterForm filter;
  APMValue value;
  std::optional<bool> expected;
  int64_t code;  // the refusal that must be logged; 0: nothing logged
};

// Each case as written and as read from its message (which reads the comparison values once).
void expectCases(const std::vector<ValueCase>& cases) {
  for (const ValueCase& c : cases) {
    for (const APMFilterForm& filter : {c.filter, APMFilterForm::fromMessage(*messageOf(c.filter))}) {
      CapturedAudienceLog log;
      EXPECT_EQ(outcomeText(APMMatchFilter(filter, c.value)), outcomeText(c.expected)) << c.name;
      if (c.code == 0) {
        EXPECT_TRUE(log.codes().empty()) << c.name << ": logged " << log.codes().front();
      } else {
        EXPECT_TRUE(log.contains(c.code)) << c.name << ": " << c.code << " not logged";
      }
    }
  }
}

TEST(APMAudienceFilterMatchingTests, NumberFiltersCompareIntegersAndTextExactlyAndDoublesWithinOneStep) {
  const auto between = withNumber(betweenFilter("5", "10"));
  const double tenth = 0.1;
  expectCases({
      {"between holds at the low end", between, APMValue(int64_t{5}), true, 0},
      {"between holds at the high end", between, APMValue(int64_t{10}), true, 0},
      {"between fails above", between, APMValue(int64_t{11}), false, 0},
      {"between fails below", between, APMValue(int64_t{4}), false, 0},
      {"between holds for the text 10.0", between, APMValue("10.0"), true, 0},
      {"between holds for the text 5", between, APMValue("5"), true, 0},
      {"between holds for the double 7.5", between, APMValue(7.5), true, 0},
      {"between fails for the double 10.5", between, APMValue(10.5), false, 0},
      {"less than", withNumber(numberFilter(1, "3")), APMValue(int64_t{2}), true, 0},
      {"less than is strict", withNumber(numberFilter(1, "3")), APMValue(int64_t{3}), false, 0},
      {"greater than text", withNumber(numberFilter(2, "41")), APMValue("42"), true, 0},
      {"greater than is strict", withNumber(numberFilter(2, "41")), APMValue(41.0), false, 0},
      {"equal decimal text ignores trailing zeros", withNumber(numberFilter(3, "0.1")), APMValue("0.10"), true, 0},
      {"equal integers beyond double precision", withNumber(numberFilter(3, "9007199254740993")),
       APMValue(int64_t{9007199254740993}), true, 0},
      {"unequal integers beyond double precision", withNumber(numberFilter(3, "9007199254740993")),
       APMValue(int64_t{9007199254740992}), false, 0},
      {"equal double at the value", withNumber(numberFilter(3, "0.1")), APMValue(tenth), true, 0},
      {"equal double one step above", withNumber(numberFilter(3, "0.1")), APMValue(stepsFrom(tenth, 1)), true, 0},
      {"equal double one step below", withNumber(numberFilter(3, "0.1")), APMValue(stepsFrom(tenth, -1)), true, 0},
      {"equal double two steps above", withNumber(numberFilter(3, "0.1")), APMValue(stepsFrom(tenth, 2)), false, 0},
      {"equal double two steps below", withNumber(numberFilter(3, "0.1")), APMValue(stepsFrom(tenth, -2)), false, 0},
      {"equal double with a signed comparison text", withNumber(numberFilter(3, "+2.5")), APMValue(2.5), true, 0},
      {"sign, point and digits are decimal text", withNumber(numberFilter(1, "0")), APMValue("-.5"), true, 0},
      {"digits and a point are decimal text", withNumber(numberFilter(3, "3")), APMValue("3."), true, 0},
      {"a leading space is not decimal text", withNumber(numberFilter(3, "42")), APMValue(" 42"), std::nullopt, 7001},
      {"an exponent is not decimal text", withNumber(numberFilter(3, "100000")), APMValue("1e5"), std::nullopt, 7001},
      {"NaN", withNumber(numberFilter(3, "1")), APMValue(std::numeric_limits<double>::quiet_NaN()), std::nullopt, 7002},
      {"infinity", withNumber(numberFilter(2, "1")), APMValue(INFINITY), std::nullopt, 7002},
      {"minus infinity", withNumber(numberFilter(1, "1")), APMValue(-INFINITY), std::nullopt, 7002},
      {"an item list is not a number", withNumber(numberFilter(1, "1")), APMValue(std::vector<APMParameters>{}),
       std::nullopt, 0},
      {"complement turns YES into NO", withNumber(numberFilter(2, "5"), true), APMValue(int64_t{6}), false, 0},
      {"complement turns NO into YES", withNumber(numberFilter(2, "5"), true), APMValue(int64_t{4}), true, 0},
      {"complement keeps none", withNumber(numberFilter(2, "5"), true), APMValue("five"), std::nullopt, 7001},
      {"the number filter wins over the string filter",
       [] {
         auto filter = withNumber(numberFilter(2, "5"));
         filter.stringFilter = stringFilter(5, "7");
         return filter;
       }(),
       APMValue("7"), true, 0},
      {"neither filter", APMFilterForm{}, APMValue(int64_t{1}), std::nullopt, 7000},
  });
}

TEST(APMAudienceFilterMatchingTests, MalformedNumberFiltersAreNeverEvaluated) {
  APMNumberFilterForm noType;
  noType.comparisonValue = "1";
  APMNumberFilterForm realUnknown = numberFilter(9, "1");
  expectCases({
      {"no comparison type", withNumber(noType), APMValue(int64_t{1}), std::nullopt, 8006},
      {"unknown comparison type", withNumber(numberFilter(0, "1")), APMValue(int64_t{1}), std::nullopt, 8007},
      {"no comparison value", withNumber(numberFilter(1, std::nullopt)), APMValue(int64_t{1}), std::nullopt, 8008},
      {"comparison value not decimal", withNumber(numberFilter(3, "1e3")), APMValue(1000.0), std::nullopt, 8008},
      {"no minimum", withNumber(betweenFilter(std::nullopt, "3")), APMValue(int64_t{1}), std::nullopt, 8009},
      {"maximum not decimal", withNumber(betweenFilter("1", "three")), APMValue(int64_t{1}), std::nullopt, 8010},
      {"comparison type above the known ones", withNumber(realUnknown), APMValue(int64_t{1}), std::nullopt, 8011},
      {"a comparison value with more digits than an exact decimal keeps",
       withNumber(numberFilter(3, "1234567890123456789012345678901234567891")), APMValue(int64_t{1}), std::nullopt,
       8015},
  });
  // Both ends of a BETWEEN are checked and both refusals logged.
  CapturedAudienceLog log;
  EXPECT_FALSE(APMIsValidNumberFilter(betweenFilter("x", "y")));
  EXPECT_EQ(log.codes(), (std::vector<int64_t>{8009, 8010}));
}

TEST(APMAudienceFilterMatchingTests, StringFiltersFollowTheirMatchTypeAndCaseRule) {
  expectCases({
      {"begins with, any case", withString(stringFilter(2, "Ab")), APMValue("abc"), true, 0},
      {"begins with, case-sensitive", withString(stringFilter(2, "Ab", true)), APMValue("abc"), false, 0},
      {"begins with, case-sensitive hit", withString(stringFilter(2, "Ab", true)), APMValue("Abc"), true, 0},
      {"an empty expression begins every text", withString(stringFilter(2, "")), APMValue("x"), true, 0},
      {"ends with a longer expression", withString(stringFilter(3, "xyz")), APMValue("xy"), false, 0},
      {"ends with, any case", withString(stringFilter(3, "xyz")), APMValue("WXYZ"), true, 0},
      {"ends with, case-sensitive", withString(stringFilter(3, "xyz", true)), APMValue("WXYZ"), false, 0},
      {"ends with a text whose folding is longer", withString(stringFilter(3, "\u00DFe")), APMValue("STRASSE"), true, 0},
      {"contains, any case", withString(stringFilter(4, "ell")), APMValue("HELLO"), true, 0},
      {"contains, case-sensitive", withString(stringFilter(4, "ell", true)), APMValue("HELLO"), false, 0},
      {"exact, any case", withString(stringFilter(5, "abc")), APMValue("ABC"), true, 0},
      {"exact needs the whole text", withString(stringFilter(5, "abc")), APMValue("abcd"), false, 0},
      {"exact with a text whose folding is longer", withString(stringFilter(5, "stra\u00DFe")), APMValue("STRASSE"),
       true, 0},
      {"exact, case-sensitive", withString(stringFilter(5, "stra\u00DFe", true)), APMValue("STRASSE"), false, 0},
      {"in list, any case", withString(stringFilter(6, std::nullopt, false, {"a", "b"})), APMValue("B"), true, 0},
      {"in list, case-sensitive", withString(stringFilter(6, std::nullopt, true, {"a", "b"})), APMValue("B"), false,
       0},
      {"in list folds the entries as well as the text", withString(stringFilter(6, std::nullopt, false, {"Gold"})),
       APMValue("gOLD"), true, 0},
      {"in list, case-sensitive keeps the entries as written",
       withString(stringFilter(6, std::nullopt, true, {"Gold"})), APMValue("gOLD"), false, 0},
      {"in list, case-sensitive hit", withString(stringFilter(6, std::nullopt, true, {"Gold"})), APMValue("Gold"),
       true, 0},
      {"in list needs a whole entry", withString(stringFilter(6, std::nullopt, false, {"ab"})), APMValue("a"), false,
       0},
      {"regular expression, any case", withString(stringFilter(1, "^a.c$")), APMValue("ABC"), true, 0},
      {"regular expression, case-sensitive", withString(stringFilter(1, "^a.c$", true)), APMValue("ABC"), false, 0},
      {"regular expression anywhere in the text", withString(stringFilter(1, "b")), APMValue("abc"), true, 0},
      {"match types above the known ones never match", withString(stringFilter(7, "abc")), APMValue("abc"), false, 0},
      {"complement of a string match", withString(stringFilter(5, "abc"), true), APMValue("abc"), false, 0},
      {"a number is not a string", withString(stringFilter(5, "1")), APMValue(int64_t{1}), std::nullopt, 7003},
      {"no match type", withString([] {
         APMStringFilterForm filter;
         filter.expression = "a";
         return filter;
       }()),
       APMValue("a"), std::nullopt, 9000},
      {"unknown match type", withString(stringFilter(0, "a")), APMValue("a"), std::nullopt, 9001},
      {"no expression", withString(stringFilter(2, std::nullopt)), APMValue("a"), std::nullopt, 9002},
      {"no expression list", withString(stringFilter(6, "a")), APMValue("a"), std::nullopt, 9003},
      {"a pattern that does not compile", withString(stringFilter(1, "[")), APMValue("["), std::nullopt, 9004},
      {"an invalid filter is refused at match time", withString(stringFilter(1, "[")), APMValue("["), std::nullopt,
       9006},
  });
  CapturedAudienceLog log;
  EXPECT_FALSE(APMMatchStringFilter(stringFilter(5, "a"), std::nullopt).has_value());
  EXPECT_TRUE(log.contains(9005));
}

TEST(APMAudienceFilterMatchingTests, ARegularExpressionOutOfWorkCannotBeEvaluatedAndSaysSo) {
  APMFilterMatchNotes notes;
  const std::string text = std::string(40, 'a') + "!";
  EXPECT_FALSE(APMMatchStringFilter(stringFilter(1, "(a+)+$", true), text, &notes).has_value());
  EXPECT_TRUE(notes.regexFailed);

  APMFilterMatchNotes plain;
  EXPECT_EQ(APMMatchStringFilter(stringFilter(1, "a+!$", true), text, &plain), std::optional<bool>(true));
  EXPECT_FALSE(plain.regexFailed);
}

APMEventFilterForm eventFilter(std::vector<APMFilterForm> filters = {},
                               std::optional<APMNumberFilterForm> count = std::nullopt, bool sessionScoped = false) {
  APMEventFilterForm filter;
  filter.filterID = 1;
  filter.eventName = "purchase";
  filter.filters = std::move(filters);
  filter.eventCountFilter = std::move(count);
  filter.sessionScoped = sessionScoped;
  return filter;
}

TEST(APMAudienceFilterMatchingTests, EventFiltersCheckNameCountsAndParametersInOrder) {
  const APMEventAggregates counts("purchase", 3, 1, 1, 0);
  const APMParameters parameters{{"value", APMValue(int64_t{30})}, {"currency", APMValue("EUR")},
                                 {"code", APMValue("42")}};
  const auto valueOver = [](const char* amount, bool complement = false) {
    return withNumber(numberFilter(2, amount), complement, "value");
  };
  struct Case {
    const char* name;
    std::optional<APMEventFilterForm> filter;
    std::string eventName;
    APMEventAggregates aggregates;
    std::optional<bool> expected;
    int64_t code;
  } cases[] = {
      {"no count and no parameter filters", eventFilter(), "purchase", counts, true, 0},
      {"no filter", std::nullopt, "purchase", counts, std::nullopt, 7004},
      {"no event name", eventFilter(), "", counts, std::nullopt, 7005},
      {"another event", eventFilter(), "refund", counts, std::nullopt, 7006},
      {"lifetime count over 2", eventFilter({}, numberFilter(2, "2")), "purchase", counts, true, 0},
      {"session-scoped count over 2", eventFilter({}, numberFilter(2, "2"), true), "purchase", counts, false, 0},
      {"aggregates of another event", eventFilter({}, numberFilter(2, "2")), "purchase",
       APMEventAggregates("refund", 3, 1, 1, 0), std::nullopt, 7007},
      {"a count past 32 bits is not wrapped", eventFilter({}, numberFilter(1, "5")), "purchase",
       APMEventAggregates("purchase", (int64_t{1} << 32) + 1, 1, 1, 0), false, 0},
      {"a count past 32 bits compares whole", eventFilter({}, numberFilter(2, "4294967296")), "purchase",
       APMEventAggregates("purchase", (int64_t{1} << 32) + 1, 1, 1, 0), true, 0},
      {"a failing count ends the match before the parameters", eventFilter({valueOver("1")}, numberFilter(2, "5")),
       "purchase", counts, false, 0},
      {"parameter filters all hold",
       eventFilter({valueOver("20"), withString(stringFilter(5, "eur"), false, "currency")}), "purchase", counts, true,
       0},
      {"the first failing parameter filter decides",
       eventFilter({valueOver("50"), withString(stringFilter(5, "usd"), false, "nothing")}), "purchase", counts, false,
       0},
      {"a parameter the event lacks", eventFilter({withNumber(numberFilter(2, "1"), false, "tax")}), "purchase",
       counts, std::nullopt, 7009},
      {"a complemented filter on a missing parameter stays not evaluable",
       eventFilter({withNumber(numberFilter(2, "1"), true, "tax")}), "purchase", counts, std::nullopt, 7009},
      {"a parameter filter without a name", eventFilter({withNumber(numberFilter(2, "1"))}), "purchase", counts,
       std::nullopt, 7008},
      {"numeric text in a parameter is not a number",
       eventFilter({withNumber(numberFilter(2, "41"), false, "code")}), "purchase", counts, std::nullopt, 7010},
      {"a complemented parameter filter", eventFilter({valueOver("50", true)}), "purchase", counts, true, 0},
  };
  for (const Case& c : cases) {
    CapturedAudienceLog log;
    const APMEventFilterForm* filter = c.filter ? &*c.filter : nullptr;
    EXPECT_EQ(outcomeText(APMMatchEventFilter(filter, c.eventName, parameters, c.aggregates)), outcomeText(c.expected))
        << c.name;
    if (c.code == 0) {
      EXPECT_TRUE(log.codes().empty()) << c.name;
    } else {
      EXPECT_TRUE(log.contains(c.code)) << c.name << ": " << c.code << " not logged";
    }
  }
}

TEST(APMAudienceFilterMatchingTests, PropertyFiltersMatchTheValueOfTheirProperty) {
  APMPropertyFilterForm greater;
  greater.filterID = 2;
  greater.propertyName = "level";
  greater.filter = withNumber(numberFilter(2, "41"));
  APMPropertyFilterForm noFilter = greater;
  noFilter.filter.reset();
  const APMUserAttribute text("app", "level", APMValue("42"), 0);
  const APMUserAttribute low("app", "level", APMValue(int64_t{40}), 0);
  const APMUserAttribute other("app", "rank", APMValue(int64_t{50}), 0);
  const APMUserAttribute list("app", "level", APMValue(std::vector<APMParameters>{}), 0);
  struct Case {
    const char* name;
    const APMPropertyFilterForm* filter;
    const APMUserAttribute* property;
    std::optional<bool> expected;
    int64_t code;
  } cases[] = {
      {"numeric text of a property is a number", &greater, &text, true, 0},
      {"a lower integer", &greater, &low, false, 0},
      {"no filter", nullptr, &text, std::nullopt, 7011},
      {"no property", &greater, nullptr, std::nullopt, 7012},
      {"another property", &greater, &other, std::nullopt, 7013},
      {"a property filter without its filter", &noFilter, &text, std::nullopt, 7014},
      {"a value of no known kind", &greater, &list, std::nullopt, 7015},
  };
  for (const Case& c : cases) {
    CapturedAudienceLog log;
    EXPECT_EQ(outcomeText(APMMatchPropertyFilter(c.filter, c.property)), outcomeText(c.expected)) << c.name;
    if (c.code != 0) {
      EXPECT_TRUE(log.contains(c.code)) << c.name << ": " << c.code << " not logged";
    }
  }
}

}  // namespace
