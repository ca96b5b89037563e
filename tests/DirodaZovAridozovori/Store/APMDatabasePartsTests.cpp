// The database's parts share its one connection, its worker queue and its reset.
#include <gtest/gtest.h>

#include <functional>

#include "APMPBMessages.h"
#include "StoreTestSupport.h"

namespace {

using APMDatabasePartsTest = APMDatabaseFixture;

APMConditionalUserProperty conditionalProperty(const std::string& name) {
  APMConditionalUserProperty property;
  property.name = name;
  property.origin = "app";
  property.value = APMValue("v");
  property.creationTimestamp = 1700000000;
  return property;
}

// Every part keeps the worker-queue check: called from elsewhere it refuses with code 3 and an
// error, never an empty answer that reads as "nothing stored".
TEST_F(APMDatabasePartsTest, EveryPartRefusesWorkOffTheWorkerQueue) {
  struct Case {
    const char* part;
    std::function<bool(platform::Error*)> call;  // whether it answered as if it had worked
  };
  const Case cases[] = {
      {"user properties",
       [&](platform::Error* error) { return db_->userProperties().publicUserAttributeCount(error).has_value(); }},
      {"raw events", [&](platform::Error* error) { return db_->rawEvents().isRawEventsTableEmpty(error).has_value(); }},
      {"event aggregates",
       [&](platform::Error* error) { return db_->eventAggregates().allEventAggregates(error).has_value(); }},
      {"app metadata", [&](platform::Error* error) { return db_->appMetadata().dailyCounts(error).has_value(); }},
      {"upload queue",
       [&](platform::Error* error) { return db_->bundleQueue().isQueuedBundleTableEmpty(error).has_value(); }},
      {"purchases",
       [&](platform::Error* error) {
         return db_->purchases().insertIfNotDuplicatePurchaseFingerprint("f", error).has_value();
       }},
      {"conditional properties",
       [&](platform::Error* error) {
         return db_->conditionalProperties()
             .conditionalUserPropertiesWithPrefix(std::nullopt, std::nullopt, error)
             .has_value();
       }},
      {"audience filters",
       [&](platform::Error* error) { return db_->audienceFilters().allAudienceIDs(error).has_value(); }},
      {"on-device values",
       [&](platform::Error* error) { return db_->onDeviceValues().ODMValueWithName("odm1_value", error).has_value(); }},
      {"stored configuration",
       [&](platform::Error* error) { return db_->storedConfig().updateRemoteConfigSuccessfulTimestamp(5, error); }},
  };
  CapturedStoreLog log;
  for (const Case& c : cases) {
    platform::Error error;
    EXPECT_FALSE(c.call(&error)) << c.part;
    EXPECT_EQ(error.code, 3) << c.part;
  }
  onWorker([&] {
    EXPECT_EQ(db_->storedConfig().lastRemoteConfigUpdateTimestamp(&e), 0) << "the refused write must not have run";
    EXPECT_EQ(db_->purchases().insertIfNotDuplicatePurchaseFingerprint("f", &e), true)
        << "the refused write must not have run";
  });
}

// The connection goes without SQLite's own mutex, so the road's writes and the database's own
// transactions and clean-ups refuse to run off the worker queue, and touch nothing.
TEST_F(APMDatabasePartsTest, TheRoadsWritesAndTheDatabasesOwnWorkRefuseOffTheWorkerQueue) {
  auto event = APMEvent::create("app", true, "level_up", 1700000000, 0, APMParameters{});
  struct Case {
    const char* operation;
    std::function<bool(platform::Error*)> call;  // whether it answered as if it had worked
  };
  const Case cases[] = {
      {"raw event", [&](platform::Error* error) { return db_->rawEvents().insertRawEvent(*event, 7, false, error); }},
      {"metadata",
       [&](platform::Error* error) {
         return db_->rawEvents().insertIfNotExistsRawEventMetadata(platform::Data{1, 2}, 7, error);
       }},
      {"transaction", [&](platform::Error* error) { return db_->beginTransaction(error); }},
      {"reset", [&](platform::Error* error) { return db_->reset(error); }},
      {"stale data", [&](platform::Error* error) { return db_->maybeDeleteStaleData(error).has_value(); }},
  };
  CapturedStoreLog log;
  for (const Case& c : cases) {
    platform::Error error;
    EXPECT_FALSE(c.call(&error)) << c.operation;
  }
  onWorker([&] {
    EXPECT_EQ(db_->rawEvents().isRawEventsTableEmpty(&e), true) << "the refused write must not have run";
    EXPECT_FALSE(db_->rawEvents().queryRawEventsMetadataWithFingerprint(7, &e)) << "the refused write must not have run";
  });
}

// A write through any part is inside the owner's transaction: rolled back, none of them is left.
TEST_F(APMDatabasePartsTest, WritesThroughEveryPartRollBackWithTheOwnersTransaction) {
  onWorker([&] {
    const bool kept = db_->performTransaction([&] {
      EXPECT_TRUE(db_->userProperties().updateUserAttribute(APMUserAttribute("app", "color", APMValue("red"), 1), &e));
      EXPECT_TRUE(db_->rawEvents().insertRawEvent(
          *APMEvent::create("app", true, "level_up", 1700000000, 0, APMParameters{}), 1, false, &e));
      EXPECT_TRUE(db_->eventAggregates().updateEventAggregates(APMEventAggregates("level_up", 1, 1, 1, 1), &e));
      APMDailyCounts counts;
      counts.allEventsCount = 3;
      EXPECT_TRUE(db_->appMetadata().updateDailyCounts(counts, &e));
      EXPECT_TRUE(db_->bundleQueue().insertBundle(platform::Data{1, 2}, 1700000000, false, &e));
      EXPECT_EQ(db_->purchases().insertIfNotDuplicateSubscriptionID("s", &e), true);
      EXPECT_TRUE(db_->conditionalProperties().updateConditionalUserProperty(conditionalProperty("p"), &e));
      EXPECT_TRUE(db_->audienceFilters().updateFilterResults({APMFilterResult(7, {1}, {2})}, &e));
      EXPECT_TRUE(db_->onDeviceValues().updateODMValue("v", "odm1_value", 1, &e));
      EXPECT_TRUE(db_->storedConfig().updateRemoteConfig(platform::Data{8, 1}, &e));
      return false;
    });
    EXPECT_FALSE(kept);
    EXPECT_FALSE(db_->userProperties().userAttributeWithName("color", &e));
    EXPECT_EQ(db_->rawEvents().isRawEventsTableEmpty(&e), true);
    EXPECT_FALSE(db_->eventAggregates().eventAggregatesWithName("level_up", &e));
    EXPECT_EQ(db_->appMetadata().dailyCounts(&e)->allEventsCount, 0);
    EXPECT_EQ(db_->bundleQueue().isQueuedBundleTableEmpty(&e), true);
    EXPECT_EQ(db_->purchases().insertIfNotDuplicateSubscriptionID("s", &e), true) << "the first one was rolled back";
    EXPECT_FALSE(db_->conditionalProperties().conditionalUserPropertyWithName("p", &e));
    EXPECT_FALSE(db_->audienceFilters().filterResultForAudienceID(7, &e));
    EXPECT_TRUE(db_->onDeviceValues().ODMValueWithName("odm1_value", &e)->empty());
    EXPECT_FALSE(db_->storedConfig().queryMeasurementConfigWithError(&e));
    EXPECT_TRUE(e.empty()) << e.description;
  });
}

// What the parts hand out as versions moves with the owner's reset and rollbacks, and with their
// own writes only.
TEST_F(APMDatabasePartsTest, PartVersionsFollowTheirOwnWritesTheResetAndRollbacks) {
  struct Case {
    const char* name;
    std::function<void()> action;
    bool filtersMove;
    bool onDeviceValuesMove;
  };
  const Case cases[] = {
      {"filters deleted", [&] { db_->audienceFilters().deleteAllEventFilters(&e); }, true, false},
      {"on-device value set", [&] { db_->onDeviceValues().updateODMValue("v", "odm1_value", 1, &e); }, false, true},
      {"conditional property set",
       [&] { db_->conditionalProperties().updateConditionalUserProperty(conditionalProperty("p"), &e); }, false, false},
      {"rolled back", [&] { db_->performTransaction([] { return false; }); }, false, true},
      {"reset", [&] { db_->reset(&e); }, true, true},
  };
  onWorker([&] {
    for (const Case& c : cases) {
      const uint64_t filtersBefore = db_->audienceFilters().audienceFiltersVersion();
      const APMDatabaseVersion valuesBefore = db_->onDeviceValues().onDeviceValuesVersion();
      c.action();
      EXPECT_EQ(db_->audienceFilters().audienceFiltersVersion() != filtersBefore, c.filtersMove) << c.name;
      EXPECT_EQ(!(db_->onDeviceValues().onDeviceValuesVersion() == valuesBefore), c.onDeviceValuesMove) << c.name;
    }
  });
}

}  // namespace
