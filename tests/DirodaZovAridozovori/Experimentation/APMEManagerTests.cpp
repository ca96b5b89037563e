// The manager: registration, flag answers, activation, staleness, resets, experiment IDs, the
// task manager's reports, and what the measurement configuration's client sees of it.

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>

#include "APMERemoteConfigClient.h"
#include "APMFileUtilities.h"
#include "ExperimentTestFixture.h"

using platform::Object;

namespace {

constexpr double kNow = 1700000000.0;

class APMEManagerTest : public ExperimentTest {
 protected:
  void TearDown() override {
    if (manager_) {
      drain();
      manager_->taskManager()->stop();
      manager_.reset();
    }
    ExperimentTest::TearDown();
  }

  // A manager whose task manager has started over the database file as it stands.
  void startManager() {
    auto queue = platform::DispatchQueue::create("APMExperimentWorkerQueue");
    auto taskManager = APMETaskManager::create(queue, std::make_shared<APMAlarm>(queue, "APMExperimentAlarm"),
                                               std::make_shared<VIZUzedaru>("127.0.0.1:9"),
                                               std::make_shared<APMUserDefaults>("APMExperimentSuiteName"), path(),
                                               platform::now());
    manager_ = APMEManager::initWithTaskManager(taskManager);
    taskManager->startTaskManager();
  }
  // Ends this manager as a process would end (pending work done).
  void stopManager() {
    drain();
    manager_->taskManager()->stop();
    manager_.reset();
  }
  void drain() {
    manager_->taskManager()->dispatchSyncOnWorkerQueue([] {});
    manager_->dispatchSyncOnSerialQueue([] {});
    manager_->taskManager()->dispatchSyncOnWorkerQueue([] {});
    manager_->dispatchSyncOnSerialQueue([] {});
  }
  static std::string path() { return APMApplicationSupportPath("diroda_experimentation_database.sql"); }

  std::shared_ptr<APMEClient> registerSDK(const std::string& name, const platform::Dictionary& defaults = {}) {
    auto client = manager_->registerSDKProperty(std::make_shared<APMESDKProperty>(name), defaults);
    drain();
    return client;
  }
  // Hands the manager snapshots as a start would.
  void started(APMESnapshots activated, APMESnapshots pending, APMESnapshots launched) {
    manager_->taskManagerDidStartWithActivatedSnapshots(*manager_->taskManager(), activated, pending, launched);
    drain();
  }
  std::optional<APMESnapshots> stored(std::optional<APMESnapshots> (APMEDatabase::*fetch)(platform::Error*)) {
    std::optional<APMESnapshots> result;
    manager_->taskManager()->dispatchSyncOnWorkerQueue(
        [&] { result = ((*manager_->taskManager()->database()).*fetch)(nullptr); });
    return result;
  }

  std::shared_ptr<APMEManager> manager_;
};

}  // namespace

TEST_F(APMEManagerTest, FlagsComeFromActivatedThenLaunchedThenDefaults) {
  startManager();
  auto client = registerSDK("sdk", {{"a", Object(1)}, {"b", Object("x")}, {"both", Object("default")},
                                    {"launchedOnly", Object("default")}, {"defaultOnly", Object(0.5)}});
  ASSERT_TRUE(client);
  EXPECT_EQ(client->valueForFlag("a"), Object(1));
  EXPECT_EQ(client->valueForFlag("b"), Object("x"));
  EXPECT_EQ(client->valueForFlag("c"), std::nullopt);
  EXPECT_TRUE(logged(8, 800014, "No default flag value. SDK name, flag name"));

  started({snapshot("sdk", {experiment(5, {{"both", Object("activated")}})})}, {},
          {snapshot("sdk", {experiment(0, {{"both", Object("launched")}, {"launchedOnly", Object(7)}})})});
  struct Row {
    std::string flag;
    std::optional<Object> expected;
  } rows[] = {
      {"both", Object("activated")},
      {"launchedOnly", Object(7)},
      {"defaultOnly", Object(0.5)},
      {"nowhere", std::nullopt},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(client->valueForFlag(row.flag), row.expected) << row.flag;
    EXPECT_EQ(client->objectForKeyedSubscript(Object(row.flag)), row.expected) << row.flag;
  }
}

