#include <gtest/gtest.h>

#include "AudienceFixture.h"

namespace {

// The configuration's defaults: 100 audiences, 10 filters per audience, 200 results, 25 parameter filters.
const APMAudienceLimits kDefaultLimits{100, 10, 200, 25};

APMFilterForm over(const char* value, const char* parameter = "value") {
  return withNumber(numberFilter(2, value), false, parameter);
}
APMFilterForm exactly(const char* value) { return withString(stringFilter(5, value)); }

TEST(APMAudienceValidationTests, TheFirstProblemOfAnAudienceDecidesItsRefusal) {
  CapturedAudienceLog log;
  APMEventFilterForm floatCount = eventFilterForm(0, "purchase", {}, {}, numberFilter(2, "1"));
  floatCount.eventCountFilter->matchAsFloat = true;
  APMPropertyFilterForm noFilter = propertyFilterForm(0, "tier", exactly("gold"));
  noFilter.filter.reset();
  APMFilterForm both = over("1");
  both.stringFilter = stringFilter(5, "a");
  APMFilterForm neither;
  neither.parameterName = "value";
  const APMFilterForm unnamed = withNumber(numberFilter(2, "1"));
  const std::vector<APMFilterForm> tooManyParameters(26, over("1"));
  const std::vector<APMEventFilterForm> elevenFilters = [] {
    std::vector<APMEventFilterForm> filters;
    for (int32_t id = 0; id < 11; ++id) filters.push_back(eventFilterForm(id, "purchase"));
    return filters;
  }();
  struct Case {
    std::shared_ptr<APMPBAudience> audience;
    int64_t code;
    const char* description;
  } cases[] = {
      {audienceMessage(std::nullopt, {eventFilterForm(0, "purchase")}), 9, "Missing audience ID"},
      {audienceMessage(-1, {eventFilterForm(0, "purchase")}), 9, "Audience ID is negative"},
      {audienceMessage(4, {eventFilterForm(0, "purchase")}), 9, "Duplicate audience ID"},
      {audienceMessage(1, {}), 9, "Audience missing filters arrays"},
      {audienceMessage(1, elevenFilters), 9, "Audience filter count out of range"},
      {audienceMessage(1, {eventFilterForm(0, "")}), 10, "Event filter missing event name"},
      {audienceMessage(1, {[] {
                          auto filter = eventFilterForm(0, "purchase");
                          filter.filterID.reset();
                          return filter;
                        }()}),
       10, "Missing event filter ID"},
      {audienceMessage(1, {eventFilterForm(10, "purchase")}), 10, "Event filter ID is out of range"},
      {audienceMessage(1, {eventFilterForm(-1, "purchase")}), 10, "Event filter ID is out of range"},
      {audienceMessage(1, {eventFilterForm(2, "purchase"), eventFilterForm(2, "refund")}), 10,
       "Duplicate event filter ID"},
      {audienceMessage(1, {floatCount}), 10, "Event filter has float event count filter"},
      {audienceMessage(1, {eventFilterForm(0, "purchase", {}, {}, numberFilter(0, "1"))}), 10,
       "Event filter has invalid event count filter"},
      {audienceMessage(1, {eventFilterForm(0, "purchase", tooManyParameters)}), 10,
       "Event filter parameters filters count out of range"},
      {audienceMessage(1, {eventFilterForm(0, "purchase", {unnamed})}), 10, "Event filter missing parameter name"},
      {audienceMessage(1, {eventFilterForm(0, "purchase", {both})}), 10,
       "Event filter must have exactly one of number or string filter"},
      {audienceMessage(1, {eventFilterForm(0, "purchase", {neither})}), 10,
       "Event filter must have exactly one of number or string filter"},
      {audienceMessage(1, {eventFilterForm(0, "purchase", {over("ten")})}), 10, "Event filter has invalid number filter"},
      {audienceMessage(1, {eventFilterForm(0, "purchase", {withString(stringFilter(1, "["), false, "term")})}), 10,
       "Event filter has invalid string filter"},
      {audienceMessage(1, {}, {propertyFilterForm(0, "", exactly("gold"))}), 11, "Property filter missing property name"},
      {audienceMessage(1, {}, {[] {
                              auto filter = propertyFilterForm(0, "tier", exactly("gold"));
                              filter.filterID.reset();
                              return filter;
                            }()}),
       11, "Missing property filter ID"},
      {audienceMessage(1, {}, {propertyFilterForm(10, "tier", exactly("gold"))}), 11,
       "Property filter ID is out of range"},
      {audienceMessage(1, {eventFilterForm(3, "purchase")}, {propertyFilterForm(3, "tier", exactly("gold"))}), 11,
       "Duplicate property filter ID"},
      {audienceMessage(1, {}, {noFilter}), 11, "Property filter has no filter"},
      {audienceMessage(1, {}, {propertyFilterForm(0, "tier", neither)}), 11,
       "Property filter must have exactly one of number or string filter"},
      {audienceMessage(1, {}, {propertyFilterForm(0, "tier", withNumber(numberFilter(2, "x")))}), 11,
       "Property filter must have exactly one of number or string filter"},
      {audienceMessage(1, {}, {propertyFilterForm(0, "tier", withString(stringFilter(6, "a")))}), 11,
       "Property filter has invalid string filter"},
      // Event filters are checked first.
      {audienceMessage(1, {eventFilterForm(12, "purchase")}, {propertyFilterForm(0, "", exactly("gold"))}), 10,
       "Event filter ID is out of range"},
  };
  for (const Case& c : cases) {
    auto error = APMAudience::validationError(*c.audience, {4}, kDefaultLimits);
    ASSERT_TRUE(error) << c.description;
    EXPECT_EQ(error->domain, "com.diroda.dmp.measurement.ErrorDomain") << c.description;
    EXPECT_EQ(error->code, c.code) << c.description;
    EXPECT_EQ(error->description, c.description);
  }
  EXPECT_FALSE(APMAudience::validationError(*audienceMessage(1, {eventFilterForm(9, "purchase", {over("1")})},
                                                             {propertyFilterForm(0, "tier", exactly("gold"))}),
                                            {4}, kDefaultLimits));
}

using AudienceUpdateTest = AudienceTest;

TEST_F(AudienceUpdateTest, ValidAudiencesAreStoredUnderInternalNamesAndInvalidOnesAreLeftOut) {
  ASSERT_TRUE(update({audienceMessage(1, {eventFilterForm(0, "session_start", {over("1", "engagement_time_msec")},
                                                          {.dynamic = true, .sessionScoped = true})},
                                      {propertyFilterForm(1, "first_open_time", exactly("x"), {.sequence = true})}),
                      audienceMessage(2, {eventFilterForm(10, "purchase")})}));
  EXPECT_TRUE(log_.contains(6009));
  const auto filters = eventFiltersNamed("_s");
  ASSERT_EQ(filters.size(), 1u);
  EXPECT_EQ(filters[0].audienceID(), 1);
  EXPECT_TRUE(filters[0].isDynamic());
  EXPECT_TRUE(filters[0].isSessionScoped());
  EXPECT_FALSE(filters[0].isSequence());
  const auto form = APMEventFilterForm::fromMessage(*APMPBEventFilter::fromBuffer(filters[0].data()));
  EXPECT_EQ(form.eventName, "_s");
  EXPECT_EQ(form.filters.at(0).parameterName, "_et");
  EXPECT_TRUE(eventFiltersNamed("purchase").empty()) << "the invalid audience is not stored";
  onWorker([&] {
    auto properties = db_->audienceFilters().propertyFiltersForPropertyName("_fot", &e);
    ASSERT_TRUE(properties);
    ASSERT_EQ(properties->size(), 1u);
    EXPECT_TRUE(properties->front().isSequence());
  });

  // A public event under its internal name makes the audience true.
  ASSERT_TRUE(logEvent("_s", {{"_et", APMValue(int64_t{5})}}, 100));
  EXPECT_EQ(stored(1).results, std::vector<uint64_t>{1});
}

TEST_F(AudienceUpdateTest, ANewConfigurationReplacesTheFiltersUnlessItHasTooManyAudiences) {
  ASSERT_TRUE(update({audienceMessage(1, {eventFilterForm(0, "purchase")})}));
  struct Case {
    int32_t audienceCount;
    bool replaced;
  } cases[] = {
      {101, false},
      {100, true},
  };
  for (const Case& c : cases) {
    std::vector<std::shared_ptr<APMPBAudience>> audiences;
    for (int32_t id = 0; id < c.audienceCount; ++id) audiences.push_back(audienceMessage(id + 10, {eventFilterForm(0, "refund")}));
    log_.clear();
    EXPECT_TRUE(update(audiences)) << c.audienceCount;
    EXPECT_EQ(log_.contains(6008), !c.replaced) << c.audienceCount;
    EXPECT_EQ(eventFiltersNamed("purchase").empty(), c.replaced) << c.audienceCount;
    EXPECT_EQ(eventFiltersNamed("refund").size(), c.replaced ? 100u : 0u) << c.audienceCount;
  }
}

// The evaluator keeps the filters it read; it must notice when they change under it.
TEST_F(AudienceUpdateTest, AnEvaluatorFollowsFiltersChangedElsewhere) {
  struct Case {
    const char* name;
    std::function<void(AudienceTest&)> change;
    std::vector<uint64_t> results;
  } cases[] = {
      {"a new configuration through another evaluator",
       [](AudienceTest& t) {
         t.onWorker([&] {
           APMAudience(t.db_).updateAudiences({audienceMessage(1, {eventFilterForm(1, "purchase")})});
         });
       },
       {0b11}},
      {"a reset of the database", [](AudienceTest& t) { t.onWorker([&] { ASSERT_TRUE(t.db_->reset(&t.e)); }); }, {}},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(update({audienceMessage(1, {eventFilterForm(0, "purchase")})}));
    onWorker([&] { ASSERT_TRUE(db_->audienceFilters().deleteFilterResults({1}, &e)); });
    ASSERT_TRUE(logEvent("purchase", {}, 10));
    c.change(*this);
    ASSERT_TRUE(logEvent("purchase", {}, 20));
    auto results = storedResults();
    EXPECT_EQ(results.count(1) ? decodeResult(results.at(1).currentResults()).results : std::vector<uint64_t>{},
              c.results)
        << c.name;
  }
}

TEST_F(AudienceUpdateTest, AFilterIDOutOfRangeRefusesItsAudienceAndStoresNothing) {
  EXPECT_TRUE(update({audienceMessage(1, {eventFilterForm(10, "purchase")})}));
  const auto entries = log_.entries();
  auto refusal = std::find_if(entries.begin(), entries.end(), [](const auto& entry) { return entry.code == 6009; });
  ASSERT_NE(refusal, entries.end());
  EXPECT_EQ(refusal->message, "Audience definition is invalid. Audience will not be saved. Audience, error");
  ASSERT_EQ(refusal->contexts.size(), 2u);
  ASSERT_TRUE(refusal->contexts[1].error());
  EXPECT_EQ(refusal->contexts[1].error()->code, 10);
  EXPECT_EQ(refusal->contexts[1].error()->description, "Event filter ID is out of range");
  EXPECT_TRUE(eventFiltersNamed("purchase").empty());
}

}  // namespace
