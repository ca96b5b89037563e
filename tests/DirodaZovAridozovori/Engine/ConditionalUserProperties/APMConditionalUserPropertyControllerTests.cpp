// Conditional user properties over the shared engine and its real database: set, trigger, time-out,
// expiry and removal, the events each stage writes, and the rollbacks that keep a user property and
// the record that expires it together.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <functional>
#include <tuple>

#include "APMEngineRegistry.h"
#include "../EngineTestFixture.h"
#include "../FakeEngineContext.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "ConditionalUserProperties/APMConditionalUserPropertyController.h"

namespace enginetest {
namespace {

using Controller = APMConditionalUserPropertyController;

std::shared_ptr<APMEvent> storedEvent(const std::string& name) {
  return APMEvent::create("requester", false, name, 1, 0, platform::Dictionary{{"step", name}});
}

std::shared_ptr<APMConditionalUserProperty> request(const std::string& trigger, std::optional<std::string> value = "on",
                                                    double timeout = 60, double timeToLive = 100) {
  auto property = std::make_shared<APMConditionalUserProperty>();
  property->origin = "fcm";
  if (value) property->value = APMValue(*value);
  property->triggerEventName = trigger;
  property->triggerTimeout = timeout;
  property->timeToLive = timeToLive;
  property->triggeredEvent = storedEvent("cup_triggered");
  property->timedOutEvent = storedEvent("cup_timed_out");
  property->expiredEvent = storedEvent("cup_expired");
  return property;
}

class ConditionalUserPropertyTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    APMSetEngineComponentEditorForTesting([](APMEngineComponentList) {
      return APMEngineComponentList{std::make_shared<Controller>()};
    });
    startSharedEngine();
  }
  void startSharedEngine() {
    if (auto identity = APMIdentity::sharedInstance()) identity->providedIdentifiers().setAppIDFromDMP(kAppID);
    APMEngineRegistry::initializeSharedInstanceWithAppID(kAppID, {.isAnalyticsCollectionEnabled = true});
    std::lock_guard<std::mutex> lock(engineMutex_);
    engine_ = APMEngineRegistry::sharedInstance();
  }
  // The engine's own controller.
  std::shared_ptr<Controller> controller() {
    auto found = APMFindEngineComponent<Controller>(engine().components().list());
    EXPECT_TRUE(found);
    return found;
  }
  void TearDown() override {
    APMEngineRegistry::resetSharedInstanceForTesting();
    EngineTest::TearDown();
  }

  void set(const std::string& name, const std::shared_ptr<APMConditionalUserProperty>& property) {
    controller()->setConditionalUserProperty(property, name);
    drain();
  }
  void clear(const std::string& name, std::shared_ptr<APMEvent> clearEvent = nullptr) {
    controller()->clearConditionalUserPropertyWithClearEvent(clearEvent, name);
    drain();
  }
  std::shared_ptr<APMConditionalUserProperty> record(const std::string& name) {
    drain();
    std::shared_ptr<APMConditionalUserProperty> result;
    onWorker(
        [&] { result = engine().database()->conditionalProperties().conditionalUserPropertyWithName(name, nullptr); });
    return result;
  }
  // The written events other than the engine's own ("_s", "_e" …): name, origin, time.
  std::vector<std::tuple<std::string, std::string, double>> written() {
    std::vector<std::tuple<std::string, std::string, double>> result;
    for (const auto& row : rows()) {
      if (row.name[0] != '_') result.emplace_back(row.name, row.origin, row.timestamp);
    }
    return result;
  }
  void forgetLog() {
    std::lock_guard<std::mutex> lock(linesMutex_);
    lines_.clear();
  }
  // A trigger on the database file that makes one kind of write fail.
  void plant(const std::string& sql) {
    std::string path;
    onWorker([&] { path = engine().database()->databasePath(); });
    sqlite3* connection = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &connection), SQLITE_OK);
    sqlite3_busy_timeout(connection, 5000);
    EXPECT_EQ(sqlite3_exec(connection, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql;
    sqlite3_close(connection);
  }
};

