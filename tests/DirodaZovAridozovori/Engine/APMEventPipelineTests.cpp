// The road of events from the engine's entry point to stored raw-event rows: cleaning, filters,
// limits, the editing and conditional-property seams, group commit and its savepoints.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <map>
#include <mutex>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "APMCompactParameters.h"
#include "APMEngineSessions.h"
#include "APMEngineUserProperties.h"
#include "APMStartUp.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "DeepLink/APMDeepLinkReporter.h"
#include "EngineTestFixture.h"
#include "Upload/UploadTestSupport.h"

namespace enginetest {
namespace {

// A step of its own on every event the engine writes, where the conditional user properties take
// theirs.
class EventStep final : public APMEngineComponent {
 public:
  explicit EventStep(std::function<void(const APMEvent&)> step) : step_(std::move(step)) {}
  bool eventWillBeWritten(const APMEvent& event, APMEventCompanions&) override {
    step_(event);
    return true;
  }

 private:
  const std::function<void(const APMEvent&)> step_;
};

// A step of its own on every event the road stores, where lifetime values are recorded: record
// decides for the events isPurchase names (the others are stored as they are).
class StoreStep final : public APMEngineComponent {
 public:
  StoreStep(std::function<bool(const APMEvent&)> isPurchase, std::function<bool(APMDatabase&, const APMEvent&)> record)
      : isPurchase_(std::move(isPurchase)), record_(std::move(record)) {}
  bool eventWillBeStored(APMDatabase& database, const APMEvent& event) override {
    return !isPurchase_(event) || record_(database, event);
  }

 private:
  const std::function<bool(const APMEvent&)> isPurchase_;
  const std::function<bool(APMDatabase&, const APMEvent&)> record_;
};

// Every engine made from now on has these components after its own.
void useComponents(APMEngineComponentList extra) {
  APMSetEngineComponentEditorForTesting([extra](APMEngineComponentList components) {
    components.insert(components.end(), extra.begin(), extra.end());
    return components;
  });
}

// Every engine made from now on takes step on each event it writes.
void useEventStep(std::function<void(const APMEvent&)> step) { useComponents({std::make_shared<EventStep>(step)}); }

class EventPipelineTest : public EngineTest {
 protected:
  // Every engine made from now on sets the user property "tier" to an event's "tier" parameter as
  // the event is written, inside the event.
  void useTierStep() {
    useEventStep([this](const APMEvent& event) {
      if (const APMValue* tier = event.parameter("tier")) {
        engine().database()->userProperties().updateUserAttribute(APMUserAttribute("app", "tier", *tier, kStartTime),
                                                                  nullptr);
      }
    });
  }
  void logRollout(const std::string& value) { logInternal("_ssr", {{"_ffr", value}}); }
  void setProperty(const std::string& name, APMValue value, const std::string& origin = "app") {
    engine().userProperties().setUserAttribute(std::make_shared<APMUserAttribute>(origin, name, std::move(value), kStartTime));
    drain();
  }
};

// The cleaning rules belong to the store; this checks the engine applies them with its own limits.
TEST_F(EventPipelineTest, PublicEventIsStoredWithCleanedParameters) {
  start();
  logPublic("long_text", {{"text", std::string(600, 'v')}, {"level", 3}});
  auto stored = rowsNamed("long_text");
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].origin, "app");
  EXPECT_EQ(stored[0].integer("level"), 3);
  EXPECT_EQ(stored[0].text("text"), std::string(500, 'v'));
  EXPECT_EQ(stored[0].text("_ev"), "text");
  EXPECT_EQ(stored[0].integer("_el"), 600);
}

// Written events are freed by the front's next compact event, on its thread, rather than by the
// worker; groups written meanwhile wait beside it while they hold at most 4,000 events, the worker
// frees one that would pass that itself, and every event is stored all the same.
TEST_F(EventPipelineTest, WrittenEventsAreFreedByTheFrontsNextEventAndAtMostOneGroupWaits) {
  start();
  // Each event's interceptor holds a token; the thread that drops its last copy is recorded.
  auto freedBy = std::make_shared<std::map<std::string, std::thread::id>>();
  auto freedMutex = std::make_shared<std::mutex>();
  auto holding = [&](const std::string& name) -> APMEngineEventRoad::Interceptor {
    std::shared_ptr<int> token(new int(0), [freedBy, freedMutex, name](int* value) {
      delete value;
      std::lock_guard<std::mutex> lock(*freedMutex);
      (*freedBy)[name] = std::this_thread::get_id();
    });
    return [token](const std::string&, const std::string&, const platform::Dictionary&, double) {};
  };
  auto freed = [&](const std::string& name) {
    std::lock_guard<std::mutex> lock(*freedMutex);
    return freedBy->count(name) ? std::optional<std::thread::id>((*freedBy)[name]) : std::nullopt;
  };
  auto& road = engine().eventRoad();
  auto logCompact = [&](const std::string& name, APMEngineEventRoad::Interceptor interceptor) {
    road.logCompactEventWithOrigin("app", true, name, APMCompactParameters({{"n", 1}}), platform::now(),
                                   {.ignoreInterceptor = true}, std::move(interceptor), {});
  };
  // A compact event logged by a thread of its own, standing for the front; that thread's ID.
  auto logFromNewFront = [&](const std::string& name) {
    std::thread::id front;
    std::thread([&] {
      front = std::this_thread::get_id();
      logCompact(name, nullptr);
    }).join();
    return front;
  };
  std::thread::id worker;
  engine().setup().scheduler->workerQueue()->async([&] { worker = std::this_thread::get_id(); });

  logCompact("first_group", holding("first"));
  drain();
  EXPECT_FALSE(freed("first")) << "the worker freed the events it could have left to the front";
  const std::thread::id front = logFromNewFront("front_event");
  EXPECT_EQ(freed("first"), front);

  // Logs count events named name in one group (the worker is held while they join it), the
  // first of them holding token.
  auto logGroup = [&](const std::string& name, int count, const std::string& token) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    engine().setup().scheduler->workerQueue()->async([released] { released.wait(); });
    for (int i = 0; i < count; ++i) {
      road.logEventWithOrigin("app", true, name, {}, platform::now(), {.ignoreInterceptor = true},
                              i == 0 ? holding(token) : nullptr, {});
    }
    release.set_value();
    drain();
  };
  // The front event's group waits for the front now, and the next group waits beside it.
  drain();
  logGroup("second_group", 1, "second");
  EXPECT_FALSE(freed("second")) << "the worker freed a group the bound had room for";
  // One group of 3,999 events: with the two waiting, 4,001.
  logGroup("big_group", 3999, "big");
  EXPECT_EQ(freed("big"), worker) << "over the bound, the worker frees the group itself";
  EXPECT_FALSE(freed("second"));
  EXPECT_EQ(freed("second"), logFromNewFront("next_front_event"));
  // Filling the bound exactly: 2 waiting and 3,998 join them, all left to the front.
  drain();
  logGroup("third_group", 1, "third");
  logGroup("full_group", 3998, "full");
  EXPECT_FALSE(freed("full")) << "the worker freed a group that fills the bound exactly";
  const std::thread::id lastFront = logFromNewFront("last_front_event");
  EXPECT_EQ(freed("third"), lastFront);
  EXPECT_EQ(freed("full"), lastFront);
  EXPECT_EQ(rowsNamed("first_group").size(), 1u);
  EXPECT_EQ(rowsNamed("front_event").size(), 1u);
  EXPECT_EQ(rowsNamed("second_group").size(), 1u);
  EXPECT_EQ(rowsNamed("big_group").size(), 3999u);
  EXPECT_EQ(rowsNamed("full_group").size(), 3998u);
}

