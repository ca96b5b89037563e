#include "Upload/APMRawEventBundler.h"

#include <gtest/gtest.h>

#include <map>

#include "APMLogCapture.h"
#include "UploadTestSupport.h"
#include "Upload/APMUploadBatch.h"
#include "Upload/APMUploadLog.h"
#include "platform/Clock.h"

namespace {

using Bundle = APMPBMeasurementBundle;
using Result = APMRawEventBundler::Result;
using uploadtest::eventNames;

constexpr double kHour = 1700000000.0 - 1700000000 % 3600;  // a whole hour
int64_t ms(double seconds) { return static_cast<int64_t>(seconds * 1000); }

class APMRawEventBundlerTest : public uploadtest::UploadFixture {
 protected:
  std::shared_ptr<APMRawEventBundler> bundler(APMBundlingHooks hooks = {}) {
    return std::make_shared<APMRawEventBundler>(database_, remoteConfig_, persisted_, std::move(hooks));
  }

  // Bundles until nothing is left; the results in order.
  std::vector<Result> bundleAll(APMRawEventBundler& b) {
    std::vector<Result> results;
    onWorker([&] {
      for (int i = 0; i < 100; ++i) {
        results.push_back(b.bundleRawEvents());
        if (results.back() != Result::Bundled) break;
      }
    });
    return results;
  }
  std::vector<Result> bundleAll() { return bundleAll(*bundler()); }

  std::vector<std::shared_ptr<Bundle>> queued() {
    std::vector<std::shared_ptr<Bundle>> bundles;
    onWorker([&] {
      platform::Error error;
      auto rows = database_->bundleQueue().queryBundlesWithCountLimit(1000, int64_t{1} << 40, &error);
      ASSERT_TRUE(rows) << error.description;
      for (auto& [bundle, rowID] : *rows) bundles.push_back(bundle);
    });
    return bundles;
  }

  std::vector<std::vector<std::string>> queuedGroups() {
    std::vector<std::vector<std::string>> groups;
    for (const auto& bundle : queued()) groups.push_back(eventNames(*bundle));
    return groups;
  }

  bool rawEventsLeft() { return runSQL("SELECT COUNT(*) FROM raw_events") != std::vector<int64_t>{0}; }

