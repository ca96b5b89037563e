#include <gtest/gtest.h>

#include "AudienceFixture.h"

namespace {

using Words = std::vector<uint64_t>;

APMFilterForm valueOver(const char* amount) { return withNumber(numberFilter(2, amount), false, "value"); }
APMFilterForm tierIs(const char* tier) { return withString(stringFilter(5, tier)); }

TEST_F(AudienceTest, ResultWordsHoldEachFilterAtItsWordAndBit) {
  struct Case {
    const char* name;
    int32_t filterID;
    bool result;
    std::optional<platform::Data> current;
    Words status;
    Words results;
  } cases[] = {
      {"filter 0", 0, true, std::nullopt, {1}, {1}},
      {"filter 63", 63, true, std::nullopt, {uint64_t{1} << 63}, {uint64_t{1} << 63}},
      {"filter 64 is word 1, bit 0", 64, false, std::nullopt, {0, 1}, {0, 0}},
      {"a first true filter 130 makes three words", 130, true, std::nullopt, {0, 0, 4}, {0, 0, 4}},
      {"a false result clears the results bit", 1, false, encodedResult({3}, {3}), {3}, {1}},
      {"damaged words of different lengths grow together", 0, false, encodedResult({1, 2}, {1}), {1, 2}, {0, 0}},
  };
  for (const Case& c : cases) {
    const APMFilterResult current(7, c.current.value_or(platform::Data{}), platform::Data{9, 9});
    const APMFilterResult updated = APMAudience::updatedFilterResultWithFilterID(
        c.filterID, 7, c.current ? &current : nullptr, c.result, APMAudienceTimestampsCache());
    const StoredResult decoded = decodeResult(updated.currentResults());
    EXPECT_EQ(decoded.status, c.status) << c.name;
    EXPECT_EQ(decoded.results, c.results) << c.name;
    EXPECT_EQ(updated.previousResults(), c.current ? (platform::Data{9, 9}) : platform::Data{}) << c.name;
    EXPECT_EQ(APMAudience::isFilterResult(&updated, c.filterID), c.result) << c.name;
  }
}

TEST_F(AudienceTest, EventFiltersStayTrueAndOnlyDynamicAndSequenceFiltersMoveTheirTimes) {
  ASSERT_TRUE(update({audienceMessage(1, {eventFilterForm(0, "purchase", {valueOver("10")}),
                                          eventFilterForm(1, "purchase", {valueOver("10")}, {.dynamic = true}),
                                          eventFilterForm(2, "purchase", {valueOver("10")}, {.sequence = true}),
                                          eventFilterForm(3, "purchase", {valueOver("10")}, {.sessionScoped = true})})}));
  const APMParameters match{{"value", APMValue(int64_t{20})}};
  const APMParameters miss{{"value", APMValue(int64_t{5})}};
  struct Step {
    double time;
    APMParameters parameters;
    std::map<int32_t, int64_t> dynamicTimes;
    std::map<int32_t, std::vector<int64_t>> sequenceTimes;
  } steps[] = {
      {100.2, match, {{1, 100}, {3, 100}}, {{2, {100}}}},
      // Within the same second: nothing new for the sequence.
      {100.7, match, {{1, 100}, {3, 100}}, {{2, {100}}}},
      // No match: every bit stays set and no time moves.
      {200.5, miss, {{1, 100}, {3, 100}}, {{2, {100}}}},
      {300, match, {{1, 300}, {3, 300}}, {{2, {100, 300}}}},
  };
  for (const Step& step : steps) {
    ASSERT_TRUE(logEvent("purchase", step.parameters, step.time));
    const StoredResult result = stored(1);
    EXPECT_EQ(result.status, Words{0b1111}) << step.time;
    EXPECT_EQ(result.results, Words{0b1111}) << step.time;
    EXPECT_EQ(result.dynamicTimes, step.dynamicTimes) << step.time;
    EXPECT_EQ(result.sequenceTimes, step.sequenceTimes) << step.time;
  }

  // A static filter that became true is not evaluated again (its missing parameter is not even noticed).
  ASSERT_TRUE(update({audienceMessage(2, {eventFilterForm(0, "level_up", {withNumber(numberFilter(2, "1"), false, "level")})})}));
  ASSERT_TRUE(logEvent("level_up", {{"level", APMValue(int64_t{2})}}, 400));
  log_.clear();
  ASSERT_TRUE(logEvent("level_up", {}, 500));
  EXPECT_FALSE(log_.contains(7009));
  EXPECT_EQ(stored(2).results, Words{1});
}

TEST_F(AudienceTest, PropertyFiltersClearOnlyDynamicBitsAndSessionScopedBitsLastUntilTheSessionEnds) {
  ASSERT_TRUE(update({audienceMessage(1, {},
                                      {propertyFilterForm(0, "tier", tierIs("gold")),
                                       propertyFilterForm(1, "tier", tierIs("gold"), {.dynamic = true}),
                                       propertyFilterForm(2, "tier", tierIs("gold"), {.sessionScoped = true}),
                                       propertyFilterForm(3, "tier", tierIs("gold"), {.sequence = true})})}));
  struct Step {
    const char* tier;
    double setTime;
    std::optional<double> evaluationTime;
    Words results;
    std::map<int32_t, int64_t> dynamicTimes;
    std::map<int32_t, std::vector<int64_t>> sequenceTimes;
  } steps[] = {
      {"gold", 50, std::nullopt, {0b1111}, {{1, 50}, {2, 50}}, {{3, {50}}}},
      {"silver", 60, 70, {0b1101}, {{1, 50}, {2, 50}}, {{3, {50}}}},
      {"gold", 80, 90, {0b1111}, {{1, 90}, {2, 90}}, {{3, {90}}}},
  };
  for (const Step& step : steps) {
    ASSERT_TRUE(setProperty("tier", APMValue(step.tier), step.setTime, step.evaluationTime));
    const StoredResult result = stored(1);
    EXPECT_EQ(result.status, Words{0b1111}) << step.setTime;
    EXPECT_EQ(result.results, step.results) << step.setTime;
    EXPECT_EQ(result.dynamicTimes, step.dynamicTimes) << step.setTime;
    EXPECT_EQ(result.sequenceTimes, step.sequenceTimes) << step.setTime;
  }
  const platform::Data beforeClearing = storedResults().at(1).currentResults();
  ASSERT_TRUE(clearSessionScoped());
  const StoredResult cleared = stored(1);
  EXPECT_EQ(cleared.status, Words{0b1011});
  EXPECT_EQ(cleared.results, Words{0b1011});
  EXPECT_EQ(cleared.dynamicTimes, (std::map<int32_t, int64_t>{{1, 90}}));
  EXPECT_EQ(storedResults().at(1).previousResults(), beforeClearing);
}

TEST_F(AudienceTest, OneCacheCarriesSequenceTimesThroughAWholeBundle) {
  ASSERT_TRUE(update({audienceMessage(1, {eventFilterForm(0, "purchase", {}, {.sequence = true})})}));
  struct Case {
    const char* name;
    bool shared;
    std::vector<int64_t> times;
  } cases[] = {
      {"one pass keeps every time", true, {100, 200, 300}},
      // Separate passes start from the last stored time only.
      {"separate passes", false, {200, 300}},
  };
  for (const Case& c : cases) {
    onWorker([&] { ASSERT_TRUE(db_->audienceFilters().deleteFilterResults({1}, &e)); });
    APMAudienceTimestampsCache cache;
    for (double time : {100.0, 200.0, 300.0}) ASSERT_TRUE(logEvent("purchase", {}, time, c.shared ? &cache : nullptr));
    EXPECT_EQ(stored(1).sequenceTimes, (std::map<int32_t, std::vector<int64_t>>{{0, c.times}})) << c.name;
  }
}

TEST_F(AudienceTest, BundlesReportEachEvaluatedAudienceWithWhatChangedSinceTheLastBundle) {
  ASSERT_TRUE(update({audienceMessage(1, {eventFilterForm(0, "purchase", {}, {.sequence = true})})}));
  APMAudienceTimestampsCache cache;
  ASSERT_TRUE(logEvent("purchase", {}, 100, &cache));
  ASSERT_TRUE(logEvent("purchase", {}, 200, &cache));
  storeResult(2, encodedResult({0}, {0}));
  storeResult(3, platform::Data{0xff, 0xff, 0xff});

  using Leaf = APMPBAudienceLeafFilterResult;
  struct Round {
    bool newAudience;
    std::vector<int64_t> currentTimes;
    std::optional<std::vector<int64_t>> previousTimes;
  } rounds[] = {
      {true, {100, 200}, std::nullopt},
      // Unchanged since the last bundle: no previous data, and the sequence list cut to its last time.
      {false, {200}, std::nullopt},
      {false, {200}, std::vector<int64_t>{100, 200}},
  };
  for (const Round& round : rounds) {
    log_.clear();
    auto leaves = bundle();
    ASSERT_TRUE(leaves);
    ASSERT_EQ(leaves->size(), 1u);
    const Leaf& leaf = *leaves->front();
    EXPECT_EQ(APMNanoGetInt32(leaf, Leaf::kAudienceId), 1);
    EXPECT_EQ(APMNanoGetBool(leaf, Leaf::kNewAudience), round.newAudience);
    auto current = APMNanoGetMessage<APMPBResultData>(leaf, Leaf::kCurrentData);
    ASSERT_TRUE(current);
    EXPECT_EQ(decodeResult(current->protoBuffer()).sequenceTimes.at(0), round.currentTimes);
    auto previous = APMNanoGetMessage<APMPBResultData>(leaf, Leaf::kPreviousData);
    EXPECT_EQ(previous != nullptr, round.previousTimes.has_value());
    if (previous && round.previousTimes) {
      EXPECT_EQ(decodeResult(previous->protoBuffer()).sequenceTimes.at(0), *round.previousTimes);
    }
    EXPECT_TRUE(log_.contains(6021));
    EXPECT_TRUE(log_.contains(6020));
  }
}

TEST_F(AudienceTest, ABundlesPassStoresItsResultsOnlyWhenTheBundlesResultsAreRead) {
  ASSERT_TRUE(update({audienceMessage(1, {eventFilterForm(0, "purchase", {}, {.dynamic = true})},
                                      {propertyFilterForm(1, "tier", tierIs("gold"))})}));
  APMAudienceEvaluationPass pass;
  onWorker([&] {
    for (double time : {100.0, 200.0}) {
      ASSERT_TRUE(audience_->evaluateFiltersForEventName("purchase", {}, APMEventAggregates("purchase", 1, 1, 1, 0),
                                                         time, pass));
    }
    ASSERT_TRUE(audience_->evaluateFiltersForUserProperty(APMUserAttribute("app", "tier", APMValue("gold"), 50), pass,
                                                          300.0));
  });
  EXPECT_TRUE(storedResults().empty()) << "a rolled-back bundle must leave nothing behind";

  std::optional<std::vector<std::shared_ptr<APMPBAudienceLeafFilterResult>>> leaves;
  onWorker([&] { leaves = audience_->resultsForBundling(&pass); });
  ASSERT_TRUE(leaves);
  ASSERT_EQ(leaves->size(), 1u);
  const StoredResult reported =
      decodeResult(APMNanoGetMessage<APMPBResultData>(*leaves->front(), APMPBAudienceLeafFilterResult::kCurrentData)
                       ->protoBuffer());
  EXPECT_EQ(reported.results, Words{0b11});
  EXPECT_EQ(reported.dynamicTimes, (std::map<int32_t, int64_t>{{0, 200}}));
  EXPECT_EQ(stored(1).results, Words{0b11});
}

TEST_F(AudienceTest, SessionStartForgetsSessionScopedFiltersEvenInDamagedRows) {
  ASSERT_TRUE(update({audienceMessage(6, {eventFilterForm(3, "purchase", {}, {.sessionScoped = true})})}));
  // Filter 64 lies in the second word (stored under a configuration that allowed that many filters).
  onWorker([&] {
    auto filter = messageOf(eventFilterForm(64, "purchase", {}, {.sessionScoped = true}));
    ASSERT_TRUE(db_->audienceFilters().updateEventFilters(
        {APMEventFilter(5, 64, "purchase", filter->protoBuffer(), true, false, false)}, &e));
  });
  // Audience 5's results array is shorter than its status array.
  storeResult(5, encodedResult({1, 1}, {1}));
  storeResult(6, encodedResult({8}, {8}));
  storeResult(7, encodedResult({1}, {1}));
  ASSERT_TRUE(clearSessionScoped());
  auto results = storedResults();
  ASSERT_EQ(results.count(5), 1u);
  EXPECT_EQ(decodeResult(results.at(5).currentResults()).status, (Words{1, 0}));
  EXPECT_EQ(decodeResult(results.at(5).currentResults()).results, (Words{1, 0}));
  EXPECT_EQ(results.at(5).previousResults(), encodedResult({1, 1}, {1}));
  EXPECT_EQ(results.count(6), 0u) << "nothing evaluated is left: the row goes";
  EXPECT_EQ(results.at(7).currentResults(), encodedResult({1}, {1})) << "no session-scoped filter";
}

TEST_F(AudienceTest, StaleResultsGoOnlyOnceTheyExceedTheLimit) {
  struct Case {
    int32_t storedResults;
    std::set<int32_t> remaining;
  } cases[] = {
      {200, {}},
      {201, {1, 2}},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(update({audienceMessage(1, {eventFilterForm(0, "purchase")})}));
    for (int32_t id = 1; id <= c.storedResults; ++id) storeResult(id, encodedResult({1}, {1}));
    log_.clear();
    ASSERT_TRUE(update({audienceMessage(2, {eventFilterForm(0, "purchase")})}));
    std::set<int32_t> remaining;
    for (const auto& [id, result] : storedResults()) remaining.insert(id);
    if (c.remaining.empty()) {
      EXPECT_EQ(remaining.size(), static_cast<size_t>(c.storedResults));
      EXPECT_FALSE(log_.contains(6016));
    } else {
      EXPECT_EQ(remaining, c.remaining);
      EXPECT_TRUE(log_.contains(6016));
    }
    onWorker([&] {
      std::vector<int32_t> all;
      for (int32_t id = 1; id <= c.storedResults; ++id) all.push_back(id);
      ASSERT_TRUE(db_->audienceFilters().deleteFilterResults(all, &e));
    });
  }
}

TEST_F(AudienceTest, DatabaseFailuresAreReportedAndFailTheCall) {
  struct Case {
    const char* table;
    std::function<bool(AudienceTest&)> call;
    int64_t code;
  } cases[] = {
      {"event_filters", [](AudienceTest& t) { return t.logEvent("purchase", {}, 1); }, 6000},
      {"audience_filter_values", [](AudienceTest& t) { return t.logEvent("purchase", {}, 1); }, 6001},
      {"property_filters", [](AudienceTest& t) { return t.setProperty("tier", APMValue("gold"), 1); }, 6004},
      {"audience_filter_values", [](AudienceTest& t) { return t.setProperty("tier", APMValue("gold"), 1); }, 6005},
      {"audience_filter_values", [](AudienceTest& t) { return t.bundle().has_value(); }, 6019},
      {"event_filters", [](AudienceTest& t) { return t.clearSessionScoped(); }, 6040},
      {"audience_filter_values", [](AudienceTest& t) { return t.clearSessionScoped(); }, 6041},
      {"audience_filter_values",
       [](AudienceTest& t) { return t.update({audienceMessage(1, {eventFilterForm(0, "purchase")})}); }, 6015},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(update({audienceMessage(1, {eventFilterForm(0, "purchase")}, {propertyFilterForm(1, "tier", tierIs("gold"))})}));
    log_.clear();
    ASSERT_TRUE(rawStore()->executeStatement(std::string("DROP TABLE ") + c.table, {}, nullptr));
    EXPECT_FALSE(c.call(*this)) << c.code;
    EXPECT_TRUE(log_.contains(c.code)) << c.code;
    closeAndRemoveFiles();
    reopen();
    audience_ = std::make_shared<APMAudience>(db_);
  }
}

TEST_F(AudienceTest, AFilterThatCannotBeJudgedLeavesItsBitAndNeverFailsTheBundle) {
  ASSERT_TRUE(update({audienceMessage(1, {eventFilterForm(0, "search", {withString(stringFilter(1, "(a+)+$", true), false, "term")},
                                                          {.dynamic = true})},
                                      {propertyFilterForm(1, "score", withNumber(numberFilter(2, "3")))})}));
  const APMParameters catastrophic{{"term", APMValue(std::string(40, 'a') + "!")}};
  ASSERT_TRUE(logEvent("search", {{"term", APMValue("aaa")}}, 10));
  ASSERT_TRUE(logEvent("search", catastrophic, 20));
  ASSERT_TRUE(logEvent("search", catastrophic, 30));
  EXPECT_EQ(log_.count(6044), 1u) << "logged once per filter";
  EXPECT_EQ(stored(1).results, Words{1});
  EXPECT_EQ(stored(1).dynamicTimes, (std::map<int32_t, int64_t>{{0, 10}}));

  // A bundle's property message: the string, else the double, else the integer value; none at all is left out.
  struct Case {
    const char* name;
    std::optional<double> doubleValue;
    std::optional<int64_t> intValue;
    Words results;
    bool logsNoValue;
  } cases[] = {
      {"the double wins over the integer", 2.5, 5, {0b01}, false},
      {"the integer", std::nullopt, 5, {0b11}, false},
      {"no value", std::nullopt, std::nullopt, {0b11}, true},
  };
  for (const Case& c : cases) {
    auto property = APMPBUserAttribute::initWithMessageInfo();
    APMNanoSetString(*property, APMPBUserAttribute::kName, "score");
    APMNanoSetInt64(*property, APMPBUserAttribute::kSetTimestampMillis, 50000);
    if (c.doubleValue) APMNanoSetDouble(*property, APMPBUserAttribute::kDoubleValue, *c.doubleValue);
    if (c.intValue) APMNanoSetInt64(*property, APMPBUserAttribute::kIntValue, *c.intValue);
    log_.clear();
    bool ok = false;
    onWorker([&] { ok = audience_->evaluateFiltersForNanoUserProperty(*property, nullptr, std::nullopt); });
    EXPECT_TRUE(ok) << c.name;
    EXPECT_EQ(stored(1).results, c.results) << c.name;
    EXPECT_EQ(log_.contains(6039), c.logsNoValue) << c.name;
  }
}

}  // namespace