TEST_F(APMEManagerTest, LookupsRefuseBadNamesAndUnregisteredSDKs) {
  startManager();
  auto client = registerSDK("sdk");
  struct Row {
    Object flag;
    Object sdk;
    int64_t level;
    int64_t code;
    std::string text;
  } rows[] = {
      {Object("f"), Object(1), 0, 800008, "Cannot get flag value for an invalid SDK name"},
      {Object(1), Object("sdk"), 0, 800009, "Cannot get flag value for invalid flag name. SDK name, flag name"},
      {Object("f"), Object(""), 0, 800010, "Cannot retrieve flag value for empty SDK name"},
      {Object(""), Object("sdk"), 0, 800011, "Cannot retrieve flag value for empty flag name"},
      {Object("f"), Object("stranger"), 3, 800012, "SDK is not registered yet"},
  };
  for (const auto& row : rows) {
    forget();
    EXPECT_EQ(manager_->flagValueForFlagName(row.flag, row.sdk), std::nullopt) << row.code;
    EXPECT_TRUE(logged(row.level, row.code, row.text)) << row.code;
  }
  forget();
  EXPECT_EQ(client->valueForFlag(""), std::nullopt);
  EXPECT_TRUE(logged(0, 830002, "Cannot get value for empty flag name"));
  EXPECT_EQ(client->objectForKeyedSubscript(Object(3)), std::nullopt);
  EXPECT_TRUE(logged(0, 830003, "Cannot get flag value of an invalid flag name"));
}

TEST_F(APMEManagerTest, RegistrationRefusesBadPropertiesAndReplacesAnEarlierClient) {
  startManager();
  EXPECT_EQ(manager_->registerSDKProperty(nullptr, {}), nullptr);
  EXPECT_TRUE(logged(0, 800000, "Cannot register client with a nil SDK property"));
  EXPECT_EQ(manager_->registerSDKProperty(std::make_shared<APMESDKProperty>(""), {}), nullptr);
  EXPECT_TRUE(logged(0, 800001, "Cannot register experiment client with no SDK name"));
  EXPECT_EQ(manager_->registerSDKProperty(std::make_shared<APMESDKProperty>("sdk"),
                                          {{"good", Object(1)}, {"bad", Object(platform::Array{})}}),
            nullptr);
  EXPECT_TRUE(logged(0, 800002, "Cannot register experiment client invalid flags. Flag name, value"));
  drain();
  EXPECT_EQ(manager_->clientForSDKName("sdk"), nullptr);

  auto first = registerSDK("sdk", {{"a", Object(1)}, {"b", Object(2)}});
  EXPECT_TRUE(logged(8, 800005, "Registered client"));
  EXPECT_EQ(first->defaultFlags().size(), 2u);
  auto second = registerSDK("sdk", {{"a", Object(3)}});
  EXPECT_TRUE(logged(3, 800003,
                     "Registered an SDK that has already registered. Default flags will be overwritten. SDK name"));
  EXPECT_EQ(manager_->clientForSDKName("sdk"), second);
  EXPECT_EQ(first->valueForFlag("a"), Object(3));
  EXPECT_EQ(first->valueForFlag("b"), std::nullopt) << "the earlier default flags are gone";
}