TEST_F(EventPipelineTest, UserPropertySetBetweenEventsReachesOnlyLaterEventsMetadata) {
  start();
  logPublic("before");
  setProperty("favorite", APMValue("tea"));
  logPublic("after");
  auto before = rowsNamed("before");
  auto after = rowsNamed("after");
  ASSERT_EQ(before.size(), 1u);
  ASSERT_EQ(after.size(), 1u);
  onWorker([&] {
    platform::Error error;
    auto metadata =
        engine().database()->rawEvents().queryRawEventsMetadataWithFingerprint(after[0].fingerprint, &error);
    ASSERT_TRUE(metadata) << error.description;
    EXPECT_EQ(APMNanoGetString(*metadata, 8), std::optional<std::string>("macos"));
    EXPECT_EQ(APMNanoGetInt32(*metadata, 0), 1);
    EXPECT_EQ(APMNanoGetString(*metadata, 16), std::optional<std::string>("1.0"));
  });
  auto beforeNames = metadataUserPropertyNames(before[0].fingerprint);
  auto afterNames = metadataUserPropertyNames(after[0].fingerprint);
  EXPECT_EQ(std::count(beforeNames.begin(), beforeNames.end(), "favorite"), 0);
  EXPECT_EQ(std::count(afterNames.begin(), afterNames.end(), "favorite"), 1);
  EXPECT_EQ(std::count(afterNames.begin(), afterNames.end(), "_fot"), 1);
}

// The lifetime-value step refuses first opens and every event carrying "fail": each refused event
// rolls back alone inside its group, with its counts and every record made for it.
TEST_F(EventPipelineTest, ARolledBackEventLeavesNoTraceAndItsGroupGoesOn) {
  useComponents({std::make_shared<StoreStep>(
      [](const APMEvent& event) {
        return event.name() == "purchase" || event.name() == "_iap" || event.name() == "_ssr" || event.name() == "_f";
      },
      [](APMDatabase&, const APMEvent& event) { return event.name() != "_f" && !event.parameter("fail"); })});
  start();
  EXPECT_TRUE(rowsNamed("_f").empty());
  EXPECT_EQ(engine().startUp().previousFirstOpenCount(), "0");
  EXPECT_FALSE(engine().setup().persistedConfig->attribution().unmatchedFirstOpenWithoutIDFA());
  EXPECT_EQ(rowsNamed("_e").size(), 1u) << "the next event is unaffected";

  const auto countsBefore = dailyCounts();
  const platform::Dictionary subscription{{"_did", 77}, {"subscription", 1}, {"product_id", "gold"}};
  engine().setup().scheduler->workerQueue()->suspend();  // so that all arrive in one group
  logPublic("first");
  logPublic("purchase", {{"value", 5}, {"fail", 1}});
  logPublic("purchase", {{"value", 5}});
  logInternal("_iap", {{"_did", 77}, {"subscription", 1}, {"product_id", "gold"}, {"fail", 1}});
  logInternal("_ssr", {{"_ffr", "flags-a"}, {"fail", 1}});
  logPublic("last");
  engine().setup().scheduler->workerQueue()->resume();
  std::vector<std::string> names;
  for (const auto& row : rows()) names.push_back(row.name);
  ASSERT_GE(names.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(names.end() - 3, names.end()),
            (std::vector<std::string>{"first", "purchase", "last"}));
  auto purchases = rowsNamed("purchase");
  ASSERT_EQ(purchases.size(), 1u);
  EXPECT_FALSE(purchases[0].has("fail"));
  EXPECT_EQ(purchases[0].integer("_c"), 1);
  EXPECT_EQ(dailyCounts().publicEventsCount, countsBefore.publicEventsCount + 3);
  EXPECT_TRUE(loggedCode(23053));
  EXPECT_FALSE(engine().setup().persistedConfig->zoredodeFeatureRollouts()) << "the rolled-back report recorded nothing";

  // The rolled-back subscription's ID was not recorded: its resend is stored, a repeat is not.
  logInternal("_iap", subscription);
  logInternal("_iap", subscription);
  EXPECT_EQ(rowsNamed("_iap").size(), 1u);
}

// Inside one group the metadata follows every user property the road itself writes (here the
// lifetime-value step), and an expired session's properties are removed again once something
// wrote them after their first removal.
TEST_F(EventPipelineTest, UserPropertiesWrittenInsideAGroupReachItsLaterEvents) {
  APMAnalyticsHooks hooks;
  hooks.isAppActive = [] { return false; };
  APMSetAnalyticsHooks(hooks);
  int64_t purchases = 0;
  useComponents({std::make_shared<StoreStep>([](const APMEvent& event) { return event.name() == "purchase"; },
                                             [&purchases](APMDatabase& database, const APMEvent&) {
                                               ++purchases;
                                               return database.userProperties().updateUserAttribute(
                                                          APMUserAttribute("auto", "_ltv_USD", APMValue(purchases),
                                                                           kStartTime),
                                                          nullptr) &&
                                                      database.userProperties().updateUserAttribute(
                                                          APMUserAttribute("auto", "_sid", APMValue(purchases),
                                                                           kStartTime),
                                                          nullptr);
                                             })});
  start();
  engine().setup().scheduler->workerQueue()->suspend();  // so that all arrive in one group
  logPublic("purchase", {{"seq", 1}});
  logPublic("purchase", {{"seq", 2}});
  logPublic("plain");
  engine().setup().scheduler->workerQueue()->resume();
  auto stored = rowsNamed("purchase");
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_NE(stored[0].fingerprint, stored[1].fingerprint) << "the second purchase carries the newer value";
  auto plain = rowsNamed("plain");
  ASSERT_EQ(plain.size(), 1u);
  auto names = metadataUserPropertyNames(plain[0].fingerprint);
  EXPECT_EQ(std::count(names.begin(), names.end(), "_ltv_USD"), 1);
  EXPECT_EQ(std::count(names.begin(), names.end(), "_sid"), 0) << "removed again for the expired session";
  EXPECT_FALSE(userProperty("_sid"));
}

// An expired session's properties removed for an event written inside another one come back when
// the outer event rolls back, and the group's next event removes them again. (Here the
// conditional-property step sets "_sid" again after the purchase's own removal, and the event the
// refused purchase writes inside itself removes it.)
TEST_F(EventPipelineTest, SessionPropertiesRestoredByARolledBackEventAreRemovedAgain) {
  APMAnalyticsHooks hooks;
  hooks.isAppActive = [] { return false; };
  APMSetAnalyticsHooks(hooks);
  useComponents({std::make_shared<EventStep>([this](const APMEvent& event) {
                   if (event.name() == "purchase") {
                     engine().database()->userProperties().updateUserAttribute(
                         APMUserAttribute("auto", "_sid", APMValue(int64_t{78}), kStartTime), nullptr);
                   }
                 }),
                 std::make_shared<StoreStep>([](const APMEvent& event) { return event.name() == "purchase"; },
                                             [this](APMDatabase&, const APMEvent&) {
                                               engine().eventRoad().handleInternalEventOnWorkerQueue(APMEvent::create(
                                                   "auto", false, "_nested", kStartTime, 0, platform::Dictionary{}));
                                               return false;
                                             })});
  start();
  engine().setup().scheduler->workerQueue()->suspend();  // so that all arrive in one group
  logPublic("purchase");
  logPublic("plain");
  engine().setup().scheduler->workerQueue()->resume();
  EXPECT_TRUE(rowsNamed("purchase").empty());
  EXPECT_TRUE(rowsNamed("_nested").empty());
  auto plain = rowsNamed("plain");
  ASSERT_EQ(plain.size(), 1u);
  auto names = metadataUserPropertyNames(plain[0].fingerprint);
  EXPECT_EQ(std::count(names.begin(), names.end(), "_sid"), 0);
  EXPECT_FALSE(userProperty("_sid"));
}

