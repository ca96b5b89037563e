#include <gtest/gtest.h>

#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "StoreTestSupport.h"

using platform::Object;

namespace {

using APMDatabaseAudienceTest = APMDatabaseFixture;

std::shared_ptr<APMConditionalUserProperty> property(const std::string& name, const std::string& origin) {
  auto record = std::make_shared<APMConditionalUserProperty>();
  record->name = name;
  record->origin = origin;
  record->value = APMValue("v");
  record->triggerEventName = "level_up";
  record->triggerTimeout = 100;
  record->timeToLive = 50;
  record->creationTimestamp = 1700000000;
  return record;
}

std::vector<std::string> names(
    const std::optional<APMDatabaseConditionalProperties::ConditionalUserProperties>& records) {
  std::vector<std::string> result;
  if (!records) return result;
  for (const auto& record : *records) result.push_back(record->name);
  return result;
}

template <class Message>
platform::Data encodedFilter(bool sessionScoped, bool dynamic, bool sequence) {
  auto filter = Message::initWithMessageInfo();
  APMNanoSetBool(*filter, Message::kSessionScoped, sessionScoped);
  APMNanoSetBool(*filter, Message::kDynamic, dynamic);
  APMNanoSetBool(*filter, Message::kSequence, sequence);
  return filter->protoBuffer();
}

TEST_F(APMDatabaseAudienceTest, FiltersTakeTheirFlagsFromTheDecodedData) {
  const platform::Data scopedSequence = encodedFilter<APMPBEventFilter>(true, false, true);
  const platform::Data dynamicOnly = encodedFilter<APMPBEventFilter>(false, true, false);
  const platform::Data garbage{0xff, 0xff};
  const platform::Data allProperty = encodedFilter<APMPBPropertyFilter>(true, true, true);
  onWorker([&] {
    // The record's own flags are ignored on the way in: what counts is the stored message.
    ASSERT_TRUE(
        db_->audienceFilters().updateEventFilters({APMEventFilter(1, 10, "purchase", scopedSequence, true, false, true),
                                                   APMEventFilter(1, 11, "purchase", garbage, false, true, true),
                                                   APMEventFilter(2, 20, "level_up", dynamicOnly, false, true, false)},
                                                  &e));
    ASSERT_TRUE(db_->audienceFilters().updatePropertyFilters(
        {APMPropertyFilter(3, 30, "color", allProperty, true, true, true)}, &e));

    auto purchase = db_->audienceFilters().eventFiltersForEventName("purchase", &e);
    ASSERT_TRUE(purchase && purchase->size() == 2u);
    EXPECT_EQ(purchase->at(0), APMEventFilter(1, 10, "purchase", scopedSequence, true, false, true));
    EXPECT_EQ(purchase->at(1), APMEventFilter(1, 11, "purchase", garbage, false, false, false))
        << "undecodable data gives NO for all three flags";
    EXPECT_EQ(db_->audienceFilters().eventFiltersForEventName("level_up", &e)->front(),
              APMEventFilter(2, 20, "level_up", dynamicOnly, false, true, false));
    EXPECT_EQ(db_->audienceFilters().propertyFiltersForPropertyName("color", &e)->front(),
              APMPropertyFilter(3, 30, "color", allProperty, true, true, true));

    EXPECT_EQ(*db_->audienceFilters().allAudienceIDs(&e), (std::set<int32_t>{1, 2, 3}));
    EXPECT_EQ(*db_->audienceFilters().allSessionScopedFilters(&e),
              (std::map<int32_t, std::set<int32_t>>{{1, {10}}, {3, {30}}}));
  });
}

TEST_F(APMDatabaseAudienceTest, ConditionalUserPropertyRoundTripsAndAnUnreadableEventIsDroppedAlone) {
  auto record = property("favorite", "fiam");
  record->triggeredEvent = APMEvent::create("fiam", false, "_exp_activate", 0, 0,
                                            APMParameters{{"id", APMValue(int64_t{5})}});
  record->timedOutEvent = APMEvent::create("fiam", false, "_exp_timeout", 0, 0, APMParameters{});
  record->expiredEvent = APMEvent::create("fiam", false, "_exp_expire", 0, 0, APMParameters{});
  record->triggeredTimestamp = 1700000050;
  onWorker(
      [&] { ASSERT_TRUE(db_->conditionalProperties().updateConditionalUserProperty(*record, &e)) << e.description; });
  reopen();
  ASSERT_TRUE(rawStore()->executeStatement("UPDATE conditional_properties SET timed_out_event = ?",
                                           {Object(platform::Data{1, 2, 3})}, nullptr));
  CapturedStoreLog log;
  clock_->advance(500);
  onWorker([&] {
    auto stored = db_->conditionalProperties().conditionalUserPropertyWithName("favorite", &e);
    ASSERT_TRUE(stored && stored->triggeredEvent && stored->expiredEvent);
    EXPECT_EQ(stored->origin, "fiam");
    EXPECT_EQ(stored->value, APMValue("v"));
    EXPECT_EQ(stored->triggerTimeout, 100);
    EXPECT_EQ(stored->timeToLive, 50);
    EXPECT_EQ(stored->triggeredTimestamp, 1700000050);
    EXPECT_TRUE(*stored->triggeredEvent == *record->triggeredEvent);
    EXPECT_EQ(stored->expiredEvent->name(), "_exp_expire");
    EXPECT_FALSE(stored->timedOutEvent) << "the unreadable event is dropped alone";
    EXPECT_EQ(names(db_->conditionalProperties().timedOutConditionalUserPropertiesWithError(&e)),
              (std::vector<std::string>{"favorite"}))
        << "the record must still time out";
    ASSERT_TRUE(db_->conditionalProperties().deleteConditionalUserPropertyWithName("favorite", &e));
    EXPECT_FALSE(db_->conditionalProperties().conditionalUserPropertyWithName("favorite", &e));
    EXPECT_TRUE(e.empty());
  });
  EXPECT_TRUE(log.contains(34008));
}

TEST_F(APMDatabaseAudienceTest, TimedOutExpiredAndTriggeredSelectionsFollowTheClock) {
  onWorker([&] {
    auto waiting = property("waiting", "o");  // created now, time-out 100, time to live 50
    auto late = property("late", "o");
    late->creationTimestamp = 1700000000 - 500;
    auto otherTrigger = property("other", "o");
    otherTrigger->triggerEventName = "purchase";
    auto live = property("live", "o");
    live->active = true;
    live->triggeredTimestamp = 1700000000;
    auto dead = property("dead", "o");
    dead->active = true;
    dead->triggeredTimestamp = 1700000000 - 60;
    for (const auto& record : {waiting, late, otherTrigger, live, dead}) {
      ASSERT_TRUE(db_->conditionalProperties().updateConditionalUserProperty(*record, nullptr));
    }
    EXPECT_EQ(names(db_->conditionalProperties().timedOutConditionalUserPropertiesWithError(&e)),
              (std::vector<std::string>{"late"}));
    EXPECT_EQ(names(db_->conditionalProperties().expiredConditionalUserPropertiesWithError(&e)),
              (std::vector<std::string>{"dead"}));
    EXPECT_EQ(names(db_->conditionalProperties().triggeredConditionalUserPropertiesWithEventName("level_up", &e)),
              (std::vector<std::string>{"waiting"}));
    platform::Error empty;
    EXPECT_FALSE(db_->conditionalProperties().triggeredConditionalUserPropertiesWithEventName("", &empty));
    EXPECT_EQ(empty.description, "Received nil/empty event name for querying triggered conditional user properties");
  });
  clock_->advance(101);
  onWorker([&] {
    EXPECT_EQ(names(db_->conditionalProperties().timedOutConditionalUserPropertiesWithError(&e)),
              (std::vector<std::string>{"late", "other", "waiting"}));
    EXPECT_TRUE(
        names(db_->conditionalProperties().triggeredConditionalUserPropertiesWithEventName("level_up", &e)).empty());
    EXPECT_EQ(names(db_->conditionalProperties().expiredConditionalUserPropertiesWithError(&e)),
              (std::vector<std::string>{"dead", "live"}));
  });
}

TEST_F(APMDatabaseAudienceTest, PrefixAndOriginMatchLiterally) {
  onWorker([&] {
    for (const auto& [name, origin] : std::vector<std::pair<std::string, std::string>>{
             {"a_b", "fiam"}, {"axb", "fiam"}, {"a%c", "fia_"}, {"abc", "fiamx"}, {"zz", "f%"}}) {
      ASSERT_TRUE(db_->conditionalProperties().updateConditionalUserProperty(*property(name, origin), nullptr));
    }
    struct Case {
      const char* label;
      std::optional<std::string> prefix;
      std::optional<std::string> origin;
      std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"underscore in the prefix is literal", std::string("a_"), std::nullopt, {"a_b"}},
        {"percent in the prefix is literal", std::string("a%"), std::nullopt, {"a%c"}},
        {"underscore in the origin is literal", std::nullopt, std::string("fia_"), {"a%c"}},
        {"both joined, origin whole", std::string("a"), std::string("fiam"), {"a_b", "axb"}},
    };
    for (const Case& c : cases) {
      EXPECT_EQ(names(db_->conditionalProperties().conditionalUserPropertiesWithPrefix(c.prefix, c.origin, &e)),
                c.expected)
          << c.label;
      EXPECT_TRUE(e.empty()) << c.label;
    }
  });
}

}  // namespace