TEST_F(APMEManagerTest, ManualActivationSplitsThePendingSnapshotHereAndOnDisk) {
  startManager();
  auto client = registerSDK("sdk");
  struct Row {
    std::string name;
    std::vector<int64_t> pending;
    std::vector<int64_t> activated;
    std::vector<int64_t> launched;
  } rows[] = {
      {"mixed", {0, 5, 7}, {5, 7}, {0}},
      {"all launched", {0}, {}, {0}},
      {"no launch", {9}, {9}, {0}},  // the launched snapshot of the row before stays
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    clock_->advance(100);
    std::vector<std::shared_ptr<APMEExperiment>> experiments;
    for (int64_t id : row.pending) experiments.push_back(experiment(id, {{"f" + std::to_string(id), Object(id)}}));
    auto pending = snapshot("sdk", experiments);
    manager_->taskManager()->upsertPendingSnapshots({pending});
    started({}, {pending}, {});

    platform::Error error;
    ASSERT_TRUE(client->activateLatestSnapshot(&error));
    EXPECT_TRUE(logged(8, 800028, "Successfully activated a snapshot of SDK"));
    drain();
    for (int64_t id : row.activated) EXPECT_EQ(client->valueForFlag("f" + std::to_string(id)), Object(id));
    EXPECT_EQ(manager_->activatedSnapshotStatusOfSDKName("sdk"), 0) << "stamped now";

    // What a restart would read.
    auto activated = stored(&APMEDatabase::fetchAllActivatedSnapshots);
    auto launched = stored(&APMEDatabase::fetchAllLaunchedSnapshots);
    ASSERT_TRUE(activated && activated->size() == 1);
    ASSERT_TRUE(launched && launched->size() == 1);
    EXPECT_EQ(idsOf(activated->front()), row.activated);
    EXPECT_EQ(idsOf(launched->front()), row.launched);
    EXPECT_TRUE(stored(&APMEDatabase::fetchAllPendingSnapshots)->empty());
    EXPECT_FALSE(client->activateLatestSnapshot(&error)) << "nothing pending any more";
    EXPECT_TRUE(logged(3, 800023, "No pending snapshot to activate. SDK name"));
  }
  EXPECT_EQ(client->valueForFlag("f0"), Object(0)) << "served from the launched snapshot";
  EXPECT_EQ(client->valueForFlag("f5"), std::nullopt) << "the ended experiment is gone";

  struct Refusal {
    std::optional<std::string> name;
    int64_t code;
    std::string text;
    std::string description;
  } refusals[] = {
      {std::nullopt, 800021, "Cannot activate a pending snapshot for a nil SDK name", "SDK name cannot be nil"},
      {"", 800022, "Cannot activate a pending snapshot for an empty SDK name", "SDK name cannot be empty"},
  };
  for (const auto& refusal : refusals) {
    platform::Error error;
    EXPECT_FALSE(manager_->activateSnapshotOfSDK(refusal.name, &error));
    EXPECT_TRUE(logged(3, refusal.code, refusal.text));
    EXPECT_EQ(error.code, 1);
    EXPECT_EQ(error.description, refusal.description);
  }
}

TEST_F(APMEManagerTest, StatusTellsMissingFreshAndStaleSnapshots) {
  startManager();
  registerSDK("sdk");
  EXPECT_EQ(manager_->activatedSnapshotStatusOfSDKName("stranger"), -1);
  EXPECT_EQ(manager_->activatedSnapshotStatusOfSDKName(""), -1);
  EXPECT_TRUE(logged(0, 800024, "Cannot check activated snapshot for empty SDK Name"));
  EXPECT_EQ(manager_->activatedSnapshotStatusOfSDKName("sdk"), -2);

  started({snapshot("sdk", {experiment(1, {})})}, {}, {});
  struct Row {
    double age;
    int64_t status;
  } rows[] = {{0, 0}, {259200, 0}, {259201, 1}, {1000000, 1}};
  for (const auto& row : rows) {
    clock_->setNow(kNow + row.age);
    EXPECT_EQ(manager_->activatedSnapshotStatusOfSDKName("sdk"), row.status) << row.age;
  }
  EXPECT_TRUE(manager_->clientForSDKName("sdk")->hasStaleSnapshot());
  clock_->setNow(kNow - 259201);
  EXPECT_EQ(manager_->activatedSnapshotStatusOfSDKName("sdk"), 1) << "a snapshot from the future is stale too";
}

TEST_F(APMEManagerTest, ResetToDefaultsDropsTheActivatedSnapshotHereAndOnDisk) {
  startManager();
  auto client = registerSDK("sdk", {{"f", Object("default")}});
  auto pending = snapshot("sdk", {experiment(4, {{"f", Object("experiment")}})});
  started({}, {pending}, {});
  manager_->taskManager()->upsertPendingSnapshots({pending});
  ASSERT_TRUE(client->activateLatestSnapshot(nullptr));
  drain();
  ASSERT_EQ(client->valueForFlag("f"), Object("experiment"));

  client->resetToDefaults();
  drain();
  EXPECT_TRUE(logged(8, 800027, "Reset all experiments to default. SDK name"));
  EXPECT_EQ(client->valueForFlag("f"), Object("default"));
  EXPECT_TRUE(stored(&APMEDatabase::fetchAllActivatedSnapshots)->empty());
  client->resetToDefaults();
  EXPECT_TRUE(logged(0, 800026, "Cannot reset to defaults for unregistered SDK name"));
  manager_->resetToDefaultsOfSDKName("");
  EXPECT_TRUE(logged(0, 800025, "Cannot reset to defaults for empty SDK Name"));
}

