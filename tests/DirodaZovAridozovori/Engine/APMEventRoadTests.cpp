// The pure rules of the event road.
#include <gtest/gtest.h>

#include <climits>
#include <limits>

#include "APMEventRoad.h"

namespace {

std::shared_ptr<APMEvent> event(const std::string& name, APMParameters parameters = {}) {
  return APMEvent::create("app", name[0] != '_', name, 1700000000, 0, std::move(parameters));
}

TEST(APMEventRoadTest, RealtimeLimitAndDCURules) {
  struct Case {
    std::string name;
    bool debug;
    bool subject;
    bool dcu;
  };
  const Case cases[] = {
      {"purchase", false, true, false}, {"_iap", false, false, false}, {"_f", false, false, false},
      {"_fx", false, false, false},     {"_dcu", false, false, true},  {"_dcu", true, false, false},
      {"purchase", true, false, false}, {"_s", false, true, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(APMIsSubjectToRealtimeLimit(c.name, c.debug), c.subject) << c.name << " debug " << c.debug;
    EXPECT_EQ(APMIsDCUEvent(c.name, c.debug), c.dcu) << c.name << " debug " << c.debug;
  }
}

TEST(APMEventRoadTest, SubscriptionAndConversionNames) {
  EXPECT_TRUE(APMIsSubscriptionEvent(*event("_assc")));
  EXPECT_TRUE(APMIsSubscriptionEvent(*event("_assr")));
  EXPECT_TRUE(APMIsSubscriptionEvent(*event("_iap", {{"subscription", APMValue(static_cast<int64_t>(1))}})));
  EXPECT_FALSE(APMIsSubscriptionEvent(*event("_iap", {{"subscription", APMValue(static_cast<int64_t>(0))}})));
  EXPECT_FALSE(APMIsSubscriptionEvent(*event("_iap", {{"subscription", APMValue("1")}})));
  for (const char* name : {"ecommerce_purchase", "_f", "_iap", "purchase", "refund"}) {
    EXPECT_TRUE(APMIsConversionEventName(name)) << name;
  }
  for (const char* name : {"_e", "purchases", "Purchase", "_fx"}) EXPECT_FALSE(APMIsConversionEventName(name)) << name;
}

TEST(APMEventRoadTest, DayNumberCountsFromTheOffsetAndSurvivesADamagedOne) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    const char* label;
    double now;
    double offset;
    int32_t expected;
  } cases[] = {
      {"last moment of day 0", 86399.9, 0, 0},
      {"first moment of day 1", 86400, 0, 1},
      {"offset moves midnight", 86400 + 3600, 7200, 0},
      {"before the epoch", -1, 0, -1},
      {"NaN offset is ignored", 86400 * 3 + 5, nan, 3},
      {"infinite offset is ignored", 86400 * 3 + 5, inf, 3},
      {"negative infinite offset is ignored", 86400 * 3 + 5, -inf, 3},
      {"far-past offset stays at the largest day", 0, -1e300, INT32_MAX},
      {"far-future offset stays at the smallest day", 0, 1e300, INT32_MIN},
  };
  for (const auto& c : cases) EXPECT_EQ(APMDayNumber(c.now, c.offset), c.expected) << c.label;
}

TEST(APMEventRoadTest, ZadPrefixedDefaultsAreRemoved) {
  platform::Dictionary parameters{{"zad_source", "x"}, {"zadder", 1}, {"campaign", "y"}};
  auto result = APMParametersWithoutZadPrefix(parameters);
  EXPECT_EQ(result.size(), 2u);
  EXPECT_EQ(result.count("zad_source"), 0u);
}

TEST(APMEventRoadTest, DailyLimits) {
  using Refusal = APMDailyLimitDecision::Refusal;
  const APMDailyLimits limits{10, 3, 5};
  constexpr int32_t kDay = 19675;
  struct Case {
    const char* label;
    std::string name;
    APMDailyCounts before;
    bool accept;
    Refusal refusal;
    bool shouldLog;
    int32_t all, publicCount, errors;
    size_t items = 0;
  };
  auto counts = [](int32_t day, int32_t all, int32_t publicCount, int32_t errors) {
    return APMDailyCounts{day, 0, all, publicCount, errors};
  };
  const Case cases[] = {
      {"public under limits", "shop", counts(kDay, 2, 2, 0), true, Refusal::None, false, 3, 3, 0},
      {"internal under limits", "_s", counts(kDay, 2, 2, 0), true, Refusal::None, false, 3, 2, 0},
      {"all events at limit", "shop", counts(kDay, 10, 4, 0), false, Refusal::AllEvents, true, 11, 5, 0},
      {"all events over, not a 1000th", "shop", counts(kDay, 11, 4, 0), false, Refusal::AllEvents, false, 12, 5, 0},
      {"error at all-events limit", "_err", counts(kDay, 10, 4, 1), false, Refusal::AllEvents, true, 11, 4, 2},
      {"error under its limit", "_err", counts(kDay, 4, 1, 2), true, Refusal::None, false, 5, 1, 3},
      {"error at its limit", "_err", counts(kDay, 4, 1, 3), false, Refusal::ErrorEvents, true, 4, 1, 4},
      {"public at its limit", "shop", counts(kDay, 6, 5, 0), false, Refusal::PublicEvents, true, 6, 6, 0},
      {"internal past public limit", "_s", counts(kDay, 6, 5, 0), true, Refusal::None, false, 7, 5, 0},
      {"new day resets", "shop", counts(kDay - 1, 10, 5, 3), true, Refusal::None, false, 1, 1, 0},
      {"an item list counts by its size", "shop", counts(kDay, 0, 0, 0), true, Refusal::None, false, 4, 4, 0, 3},
  };
  for (const auto& c : cases) {
    APMDailyCounts state = c.before;
    APMParameters parameters;
    if (c.items) parameters["items"] = APMValue(std::vector<APMParameters>(c.items, {{"item_id", APMValue("a")}}));
    auto e = event(c.name, parameters);
    ASSERT_TRUE(e) << c.label;
    auto decision = APMApplyDailyLimits(*e, c.name[0] != '_', kDay, limits, state);
    EXPECT_EQ(decision.accept, c.accept) << c.label;
    EXPECT_EQ(decision.refusal, c.refusal) << c.label;
    EXPECT_EQ(decision.shouldLog, c.shouldLog) << c.label;
    EXPECT_EQ(state.allEventsCount, c.all) << c.label;
    EXPECT_EQ(state.publicEventsCount, c.publicCount) << c.label;
    EXPECT_EQ(state.errorEventsCount, c.errors) << c.label;
    EXPECT_EQ(state.day, kDay) << c.label;
  }
}

}  // namespace