  // Each bundle's first event, app ID and platform ("none" for a field it lacks).
  std::vector<std::string> bundledWithMetadata() {
    std::vector<std::string> seen;
    for (const auto& bundle : queued()) {
      seen.push_back(eventNames(*bundle).at(0) + " " + APMNanoGetString(*bundle, Bundle::kAppId).value_or("none") +
                     " " + APMNanoGetString(*bundle, Bundle::kPlatform).value_or("none"));
    }
    return seen;
  }
};

// Counts, while it lives, the database's metadata look-ups by fingerprint and the metadata rows it
// reads by row ID.
struct MetadataReads {
  explicit MetadataReads(sqlite3* handle) : handle(handle) {
    sqlite3_trace_v2(handle, SQLITE_TRACE_STMT | SQLITE_TRACE_ROW, &MetadataReads::trace, this);
  }
  ~MetadataReads() { sqlite3_trace_v2(handle, 0, nullptr, nullptr); }
  static int trace(unsigned type, void* self, void* statement, void*) {
    const std::string sql = sqlite3_sql(static_cast<sqlite3_stmt*>(statement));
    if (sql.find("FROM raw_events_metadata WHERE") == std::string::npos) return 0;
    auto& reads = *static_cast<MetadataReads*>(self);
    if (type == SQLITE_TRACE_STMT && sql.find("metadata_fingerprint = ?") != std::string::npos) ++reads.lookups;
    if (type == SQLITE_TRACE_ROW && sql.find("rowid > ?") != std::string::npos) ++reads.rowsByRowID;
    return 0;
  }
  sqlite3* handle;
  int lookups = 0;
  int rowsByRowID = 0;
};

TEST_F(APMRawEventBundlerTest, GroupsByFingerprintHourAndContiguousRows) {
  storeEvents({{"open", kHour + 10}, {"tap", kHour + 20}, {"tap", kHour + 3600 + 5}}, "com.example.app");
  storeEvents({{"other_app_event", kHour + 30}}, "com.example.other");
  storeEvents({{"late", kHour + 40}}, "com.example.app");
  EXPECT_EQ(bundleAll(), (std::vector{Result::Bundled, Result::Bundled, Result::Bundled, Result::Bundled,
                                     Result::NothingToDo}));
  // A new hour ends the first bundle, a row-ID gap the third.
  using Groups = std::vector<std::vector<std::string>>;
  EXPECT_EQ(queuedGroups(), (Groups{{"open", "tap"}, {"tap"}, {"other_app_event"}, {"late"}}));
  EXPECT_EQ(APMNanoGetString(*queued()[2], Bundle::kAppId), "com.example.other");
  EXPECT_FALSE(rawEventsLeft());
}

TEST_F(APMRawEventBundlerTest, BundleFieldsCarryTimesIndexesAndPreviousBundle) {
  storeEvents({{"open", kHour + 10}, {"tap", kHour + 20.5}, {"tap", kHour + 30}});
  storeEvents({{"close", kHour + 3600 + 1}});
  bundleAll();
  auto bundles = queued();
  ASSERT_EQ(bundles.size(), 2u);
  const Bundle& first = *bundles[0];
  EXPECT_EQ(APMNanoGetInt64(first, Bundle::kStartTimestampMillis), ms(kHour + 10));
  EXPECT_EQ(APMNanoGetInt64(first, Bundle::kEndTimestampMillis), ms(kHour + 30));
  EXPECT_EQ(APMNanoGetInt32(first, Bundle::kBundleSequentialIndex), 3) << "the index counts events";
  EXPECT_EQ(APMNanoGetInt32(first, Bundle::kDeliveryIndex), 1);
  EXPECT_FALSE(APMNanoHasField(first, Bundle::kPreviousBundleEndTimestampMillis));
  EXPECT_EQ(APMNanoGetString(first, Bundle::kPlatform), "macos") << "the metadata becomes the bundle";
  EXPECT_EQ(APMNanoGetInt64(first, Bundle::kConfigVersion), 0);

  const Bundle& second = *bundles[1];
  EXPECT_EQ(APMNanoGetInt32(second, Bundle::kBundleSequentialIndex), 4);
  EXPECT_EQ(APMNanoGetInt32(second, Bundle::kDeliveryIndex), 2);
  EXPECT_EQ(APMNanoGetInt64(second, Bundle::kPreviousBundleStartTimestampMillis), ms(kHour + 10));
  EXPECT_EQ(APMNanoGetInt64(second, Bundle::kPreviousBundleEndTimestampMillis), ms(kHour + 30));
  auto events = APMNanoGetRepeatedField<std::shared_ptr<APMPBEvent>>(first, Bundle::kEvents);
  ASSERT_TRUE(events);
  EXPECT_EQ(APMNanoGetInt64(*(*events)[1], APMPBEvent::kTimestampMillis), ms(kHour + 20.5));
  EXPECT_EQ(APMNanoGetInt64(*(*events)[2], APMPBEvent::kPreviousTimestampMillis), ms(kHour + 20.5))
      << "a repeated name carries the time of its previous occurrence";
}

TEST_F(APMRawEventBundlerTest, EventAndSizeLimitsSplitGroups) {
  std::vector<std::pair<std::string, double>> many;
  for (int i = 0; i < 1001; ++i) many.emplace_back("tick", kHour + 1 + i * 0.001);
  storeEvents(many);
  APMParameters big;
  big.emplace("blob", APMValue(std::string(40000, 'x')));
  storeEvents({{"big", kHour + 5}, {"big", kHour + 6}}, "com.example.big", big);
  bundleAll();
  auto groups = queuedGroups();
  ASSERT_EQ(groups.size(), 4u);
  EXPECT_EQ(groups[0].size(), 1000u);
  EXPECT_EQ(groups[1].size(), 1u);
  EXPECT_EQ(groups[2], std::vector<std::string>{"big"}) << "two 40 kB events exceed 64 kB together";
  EXPECT_EQ(groups[3], std::vector<std::string>{"big"});
}

// One metadata fingerprint split by size and by hour: every bundle carries the metadata, which
// goes only with the last of its rows.
TEST_F(APMRawEventBundlerTest, AGroupSplitOverSeveralBundlesCarriesItsMetadataInEveryOne) {
  APMParameters big;
  big.emplace("blob", APMValue(std::string(40000, 'x')));
  storeEvents({{"big", kHour + 1}, {"big", kHour + 2}}, "com.example.app", big, "G100");
  storeEvents({{"next_hour", kHour + 3600 + 5}}, "com.example.app", {}, "G100");
  ASSERT_EQ(runSQL("SELECT COUNT(DISTINCT metadata_fingerprint) FROM raw_events"), std::vector<int64_t>{1});
  auto b = bundler();
  std::vector<int64_t> metadataLeft;
  for (int step = 0; step < 3; ++step) {
    Result result = Result::NothingToDo;
    onWorker([&] { result = b->bundleRawEvents(); });
    ASSERT_EQ(result, Result::Bundled) << "step " << step;
    metadataLeft.push_back(runSQL("SELECT COUNT(*) FROM raw_events_metadata").at(0));
  }
  EXPECT_EQ(metadataLeft, (std::vector<int64_t>{1, 1, 0}));
  auto bundles = queued();
  ASSERT_EQ(bundles.size(), 3u);
  for (const auto& bundle : bundles) {
    EXPECT_EQ(APMNanoGetString(*bundle, Bundle::kPlatform), "macos");
    EXPECT_EQ(APMNanoGetString(*bundle, Bundle::kConsentSignals), "G100");
  }
}

TEST_F(APMRawEventBundlerTest, AnUnreadableRowIsSetAsideAndTheRestTravels) {
  storeEvents({{"first", kHour + 1}, {"broken", kHour + 2}, {"third", kHour + 3}});
  runSQL("UPDATE raw_events SET data = x'ff00ff00ff' WHERE name = 'broken'");
  auto results = bundleAll();
  ASSERT_FALSE(results.empty());
  EXPECT_EQ(results.back(), Result::NothingToDo) << "the broken row must not stall bundling";
  EXPECT_EQ(queuedGroups(), (std::vector<std::vector<std::string>>{{"first"}, {"third"}}));
  EXPECT_FALSE(rawEventsLeft());
}

TEST_F(APMRawEventBundlerTest, AnUnreadableFirstRowDoesNotTakeOtherAppsRowsWithIt) {
  storeEvents({{"broken", kHour + 1}}, "com.example.app");
  storeEvents({{"other_app_event", kHour + 2}}, "com.example.other");
  storeEvents({{"later", kHour + 3}}, "com.example.app");
  runSQL("UPDATE raw_events SET data = x'ff00ff00ff' WHERE name = 'broken'");
  bundleAll();
  EXPECT_EQ(queuedGroups(), (std::vector<std::vector<std::string>>{{"later"}, {"other_app_event"}}))
      << "the row lying between the broken one and its group must still be bundled";
  EXPECT_FALSE(rawEventsLeft());
}

TEST_F(APMRawEventBundlerTest, PurchasesCarryCustomerTypeFromEarlierPurchases) {
  storeEvents({{"purchase", kHour + 1}, {"tap", kHour + 2}, {"_iap", kHour + 3}});
  storeEvents({{"ecommerce_purchase", kHour + 3600 + 1}});
  bundleAll();
  std::vector<std::string> types;
  for (const auto& bundle : queued()) {
    auto events = APMNanoGetRepeatedField<std::shared_ptr<APMPBEvent>>(*bundle, Bundle::kEvents);
    for (const auto& event : *events) {
      types.push_back(*APMNanoGetString(*event, APMPBEvent::kName) + "=" +
                      uploadtest::textParameter(*event, "_ct").value_or("-"));
    }
  }
  EXPECT_EQ(types, (std::vector<std::string>{"purchase=new", "tap=-", "_iap=returning", "ecommerce_purchase=returning"}))
      << "a purchase earlier in the same group or in a stored bundle makes the customer returning";
}

// The configuration's word on each name holds for every event of that name in a group, and only
// for that name: a blocked name goes wherever it appears, a custom conversion is marked on its own
// events, and a public name with an internal counterpart travels under the internal one.
TEST_F(APMRawEventBundlerTest, EachEventOfAGroupFollowsTheRulesOfItsOwnName) {
  APMEventRules::EventConfigs rules;
  auto blocked = APMPBEventConfig::initWithMessageInfo();
  APMNanoSetString(*blocked, APMPBEventConfig::kName, std::string("tap"));
  APMNanoSetBool(*blocked, APMPBEventConfig::kIsBlocklisted, true);
  rules["tap"] = blocked;
  auto conversion = APMPBEventConfig::initWithMessageInfo();
  APMNanoSetString(*conversion, APMPBEventConfig::kName, std::string("buy"));
  APMNanoSetBool(*conversion, APMPBEventConfig::kIsCustomConversion, true);
  rules["buy"] = conversion;
  onWorker([&] { remoteConfig_->eventRules().replace(rules); });
  storeEvents({{"open", kHour + 1},
               {"tap", kHour + 2},
               {"buy", kHour + 3},
               {"ad_impression", kHour + 4},
               {"tap", kHour + 5},
               {"buy", kHour + 6},
               {"open", kHour + 7}});
  EXPECT_EQ(bundleAll(), (std::vector{Result::Bundled, Result::NothingToDo}));
  std::vector<std::string> travelled;
  for (const auto& bundle : queued()) {
    auto events = APMNanoGetRepeatedField<std::shared_ptr<APMPBEvent>>(*bundle, Bundle::kEvents);
    ASSERT_TRUE(events);
    for (const auto& event : *events) {
      const auto marked = uploadtest::intParameter(*event, "_c");
      travelled.push_back(*APMNanoGetString(*event, APMPBEvent::kName) + (marked ? "=" + std::to_string(*marked) : ""));
    }
  }
  EXPECT_EQ(travelled, (std::vector<std::string>{"open", "buy=1", "_ai", "buy=1", "open"}));
  EXPECT_FALSE(rawEventsLeft());
}

TEST_F(APMRawEventBundlerTest, AFailedGroupRollsBackAndChangesNothingOutside) {
  onWorker([&] { persisted_->consent().setPreviousBundledConsentSignals(std::string("G111")); });
  storeEvents({{"open", kHour + 1}}, "com.example.app", {}, "G110");
  bool failAudience = true;
  int samples = 0;
  APMBundlingHooks hooks;
  hooks.evaluateEvent = [&](const APMEvent&, const APMEventAggregates&, APMBundleEvaluationContext*) {
    return !failAudience;
  };
  hooks.monitoringSample = [&](double, double) -> std::optional<std::string> {
    ++samples;
    return std::string("sample");
  };
  auto b = bundler(hooks);
  EXPECT_EQ(bundleAll(*b), std::vector{Result::Failed});
  EXPECT_TRUE(rawEventsLeft());
  EXPECT_TRUE(queued().empty());
  onWorker([&] {
    platform::Error error;
    EXPECT_EQ(database_->appMetadata().queryAppMetadata(&error)->lastDeliveryIndex, 0);
    EXPECT_FALSE(database_->eventAggregates().eventAggregatesWithName("open", &error)) << "aggregates rolled back";
    EXPECT_EQ(persisted_->consent().previousBundledConsentSignals(), "G111") << "consent memory waits for the commit";
    EXPECT_EQ(persisted_->uploadSchedule().lastMonitorDataSampledTimestamp(), 0);
  });
  EXPECT_EQ(samples, 0) << "the failure came before the monitor sample was taken";

  failAudience = false;
  EXPECT_EQ(bundleAll(*b), (std::vector{Result::Bundled, Result::NothingToDo}));
  auto bundles = queued();
  ASSERT_EQ(bundles.size(), 1u);
  EXPECT_EQ(APMNanoGetString(*bundles[0], Bundle::kMonitoringSample), "sample");
  onWorker([&] {
    EXPECT_EQ(persisted_->consent().previousBundledConsentSignals(), "G110");
    EXPECT_GT(persisted_->uploadSchedule().lastMonitorDataSampledTimestamp(), 0);
    auto aggregates = database_->eventAggregates().eventAggregatesWithName("open", nullptr);
    ASSERT_TRUE(aggregates);
    EXPECT_EQ(aggregates->lifetimeCount(), 1);
  });
}

TEST_F(APMRawEventBundlerTest, OneEvaluationContextPerBundleEndedOnCommitAndAbortedOnRollback) {
  const auto storeGroup = [&] {
    onWorker([&] {
      auto metadata = Bundle::initWithMessageInfo();
      APMNanoSetString(*metadata, Bundle::kAppId, std::string("com.example.app"));
      APMUserAttribute property("app", "p", APMValue(int64_t{1}), kHour);
      APMNanoSetRepeatedField(*metadata, Bundle::kUserAttributes,
                              std::vector<std::shared_ptr<APMPBUserAttribute>>{property.protoUserAttribute()});
      platform::Error error;
      ASSERT_TRUE(database_->rawEvents().insertIfNotExistsRawEventMetadata(*metadata, &error));
      const int64_t fingerprint = APMDatabaseRawEvents::metadataFingerprint(*metadata);
      for (const auto& [name, time] : {std::pair{"_s", kHour + 1}, std::pair{"open", kHour + 2}}) {
        auto event = APMEvent::create("app", name[0] != '_', name, time, 0, APMParameters{});
        ASSERT_TRUE(database_->rawEvents().insertRawEvent(*event, fingerprint, false, &error));
      }
    });
  };
  storeGroup();
  struct Context : APMBundleEvaluationContext {
    explicit Context(int id) : id(id) {}
    int id;
  };
  int contexts = 0;
  bool failOpen = true;
  std::vector<std::string> calls;
  auto idOf = [](APMBundleEvaluationContext* context) {
    return context ? std::to_string(static_cast<Context*>(context)->id) : std::string("none");
  };
  bool denied = false;
  APMBundlingHooks hooks;
  hooks.isAnalyticsStorageDenied = [&] { return denied; };
  hooks.beginBundleEvaluation = [&] {
    calls.push_back("begin " + std::to_string(++contexts));
    return std::make_shared<Context>(contexts);
  };
  hooks.endBundleEvaluation = [&](const std::shared_ptr<APMBundleEvaluationContext>& c) {
    calls.push_back("end " + idOf(c.get()));
  };
  hooks.abortBundleEvaluation = [&](const std::shared_ptr<APMBundleEvaluationContext>& c) {
    calls.push_back("abort " + idOf(c.get()));
  };
  hooks.evaluateEvent = [&](const APMEvent& event, const APMEventAggregates&, APMBundleEvaluationContext* c) {
    calls.push_back("event " + event.name() + " " + idOf(c));
    return !(failOpen && event.name() == "open");
  };
  hooks.evaluateUserProperty = [&](const APMPBUserAttribute& p, std::optional<double> time,
                                   APMBundleEvaluationContext* c) {
    calls.push_back("property " + APMNanoGetString(p, APMPBUserAttribute::kName).value_or("?") + " " + idOf(c) + " " +
                    (time ? std::to_string(static_cast<int64_t>(*time - kHour)) : std::string("none")));
    return true;
  };
  auto b = bundler(hooks);
  EXPECT_EQ(bundleAll(*b), std::vector{Result::Failed});
  using Calls = std::vector<std::string>;
  // The session start re-evaluates the properties on their own, before the bundle's evaluation.
  EXPECT_EQ(calls, (Calls{"property p none none", "begin 1", "event _s 1", "event open 1", "abort 1"}));

  calls.clear();
  failOpen = false;
  EXPECT_EQ(bundleAll(*b), (std::vector{Result::Bundled, Result::NothingToDo}));
  EXPECT_EQ(calls, (Calls{"property p none none", "begin 2", "event _s 2", "event open 2", "property p 2 1", "end 2"}))
      << "the retried group is evaluated afresh, its properties at the bundle's start time";

  calls.clear();
  denied = true;
  storeGroup();
  EXPECT_EQ(bundleAll(*b), (std::vector{Result::Bundled, Result::NothingToDo}));
  EXPECT_EQ(calls, Calls{}) << "with analytics storage denied not even the session start re-evaluates";
}

TEST_F(APMRawEventBundlerTest, EngagementTimeAccumulatesIntoLifetimeEngagement) {
  APMParameters engagement;
  engagement.emplace("_et", APMValue(int64_t{1500}));
  storeEvents({{"_e", kHour + 1}, {"_e", kHour + 2}}, "com.example.app", engagement);
  bundleAll();
  auto bundles = queued();
  ASSERT_EQ(bundles.size(), 1u);
  EXPECT_EQ(uploadtest::intUserProperty(*bundles[0], "_lte"), 3000);
  std::shared_ptr<APMUserAttribute> stored;
  onWorker([&] { stored = database_->userProperties().userAttributeWithName("_lte", nullptr); });
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->value().int64Value(), 3000);
}