TEST_F(APMEManagerTest, ExperimentIDsAreTheActivatedOnesOfSDKsWithoutTheirOwnDiversionKey) {
  startManager();
  registerSDK("measurement");
  registerSDK("plain");
  auto own = std::make_shared<APMESDKProperty>("own");
  own->setDiversionKey("mine1");
  manager_->registerSDKProperty(own, {});
  drain();
  started({snapshot("measurement", {experiment(30, {}), experiment(4, {})}), snapshot("plain", {experiment(12, {})}),
           snapshot("own", {experiment(1, {})}), snapshot("unregistered", {experiment(2, {})})},
          {}, {snapshot("measurement", {experiment(0, {})})});
  EXPECT_EQ(manager_->experimentIDs(), (std::vector<int64_t>{4, 12, 30}));
}

TEST_F(APMEManagerTest, FetchAsksTheDelegatesOfRegisteredClients) {
  startManager();
  EXPECT_FALSE(manager_->taskManagerShouldFetchExperiments(*manager_->taskManager())) << "no client";
  auto quiet = registerSDK("quiet");
  auto refusing = std::make_shared<APMEClientDelegate>();
  refusing->shouldFetchExperimentsForClient = [](APMEClient&) { return false; };
  quiet->setDelegate(refusing);
  EXPECT_FALSE(manager_->taskManagerShouldFetchExperiments(*manager_->taskManager())) << "all answer no";

  auto eager = registerSDK("eager");
  auto silent = std::make_shared<APMEClientDelegate>();
  eager->setDelegate(silent);
  EXPECT_TRUE(manager_->taskManagerShouldFetchExperiments(*manager_->taskManager()))
      << "a delegate without the question counts as yes";
}

TEST_F(APMEManagerTest, FetchedSnapshotsWaitForSDKsThatActivateThemselves) {
  startManager();
  auto selfActivating = registerSDK("self");
  auto automatic = registerSDK("auto");
  auto notices = std::make_shared<std::atomic<int>>(0);
  auto errors = std::make_shared<std::vector<int64_t>>();
  auto delegate = std::make_shared<APMEClientDelegate>();
  delegate->clientDidReceiveNewSnapshot = [notices](APMEClient& client) {
    EXPECT_EQ(client.SDKName(), "self");
    ++*notices;
  };
  delegate->clientDidReceiveFetchError = [errors](APMEClient&, const platform::Error& error) {
    errors->push_back(error.code);
  };
  auto deliveries = platform::DispatchQueue::create("test.deliveries");
  delegate->queue = deliveries;
  selfActivating->setDelegate(delegate);

  // As a successful fetch stores and reports them.
  APMESnapshots fetched = {snapshot("self", {experiment(5, {{"f", Object(1)}})}),
                           snapshot("auto", {experiment(6, {{"g", Object(2)}})})};
  manager_->taskManager()->dispatchSyncOnWorkerQueue(
      [&] { ASSERT_TRUE(manager_->taskManager()->database()->upsertPendingExperimentSnapshots(fetched, nullptr)); });
  manager_->taskManagerDidFinishFetchingExperimentSnapshots(*manager_->taskManager(), fetched,
                                                            APMEFetchErrors{{"self", platform::Error("d", -3)}});
  drain();
  deliveries->sync([] {});
  EXPECT_EQ(notices->load(), 1);
  EXPECT_EQ(*errors, std::vector<int64_t>{-3});
  auto pending = stored(&APMEDatabase::fetchAllPendingSnapshots);
  ASSERT_EQ(pending->size(), 2u);
  for (const auto& row : *pending) EXPECT_EQ(row->manuallyActivated(), row->SDKName() == "self") << row->SDKName();

  // The next start activates only the snapshot nobody waits for.
  // An SDK that registers and activates at once, as the configuration does, finds its snapshot.
  stopManager();
  startManager();
  selfActivating = manager_->registerSDKProperty(std::make_shared<APMESDKProperty>("self"), {});
  EXPECT_TRUE(selfActivating->activateLatestSnapshot(nullptr)) << "the first registration waits for the stored snapshots";
  EXPECT_EQ(selfActivating->valueForFlag("f"), Object(1));
  automatic = registerSDK("auto");
  EXPECT_EQ(automatic->valueForFlag("g"), Object(2));

  manager_->taskManagerDidFinishFetchingExperimentSnapshots(*manager_->taskManager(), std::nullopt, std::nullopt);
  EXPECT_TRUE(logged(3, 800020, "No pending snapshots to notify the clients"));
}