// Inside one group a user property changes, changes back, and changes for an event that is rolled
// back after its metadata row went in: every stored row's metadata is stored, under its
// fingerprint, in the canonical encoding (what encoding the decoded message gives), with the
// properties of its moment in name order.
TEST_F(EventPipelineTest, GroupMetadataFollowsEveryChangeInItsCanonicalEncoding) {
  useTierStep();
  start();
  drain();
  executeOnDatabaseFile(
      "CREATE TRIGGER refuse_doomed BEFORE INSERT ON raw_events WHEN NEW.name = 'doomed' "
      "BEGIN SELECT RAISE(ABORT, 'refused'); END");
  const std::vector<std::pair<std::string, std::string>> logged = {
      {"e1", "a"}, {"e2", "b"}, {"doomed", "c"}, {"e3", ""}, {"e4", "a"}};
  engine().setup().scheduler->workerQueue()->suspend();  // so that all arrive in one group
  for (const auto& [name, tier] : logged) {
    logPublic(name, tier.empty() ? platform::Dictionary{} : platform::Dictionary{{"tier", tier}});
  }
  engine().setup().scheduler->workerQueue()->resume();
  drain();
  EXPECT_TRUE(rowsNamed("doomed").empty());
  std::vector<std::string> names;
  onWorker([&] {
    auto attributes = engine().database()->userProperties().userAttributesIncludingInternal(true, nullptr);
    ASSERT_TRUE(attributes);
    for (const auto& attribute : *attributes) names.push_back(attribute->name());
  });
  const std::vector<std::pair<std::string, std::string>> expected = {{"e1", "a"}, {"e2", "b"}, {"e3", "c"}, {"e4", "a"}};
  std::vector<int64_t> fingerprints;
  for (const auto& [name, tier] : expected) {
    SCOPED_TRACE(name);
    auto stored = rowsNamed(name);
    ASSERT_EQ(stored.size(), 1u);
    fingerprints.push_back(stored[0].fingerprint);
    onWorker([&, tier = tier] {
      platform::Error error;
      auto bytes =
          engine().database()->rawEvents().queryRawEventsMetadataDataWithFingerprint(stored[0].fingerprint, &error);
      ASSERT_TRUE(bytes) << "the metadata row is stored";
      EXPECT_EQ(APMDatabaseRawEvents::metadataFingerprint(*bytes), stored[0].fingerprint);
      auto decoded = APMPBMeasurementBundle::fromBuffer(*bytes);
      ASSERT_TRUE(decoded);
      EXPECT_EQ(decoded->protoBuffer(), *bytes);
      std::vector<std::string> carried;
      std::string carriedTier;
      auto attributes =
          APMNanoGetRepeatedField<std::shared_ptr<APMPBUserAttribute>>(*decoded, APMPBMeasurementBundle::kUserAttributes);
      ASSERT_TRUE(attributes);
      for (const auto& attribute : *attributes) {
        carried.push_back(APMNanoGetString(*attribute, APMPBUserAttribute::kName).value_or(""));
        if (carried.back() == "tier") carriedTier = APMNanoGetString(*attribute, APMPBUserAttribute::kStringValue).value_or("");
      }
      EXPECT_EQ(carried, names);
      EXPECT_EQ(carriedTier, tier);
    });
  }
  ASSERT_EQ(fingerprints.size(), 4u);
  EXPECT_EQ(fingerprints[3], fingerprints[0]) << "changed back, the metadata is the first one again";
  EXPECT_NE(fingerprints[1], fingerprints[0]);
}

// The integers of a query's first column, read through a second connection to the database file.
std::vector<int64_t> integersOnDatabaseFile(const std::string& path, const std::string& sql) {
  std::vector<int64_t> values;
  sqlite3* connection = nullptr;
  EXPECT_EQ(sqlite3_open(path.c_str(), &connection), SQLITE_OK);
  sqlite3_stmt* statement = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(connection, sql.c_str(), -1, &statement, nullptr), SQLITE_OK) << sql;
  while (statement && sqlite3_step(statement) == SQLITE_ROW) values.push_back(sqlite3_column_int64(statement, 0));
  sqlite3_finalize(statement);
  sqlite3_close(connection);
  return values;
}

// A group's metadata rows go in when it commits, in fingerprint order, one per fingerprint its kept
// events use: a rolled-back event's row goes with it, and every stored event finds its metadata.
TEST_F(EventPipelineTest, AGroupStoresTheMetadataOfItsKeptEventsInFingerprintOrder) {
  useTierStep();
  start();
  drain();
  std::string path;
  onWorker([&] { path = engine().database()->databasePath(); });
  executeOnDatabaseFile(
      "CREATE TABLE inserted (fingerprint INTEGER NOT NULL);"
      "CREATE TRIGGER note_inserted AFTER INSERT ON raw_events_metadata "
      "BEGIN INSERT INTO inserted VALUES (NEW.metadata_fingerprint); END;"
      "CREATE TRIGGER refuse_doomed BEFORE INSERT ON raw_events WHEN NEW.name = 'doomed' "
      "BEGIN SELECT RAISE(ABORT, 'refused'); END");
  const std::vector<std::pair<std::string, std::string>> logged = {
      {"e1", "a"}, {"e2", "b"}, {"doomed", "only-the-doomed"}, {"e3", "c"}, {"e4", "d"}, {"e5", "a"},
      {"e6", "e"}, {"e7", "f"}, {"e8", "g"},  {"e9", "h"}};
  engine().setup().scheduler->workerQueue()->suspend();  // so that all arrive in one group
  for (const auto& [name, tier] : logged) logPublic(name, {{"tier", tier}});
  engine().setup().scheduler->workerQueue()->resume();
  drain();
  EXPECT_TRUE(rowsNamed("doomed").empty());
  EXPECT_EQ(rowsNamed("e9").size(), 1u);

  const auto inserted = integersOnDatabaseFile(path, "SELECT fingerprint FROM inserted ORDER BY rowid");
  EXPECT_EQ(inserted.size(), 8u) << "one row per new fingerprint of a kept event (e5 shares e1's)";
  EXPECT_TRUE(std::is_sorted(inserted.begin(), inserted.end()));
  const auto used = integersOnDatabaseFile(path, "SELECT DISTINCT metadata_fingerprint FROM raw_events ORDER BY 1");
  const auto stored = integersOnDatabaseFile(path, "SELECT metadata_fingerprint FROM raw_events_metadata ORDER BY 1");
  EXPECT_EQ(stored, used) << "no event without its metadata, no metadata without its events";
}