// Several groups share one transaction: what each group leaves outside the database (the consent
// signals remembered, the monitor's sample time) is what the next group of the same run sees, a
// group that fails rolls back alone after the groups before it, and the evaluations end only
// once the run has committed.
TEST_F(APMRawEventBundlerTest, GroupsOfOneRunSeeWhatTheGroupsBeforeThemLeftAndFailAlone) {
  onWorker([&] { persisted_->consent().setPreviousBundledConsentSignals(std::string("G111")); });
  storeEvents({{"a", kHour + 1}}, "com.example.a", {}, "G110");
  storeEvents({{"b", kHour + 2}}, "com.example.b", {}, "G110");
  storeEvents({{"c", kHour + 3}}, "com.example.c", {}, "G111");
  storeEvents({{"fails", kHour + 4}}, "com.example.d");
  storeEvents({{"e", kHour + 5}}, "com.example.e");
  std::vector<std::string> calls;
  int contexts = 0;
  APMBundlingHooks hooks;
  // A sample is due once a minute after the last one, as the monitor decides.
  hooks.monitoringSample = [&](double, double last) -> std::optional<std::string> {
    if (platform::now() - last < 60) return std::nullopt;
    return std::string("sample");
  };
  hooks.beginBundleEvaluation = [&] {
    calls.push_back("begin " + std::to_string(++contexts));
    return std::make_shared<APMBundleEvaluationContext>();
  };
  hooks.endBundleEvaluation = [&](const std::shared_ptr<APMBundleEvaluationContext>&) { calls.push_back("end"); };
  hooks.abortBundleEvaluation = [&](const std::shared_ptr<APMBundleEvaluationContext>&) { calls.push_back("abort"); };
  hooks.evaluateEvent = [&](const APMEvent& event, const APMEventAggregates&, APMBundleEvaluationContext*) {
    return event.name() != "fails";
  };
  auto b = bundler(hooks);
  APMRawEventBundler::Run run;
  onWorker([&] { run = b->bundleRawEventGroups(10); });
  EXPECT_EQ(run.bundled, 3u);
  EXPECT_EQ(run.last, Result::Failed);
  EXPECT_EQ(calls, (std::vector<std::string>{"begin 1", "begin 2", "begin 3", "begin 4", "abort", "end", "end", "end"}))
      << "the failed group aborts at once, the kept ones end after the commit";
  auto bundles = queued();
  ASSERT_EQ(bundles.size(), 3u);
  std::vector<bool> sampled;
  for (const auto& bundle : bundles) sampled.push_back(APMNanoHasField(*bundle, Bundle::kMonitoringSample));
  EXPECT_EQ(sampled, (std::vector<bool>{true, false, false})) << "the first group's sample time holds for the next";
  EXPECT_EQ(runSQL("SELECT COUNT(*) FROM raw_events"), std::vector<int64_t>{2}) << "the failed group and the rest wait";
  onWorker([&] {
    EXPECT_EQ(persisted_->consent().previousBundledConsentSignals(), "G111") << "the last kept group's signals";
    EXPECT_GT(persisted_->uploadSchedule().lastMonitorDataSampledTimestamp(), 0);
  });

  calls.clear();
  hooks.evaluateEvent = nullptr;
  onWorker([&] { run = bundler(hooks)->bundleRawEventGroups(10); });
  EXPECT_EQ(run.bundled, 2u);
  EXPECT_EQ(run.last, Result::NothingToDo);
  EXPECT_FALSE(rawEventsLeft());
}

// A group that changes analytics storage from granted to denied snapshots the event aggregates;
// the next group of the same run, granted again, restores them, which it does only when it sees
// the first group's signals as the previous ones.
TEST_F(APMRawEventBundlerTest, AConsentRoundTripWithinOneRunRestoresTheAggregates) {
  onWorker([&] { persisted_->consent().setPreviousBundledConsentSignals(std::string("G111")); });
  storeEvents({{"while_denied", kHour + 1}}, "com.example.a", {}, "G110");
  storeEvents({{"granted_again", kHour + 2}}, "com.example.b", {}, "G111");
  APMRawEventBundler::Run run;
  onWorker([&] { run = bundler()->bundleRawEventGroups(10); });
  EXPECT_EQ(run.bundled, 2u);
  onWorker([&] {
    EXPECT_FALSE(database_->eventAggregates().eventAggregatesWithName("while_denied", nullptr))
        << "the counts made while denied go with the restore";
    EXPECT_TRUE(database_->eventAggregates().eventAggregatesWithName("granted_again", nullptr));
    EXPECT_EQ(persisted_->consent().previousBundledConsentSignals(), "G111");
  });
}