TEST_F(APMEManagerTest, ResetAndClearAndDeleteEmptyMemoryAndFile) {
  startManager();
  auto client = registerSDK("sdk");
  started({snapshot("sdk", {experiment(1, {{"f", Object(1)}})})}, {snapshot("sdk", {experiment(2, {})})},
          {snapshot("sdk", {experiment(0, {{"g", Object(2)}})})});
  manager_->reset();
  drain();
  EXPECT_EQ(client->valueForFlag("f"), std::nullopt);
  EXPECT_EQ(client->valueForFlag("g"), std::nullopt);
  EXPECT_FALSE(client->activateLatestSnapshot(nullptr));
  EXPECT_TRUE(std::filesystem::exists(path()));

  started({snapshot("sdk", {experiment(1, {{"f", Object(1)}})})}, {}, {});
  manager_->clearAndDelete();
  drain();
  EXPECT_EQ(client->valueForFlag("f"), std::nullopt);
  EXPECT_FALSE(std::filesystem::exists(path()));
  EXPECT_EQ(manager_->taskManager()->alarm()->scheduledTimestamp(), std::nullopt);
}

TEST_F(APMEManagerTest, ExceptionsOnTheSerialQueueGoNoFurther) {
  startManager();
  manager_->dispatchAsyncOnSerialQueue([] { throw std::runtime_error("async"); });
  EXPECT_NO_THROW(manager_->dispatchSyncOnSerialQueue([] { throw std::runtime_error("sync"); }));
  drain();
  EXPECT_TRUE(logged(1, 800017, "Exception on async Experimentation serial queue"));
  EXPECT_TRUE(logged(1, 800018, "Exception on sync Experimentation serial queue"));
}

TEST_F(APMEManagerTest, TheMeasurementClientRegistersAppMeasurementAndForwardsNotices) {
  startManager();
  APMESDKProperty::setDefaultDiversionKeyProvider([] { return std::string("QWERT"); });
  auto adapter = APMERemoteConfigClient::create(manager_, 111500, [] { return nullptr; });
  ASSERT_TRUE(adapter);
  drain();
  auto client = manager_->clientForSDKName("app_measurement");
  ASSERT_EQ(client, adapter->client());
  EXPECT_TRUE(client->defaultFlags().empty());
  EXPECT_EQ(client->SDKProperty()->version(), 111500);
  auto entry = APMNanoGetRepeatedField<std::shared_ptr<APMPBClientProperty>>(
      *APMEExperimentRequestBuilder::sharedInstance()->request(), APMPBExperimentRequest::kClientProperties);
  ASSERT_TRUE(entry);
  ASSERT_EQ(entry->size(), 1u);
  EXPECT_EQ(APMNanoGetString(*entry->front(), APMPBClientProperty::kDiversion), "QWERT-app_measurement");
  EXPECT_FALSE(APMNanoHasField(*entry->front(), APMPBClientProperty::kAppId));

  // Without a configuration there is nobody to fetch for.
  EXPECT_FALSE(manager_->taskManagerShouldFetchExperiments(*manager_->taskManager()));
  // Fetched snapshots wait for the configuration's activation.
  auto delegate = client->delegate();
  ASSERT_TRUE(delegate && delegate->clientDidReceiveNewSnapshot);
  EXPECT_EQ(delegate->queue, nullptr) << "notices arrive on the main queue";

  manager_->taskManagerDidStartWithActivatedSnapshots(
      *manager_->taskManager(), {snapshot("app_measurement", {experiment(9, {{"customer_type_enabled", Object(1)}})})},
      {}, {});
  drain();
  EXPECT_EQ(adapter->flagValue("customer_type_enabled"), Object(1));
  EXPECT_EQ(adapter->experimentIDs(), std::vector<int64_t>{9});
  platform::Error error;
  EXPECT_FALSE(adapter->activateLatestSnapshot(&error));
  adapter->reset();
  drain();
  EXPECT_EQ(adapter->experimentIDs(), std::vector<int64_t>{});
}