// Should a metadata row fail to go in at the commit, the whole group is rolled back, so that no
// stored event points at metadata that is not there; the next group stores its events as usual.
TEST_F(EventPipelineTest, AGroupWhoseMetadataCannotBeStoredKeepsNoneOfItsEvents) {
  start();
  drain();
  const size_t before = rows().size();
  executeOnDatabaseFile(
      "CREATE TRIGGER refuse_metadata BEFORE INSERT ON raw_events_metadata "
      "BEGIN SELECT RAISE(ABORT, 'refused'); END");
  engine().setup().scheduler->workerQueue()->suspend();
  logPublic("lost_one");
  logPublic("lost_two");
  engine().setup().scheduler->workerQueue()->resume();
  drain();
  EXPECT_TRUE(rowsNamed("lost_one").empty());
  EXPECT_TRUE(rowsNamed("lost_two").empty());
  EXPECT_EQ(rows().size(), before);
  EXPECT_TRUE(loggedCode(23068));
  executeOnDatabaseFile("DROP TRIGGER refuse_metadata");
  logPublic("kept");
  auto kept = rowsNamed("kept");
  ASSERT_EQ(kept.size(), 1u);
  std::string path;
  onWorker([&] { path = engine().database()->databasePath(); });
  EXPECT_EQ(integersOnDatabaseFile(path, "SELECT COUNT(*) FROM raw_events_metadata WHERE metadata_fingerprint = " +
                                             std::to_string(kept[0].fingerprint)),
            std::vector<int64_t>{1});
}

// A session start in the same group as earlier events reads their metadata before it is stored:
// an event whose metadata already carries the session ID is left as it is, the others get it.
TEST_F(EventPipelineTest, SessionStartInTheGroupSeesTheMetadataWaitingForTheCommit) {
  start();
  // A live session: an expired one would remove the session ID property before every event.
  onWorker([&] { engine().sessions().reportSessionStartOnWorkerQueueWithTimestamp(platform::now(), false); });
  auto worker = engine().setup().scheduler->workerQueue();
  worker->suspend();
  const APMUserAttribute sessionID("auto", "_sid", APMValue(static_cast<int64_t>(kStartTime) + 7), kStartTime);
  engine().eventRoad().queueUserAttributeChange(sessionID, true);
  logPublic("without_session");
  engine().eventRoad().queueUserAttributeChange(sessionID, false);
  logPublic("with_session");
  logInternal("_s", {{"_sid", static_cast<int64_t>(kStartTime) + 9}, {"_sno", static_cast<int64_t>(2)}});
  worker->resume();
  drain();
  auto without = rowsNamed("without_session");
  auto with = rowsNamed("with_session");
  ASSERT_EQ(without.size(), 1u);
  ASSERT_EQ(with.size(), 1u);
  ASSERT_NE(without[0].fingerprint, with[0].fingerprint);
  EXPECT_EQ(without[0].integer("_sid"), static_cast<int64_t>(kStartTime) + 9);
  EXPECT_EQ(without[0].integer("_sno"), 2);
  EXPECT_FALSE(with[0].has("_sid")) << "its metadata carries the session ID";
  EXPECT_FALSE(with[0].has("_sno"));
}

// The road counts as quiet, and its WAL is checkpointed (emptied and cut to nothing), only once no
// event group has opened for 20 ms after a drain: a group opening in between puts it off.
TEST_F(EventPipelineTest, TheWALIsCheckpointedOnlyOnceNoGroupHasOpenedForTwentyMilliseconds) {
  start();
  std::string wal;
  onWorker([&] {
    wal = engine().database()->databasePath() + "-wal";
    // More than the 1000 pages a quiet checkpoint waits for, written through the engine's connection
    // and gone again before the events, whose metadata would carry it.
    auto& properties = engine().database()->userProperties();
    ASSERT_TRUE(properties.updateUserAttribute(
        APMUserAttribute("app", "filler", APMValue(std::string(5 * 1024 * 1024, 'f')), kStartTime), nullptr));
    ASSERT_TRUE(properties.deleteUserAttributeWithName("filler", nullptr));
  });
  auto walBytes = [&] { return std::filesystem::file_size(wal); };
  // Lets timers that are due hand their blocks to the worker, and the worker run them.
  auto settle = [&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    drain();
  };
  logPublic("first");
  drain();
  settle();
  EXPECT_GT(walBytes(), 0u) << "the end of a drain is no quiet moment yet";
  clock_->advance(0.010);
  logPublic("second");
  drain();
  clock_->advance(0.015);  // 25 ms after the first drain, 15 after the second
  settle();
  EXPECT_GT(walBytes(), 0u) << "a group opened since the first drain";
  clock_->advance(0.010);
  EXPECT_TRUE(testsupport::waitFor([&] { return walBytes() == 0; })) << "20 ms after the second drain";
  EXPECT_EQ(rowsNamed("second").size(), 1u);
}

// A group's transaction commits once it holds 5000 events or has been open a quarter of a second,
// whichever comes first (counting the groups before it that share it), and the rest of the group
// follows in the next transaction.
TEST_F(EventPipelineTest, AGroupsTransactionHoldsAtMostFiveThousandEventsOrAQuarterSecond) {
  // Each event's name, the time writing it takes (on the fake clock) and how many times it is
  // logged; the events from "next" on must be written in the transaction after the first's.
  struct Case {
    const char* what;
    std::vector<std::tuple<std::string, double, int>> events;
  };
  const std::vector<Case> cases{
      {"a quarter of a second", {{"first", 0.125, 1}, {"second", 0.0625, 1}, {"third", 0.0625, 1}, {"next", 0, 2}}},
      {"5000 events", {{"first", 0, 1}, {"filler", 0, 4998}, {"last", 0, 1}, {"next", 0, 2}}},
      // The same bounds hold for a transaction that the next group ("|" begins it) goes on in.
      {"a quarter of a second over two groups",
       {{"first", 0.125, 1}, {"|", 0, 1}, {"second", 0.0625, 1}, {"third", 0.0625, 1}, {"next", 0, 2}}},
      {"5000 events over two groups",
       {{"first", 0, 1}, {"filler", 0, 2999}, {"|", 0, 1}, {"more", 0, 1999}, {"last", 0, 1}, {"next", 0, 2}}},
  };
  // The transaction each event was written in, and the time its writing takes. Worker queue only.
  auto serials = std::make_shared<std::map<std::string, std::vector<uint64_t>>>();
  auto seconds = std::make_shared<std::map<std::string, double>>();
  useEventStep([this, serials, seconds](const APMEvent& event) {
    if (!seconds->count(event.name())) return;
    (*serials)[event.name()].push_back(engine().database()->connection().store()->transactions().transactionSerial());
    clock_->advance((*seconds)[event.name()]);
  });
  start();
  drain();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    onWorker([&] {
      serials->clear();
      seconds->clear();
      for (const auto& [name, time, count] : c.events) (*seconds)[name] = time;
    });
    auto worker = engine().setup().scheduler->workerQueue();
    worker->suspend();  // so that all arrive in one group
    for (const auto& [name, time, count] : c.events) {
      if (name == "|") engine().eventRoad().closeOpenGroup();
      for (int i = 0; i < count && name != "|"; ++i) logInternal(name);
    }
    worker->resume();
    drain();
    onWorker([&] {
      ASSERT_EQ((*serials)["first"].size(), 1u);
      const uint64_t first = (*serials)["first"][0];
      for (const auto& [name, time, count] : c.events) {
        if (name == "|") continue;
        const auto& written = (*serials)[name];
        ASSERT_EQ(written.size(), static_cast<size_t>(count)) << name;
        for (uint64_t serial : written) EXPECT_EQ(serial, name == "next" ? first + 1 : first) << name;
      }
    });
  }
}