// A run reads the remembered consent signals and the last monitor sample time once, and the next
// run of the same bundler reads them again: what changed them between two runs holds for the second.
TEST_F(APMRawEventBundlerTest, EachRunReadsTheRememberedConsentAndSampleTimeAfresh) {
  std::vector<double> lastSampled;
  APMBundlingHooks hooks;
  hooks.monitoringSample = [&lastSampled](double, double last) -> std::optional<std::string> {
    lastSampled.push_back(last);
    return std::nullopt;
  };
  auto b = bundler(hooks);
  onWorker([&] {
    persisted_->consent().setPreviousBundledConsentSignals(std::string("G111"));
    persisted_->uploadSchedule().setLastMonitorDataSampledTimestamp(100.0);
  });
  storeEvents({{"first", kHour + 1}}, "com.example.app", {}, "G111");
  onWorker([&] { EXPECT_EQ(b->bundleRawEventGroups(10).bundled, 1u); });
  onWorker([&] {
    persisted_->consent().setPreviousBundledConsentSignals(std::string("G110"));
    persisted_->uploadSchedule().setLastMonitorDataSampledTimestamp(200.0);
  });
  storeEvents({{"second", kHour + 2}}, "com.example.app", {}, "G111");
  onWorker([&] { EXPECT_EQ(b->bundleRawEventGroups(10).bundled, 1u); });
  EXPECT_EQ(lastSampled, (std::vector<double>{100.0, 200.0}));
  onWorker([&] {
    EXPECT_EQ(persisted_->consent().previousBundledConsentSignals(), "G111")
        << "the second run saw the signals go from G110 to G111 and remembered them";
  });
}

// A run stops taking groups once its groups hold a group's worth of rows, so one transaction never
// holds much more than one full bundle's rows.
TEST_F(APMRawEventBundlerTest, ARunStopsOnceItsGroupsHoldAThousandRows) {
  for (int group = 0; group < 3; ++group) {
    std::vector<std::pair<std::string, double>> events;
    for (int i = 0; i < 600; ++i) events.emplace_back("tick", kHour + group * 10 + i * 0.001);
    storeEvents(events, "com.example." + std::to_string(group));
  }
  APMRawEventBundler::Run run;
  onWorker([&] { run = bundler()->bundleRawEventGroups(100); });
  EXPECT_EQ(run.bundled, 2u) << "600 rows, then 1200: the third group waits";
  EXPECT_EQ(run.last, Result::Bundled);
  EXPECT_EQ(runSQL("SELECT COUNT(*) FROM raw_events"), std::vector<int64_t>{600});
}

// A run reads the configuration once, as it begins, and the next run of the same bundler reads it
// again: a limit changed and a name blocked between two runs hold from the second on.
TEST_F(APMRawEventBundlerTest, EachRunFollowsTheConfigurationAsItWasWhenItBegan) {
  using Groups = std::vector<std::vector<std::string>>;
  auto b = bundler();
  auto limitEventsPerBundle = [&](int64_t limit) {
    onWorker([&] {
      remoteConfig_->settings().cacheNumber("measurement.upload.max_events_per_bundle", platform::Object(limit));
    });
  };
  limitEventsPerBundle(2);
  storeEvents({{"tap", kHour + 1}, {"tap", kHour + 2}, {"tap", kHour + 3}});
  onWorker([&] { EXPECT_EQ(b->bundleRawEventGroups(100).bundled, 2u); });
  EXPECT_EQ(queuedGroups(), (Groups{{"tap", "tap"}, {"tap"}}));

  limitEventsPerBundle(3);
  APMEventRules::EventConfigs rules;
  auto blocked = APMPBEventConfig::initWithMessageInfo();
  APMNanoSetString(*blocked, APMPBEventConfig::kName, std::string("tap"));
  APMNanoSetBool(*blocked, APMPBEventConfig::kIsBlocklisted, true);
  rules["tap"] = blocked;
  onWorker([&] { remoteConfig_->eventRules().replace(rules); });
  storeEvents({{"tap", kHour + 4}, {"open", kHour + 5}, {"open", kHour + 6}, {"open", kHour + 7}});
  onWorker([&] { EXPECT_EQ(b->bundleRawEventGroups(100).bundled, 2u); });
  // Three rows a group: the blocked tap and two opens, then the last open.
  EXPECT_EQ(queuedGroups(), (Groups{{"tap", "tap"}, {"tap"}, {"open", "open"}, {"open"}}));
  EXPECT_FALSE(rawEventsLeft());
}

// The groups of one run count into the same totals, read once and written before the commit: a
// name bundled in several groups carries the time of its occurrence in the group before, the
// bundle indices go on from group to group, and a group that fails leaves none of its counts.
TEST_F(APMRawEventBundlerTest, GroupsOfOneRunCountOnFromEachOtherAndAFailedGroupLeavesNoCounts) {
  storeEvents({{"tap", kHour + 1}}, "com.example.a");
  storeEvents({{"tap", kHour + 2}, {"open", kHour + 3}}, "com.example.b");
  storeEvents({{"tap", kHour + 4}, {"fails", kHour + 5}}, "com.example.c");
  storeEvents({{"tap", kHour + 6}}, "com.example.d");
  bool fail = true;
  APMBundlingHooks hooks;
  hooks.evaluateEvent = [&](const APMEvent& event, const APMEventAggregates&, APMBundleEvaluationContext*) {
    return !(fail && event.name() == "fails");
  };
  auto b = bundler(hooks);
  struct Stored {
    int64_t tapLifetime = -1, tapSession = -1, bundleIndex = -1, deliveryIndex = -1;
    double tapLastFire = 0, bundleEnd = 0;
    bool failsCounted = true;
  };
  const auto stored = [&] {
    Stored s;
    onWorker([&] {
      platform::Error error;
      if (auto tap = database_->eventAggregates().eventAggregatesWithName("tap", &error)) {
        s.tapLifetime = tap->lifetimeCount();
        s.tapSession = tap->currentSessionCount();
        s.tapLastFire = tap->lastFireTimestamp();
      }
      s.failsCounted = database_->eventAggregates().eventAggregatesWithName("fails", &error) != nullptr;
      auto metadata = database_->appMetadata().queryAppMetadata(&error);
      ASSERT_TRUE(metadata);
      s.bundleIndex = metadata->lastBundleIndex;
      s.deliveryIndex = metadata->lastDeliveryIndex;
      s.bundleEnd = metadata->lastBundleEndTimestamp;
    });
    return s;
  };

  APMRawEventBundler::Run run;
  onWorker([&] { run = b->bundleRawEventGroups(10); });
  EXPECT_EQ(run.bundled, 2u);
  EXPECT_EQ(run.last, Result::Failed);
  Stored first = stored();
  EXPECT_EQ(first.tapLifetime, 2) << "the two kept groups' taps, not the failed group's";
  EXPECT_EQ(first.tapSession, 2);
  EXPECT_EQ(first.tapLastFire, kHour + 2);
  EXPECT_FALSE(first.failsCounted);
  EXPECT_EQ(first.bundleIndex, 3) << "one event, then two";
  EXPECT_EQ(first.deliveryIndex, 2);
  EXPECT_EQ(first.bundleEnd, kHour + 3);

  fail = false;
  onWorker([&] { run = b->bundleRawEventGroups(10); });
  EXPECT_EQ(run.bundled, 2u);
  Stored second = stored();
  EXPECT_EQ(second.tapLifetime, 4);
  EXPECT_EQ(second.tapLastFire, kHour + 6);
  EXPECT_TRUE(second.failsCounted);
  EXPECT_EQ(second.bundleIndex, 6);
  EXPECT_EQ(second.deliveryIndex, 4);

  std::vector<std::string> seen;
  for (const auto& bundle : queued()) {
    std::string line = std::to_string(APMNanoGetInt32(*bundle, Bundle::kDeliveryIndex)) + "/" +
                       std::to_string(APMNanoGetInt32(*bundle, Bundle::kBundleSequentialIndex)) + " previous end " +
                       std::to_string(APMNanoGetInt64(*bundle, Bundle::kPreviousBundleEndTimestampMillis) -
                                      (APMNanoHasField(*bundle, Bundle::kPreviousBundleEndTimestampMillis) ? ms(kHour) : 0));
    const auto events = APMNanoGetRepeatedField<std::shared_ptr<APMPBEvent>>(*bundle, Bundle::kEvents);
    ASSERT_TRUE(events);
    for (const auto& event : *events) {
      if (APMNanoGetString(*event, APMPBEvent::kName) != "tap") continue;
      line += " tap after " + std::to_string(APMNanoGetInt64(*event, APMPBEvent::kPreviousTimestampMillis) -
                                             (APMNanoHasField(*event, APMPBEvent::kPreviousTimestampMillis) ? ms(kHour) : 0));
    }
    seen.push_back(line);
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"1/1 previous end 0 tap after 0", "2/3 previous end 1000 tap after 1000",
                                            "3/5 previous end 3000 tap after 2000",
                                            "4/6 previous end 5000 tap after 4000"}));
}