TEST_F(ConditionalUserPropertyTest, TriggeredPropertyLivesItsTimeToLiveAndAnUntriggeredOneTimesOut) {
  drain();
  set("tier", request("level_up", "gold", 60, 100));
  set("bonus", request("never_logged", "yes", 30, 100));
  ASSERT_TRUE(record("tier"));
  EXPECT_FALSE(record("tier")->active);
  EXPECT_EQ(record("tier")->creationTimestamp, kStartTime);
  EXPECT_FALSE(userProperty("tier"));

  clock_->advance(10);
  logPublic("level_up");
  auto property = userProperty("tier");
  ASSERT_TRUE(property);
  EXPECT_EQ(property->value(), APMValue("gold"));
  EXPECT_EQ(property->origin(), "fcm");
  EXPECT_EQ(property->lastSetTimestamp(), kStartTime + 10);
  EXPECT_TRUE(record("tier")->active);
  EXPECT_EQ(record("tier")->triggeredTimestamp, kStartTime + 10);
  EXPECT_TRUE(record("bonus")) << "still within its time-out";

  clock_->advance(101);
  logPublic("tick");
  EXPECT_FALSE(userProperty("tier"));
  EXPECT_FALSE(record("tier"));
  EXPECT_FALSE(record("bonus"));
  const std::vector<std::tuple<std::string, std::string, double>> expected{
      {"level_up", "app", kStartTime + 10},       {"cup_triggered", "fcm", kStartTime + 10},
      {"cup_timed_out", "fcm", kStartTime + 111}, {"cup_expired", "fcm", kStartTime + 111},
      {"tick", "app", kStartTime + 111}};
  EXPECT_EQ(written(), expected);
  EXPECT_EQ(rowsNamed("cup_expired").at(0).text("step"), "cup_expired");
}

TEST_F(ConditionalUserPropertyTest, RequestKeepsItsPlaceAmongTheEventsLoggedAroundIt) {
  drain();
  onWorker([&] {  // all three wait behind this block, in this order
    logPublic("level_up");
    controller()->setConditionalUserProperty(request("level_up"), "tier");
    logPublic("level_up");
  });
  ASSERT_TRUE(record("tier"));
  EXPECT_TRUE(record("tier")->active) << "only the second event comes after the request";
}

// The refusals (11000, 11001) are silent monitor lines: what shows is that nothing is stored.
TEST_F(ConditionalUserPropertyTest, TimeOutAndTimeToLiveMustLieBetweenAMillisecondAnd180Days) {
  drain();
  struct Case {
    const char* name;
    double timeout, timeToLive;
    bool taken;
  };
  const Case cases[] = {{"short_wait", 0.0005, 100, false},   {"long_wait", 15552001, 100, false},
                        {"longest_wait", 15552000, 100, true}, {"shortest_wait", 0.001, 100, true},
                        {"short_life", 60, 0.0005, false},     {"long_life", 60, 15552001, false},
                        {"longest_life", 60, 15552000, true},  {"shortest_life", 60, 0.001, true}};
  for (const auto& c : cases) {
    set(c.name, request("level_up", "on", c.timeout, c.timeToLive));
    EXPECT_EQ(record(c.name) != nullptr, c.taken) << c.name;
  }
}

TEST_F(ConditionalUserPropertyTest, PropertyWithoutTriggerIsActiveAtOnceAndKeepsItsActivationWhenSetAgain) {
  drain();
  set("tier", request("", "gold"));
  ASSERT_TRUE(userProperty("tier"));
  EXPECT_EQ(userProperty("tier")->lastSetTimestamp(), kStartTime);

  clock_->advance(5);
  auto again = request("level_up", "platinum", 300, 50);
  again->origin = "fiam";
  set("tier", again);
  auto kept = record("tier");
  ASSERT_TRUE(kept);
  EXPECT_TRUE(kept->active);
  EXPECT_EQ(kept->triggeredTimestamp, kStartTime);
  EXPECT_EQ(kept->creationTimestamp, kStartTime);
  EXPECT_EQ(kept->triggerEventName, "");
  EXPECT_EQ(kept->triggerTimeout, 60);
  EXPECT_EQ(kept->origin, "fcm");
  EXPECT_EQ(kept->timeToLive, 50);
  EXPECT_EQ(userProperty("tier")->value(), APMValue("platinum")) << "the new value is in force, not only stored";
  logPublic("level_up");
  EXPECT_EQ(rowsNamed("cup_triggered").size(), 1u);
}

TEST_F(ConditionalUserPropertyTest, RemovalDeletesTheRecordAndTheActivePropertyAndLogsTheClearEvent) {
  drain();
  set("tier", request("", "gold"));
  set("pending", request("level_up"));
  set("tier", request("", std::nullopt, 0, 100));
  EXPECT_TRUE(record("tier")) << "a removal is checked like any request";

  clear("missing", storedEvent("cup_cleared"));
  EXPECT_TRUE(loggedCode(11018));
  clear("tier", storedEvent("cup_cleared"));
  clear("pending");
  EXPECT_FALSE(record("tier"));
  EXPECT_FALSE(userProperty("tier"));
  EXPECT_FALSE(record("pending"));
  const std::vector<std::tuple<std::string, std::string, double>> expected{
      {"cup_triggered", "fcm", kStartTime}, {"cup_cleared", "fcm", kStartTime}};
  EXPECT_EQ(written(), expected);
}