// Groups of events that follow one another on the worker queue share a transaction, and each
// event's after-commit actions run once its row is committed, in order. Work queued between two
// groups that reaches the database finds the first group's rows committed (it commits them itself).
// A refused metadata row at the shared commit keeps neither group's events nor runs their actions;
// a refused event rolls back alone, and the rest still commit together.
TEST_F(EventPipelineTest, ConsecutiveGroupsShareOneCommitThatTheirActionsAndOtherWorkWaitFor) {
  struct Seen {
    std::map<std::string, uint64_t> serials;
    // Each after-commit action in the order it ran: the event's name and how many rows of that
    // name a second connection then finds.
    std::vector<std::pair<std::string, int64_t>> actions;
    std::string path;
  };
  auto seen = std::make_shared<Seen>();
  useEventStep([this, seen](const APMEvent& event) {
    const std::string name = event.name();
    if (name.rfind("g", 0) != 0) return;
    seen->serials[name] = engine().database()->connection().store()->transactions().transactionSerial();
    engine().eventRoad().afterCommit([seen, name] {
      const auto count = integersOnDatabaseFile(seen->path, "SELECT COUNT(*) FROM raw_events WHERE name = '" + name + "'");
      seen->actions.emplace_back(name, count.empty() ? -1 : count[0]);
    });
  });
  start();
  drain();
  onWorker([&] { seen->path = engine().database()->databasePath(); });
  executeOnDatabaseFile(
      "CREATE TRIGGER refuse_doomed BEFORE INSERT ON raw_events WHEN NEW.name = 'doomed' "
      "BEGIN SELECT RAISE(ABORT, 'refused'); END");

  struct Case {
    const char* what;
    std::vector<std::string> first, second;
    bool readBetween;        // a block reading through the engine's connection, queued between the groups
    bool refuseMetadata;     // the metadata rows are refused at the commit
    bool oneCommit;          // both groups' events in one transaction
    std::vector<std::string> stored;  // the events stored, and the actions run, in order
  };
  const std::vector<Case> cases{
      {"back to back", {"g1a", "g1b"}, {"g2a"}, false, false, true, {"g1a", "g1b", "g2a"}},
      {"a database read between", {"g3a"}, {"g4a"}, true, false, false, {"g3a", "g4a"}},
      {"an event refused", {"g5a", "doomed"}, {"g6a"}, false, false, true, {"g5a", "g6a"}},
      {"the shared commit refused", {"g7a"}, {"g8a"}, false, true, true, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    onWorker([&] {
      seen->serials.clear();
      seen->actions.clear();
    });
    if (c.refuseMetadata) {
      executeOnDatabaseFile(
          "CREATE TRIGGER refuse_metadata BEFORE INSERT ON raw_events_metadata "
          "BEGIN SELECT RAISE(ABORT, 'refused'); END");
    }
    int64_t committedWhenRead = -1;
    auto worker = engine().setup().scheduler->workerQueue();
    worker->suspend();
    for (const auto& name : c.first) logInternal(name);
    if (c.readBetween) {
      engine().eventRoad().submit("test", [&, name = c.first[0]] {
        engine().database()->rawEvents().allRawEventsWithError(nullptr);
        const auto count = integersOnDatabaseFile(seen->path, "SELECT COUNT(*) FROM raw_events WHERE name = '" + name + "'");
        committedWhenRead = count.empty() ? -1 : count[0];
      });
    } else {
      engine().eventRoad().closeOpenGroup();
    }
    for (const auto& name : c.second) logInternal(name);
    worker->resume();
    drain();
    if (c.refuseMetadata) executeOnDatabaseFile("DROP TRIGGER refuse_metadata");

    if (c.readBetween) {
      EXPECT_EQ(committedWhenRead, 1) << "the read committed the first group";
    }
    onWorker([&] {
      const uint64_t first = seen->serials[c.first[0]];
      EXPECT_EQ(seen->serials[c.second[0]] == first, c.oneCommit);
      std::vector<std::pair<std::string, int64_t>> expected;
      for (const auto& name : c.stored) expected.emplace_back(name, 1);
      EXPECT_EQ(seen->actions, expected) << "each action after its row's commit, in order";
    });
    for (const auto* group : {&c.first, &c.second}) {
      for (const auto& name : *group) {
        EXPECT_EQ(rowsNamed(name).size(), static_cast<size_t>(std::count(c.stored.begin(), c.stored.end(), name))) << name;
      }
    }
  }
}

// The process ending while a transaction waits open for the next group, whose drain the stopped
// worker queue drops: the open transaction commits before the database closes.
TEST_F(EventPipelineTest, ATransactionLeftOpenForTheNextGroupCommitsAtExit) {
  auto firstWritten = std::make_shared<std::promise<void>>();
  useEventStep([this, firstWritten](const APMEvent& event) {
    if (event.name() != "g1") return;
    // The next group's drain stays queued until the exit drops it.
    engine().setup().scheduler->workerQueue()->suspend();
    firstWritten->set_value();
  });
  start();
  drain();
  std::string path;
  onWorker([&] { path = engine().database()->databasePath(); });
  auto worker = engine().setup().scheduler->workerQueue();
  worker->suspend();
  logInternal("g1");
  engine().eventRoad().closeOpenGroup();
  logInternal("g2");
  worker->resume();
  ASSERT_EQ(firstWritten->get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready);
  // Lets the first group's drain end, leaving its transaction open.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(worker->pendingCount(), 1u);
  ASSERT_TRUE(engine().shutDownForExit(10));
  EXPECT_EQ(integersOnDatabaseFile(path, "SELECT COUNT(*) FROM raw_events WHERE name = 'g1'"), std::vector<int64_t>{1});
  EXPECT_EQ(integersOnDatabaseFile(path, "SELECT COUNT(*) FROM raw_events WHERE name = 'g2'"), std::vector<int64_t>{0});
}

// User-property changes travel in the event group with the events around them, in their order: one
// group, each event's metadata with the value of its moment (through a change back and a removal),
// and a change whose write fails rolls back alone while the group goes on.
TEST_F(EventPipelineTest, UserPropertyChangesShareTheEventGroupAndAFailingOneRollsBackAlone) {
  start();
  drain();
  executeOnDatabaseFile(
      "CREATE TRIGGER refuse_doomed BEFORE INSERT ON user_attributes WHEN NEW.name = 'doomed' "
      "BEGIN SELECT RAISE(ABORT, 'refused'); END");
  // The property changed before each event ("" removes the tier); the tier its metadata carries.
  const struct {
    const char* event;
    const char* name;
    const char* value;
    const char* carried;
  } steps[] = {
      {"e1", nullptr, nullptr, "<absent>"}, {"e2", "tier", "a", "a"},      {"e3", "doomed", "x", "a"},
      {"e4", "tier", "b", "b"},             {"e5", "tier", "a", "a"},      {"e6", "tier", "", "<absent>"},
  };
  auto worker = engine().setup().scheduler->workerQueue();
  worker->suspend();
  for (const auto& step : steps) {
    if (step.name && *step.value) {
      engine().userProperties().setUserAttribute(std::make_shared<APMUserAttribute>("app", step.name, APMValue(step.value), kStartTime));
    } else if (step.name) {
      engine().userProperties().removeUserAttribute(std::make_shared<APMUserAttribute>("", step.name, APMValue(0.0), kStartTime));
    }
    logPublic(step.event);
  }
  EXPECT_EQ(worker->pendingCount(), 1u) << "the changes closed the event group";
  worker->resume();
  std::map<std::string, int64_t> fingerprints;
  for (const auto& step : steps) {
    SCOPED_TRACE(step.event);
    auto stored = rowsNamed(step.event);
    ASSERT_EQ(stored.size(), 1u);
    fingerprints[step.event] = stored[0].fingerprint;
    auto carried = metadataStringUserProperties(stored[0].fingerprint);
    EXPECT_EQ(carried.count("tier") ? carried["tier"] : "<absent>", step.carried);
    EXPECT_EQ(carried.count("doomed"), 0u);
  }
  EXPECT_EQ(fingerprints["e3"], fingerprints["e2"]) << "the failed change left the metadata as it was";
  EXPECT_EQ(fingerprints["e5"], fingerprints["e2"]) << "changed back, the metadata is the earlier one";
  EXPECT_EQ(fingerprints["e6"], fingerprints["e1"]);
  EXPECT_FALSE(userProperty("doomed"));
  EXPECT_FALSE(userProperty("tier"));
  EXPECT_TRUE(loggedCode(23085));
}

TEST_F(EventPipelineTest, PublicDailyLimitRefusesAndReportsErrorSixteen) {
  start();
  applyConfig({{"measurement.upload.max_public_events_per_day", "2"}});
  logPublic("one");
  logPublic("two");
  const auto beforeRefusal = dailyCounts();
  logPublic("three");
  EXPECT_EQ(rowsNamed("three").size(), 0u);
  EXPECT_EQ(errorRowsWithCode(16).size(), 1u);
  const auto after = dailyCounts();
  EXPECT_EQ(after.publicEventsCount, beforeRefusal.publicEventsCount + 1);
  // The refused public event itself leaves the all-events count unchanged; the "_err" adds one.
  EXPECT_EQ(after.allEventsCount, beforeRefusal.allEventsCount + 1);
  EXPECT_EQ(after.errorEventsCount, beforeRefusal.errorEventsCount + 1);
  EXPECT_TRUE(loggedCode(23057));
}

TEST_F(EventPipelineTest, BlockListedEventsAreDroppedAndReported) {
  const std::string name = "blocked_event_with_a_rather_long_name_beyond_forty";
  for (bool silenced : {false, true}) {
    start();
    applyConfig(silenced ? std::map<std::string, std::string>{{"measurement.upload.blacklist_public", "1"}}
                         : std::map<std::string, std::string>{},
                {name});
    const size_t errorsBefore = errorRowsWithCode(11).size();
    logPublic(name);
    EXPECT_TRUE(rowsNamed(name).empty());
    auto errors = errorRowsWithCode(11);
    ASSERT_EQ(errors.size(), errorsBefore + (silenced ? 0 : 1));
    if (!silenced) {
      EXPECT_EQ(errors.back().text("_ev"), "blocked_event_with_a_rather_long_name_be");
    }
    stop();
  }
}

TEST_F(EventPipelineTest, SafelistKeepsOnlyListedEventsAndMarksThem) {
  start(kAppID, true, false, {"allowed", "_f"});
  logPublic("allowed");
  logPublic("other");
  auto allowed = rowsNamed("allowed");
  ASSERT_EQ(allowed.size(), 1u);
  EXPECT_EQ(allowed[0].integer("da_safelisted"), 1);
  EXPECT_TRUE(rowsNamed("other").empty());
  EXPECT_TRUE(rowsNamed("_e").empty());
  auto firstOpens = rowsNamed("_f");
  ASSERT_EQ(firstOpens.size(), 1u);
  EXPECT_EQ(firstOpens[0].integer("da_safelisted"), 1);
}

TEST_F(EventPipelineTest, SubscriptionDuplicatesAreDroppedButMinusOneNeverIs) {
  start();
  // "_iap" 7 is no subscription, so it is never a duplicate either.
  const std::tuple<const char*, int64_t, int64_t> logged[] = {
      {"_iap", 42, 1}, {"_iap", 42, 1}, {"_assr", 42, 0}, {"_iap", -1, 1}, {"_iap", -1, 1}, {"_iap", 7, 0}, {"_iap", 7, 0}};
  for (const auto& [name, id, subscription] : logged) {
    logInternal(name, {{"_did", id}, {"subscription", subscription}, {"product_id", "gold"}});
  }
  std::vector<int64_t> stored;
  for (const auto& row : rows()) {
    if (row.name == "_iap" || row.name == "_assr") stored.push_back(row.integer("_did"));
  }
  EXPECT_EQ(stored, (std::vector<int64_t>{42, -1, -1, 7, 7}));
}

// The real-time daily limit holds at exactly its value along the whole road: the road keeps an
// event real-time while the day's count is under the limit, bundling counts and marks it. With
// that count used up, "_dcu" events stay real-time under their own limit (1 by default).
TEST_F(EventPipelineTest, RealtimeEventsStopAtTheDailyLimitAndDCUEventsHaveTheirOwn) {
  start();
  applyConfig({{"measurement.upload.max_realtime_events_per_day", "2"}});
  auto bundleAll = [&] {
    onWorker([&] {
      while (engine().uploadRoad().bundleRawEvents()) {
      }
    });
  };
  for (int64_t seq : {1, 2, 3}) logInternal("rt", {{"_r", 1}, {"seq", seq}});
  bundleAll();
  EXPECT_EQ(dailyCounts().realtimeCount, 2);

  logInternal("rt", {{"_r", 1}, {"seq", 4}});
  logInternal("_dcu", {{"_r", 1}, {"seq", 5}});
  logInternal("_dcu", {{"_r", 1}, {"seq", 6}});
  // The road's decision, before bundling: only the event under the used-up limit lost its mark.
  std::map<int64_t, bool> storedRealtime;
  for (const auto& row : rows()) {
    if (row.has("seq")) storedRealtime[row.integer("seq")] = row.has("_r");
  }
  EXPECT_EQ(storedRealtime, (std::map<int64_t, bool>{{4, false}, {5, true}, {6, true}}));
  bundleAll();
  EXPECT_EQ(dailyCounts().dcuRealtimeCount, 1);

  std::map<int64_t, bool> bundledRealtime;
  onWorker([&] {
    platform::Error error;
    auto queued = engine().database()->bundleQueue().queryBundlesWithCountLimit(1000, int64_t{1} << 40, &error);
    ASSERT_TRUE(queued) << error.description;
    for (const auto& [bundle, rowID] : *queued) {
      auto events = APMNanoGetRepeatedField<std::shared_ptr<APMPBEvent>>(*bundle, APMPBMeasurementBundle::kEvents);
      for (const auto& event : events.value_or(std::vector<std::shared_ptr<APMPBEvent>>{})) {
        if (auto seq = uploadtest::intParameter(*event, "seq")) {
          bundledRealtime[*seq] = uploadtest::intParameter(*event, "_r") == 1;
        }
      }
    }
  });
  EXPECT_EQ(bundledRealtime, (std::map<int64_t, bool>{
                                 {1, true}, {2, true}, {3, false}, {4, false}, {5, true}, {6, false}}));
}

// Once full, the store of subscription IDs keeps the newest: a resent newest ID is still a
// duplicate, and only the oldest one, forgotten, passes again.
TEST_F(EventPipelineTest, TheFullSubscriptionStoreKeepsTheNewestIDs) {
  start();
  onWorker([&] {
    engine().database()->setLimitsProvider([] {
      APMDatabaseLimits limits;
      limits.maxStoredSubscriptionIDs = 2;
      return limits;
    });
  });
  for (int64_t id : {1, 2, 3, 3, 2, 1}) logInternal("_assc", {{"_did", id}, {"product_id", "gold"}});
  std::vector<int64_t> stored;
  for (const auto& row : rowsNamed("_assc")) stored.push_back(row.integer("_did"));
  EXPECT_EQ(stored, (std::vector<int64_t>{1, 2, 3, 1}));
}

TEST_F(EventPipelineTest, RolloutReportsAreStoredOnlyWhenTheValueChangesAndRefusedOnesRecordNothing) {
  start();
  logInternal("_ssr");
  logRollout("");
  drain();
  EXPECT_TRUE(rowsNamed("_ssr").empty());
  engine().setup().scheduler->workerQueue()->suspend();  // repeats inside one group count too
  for (const char* value : {"flags-c", "flags-c", "flags-d", "flags-d"}) logRollout(value);
  engine().setup().scheduler->workerQueue()->resume();
  drain();
  logRollout("flags-d");
  // A refused report records nothing, so its value is reported once reports are let through.
  applyConfig({}, {"_ssr"});
  logRollout("flags-e");
  drain();
  EXPECT_EQ(engine().setup().persistedConfig->zoredodeFeatureRollouts(), std::optional<std::string>("flags-d"));
  applyConfig({});
  logRollout("flags-e");
  std::vector<std::string> stored;
  for (const auto& row : rowsNamed("_ssr")) stored.push_back(row.text("_ffr"));
  EXPECT_EQ(stored, (std::vector<std::string>{"flags-c", "flags-d", "flags-e"}));
  EXPECT_EQ(engine().setup().persistedConfig->zoredodeFeatureRollouts(), std::optional<std::string>("flags-e"));
  logInternal("_ae");
  auto exceptions = rowsNamed("_ae");
  ASSERT_EQ(exceptions.size(), 1u);
  EXPECT_EQ(exceptions[0].text("_ffr"), "flags-e");
}

TEST_F(EventPipelineTest, PublicNameCardinalityLimitSparesInternalNames) {
  start();
  applyConfig({{"measurement.upload.max_event_name_cardinality", "500"}});
  onWorker([&] {
    platform::Error error;
    for (int i = 0; i < 500; ++i) {
      ASSERT_TRUE(engine().database()->eventAggregates().updateEventAggregates(
          APMEventAggregates("name_" + std::to_string(i), 0, 0, 0, 0), &error));
    }
  });
  logPublic("name_3");
  logPublic("one_too_many");
  logInternal("_internal_new");
  EXPECT_EQ(rowsNamed("name_3").size(), 1u);
  EXPECT_TRUE(rowsNamed("one_too_many").empty());
  EXPECT_EQ(rowsNamed("_internal_new").size(), 1u);
  auto errors = errorRowsWithCode(8);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].text("_ev"), "one_too_many");
  EXPECT_TRUE(loggedCode(23065));
}