// The counts come back from the database file, which a damage or a hand edit may leave at the top of
// their range: bundling counts on from there without overflowing, the counts stay at the top, and
// the bundle still travels (its 32-bit indexes are the low bits, as from any count).
TEST_F(APMRawEventBundlerTest, CountsAtTheTopOfTheirRangeStayThereWhenBundled) {
  storeEvents({{"tap", kHour + 1}, {"tap", kHour + 2}});
  runSQL("INSERT INTO events (name, lifetime_count, current_bundle_count, current_session_count) "
         "VALUES ('tap', 9223372036854775807, 9223372036854775806, 41)");
  runSQL("UPDATE app_metadata SET last_bundle_index = 9223372036854775806, last_delivery_index = 9223372036854775807");
  EXPECT_EQ(bundleAll(), (std::vector{Result::Bundled, Result::NothingToDo}));
  EXPECT_EQ(runSQL("SELECT lifetime_count FROM events WHERE name = 'tap'"), std::vector<int64_t>{INT64_MAX});
  EXPECT_EQ(runSQL("SELECT current_bundle_count FROM events WHERE name = 'tap'"), std::vector<int64_t>{INT64_MAX});
  EXPECT_EQ(runSQL("SELECT current_session_count FROM events WHERE name = 'tap'"), std::vector<int64_t>{43});
  EXPECT_EQ(runSQL("SELECT last_bundle_index FROM app_metadata"), std::vector<int64_t>{INT64_MAX});
  EXPECT_EQ(runSQL("SELECT last_delivery_index FROM app_metadata"), std::vector<int64_t>{INT64_MAX});
  auto bundles = queued();
  ASSERT_EQ(bundles.size(), 1u);
  EXPECT_EQ(eventNames(*bundles[0]), (std::vector<std::string>{"tap", "tap"}));
  EXPECT_EQ(APMNanoGetInt32(*bundles[0], Bundle::kBundleSequentialIndex), -1);
  EXPECT_EQ(APMNanoGetInt32(*bundles[0], Bundle::kDeliveryIndex), -1);
}

// Runs read the raw events ahead in row-ID order, in reads that start as large as the groups asked
// for and double: however many groups a run takes, the groups and their order are the ones the
// per-fingerprint rules make, no row travels twice and none is left behind.
TEST_F(APMRawEventBundlerTest, RunsOfAnySizeMakeTheSameGroups) {
  const std::vector<std::vector<std::string>> expected = {
      {"a1", "a2", "a3", "a4", "a5"}, {"b1"}, {"a6"}, {"c1", "c2"}, {"c3"}, {"d1"}, {"a7", "a8"}};
  for (const size_t groupsPerRun : {size_t{1}, size_t{2}, size_t{3}, size_t{100}}) {
    SCOPED_TRACE("groups per run " + std::to_string(groupsPerRun));
    storeEvents({{"a1", kHour + 1}, {"a2", kHour + 2}, {"a3", kHour + 3}, {"a4", kHour + 4}, {"a5", kHour + 5}},
                "com.example.a");
    storeEvents({{"b1", kHour + 6}}, "com.example.b");
    storeEvents({{"a6", kHour + 7}}, "com.example.a");
    // A new hour within one fingerprint's run.
    storeEvents({{"c1", kHour + 8}, {"c2", kHour + 9}, {"c3", kHour + 3600}}, "com.example.c");
    storeEvents({{"d1", kHour + 3601}}, "com.example.d");
    storeEvents({{"a7", kHour + 3602}, {"a8", kHour + 3603}}, "com.example.a");
    auto b = bundler();
    std::vector<size_t> runs;
    onWorker([&] {
      for (int i = 0; i < 20; ++i) {
        const auto run = b->bundleRawEventGroups(groupsPerRun);
        if (run.bundled == 0) break;
        runs.push_back(run.bundled);
      }
    });
    EXPECT_EQ(queuedGroups(), expected);
    EXPECT_FALSE(rawEventsLeft());
    EXPECT_EQ(runs.size(), (expected.size() + groupsPerRun - 1) / groupsPerRun);
    onWorker([&] {
      platform::Error error;
      ASSERT_TRUE(database_->bundleQueue().deleteBundlesWithRowIDs(
          std::vector<int64_t>(runSQL("SELECT rowid FROM queue")), &error));
    });
  }
}

// A run that may end early (bundling while a batch is out) starts with a small read and reads on
// as its groups need: runs ending after a few groups, or after more than the first read held, take
// every row once and in order.
TEST_F(APMRawEventBundlerTest, RunsThatEndEarlyReadOnAsTheirGroupsNeed) {
  for (const size_t groupsPerRun : {size_t{5}, size_t{20}, size_t{40}}) {
    SCOPED_TRACE("groups before enough " + std::to_string(groupsPerRun));
    std::vector<std::string> expected;
    for (int i = 0; i < 40; ++i) {
      expected.push_back("e" + std::to_string(i));
      storeEvents({{expected.back(), kHour + i}}, i % 2 ? "com.example.a" : "com.example.b");
    }
    auto b = bundler();
    std::vector<size_t> runs;
    onWorker([&] {
      for (int i = 0; i < 20; ++i) {
        size_t made = 0;
        const auto run = b->bundleRawEventGroups(100, [&] { return ++made >= groupsPerRun; });
        if (run.bundled == 0) break;
        runs.push_back(run.bundled);
      }
    });
    std::vector<std::string> names;
    for (const auto& group : queuedGroups()) names.insert(names.end(), group.begin(), group.end());
    EXPECT_EQ(names, expected);
    EXPECT_EQ(queuedGroups().size(), 40u) << "one group per row: each row's neighbours have another metadata";
    EXPECT_EQ(runs.size(), (40 + groupsPerRun - 1) / groupsPerRun);
    EXPECT_FALSE(rawEventsLeft());
    runSQL("DELETE FROM queue");
  }
}

// Each bundle of a run carries its own group's metadata (the same fingerprint twice, apart, too),
// and a group whose metadata is gone or does not decode still travels, with what the bundle itself
// knows: its events are not held back, nor queued in a bundle that would not decode.
TEST_F(APMRawEventBundlerTest, EachGroupOfARunGetsItsOwnMetadataAndOneWithoutItStillTravels) {
  for (const size_t groupsPerRun : {size_t{1}, size_t{100}}) {
    SCOPED_TRACE("groups per run " + std::to_string(groupsPerRun));
    for (const char* app : {"a", "broken", "gone", "d", "a"}) {
      storeEvents({{std::string("from_") + app, kHour + 1}}, std::string("com.example.") + app);
    }
    runSQL("UPDATE raw_events_metadata SET metadata = x'ff00ff00ff' WHERE metadata_fingerprint = "
           "(SELECT metadata_fingerprint FROM raw_events WHERE name = 'from_broken')");
    runSQL("DELETE FROM raw_events_metadata WHERE metadata_fingerprint = "
           "(SELECT metadata_fingerprint FROM raw_events WHERE name = 'from_gone')");
    auto b = bundler();
    onWorker([&] {
      for (int i = 0; i < 10 && b->bundleRawEventGroups(groupsPerRun).bundled > 0; ++i) {
      }
    });
    EXPECT_EQ(bundledWithMetadata(), (std::vector<std::string>{"from_a com.example.a macos", "from_broken none none",
                                              "from_gone none none", "from_d com.example.d macos",
                                              "from_a com.example.a macos"}));
    EXPECT_FALSE(rawEventsLeft());
    EXPECT_EQ(runSQL("SELECT COUNT(*) FROM raw_events_metadata"), std::vector<int64_t>{0});
    runSQL("DELETE FROM queue");
  }
}

// A row that cannot be read, met while reading ahead, is handled as the per-fingerprint reading
// handles it (deleted, and the rows after it still travel), in a run of many groups too.
TEST_F(APMRawEventBundlerTest, AnUnreadableRowAheadInARunIsSetAsideAndTheRestTravels) {
  storeEvents({{"first", kHour + 1}, {"second", kHour + 2}}, "com.example.a");
  storeEvents({{"broken", kHour + 3}, {"after_broken", kHour + 4}}, "com.example.b");
  storeEvents({{"later", kHour + 5}}, "com.example.a");
  runSQL("UPDATE raw_events SET data = x'ff00ff00ff' WHERE name = 'broken'");
  APMRawEventBundler::Run run;
  onWorker([&] { run = bundler()->bundleRawEventGroups(10); });
  EXPECT_EQ(run.last, Result::NothingToDo);
  EXPECT_EQ(queuedGroups(), (std::vector<std::vector<std::string>>{{"first", "second"}, {"after_broken"}, {"later"}}));
  EXPECT_FALSE(rawEventsLeft());
}