TEST_F(ConditionalUserPropertyTest, AdImpressionTriggersWhatWaitsForItsInternalNameOnlyWhenNothingWaitsForIt) {
  drain();
  struct Case {
    std::vector<std::pair<std::string, std::string>> waiting;  // name, trigger
    std::vector<std::string> activated;
  };
  const Case cases[] = {{{{"mapped", "_ai"}}, {"mapped"}},
                        {{{"direct", "ad_impression"}, {"mapped_too", "_ai"}}, {"direct"}}};
  for (const auto& c : cases) {
    for (const auto& [name, trigger] : c.waiting) set(name, request(trigger));
    std::vector<std::string> activated;
    onWorker([&] {
      auto event = APMEvent::create("app", true, "ad_impression", platform::now(), 0, platform::Dictionary{});
      ASSERT_TRUE(controller()->processEventOnWorkerQueue(*event));
    });
    for (const auto& [name, trigger] : c.waiting) {
      if (record(name)->active) activated.push_back(name);
    }
    EXPECT_EQ(activated, c.activated);
  }
}

TEST_F(ConditionalUserPropertyTest, AFailedTriggerRollsBackTheTimeOutsAndExpiriesOfTheSameEvent) {
  const char* plants[] = {
      "CREATE TRIGGER planted BEFORE INSERT ON conditional_properties WHEN NEW.name = 'broken' AND NEW.active = 1 "
      "BEGIN SELECT RAISE(ABORT, 'planted'); END",
      "CREATE TRIGGER planted BEFORE INSERT ON user_attributes WHEN NEW.name = 'broken' "
      "BEGIN SELECT RAISE(ABORT, 'planted'); END"};
  for (const char* sql : plants) {
    SCOPED_TRACE(sql);
    drain();
    onWorker([&] { ASSERT_TRUE(engine().database()->reset(nullptr)); });
    set("broken", request("level_up", "on", 300));
    set("late", request("never_logged", "on", 30));
    set("old", request("", "on", 60, 100));
    plant(sql);
    clock_->advance(200);
    forgetLog();
    logPublic("level_up");
    ASSERT_TRUE(record("broken"));
    EXPECT_FALSE(record("broken")->active);
    EXPECT_TRUE(record("late"));
    EXPECT_TRUE(record("old"));
    EXPECT_TRUE(userProperty("old"));
    EXPECT_TRUE(rowsNamed("cup_timed_out").empty());
    EXPECT_TRUE(rowsNamed("cup_expired").empty());
    EXPECT_EQ(rowsNamed("level_up").size(), 1u) << "the event itself is still written";
    EXPECT_TRUE(loggedCode(23050));
    plant("DROP TRIGGER planted");
    clock_->setNow(kStartTime);
  }
}

TEST_F(ConditionalUserPropertyTest, FailedSetOrRemovalLeavesNoPropertyWithoutItsRecord) {
  drain();
  struct Case {
    const char* plant;
    std::function<void()> action;
    bool recordStored, propertyStored;
  };
  const Case cases[] = {
      {"BEFORE INSERT ON user_attributes WHEN NEW.name = 'broken'", [&] { set("broken", request("")); }, false, false},
      {"BEFORE INSERT ON conditional_properties WHEN NEW.name = 'broken'", [&] { set("broken", request("")); }, false,
       false},
      {"BEFORE DELETE ON user_attributes WHEN OLD.name = 'broken'", [&] { clear("broken"); }, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.plant);
    onWorker([&] { ASSERT_TRUE(engine().database()->reset(nullptr)); });
    if (c.recordStored) set("broken", request(""));
    plant(std::string("CREATE TRIGGER planted ") + c.plant + " BEGIN SELECT RAISE(ABORT, 'planted'); END");
    c.action();
    EXPECT_EQ(record("broken") != nullptr, c.recordStored);
    EXPECT_EQ(userProperty("broken") != nullptr, c.propertyStored);
    EXPECT_TRUE(rowsNamed("cup_triggered").size() == (c.recordStored ? 1u : 0u)) << "nothing logged for a failed set";
    plant("DROP TRIGGER planted");
  }
}