TEST_F(EventPipelineTest, DefaultParametersJoinEventsExceptErrors) {
  start();
  engine().userProperties().setDefaultEventParameters(platform::Dictionary{{"team", "blue"}, {"tier", 2}, {"drop", "me"}});
  engine().userProperties().setDefaultEventParameters(platform::Dictionary{{"drop", platform::Object()}});
  logPublic("with_defaults", {{"tier", 5}});
  engine().eventRoad().logEventWithOrigin("auto", false, "_err", {{"_err", 3}}, platform::now(), {}, nullptr, {});
  auto stored = rowsNamed("with_defaults");
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].text("team"), "blue");
  EXPECT_EQ(stored[0].integer("tier"), 5) << "the event's own value wins";
  EXPECT_FALSE(stored[0].has("drop"));
  auto errors = errorRowsWithCode(3);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_FALSE(errors[0].has("team"));

  engine().userProperties().setDefaultEventParameters(std::nullopt);
  logPublic("without_defaults");
  auto cleared = rowsNamed("without_defaults");
  ASSERT_EQ(cleared.size(), 1u);
  EXPECT_FALSE(cleared[0].has("team"));
}

TEST_F(EventPipelineTest, NonPublicUserPropertiesAreLimitedPerOrigin) {
  start();
  for (int64_t i = 0; i < 25; ++i) setProperty("_p" + std::to_string(i), APMValue(i), "fcm");
  setProperty("_p25", APMValue(static_cast<int64_t>(25)), "fcm");
  setProperty("_p3", APMValue(static_cast<int64_t>(300)), "fcm");
  setProperty("_q", APMValue(static_cast<int64_t>(1)), "other");
  EXPECT_FALSE(userProperty("_p25"));
  ASSERT_TRUE(userProperty("_p3"));
  EXPECT_EQ(userProperty("_p3")->value().int64Value(), 300);
  EXPECT_TRUE(userProperty("_q"));
  EXPECT_EQ(errorRowsWithCode(9).size(), 1u);
}