// A row that cannot be read, met by a later read of a run whose groups already took rows: those
// rows are deleted before anything reads the table the per-fingerprint way, so none travels twice,
// whether the next group is of another fingerprint or of the same one (split by its hour).
TEST_F(APMRawEventBundlerTest, AnUnreadableRowMetLaterInARunFindsTheRowsTakenBeforeItGone) {
  struct Case {
    std::string name;
    std::vector<std::pair<std::string, std::vector<std::pair<std::string, double>>>> stored;  // app, events
    size_t groupsPerRun;
    std::vector<std::vector<std::string>> expected;
  };
  const std::vector<Case> cases = {
      {"another fingerprint next",
       {{"a", {{"a1", kHour + 1}, {"a2", kHour + 2}, {"a3", kHour + 3}}},
        {"b", {{"b1", kHour + 4}, {"broken", kHour + 5}, {"after_broken", kHour + 6}}},
        {"a", {{"later", kHour + 7}}}},
       4,
       {{"a1", "a2", "a3"}, {"b1"}, {"after_broken"}, {"later"}}},
      {"the same fingerprint in its next hour",
       {{"a", {{"a1", kHour + 1}, {"a2", kHour + 3600}, {"broken", kHour + 3601}, {"a3", kHour + 3602}}}},
       2,
       {{"a1"}, {"a2"}, {"a3"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const auto& [app, events] : c.stored) storeEvents(events, "com.example." + app);
    runSQL("UPDATE raw_events SET data = x'ff00ff00ff' WHERE name = 'broken'");
    auto b = bundler();
    onWorker([&] {
      for (int i = 0; i < 10 && b->bundleRawEventGroups(c.groupsPerRun).bundled > 0; ++i) {
      }
    });
    EXPECT_EQ(queuedGroups(), c.expected);
    EXPECT_FALSE(rawEventsLeft());
    runSQL("DELETE FROM queue");
  }
}

// A session start clears the stored session counts: what the groups before it in the same run
// counted is written first, so only the counts from the session start on remain.
TEST_F(APMRawEventBundlerTest, ASessionStartLaterInTheRunClearsTheSessionCountsOfTheGroupsBeforeIt) {
  storeEvents({{"tap", kHour + 1}}, "com.example.a");
  storeEvents({{"_s", kHour + 2}, {"tap", kHour + 3}}, "com.example.b");
  APMRawEventBundler::Run run;
  onWorker([&] { run = bundler()->bundleRawEventGroups(10); });
  EXPECT_EQ(run.bundled, 2u);
  onWorker([&] {
    auto tap = database_->eventAggregates().eventAggregatesWithName("tap", nullptr);
    ASSERT_TRUE(tap);
    EXPECT_EQ(tap->lifetimeCount(), 2);
    EXPECT_EQ(tap->currentSessionCount(), 1);
  });
}

// Events stored by an earlier build, whose metadata table was keyed by the fingerprint, bundle with
// their metadata whether the table moved to row IDs at open (a few rows) or stayed as it was (more
// than 4,000).
TEST_F(APMRawEventBundlerTest, EventsOfAnEarlierFileTravelWithTheirMetadataOnEitherLayout) {
  const struct {
    int64_t unusedRows;
    int64_t movedTables;
  } cases[] = {{0, 1}, {4001, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.unusedRows);
    runSQL("DELETE FROM raw_events");
    runSQL("DELETE FROM raw_events_metadata");
    runSQL("DELETE FROM queue");
    storeEvents({{"open", kHour + 10}, {"tap", kHour + 20}}, "com.example.app");
    storeEvents({{"other", kHour + 30}}, "com.example.other");
    runSQL("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " + std::to_string(c.unusedRows) +
           ") INSERT INTO raw_events_metadata SELECT i - 9000000000, randomblob(400) FROM n WHERE " +
           std::to_string(c.unusedRows) + " > 0");
    runSQL("ALTER TABLE raw_events_metadata RENAME TO earlier");
    runSQL("CREATE TABLE \"raw_events_metadata\" (\"metadata_fingerprint\" INTEGER NOT NULL PRIMARY KEY, "
           "\"metadata\" BLOB NOT NULL)");
    runSQL("INSERT INTO raw_events_metadata SELECT metadata_fingerprint, metadata FROM earlier");
    runSQL("DROP TABLE earlier");
    onWorker([&] {
      remoteConfig_.reset();
      database_.reset();
      platform::Error error;
      database_ = APMDatabase::create(APMDatabase::kDatabaseName, persisted_, scheduler_->workerQueue(), &error);
      ASSERT_TRUE(database_) << error.description;
      remoteConfig_ = APMRemoteConfig::create("1:1234:ios:abcd", database_, persisted_);
    });
    EXPECT_EQ(runSQL("SELECT COUNT(*) FROM sqlite_master WHERE name = 'raw_events_metadata' AND sql LIKE '%UNIQUE%'"),
              std::vector<int64_t>{c.movedTables});
    EXPECT_EQ(bundleAll(), (std::vector{Result::Bundled, Result::Bundled, Result::NothingToDo}));
    auto bundles = queued();
    ASSERT_EQ(bundles.size(), 2u);
    EXPECT_EQ(eventNames(*bundles[0]), (std::vector<std::string>{"open", "tap"}));
    EXPECT_EQ(APMNanoGetString(*bundles[0], Bundle::kAppId), "com.example.app");
    EXPECT_EQ(APMNanoGetString(*bundles[0], Bundle::kPlatform), "macos");
    EXPECT_EQ(eventNames(*bundles[1]), std::vector<std::string>{"other"});
    EXPECT_EQ(APMNanoGetString(*bundles[1], Bundle::kAppId), "com.example.other");
    EXPECT_EQ(runSQL("SELECT COUNT(*) FROM raw_events_metadata"), std::vector<int64_t>{c.unusedRows})
        << "each bundled group takes its metadata along";
  }
}

// A stream of one-row groups, each under a metadata of its own (what a purchase stream stores):
// each group writes nothing but its bundle, so it opens no savepoint, and the run deletes the rows
// it took, with the metadata that only they pointed to, before its commit. A fingerprint whose
// rows the run took only in part keeps its metadata for the rows still waiting.
TEST_F(APMRawEventBundlerTest, ARunOfOneRowGroupsDeletesWhatItTookAtTheEndWithoutSavepoints) {
  for (const char* app : {"a", "b", "c", "d"}) {
    storeEvents({{"purchase", kHour + (app[0] - 'a') + 1}}, std::string("com.example.") + app);
  }
  // The same metadata over two hours: two groups, the second beyond the run's five.
  storeEvents({{"purchase", kHour + 5}, {"purchase", kHour + 3600 + 1}}, "com.example.e");
  auto b = bundler();
  const auto savepoints = [&] {
    uint64_t opened = 0;
    onWorker([&] { opened = database_->connection().store()->transactions().savepointsOpened(); });
    return opened;
  };
  const uint64_t before = savepoints();
  APMRawEventBundler::Run run;
  onWorker([&] { run = b->bundleRawEventGroups(5); });
  EXPECT_EQ(run.bundled, 5u);
  EXPECT_EQ(savepoints() - before, 0u) << "no group of the run wrote more than its bundle";
  EXPECT_EQ(runSQL("SELECT COUNT(*) FROM raw_events"), std::vector<int64_t>{1});
  EXPECT_EQ(runSQL("SELECT COUNT(*) FROM raw_events_metadata"), std::vector<int64_t>{1})
      << "the metadata of the row still waiting stays";

  onWorker([&] { run = b->bundleRawEventGroups(5); });
  EXPECT_EQ(run.bundled, 1u);
  EXPECT_EQ(run.last, Result::NothingToDo);
  EXPECT_FALSE(rawEventsLeft());
  EXPECT_EQ(runSQL("SELECT COUNT(*) FROM raw_events_metadata"), std::vector<int64_t>{0});
  std::vector<std::string> apps;
  for (const auto& bundle : queued()) apps.push_back(APMNanoGetString(*bundle, Bundle::kAppId).value_or("none"));
  EXPECT_EQ(apps, (std::vector<std::string>{"com.example.a", "com.example.b", "com.example.c", "com.example.d",
                                            "com.example.e", "com.example.e"}));
}

// Rows of many metadata, interleaved, bundled a few groups a run: each bundle carries its own
// metadata; a metadata row a waiting row still points to is never deleted; one no row points to
// is gone once the runs have bundled as many rows as row IDs are left, and every one once the
// table is empty, whether the groups were read ahead or, behind an unreadable row, one by one.
TEST_F(APMRawEventBundlerTest, InterleavedMetadataTravelWithTheirRowsAndGoOnlyOnceNoRowPointsToThem) {
  for (const bool unreadable : {false, true}) {
    SCOPED_TRACE(unreadable ? "behind an unreadable row" : "read ahead");
    // 40 rows over 6 apps: a stretch of one, two or three rows each time; the first app's one row
    // lies before the unreadable row, and no later row shares its metadata.
    std::vector<std::string> appOfEvent;
    for (int i = 0, row = 0; row < 40; ++i) {
      const std::string app = i == 0 ? "com.example.first" : "com.example." + std::to_string(i * 7 % 5);
      std::vector<std::pair<std::string, double>> events;
      for (int k = 0; k <= i % 3 && row < 40; ++k, ++row) {
        events.emplace_back("e" + std::to_string(row), kHour + row);
        appOfEvent.push_back(app);
      }
      storeEvents(events, app);
    }
    if (unreadable) runSQL("UPDATE raw_events SET data = x'ff00ff00ff' WHERE name = 'e2'");
    const std::string pointedToButGone =
        "SELECT COUNT(*) FROM raw_events WHERE metadata_fingerprint NOT IN "
        "(SELECT metadata_fingerprint FROM raw_events_metadata)";
    const std::string nothingPointsTo =
        "SELECT COUNT(*) FROM raw_events_metadata WHERE metadata_fingerprint NOT IN "
        "(SELECT metadata_fingerprint FROM raw_events)";
    const auto bundledEvents = [&] {
      int64_t count = 0;
      for (const auto& bundle : queued()) count += static_cast<int64_t>(eventNames(*bundle).size());
      return count;
    };
    auto b = bundler();
    int64_t bundledSincePass = 0;
    for (int i = 0; i < 40 && rawEventsLeft(); ++i) {
      const int64_t before = bundledEvents();
      onWorker([&] { b->bundleRawEventGroups(3); });
      EXPECT_EQ(runSQL(pointedToButGone), std::vector<int64_t>{0}) << "run " << i;
      bundledSincePass += bundledEvents() - before;
      // The rows left, counted as the row IDs from the oldest to the newest.
      if (bundledSincePass >= runSQL("SELECT IFNULL(MAX(rowid) - MIN(rowid) + 1, 0) FROM raw_events").at(0)) {
        EXPECT_EQ(runSQL(nothingPointsTo), std::vector<int64_t>{0}) << "run " << i;
        bundledSincePass = 0;
      }
    }
    EXPECT_FALSE(rawEventsLeft());
    EXPECT_EQ(runSQL("SELECT COUNT(*) FROM raw_events_metadata"), std::vector<int64_t>{0});
    size_t events = 0;
    for (const auto& bundle : queued()) {
      for (const std::string& name : eventNames(*bundle)) {
        const size_t row = std::stoul(name.substr(1));
        EXPECT_EQ(APMNanoGetString(*bundle, Bundle::kAppId), appOfEvent.at(row)) << name;
        ++events;
      }
    }
    EXPECT_EQ(events, unreadable ? 39u : 40u);
    runSQL("DELETE FROM queue");
  }
}

// The rows a run took are deleted just before its commit: when that fails, the run keeps none of
// its bundles (each would otherwise travel twice), its evaluations are aborted and its rows wait
// for the next run, which makes the same bundles.
TEST_F(APMRawEventBundlerTest, ARunWhoseTakenRowsCannotBeDeletedKeepsNoneOfItsBundles) {
  storeEvents({{"purchase", kHour + 1}}, "com.example.a");
  storeEvents({{"purchase", kHour + 2}}, "com.example.b");
  storeEvents({{"tap", kHour + 3}, {"open", kHour + 4}}, "com.example.c");
  runSQL("CREATE TRIGGER keep_raw_events BEFORE DELETE ON raw_events BEGIN SELECT RAISE(ABORT, 'kept'); END");
  std::vector<std::string> calls;
  int contexts = 0;
  APMBundlingHooks hooks;
  hooks.beginBundleEvaluation = [&] {
    calls.push_back("begin " + std::to_string(++contexts));
    return std::make_shared<APMBundleEvaluationContext>();
  };
  hooks.endBundleEvaluation = [&](const std::shared_ptr<APMBundleEvaluationContext>&) { calls.push_back("end"); };
  hooks.abortBundleEvaluation = [&](const std::shared_ptr<APMBundleEvaluationContext>&) { calls.push_back("abort"); };
  auto b = bundler(hooks);
  APMRawEventBundler::Run run;
  onWorker([&] { run = b->bundleRawEventGroups(10); });
  EXPECT_EQ(run.bundled, 0u);
  EXPECT_EQ(run.last, Result::Failed);
  EXPECT_EQ(calls, (std::vector<std::string>{"begin 1", "begin 2", "begin 3", "abort", "abort", "abort"}));
  EXPECT_TRUE(queued().empty());
  EXPECT_EQ(runSQL("SELECT COUNT(*) FROM raw_events"), std::vector<int64_t>{4});
  EXPECT_EQ(runSQL("SELECT COUNT(*) FROM raw_events_metadata"), std::vector<int64_t>{3});
  onWorker([&] {
    platform::Error error;
    EXPECT_EQ(database_->appMetadata().queryAppMetadata(&error)->lastDeliveryIndex, 0);
  });

  runSQL("DROP TRIGGER keep_raw_events");
  onWorker([&] { run = b->bundleRawEventGroups(10); });
  EXPECT_EQ(run.bundled, 3u);
  EXPECT_EQ(queuedGroups(), (std::vector<std::vector<std::string>>{{"purchase"}, {"purchase"}, {"tap", "open"}}));
  EXPECT_FALSE(rawEventsLeft());
  EXPECT_EQ(runSQL("SELECT COUNT(*) FROM raw_events_metadata"), std::vector<int64_t>{0});
}

// Groups of a run take their metadata from the rows read ahead once a group's metadata row follows
// the one before it, and get the same metadata as a run of one group, which looks each one up: a
// fingerprint reused from an older row, one whose row does not decode and one whose row is gone
// (logged alike). Rows sharing one metadata read no metadata rows ahead.
TEST_F(APMRawEventBundlerTest, GroupsOfARunGetTheMetadataTheirLookUpGivesAndReadAheadOnlyWhenItPays) {
  for (const size_t groupsPerRun : {size_t{1}, size_t{4}, size_t{100}}) {
    SCOPED_TRACE("groups per run " + std::to_string(groupsPerRun));
    storeEvents({{"tap", kHour + 1}, {"tap", kHour + 3601}, {"tap", kHour + 7201}}, "com.example.plain");
    std::vector<std::string> expected(3, "tap com.example.plain macos");
    const std::vector<std::string> apps = {"a", "b", "c", "a", "broken", "gone", "f", "g"};
    for (const std::string& app : apps) {
      storeEvents({{"bought_" + app, kHour + 7300}}, "com.example." + app);
      const bool lost = app == "broken" || app == "gone";
      expected.push_back("bought_" + app + (lost ? " none none" : " com.example." + app + " macos"));
    }
    runSQL("UPDATE raw_events_metadata SET metadata = x'ff00ff00ff' WHERE metadata_fingerprint = "
           "(SELECT metadata_fingerprint FROM raw_events WHERE name = 'bought_broken')");
    runSQL("DELETE FROM raw_events_metadata WHERE metadata_fingerprint = "
           "(SELECT metadata_fingerprint FROM raw_events WHERE name = 'bought_gone')");
    testsupport::APMLogCapture logs;
    std::pair<int, int> reads;  // look-ups, rows read by row ID
    auto b = bundler();
    onWorker([&] {
      MetadataReads counted(database_->connection().store()->handle());
      for (int i = 0; i < 20 && b->bundleRawEventGroups(groupsPerRun).bundled > 0; ++i) {
      }
      reads = {counted.lookups, counted.rowsByRowID};
    });
    EXPECT_EQ(bundledWithMetadata(), expected);
    EXPECT_EQ(logs.count(static_cast<int64_t>(APMUploadLogCode::kUnableFetchEventMetadata)), 2u);
    // One run: the plain rows, then "a" (whose row follows theirs) are looked up; "b" reads on from
    // there; the older "a" and the missing "gone" are not among the rows read. Runs of four: the
    // second reads at the older "a" as far as its raw rows read ahead ("broken"), no further.
    const std::map<size_t, std::pair<int, int>> expectedReads = {{1, {11, 0}}, {4, {10, 2}}, {100, {6, 5}}};
    EXPECT_EQ(reads, expectedReads.at(groupsPerRun));
    runSQL("DELETE FROM queue");
  }
}

// What a run read ahead is not kept beyond it: a run rolled back after its groups took metadata from
// the rows read ahead, and a metadata row changed before the next run, which reads it as it is now.
TEST_F(APMRawEventBundlerTest, MetadataReadAheadIsReadAfreshByTheRunAfterOneThatRolledBack) {
  std::vector<std::string> expected;
  for (const std::string app : {"a", "b", "c", "d", "e"}) {
    storeEvents({{"bought_" + app, kHour + 1}}, "com.example." + app);
    expected.push_back("bought_" + app + (app == "d" ? " none none" : " com.example." + app + " macos"));
  }
  runSQL("CREATE TRIGGER keep_raw_events BEFORE DELETE ON raw_events BEGIN SELECT RAISE(ABORT, 'kept'); END");
  auto b = bundler();
  APMRawEventBundler::Run run;
  onWorker([&] { run = b->bundleRawEventGroups(3); });
  ASSERT_EQ(run.last, Result::Failed);
  runSQL("DROP TRIGGER keep_raw_events");
  runSQL("UPDATE raw_events_metadata SET metadata = x'ff00ff00ff' WHERE metadata_fingerprint = "
         "(SELECT metadata_fingerprint FROM raw_events WHERE name = 'bought_d')");
  onWorker([&] { run = b->bundleRawEventGroups(10); });
  EXPECT_EQ(run.bundled, 5u);
  EXPECT_EQ(bundledWithMetadata(), expected);
}

// A run that fails after a pass over the table deleted metadata no row pointed to any more: the
// pass's deletes are undone, and the fingerprints it was told of, by runs committed before it, wait
// for the next pass, so no metadata row is left behind once every row is bundled.
TEST_F(APMRawEventBundlerTest, MetadataAPassOfARolledBackRunDeletedGoesWithALaterPass) {
  storeEvents({{"first", kHour + 1}}, "com.example.a");
  storeEvents({{"tap", kHour + 2}, {"tap", kHour + 3}, {"tap", kHour + 4}}, "com.example.b");
  auto b = bundler();
  const auto runLeavesMetadataRows = [&] {
    onWorker([&] { b->bundleRawEventGroups(1); });
    return runSQL("SELECT COUNT(*) FROM raw_events_metadata").at(0);
  };
  ASSERT_EQ(runLeavesMetadataRows(), 2) << "one row deleted of four: too few for a pass";
  // The next run's pass (no row left after it) deletes both; writing its totals then fails.
  runSQL("CREATE TRIGGER keep_totals BEFORE UPDATE ON app_metadata BEGIN SELECT RAISE(ABORT, 'kept'); END");
  ASSERT_EQ(runLeavesMetadataRows(), 2);
  runSQL("DROP TRIGGER keep_totals");
  EXPECT_EQ(runLeavesMetadataRows(), 0);
  EXPECT_FALSE(rawEventsLeft());
}

// The size boundary and the oversized first row; hour and row-ID breaks are checked on stored rows above.
// A bundle is made from its stored metadata's encoding, changed field by field: metadata an earlier
// build wrote another way (a field since dropped, a field written twice) travels as decoding reads
// it, and the queued bytes are the encoder's for the bundle (events last), engagement, audiences
// and indexes included.
TEST_F(APMRawEventBundlerTest, BundlesAreTheEncodersBytesWhateverWayTheirMetadataWasStored) {
  for (const bool earlierBuild : {false, true}) {
    SCOPED_TRACE(earlierBuild ? "metadata of an earlier build" : "metadata of this build");
    onWorker([&] {
      auto metadata = Bundle::initWithMessageInfo();
      APMNanoSetString(*metadata, Bundle::kAppId, std::string("com.example.app"));
      APMNanoSetString(*metadata, Bundle::kConsentSignals, std::string("G111"));
      APMUserAttribute tier("app", "tier", APMValue(std::string("gold")), kHour);
      APMUserAttribute lifetime("auto", "_lte", APMValue(int64_t{5}), kHour);
      APMNanoSetRepeatedField(*metadata, Bundle::kUserAttributes,
                              std::vector{tier.protoUserAttribute(), lifetime.protoUserAttribute()});
      platform::Error error;
      ASSERT_TRUE(database_->rawEvents().insertIfNotExistsRawEventMetadata(*metadata, &error));
      const int64_t fingerprint = APMDatabaseRawEvents::metadataFingerprint(*metadata);
      auto engagement = APMEvent::create("auto", false, "_e", kHour + 1, 0, APMParameters{{"_et", APMValue(int64_t{250})}});
      auto tap = APMEvent::create("app", true, "tap", kHour + 2, 0, APMParameters{});
      ASSERT_TRUE(database_->rawEvents().insertRawEvent(*engagement, fingerprint, false, &error));
      ASSERT_TRUE(database_->rawEvents().insertRawEvent(*tap, fingerprint, false, &error));
    });
    // Field 36 (unknown), then an app ID that the stored one after it replaces.
    if (earlierBuild) runSQL("UPDATE raw_events_metadata SET metadata = CAST(x'a0020572036f6c64' || metadata AS BLOB)");
    APMBundlingHooks hooks;
    hooks.resultsForBundling = [](APMBundleEvaluationContext*) {
      std::vector<std::shared_ptr<APMPBAudienceLeafFilterResult>> results;
      for (int32_t id : {4, 9}) {
        auto result = APMPBAudienceLeafFilterResult::initWithMessageInfo();
        APMNanoSetInt32(*result, APMPBAudienceLeafFilterResult::kAudienceId, id);
        results.push_back(result);
      }
      return std::optional(results);
    };
    bundleAll(*bundler(hooks));
    std::vector<APMQueuedBundle> stored;
    onWorker([&] {
      platform::Error error;
      auto rows = database_->bundleQueue().queryBundleDataWithCountLimit(10, int64_t{1} << 40, &error);
      ASSERT_TRUE(rows) << error.description;
      stored = *rows;
    });
    ASSERT_EQ(stored.size(), 1u);
    auto bundle = Bundle::fromBuffer(stored[0].bundle);
    ASSERT_TRUE(bundle);
    EXPECT_EQ(APMNanoGetString(*bundle, Bundle::kAppId), "com.example.app");
    EXPECT_EQ(APMNanoGetString(*bundle, Bundle::kConsentSignals), "G111");
    EXPECT_EQ(eventNames(*bundle), (std::vector<std::string>{"_e", "tap"}));
    // The second pass counts on from the first.
    const int64_t pass = earlierBuild ? 2 : 1;
    EXPECT_EQ(APMNanoGetInt32(*bundle, Bundle::kBundleSequentialIndex), 2 * pass);
    std::vector<std::string> properties;
    const auto storedProperties =
        APMNanoGetRepeatedField<std::shared_ptr<APMPBUserAttribute>>(*bundle, Bundle::kUserAttributes).value();
    for (const auto& property : storedProperties) {
      properties.push_back(*APMNanoGetString(*property, APMPBUserAttribute::kName) + "=" +
                           std::to_string(APMNanoGetInt64(*property, APMPBUserAttribute::kIntValue)));
    }
    const std::string engaged = std::to_string(250 * pass);
    EXPECT_EQ(properties, (std::vector<std::string>{"tier=0", "_lte=" + engaged, "_se=" + engaged}))
        << "engagement replaces the stored lifetime value in place and adds the session's";
    std::vector<int32_t> audiences;
    const auto results = APMNanoGetRepeatedField<std::shared_ptr<APMPBAudienceLeafFilterResult>>(
                             *bundle, Bundle::kAudienceEvaluationResults)
                             .value();
    for (const auto& result : results) {
      audiences.push_back(APMNanoGetInt32(*result, APMPBAudienceLeafFilterResult::kAudienceId));
    }
    EXPECT_EQ(audiences, (std::vector<int32_t>{4, 9}));
    // The encoder's bytes for all but the events, then the events.
    auto rest = bundle->copy();
    APMNanoClearField(*rest, Bundle::kEvents);
    platform::Data expected = rest->protoBuffer();
    const auto events = APMNanoGetRepeatedField<std::shared_ptr<APMPBEvent>>(*bundle, Bundle::kEvents).value();
    for (const auto& event : events) {
      APMAppendLengthDelimitedField(expected, Bundle::messageInfo().tagForIndex(Bundle::kEvents), event->protoBuffer());
    }
    EXPECT_EQ(stored[0].bundle, expected);
    runSQL("DELETE FROM queue");
  }
}

TEST(APMRawEventBundlerSelectionTest, RowSelectionRules) {
  APMRawEventBundler::Selection selection{100, 41, 1000};
  const struct {
    const char* name;
    size_t position;
    int64_t hour, rowID, bytes, maxEvents, maxBytes;
    bool accepted;
  } cases[] = {
      {"the first row always", 0, 7, 1, 100000, 1, 10, true},
      {"event limit reached", 3, 100, 42, 10, 3, 65536, false},
      {"size limit reached exactly", 3, 100, 42, 64536, 1000, 65536, false},
      {"size just under the limit", 3, 100, 42, 64535, 1000, 65536, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(APMRawEventBundler::acceptsRow(selection, c.position, c.hour, c.rowID, c.bytes, c.maxEvents, c.maxBytes),
              c.accepted)
        << c.name;
  }
}

}  // namespace