TEST_F(ConditionalUserPropertyTest, QueryReadsOnTheWorkerQueueAndNeverWaitsWhileOnIt) {
  drain();
  for (auto [name, origin] : {std::pair{"tier_a", "fcm"}, {"tier_b", "fiam"}, {"level", "fcm"}}) {
    auto property = request("level_up");
    property->origin = origin;
    set(name, property);
  }
  auto names = [](const auto& properties) {
    std::vector<std::string> result;
    for (const auto& property : properties.value()) result.push_back(property->name);
    return result;
  };
  auto controller = this->controller();
  EXPECT_EQ(names(controller->conditionalUserPropertiesWithNamePrefix("tier", "fcm")), std::vector<std::string>{"tier_a"});
  EXPECT_EQ(names(controller->conditionalUserPropertiesWithNamePrefix(std::nullopt, std::nullopt)).size(), 3u);
  onWorker([&] {
    EXPECT_FALSE(controller->conditionalUserPropertiesWithNamePrefix("tier", std::nullopt));
    EXPECT_EQ(engine().setup().scheduler->workerQueue()->pendingCount(), 0u) << "nothing queued behind the caller";
  });

  engine().collection().setEnabled(false);
  drain();
  EXPECT_FALSE(controller->conditionalUserPropertiesWithNamePrefix("tier", std::nullopt));
  EXPECT_TRUE(loggedCode(11005));
  set("disabled", request(""));
  EXPECT_TRUE(loggedCode(11007));
}

// The events of expired properties are written inside the event road: the metadata they carry is
// read after the expiry, even when an earlier event of the same group carried the property.
TEST_F(ConditionalUserPropertyTest, ExpiredEventCarriesTheUserPropertiesLeftAfterTheExpiry) {
  // The clock moves on just before the controller's step on "later".
  struct ClockStep final : APMEngineComponent {
    explicit ClockStep(platform::FakeClock* clock) : clock(clock) {}
    bool eventWillBeWritten(const APMEvent& event, APMEventCompanions&) override {
      if (event.name() == "later") clock->advance(200);
      return true;
    }
    platform::FakeClock* clock;
  };
  APMEngineRegistry::resetSharedInstanceForTesting();
  APMSetEngineComponentEditorForTesting([clock = &*clock_](APMEngineComponentList) {
    return APMEngineComponentList{std::make_shared<ClockStep>(clock), std::make_shared<Controller>()};
  });
  startSharedEngine();
  drain();
  set("tier", request("", "gold", 60, 100));
  onWorker([&] {  // one group for both events
    logPublic("earlier");
    logPublic("later");
  });
  auto propertyNames = [&](const StoredRow& row) {
    std::vector<std::string> names;
    onWorker([&] {
      auto metadata = engine().database()->rawEvents().queryRawEventsMetadataWithFingerprint(row.fingerprint, nullptr);
      ASSERT_TRUE(metadata);
      auto attributes = APMNanoGetRepeatedField<std::shared_ptr<APMPBUserAttribute>>(*metadata, 2);
      for (const auto& attribute : attributes.value_or(std::vector<std::shared_ptr<APMPBUserAttribute>>{})) {
        names.push_back(APMNanoGetString(*attribute, 1).value_or(""));
      }
    });
    return std::count(names.begin(), names.end(), "tier");
  };
  EXPECT_EQ(propertyNames(rowsNamed("earlier").at(0)), 1);
  EXPECT_EQ(propertyNames(rowsNamed("cup_expired").at(0)), 0);
}

// The controller alone, over a database of its own behind a fake engine: what it hands back for
// the engine to write around an event, and that a record set after an event found none is seen by
// the next event.
TEST(ConditionalUserPropertyComponentTest, EventsAroundAnEventComeBackForTheEngineToWrite) {
  testsupport::ScopedDataDirectory dataDirectory;
  testsupport::ScopedFakeClock clock(kStartTime);
  auto engine = std::make_shared<FakeEngineContext>();
  ASSERT_TRUE(engine->openDatabase());
  auto controller = std::make_shared<Controller>();
  controller->attachToEngine(engine);
  using Names = std::vector<std::string>;
  auto step = [&](const std::string& name) {
    std::pair<Names, Names> around;
    engine->queue->sync([&] {
      auto event = APMEvent::create("app", true, name, platform::now(), 0, platform::Dictionary{});
      APMEventCompanions companions;
      ASSERT_TRUE(controller->eventWillBeWritten(*event, companions));
      for (const auto& before : companions.before) around.first.push_back(before->origin() + ":" + before->name());
      for (const auto& after : companions.after) around.second.push_back(after->origin() + ":" + after->name());
    });
    return around;
  };

  EXPECT_EQ(step("level_up"), (std::pair<Names, Names>{}));
  controller->setConditionalUserProperty(request("level_up"), "tier");
  controller->setConditionalUserProperty(request("never", "on", 1), "short");
  engine->queue->sync([] {});
  EXPECT_EQ(step("other"), (std::pair<Names, Names>{})) << "nothing timed out yet, nothing triggered";
  clock->advance(2);
  EXPECT_EQ(step("level_up"), (std::pair<Names, Names>{{"fcm:cup_timed_out"}, {"fcm:cup_triggered"}}));
  EXPECT_TRUE(engine->written.empty()) << "the engine writes them, around the event";
}

}  // namespace
}  // namespace enginetest