TEST_F(EventPipelineTest, ChangingUserIDDeletesLastAdvertisingReset) {
  start();
  setProperty("_id", APMValue("alice"));
  setProperty("_lair", APMValue(static_cast<int64_t>(1)));
  setProperty("_id", APMValue("alice"));
  EXPECT_TRUE(userProperty("_lair"));
  setProperty("_id", APMValue("bob"));
  EXPECT_FALSE(userProperty("_lair"));
}

class EventPipelineFaultTest : public EngineTest {
 protected:
  // The metadata carries the resettable device ID while *deviceID_ holds one.
  void reportDeviceID() {
    struct DeviceIDFields final : APMEngineComponent {
      explicit DeviceIDFields(std::shared_ptr<std::optional<std::string>> id) : id(std::move(id)) {}
      bool fillIdentifierAndConsentFields(APMPBMeasurementBundle& metadata) override {
        if (*id) APMNanoSetString(metadata, 19, **id);
        return true;
      }
      std::shared_ptr<std::optional<std::string>> id;
    };
    auto fields = std::make_shared<DeviceIDFields>(deviceID_);
    APMSetEngineComponentEditorForTesting([fields](APMEngineComponentList) { return APMEngineComponentList{fields}; });
  }
  static constexpr const char* kDeviceID = "6D92078A-8246-4BA4-AE5B-76104861E7DC";
  std::shared_ptr<std::optional<std::string>> deviceID_ = std::make_shared<std::optional<std::string>>();
};

TEST_F(EventPipelineFaultTest, FailedCleanUpOfOldSubscriptionsKeepsTheNewSubscription) {
  start();
  onWorker([&] {
    engine().database()->setLimitsProvider([] {
      APMDatabaseLimits limits;
      limits.maxStoredSubscriptionIDs = 1;
      return limits;
    });
  });
  executeOnDatabaseFile(
      "CREATE TRIGGER refuse_subscription_cleanup BEFORE DELETE ON subscriptions "
      "BEGIN SELECT RAISE(ABORT, 'clean-up refused'); END;");
  auto logSubscription = [&](int64_t id) {
    logInternal("_assc", {{"_did", id}, {"product_id", "gold"}});
    drain();
  };
  logSubscription(1);
  logSubscription(2);  // over the limit of one: the clean-up runs and fails
  logSubscription(2);  // its ID was recorded, so this is the duplicate
  std::vector<int64_t> stored;
  for (const auto& row : rowsNamed("_assc")) stored.push_back(row.integer("_did"));
  EXPECT_EQ(stored, (std::vector<int64_t>{1, 2}));
}

TEST_F(EventPipelineFaultTest, FirstOpenWithAResettableDeviceIDIsMatched) {
  *deviceID_ = kDeviceID;
  reportDeviceID();
  start();
  EXPECT_EQ(rowsNamed("_f").size(), 1u);
  EXPECT_FALSE(engine().setup().persistedConfig->attribution().unmatchedFirstOpenWithoutIDFA());
  logPublic("later");
  EXPECT_TRUE(rowsNamed("_fx").empty());
}

TEST_F(EventPipelineFaultTest, ResettableDeviceIDAfterUnmatchedFirstOpenReportsConsentedFirstOpen) {
  reportDeviceID();
  start();
  ASSERT_TRUE(engine().setup().persistedConfig->attribution().unmatchedFirstOpenWithoutIDFA());
  onWorker([&] { *deviceID_ = kDeviceID; });
  clock_->advance(60);
  logPublic("after_consent");
  drain();
  auto consented = rowsNamed("_fx");
  ASSERT_EQ(consented.size(), 1u);
  EXPECT_DOUBLE_EQ(consented[0].timestamp, kStartTime + 60);
  EXPECT_EQ(consented[0].integer("_pfo"), 0);
  EXPECT_EQ(consented[0].integer("_uwa"), 0);
  EXPECT_EQ(consented[0].integer("_r"), 1);
  EXPECT_FALSE(engine().setup().persistedConfig->attribution().unmatchedFirstOpenWithoutIDFA());
  logPublic("later");
  EXPECT_EQ(rowsNamed("_fx").size(), 1u) << "reported once";
}

TEST_F(EventPipelineFaultTest, StoredCampaignEventFollowsFirstOpenWithTheHourBefore) {
  // The deep-link component, with the report it makes of a first open recorded.
  struct FirstOpenCampaign final : APMDeepLinkComponent {
    explicit FirstOpenCampaign(std::shared_ptr<std::vector<std::optional<int64_t>>> reported)
        : reported(std::move(reported)) {}
    void reportStoredCampaignEvent(std::optional<int64_t> click) override { reported->push_back(click); }
    bool shouldAllowRequestDeferredDeepLink() override { return false; }
    std::shared_ptr<std::vector<std::optional<int64_t>>> reported;
  };
  auto reported = std::make_shared<std::vector<std::optional<int64_t>>>();
  auto campaign = std::make_shared<FirstOpenCampaign>(reported);
  APMSetEngineComponentEditorForTesting([campaign](APMEngineComponentList) { return APMEngineComponentList{campaign}; });
  start();
  ASSERT_EQ(reported->size(), 1u);
  EXPECT_EQ(reported->front(), std::optional<int64_t>(static_cast<int64_t>(kStartTime) * 1000 - 1));
}

TEST_F(EventPipelineTest, SessionStartBackfillsItsSessionIntoEarlierEventsAndFollowsRollouts) {
  start();
  engine().setup().persistedConfig->setZoredodeFeatureRollouts(std::string("rollout-7"));
  clock_->advance(5);
  logInternal("_s", {{"_sid", static_cast<int64_t>(kStartTime)}, {"_sno", static_cast<int64_t>(1)}});
  auto firstOpens = rowsNamed("_f");
  ASSERT_EQ(firstOpens.size(), 1u);
  EXPECT_EQ(firstOpens[0].integer("_sid"), static_cast<int64_t>(kStartTime));
  EXPECT_EQ(firstOpens[0].integer("_sno"), 1);
  auto stored = rows();
  ASSERT_GE(stored.size(), 2u);
  EXPECT_EQ(stored[stored.size() - 2].name, "_ssr") << "the rollout report is written ahead of the session start";
  EXPECT_EQ(stored[stored.size() - 2].text("_ffr"), "rollout-7");
  EXPECT_EQ(stored.back().name, "_s");
}

TEST_F(EventPipelineTest, PurchaseTransactionsAreFilteredForDuplicates) {
  start();
  auto filter = [&](std::vector<APMPurchaseTransaction> transactions) {
    std::atomic<bool> done{false};
    std::vector<std::string> kept;
    engine().filterPurchaseTransactions(std::move(transactions), [&](std::vector<APMPurchaseTransaction> result) {
      for (const auto& transaction : result) kept.push_back(transaction.productID);
      done = true;
    });
    EXPECT_TRUE(testsupport::waitFor([&] { return done.load(); }));
    return kept;
  };
  EXPECT_EQ(filter({{"gold", 1, "fp-1", {}},
                    {"gold", 1, "fp-1", {}},
                    {"silver", 2, "fp-2", {}},
                    {"bronze", 1, "", {}},
                    {"iron", 1, "fp-3", {}}}),
            (std::vector<std::string>{"gold", "bronze", "iron"}));
  EXPECT_EQ(filter({{"gold", 1, "fp-1", {}}, {"copper", 1, "fp-4", {}}}), (std::vector<std::string>{"copper"}))
      << "a purchase seen in an earlier call stays a duplicate";
}

// Several components may ask for events around one event: each one's "before" events are written
// as soon as it has taken its step, the "after" events follow the event in the components' order,
// and a component whose step fails adds none of its own while the others' stay.
TEST_F(EventPipelineTest, EventsAroundAnEventComeInTheComponentsOrder) {
  class Around final : public APMEngineComponent {
   public:
    Around(std::string tag, bool fails) : tag_(std::move(tag)), fails_(fails) {}
    bool eventWillBeWritten(const APMEvent& event, APMEventCompanions& companions) override {
      if (event.name() != "main") return true;
      companions.before.push_back(
          APMEvent::create("auto", false, tag_ + "_before", event.timestamp(), 0, platform::Dictionary{}));
      companions.after.push_back(
          APMEvent::create("auto", false, tag_ + "_after", event.timestamp(), 0, platform::Dictionary{}));
      return !fails_;
    }

   private:
    const std::string tag_;
    const bool fails_;
  };
  useComponents({std::make_shared<Around>("a", false), std::make_shared<Around>("b", true),
                 std::make_shared<Around>("c", false)});
  start();
  logPublic("main");
  std::vector<std::string> names;
  for (const auto& row : rows()) {
    if (row.name == "main" || row.name.find('_') == 1) names.push_back(row.name);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"a_before", "c_before", "main", "a_after", "c_after"}));
  EXPECT_TRUE(loggedCode(23050)) << "the failed step is reported";
}

// The road reads whether the app is active once per group: a change between two groups reaches
// the next one, whichever way it goes. In the background an event asking to extend the session
// starts one once the last has timed out; in the foreground the road leaves sessions alone.
TEST_F(EventPipelineTest, TheAppGoingToTheBackgroundAndBackReachesTheNextGroup) {
  std::atomic<bool> active{true};
  APMAnalyticsHooks hooks;
  hooks.isAppActive = [&active] { return active.load(); };
  APMSetAnalyticsHooks(hooks);
  start();
  const size_t startsBefore = rowsNamed("_s").size();
  struct Step {
    bool active;
    size_t sessionStarts;
  };
  const Step steps[] = {{true, 0}, {false, 1}, {true, 1}, {false, 2}};
  for (size_t i = 0; i < std::size(steps); ++i) {
    SCOPED_TRACE(i);
    active = steps[i].active;
    clock_->advance(2 * 3600);  // past any session's timeout
    logPublic("work", {{"extend_session", 1}});
    drain();
    EXPECT_EQ(rowsNamed("_s").size() - startsBefore, steps[i].sessionStarts);
    EXPECT_EQ(rowsNamed("work").size(), i + 1);
  }
  APMSetAnalyticsHooks(APMAnalyticsHooks{});
}

TEST_F(EventPipelineTest, BackgroundEventAskingToExtendTheSessionStartsOne) {
  APMAnalyticsHooks hooks;
  hooks.isAppActive = [] { return false; };
  APMSetAnalyticsHooks(hooks);
  start();
  EXPECT_TRUE(rowsNamed("_s").empty()) << "no session starts in the background on its own";
  logPublic("wrong_extend", {{"extend_session", "yes"}});
  drain();
  EXPECT_TRUE(loggedCode(23179));
  EXPECT_TRUE(rowsNamed("_s").empty());
  clock_->advance(10);
  logPublic("background_work", {{"extend_session", 1}});
  auto starts = rowsNamed("_s");
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_DOUBLE_EQ(starts[0].timestamp, kStartTime + 10);
  EXPECT_EQ(rowsNamed("background_work").size(), 1u);
}

}  // namespace
}  // namespace enginetest
