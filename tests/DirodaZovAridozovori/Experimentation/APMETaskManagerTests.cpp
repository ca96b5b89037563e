// The fetch schedule (next-fetch arithmetic, retries, back-off, postponing), the reply statuses,
// reading replies and the start. The exchange with a real server is an integration test.

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>

#include "APMETaskManager.h"
#include "APMFileUtilities.h"
#include "ExperimentTestFixture.h"

using platform::Object;

namespace {

constexpr double kNow = 1700000000.0;

struct RecordingDelegate : APMETaskManagerDelegate {
  bool taskManagerShouldFetchExperiments(APMETaskManager&) override {
    std::lock_guard<std::mutex> lock(mutex);
    ++asked;
    return answer;
  }
  void taskManagerDidStartWithActivatedSnapshots(APMETaskManager&, const APMESnapshots& activated,
                                                 const APMESnapshots& pending, const APMESnapshots& launched) override {
    std::lock_guard<std::mutex> lock(mutex);
    started.push_back({activated, pending, launched});
  }
  void taskManagerDidFinishFetchingExperimentSnapshots(APMETaskManager&, const std::optional<APMESnapshots>& snapshots,
                                                       const std::optional<APMEFetchErrors>& errors) override {
    std::lock_guard<std::mutex> lock(mutex);
    finished.push_back({snapshots, errors});
  }
  void taskManagerDidUpsertPendingSnapshots(APMETaskManager&, const APMESnapshots& snapshots) override {
    std::lock_guard<std::mutex> lock(mutex);
    upserted.push_back(snapshots);
  }

  std::mutex mutex;
  bool answer = true;
  int asked = 0;
  std::vector<std::array<APMESnapshots, 3>> started;
  std::vector<std::pair<std::optional<APMESnapshots>, std::optional<APMEFetchErrors>>> finished;
  std::vector<APMESnapshots> upserted;
};

class APMETaskManagerTest : public ExperimentTest {
 protected:
  void TearDown() override {
    if (manager_) {
      manager_->stop();
      manager_.reset();
    }
    ExperimentTest::TearDown();
  }

  // A task manager over a fresh queue, alarm and suite, created at initTimestamp, not started.
  void make(double initTimestamp = kNow) {
    auto queue = platform::DispatchQueue::create("APMExperimentWorkerQueue");
    manager_ = APMETaskManager::create(queue, std::make_shared<APMAlarm>(queue, "APMExperimentAlarm"),
                                       std::make_shared<VIZUzedaru>("127.0.0.1:9"),
                                       std::make_shared<APMUserDefaults>("APMExperimentSuiteName"), path(), initTimestamp);
    manager_->setDelegate(delegate_);
  }
  void start() {
    if (!manager_) make();
    manager_->startTaskManager();
    drain();
  }
  void drain() { manager_->dispatchSyncOnWorkerQueue([] {}); }
  static std::string path() { return APMApplicationSupportPath("diroda_experimentation_database.sql"); }
  APMUserDefaults suite() { return APMUserDefaults("APMExperimentSuiteName"); }
  std::optional<double> alarmAt() { return manager_->alarm()->scheduledTimestamp(); }

  void reply(std::optional<long> status, const platform::Data& data = {}) {
    std::optional<platform::HttpResponse> response;
    if (status) {
      response = platform::HttpResponse{};
      response->statusCode = *status;
    }
    manager_->dispatchSyncOnWorkerQueue([&] { manager_->handleFetchingExperimentsResponse(response, data, std::nullopt); });
  }
  // Simulates the alarm's firing being answered by a reply: the armed time comes, the reply lands.
  void failAtArmedTime(long status) {
    auto at = alarmAt();
    ASSERT_TRUE(at);
    manager_->alarm()->cancel();
    clock_->setNow(*at);
    reply(status);
  }

  static platform::Data responseBytes(const std::vector<std::shared_ptr<APMESnapshot>>& snapshots,
                                      const std::vector<std::tuple<std::string, int32_t>>& statuses = {}) {
    APMPBExperimentResponse response;
    std::vector<std::shared_ptr<APMPBSnapshot>> messages;
    for (const auto& snapshot : snapshots) messages.push_back(snapshot->proto());
    if (!messages.empty()) APMNanoSetRepeatedField(response, APMPBExperimentResponse::kSnapshots, messages);
    std::vector<std::shared_ptr<APMPBSdkResponse>> entries;
    for (const auto& [name, status] : statuses) {
      auto entry = std::make_shared<APMPBSdkResponse>();
      APMNanoSetString(*entry, APMPBSdkResponse::kSdkName, name);
      APMNanoSetInt32(*entry, APMPBSdkResponse::kStatus, status);
      entries.push_back(entry);
    }
    if (!entries.empty()) APMNanoSetRepeatedField(response, APMPBExperimentResponse::kSdkResponses, entries);
    return response.protoBuffer();
  }

  std::shared_ptr<RecordingDelegate> delegate_ = std::make_shared<RecordingDelegate>();
  std::shared_ptr<APMETaskManager> manager_;
};

}  // namespace

TEST_F(APMETaskManagerTest, NextFetchTimeFollowsSuccessRhythmAndRetryLadder) {
  const double now = kNow;
  const double start = kNow - 600;  // the process started ten minutes ago
  struct Row {
    std::string name;
    double success;
    double failure;
    bool first;
    double expected;
  } rows[] = {
      {"first run: ten seconds after start", 0, 0, true, now + 10},
      {"first call, success an hour ago", now - 3600, 0, true, now + 10800},
      {"first call, success five hours ago", now - 18000, 0, true, now + 10},
      {"first call ignores failures", now - 3600, now - 60, true, now + 10800},
      {"success without failure", now - 3600, 0, false, now + 10800},
      {"no success ever, no failure", 0, 0, false, 14400},
      {"success in the future counts as past", now + 3600, 0, false, now + 10800},
      {"failure after a success 5h ago", now - 18000, now - 600, false, now + 1800},
      {"first retry step after success", now - 3600, now - 60, false, now - 3600 + 14400 + 1800},
      {"no success: first step from start", 0, start + 10, false, start + 1800},
      {"no success: second step", 0, start + 1800, false, start + 5400},
      {"no success: third step", 0, start + 5400, false, start + 12600},
      {"no success: fourth step", 0, start + 12600, false, start + 27000},
      {"no success: fifth step", 0, start + 27000, false, start + 55800},
      {"no success: sixth step", 0, start + 55800, false, start + 113400},
      {"no success: ladder used up", 0, start + 113400, false, 0},
      {"ladder used up after a success", now - 18000, now - 18000 + 14400 + 113400, false, 0},
  };
  for (const auto& row : rows) {
    EXPECT_DOUBLE_EQ(APMEFetchSchedule::nextFetchTime(row.success, row.failure, now, row.first, start), row.expected)
        << row.name;
  }
}

TEST_F(APMETaskManagerTest, StartSchedulesTheFirstFetchWithinTheBackoffRule) {
  struct Row {
    std::string name;
    double success;
    double failure;
    double backoff;
    double expected;
  } rows[] = {
      {"nothing stored", 0, 0, 0, kNow + 10},
      {"success an hour ago", kNow - 3600, 0, 0, kNow + 10800},
      {"back-off asked an hour ago", kNow - 18000, kNow - 3600, kNow - 3600, kNow + 39600},
      {"back-off over", 0, kNow - 46800, kNow - 46800, kNow + 10},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    auto storage = suite();
    storage.clearAllData();
    if (row.success) storage.setDouble(row.success, "APMExperimentFetchSuccessTimestamp");
    if (row.failure) storage.setDouble(row.failure, "APMExperimentFetchFailureTimestamp");
    if (row.backoff) storage.setDouble(row.backoff, "APMExperimentFetchBackoffTimestamp");
    make();
    start();
    EXPECT_EQ(alarmAt(), row.expected);
    EXPECT_TRUE(manager_->schedule().hasMadeInitialFetch());
    manager_->stop();
    manager_.reset();
  }
}

TEST_F(APMETaskManagerTest, RepliesMoveTheTimestampsByStatus) {
  struct Row {
    std::optional<long> status;
    bool success;
    bool failure;
    bool backoff;
  } rows[] = {
      {200, true, false, false}, {204, true, false, false}, {503, false, true, true}, {429, false, true, true},
      {500, false, true, false}, {404, false, true, false}, {std::nullopt, false, true, false},
  };
  start();
  const double earlier = kNow - 100000;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.status ? std::to_string(*row.status) : "no answer");
    auto storage = suite();
    for (const char* key : {"APMExperimentFetchSuccessTimestamp", "APMExperimentFetchFailureTimestamp",
                            "APMExperimentFetchBackoffTimestamp"}) {
      storage.setDouble(earlier, key);
    }
    clock_->advance(1);
    reply(row.status);
    const double now = platform::now();
    EXPECT_EQ(storage.doubleForKey("APMExperimentFetchSuccessTimestamp"), row.success ? now : earlier);
    EXPECT_EQ(storage.doubleForKey("APMExperimentFetchFailureTimestamp"), row.failure ? now : row.success ? 0 : earlier);
    EXPECT_EQ(storage.doubleForKey("APMExperimentFetchBackoffTimestamp"), row.backoff ? now : row.success ? 0 : earlier);
    EXPECT_TRUE(alarmAt()) << "every reply schedules the next fetch";
  }
  std::lock_guard<std::mutex> lock(delegate_->mutex);
  EXPECT_EQ(delegate_->finished.size(), 2u) << "only successes reach the delegate";
}

TEST_F(APMETaskManagerTest, SevenFailuresInARowEndTheLadder) {
  const double success = kNow - 3600;
  const double next = success + 14400;
  suite().setDouble(success, "APMExperimentFetchSuccessTimestamp");
  start();
  const std::vector<double> expected = {next,         next + 1800,  next + 5400,  next + 12600,
                                        next + 27000, next + 55800, next + 113400};
  for (double at : expected) {
    ASSERT_EQ(alarmAt(), at);
    failAtArmedTime(500);
  }
  EXPECT_EQ(alarmAt(), std::nullopt);
  EXPECT_TRUE(logged(2, 820024, "Network attempted too many times. Will not schedule new network."));
  EXPECT_TRUE(suite().objectForKey("APMExperimentFetchSuccessTimestamp").isNull());
}

TEST_F(APMETaskManagerTest, AnEarlierArmedFetchStaysAndABackoffHoldsRetries) {
  start();
  ASSERT_EQ(alarmAt(), kNow + 10);
  suite().setDouble(kNow - 3600, "APMExperimentFetchSuccessTimestamp");
  manager_->dispatchSyncOnWorkerQueue([&] { manager_->scheduleFetchingExperimentsOnWorkerQueue(); });
  EXPECT_EQ(alarmAt(), kNow + 10);
  EXPECT_TRUE(logged(8, 820017, "Do not schedule a fetch task. Task already exists. Will be executed in seconds"));

  // A 429 now: the ladder says 30 minutes, the service said 12 hours.
  failAtArmedTime(429);
  EXPECT_EQ(alarmAt(), kNow + 10 + 43200);
}

TEST_F(APMETaskManagerTest, AFetchTheSDKsDoNotWantIsPostponedByAFullPeriod) {
  delegate_->answer = false;
  start();
  suite().setDouble(kNow - 50, "APMExperimentFetchFailureTimestamp");
  suite().setDouble(kNow - 50, "APMExperimentFetchBackoffTimestamp");
  clock_->advance(10);
  ASSERT_TRUE(testsupport::waitFor([&] {
    std::lock_guard<std::mutex> lock(delegate_->mutex);
    return delegate_->asked == 1;
  }));
  drain();
  EXPECT_EQ(suite().doubleForKey("APMExperimentFetchSuccessTimestamp"), kNow + 10);
  EXPECT_TRUE(suite().objectForKey("APMExperimentFetchFailureTimestamp").isNull());
  EXPECT_TRUE(suite().objectForKey("APMExperimentFetchBackoffTimestamp").isNull());
  EXPECT_EQ(alarmAt(), kNow + 10 + 14400);
}

TEST_F(APMETaskManagerTest, ASuccessfulReplyStoresItsSnapshotsAsPendingAndTellsTheDelegate) {
  start();
  auto fetched = snapshot("app_measurement", {experiment(0, {{"a", Object(1)}}), experiment(42, {{"b", Object(2)}})});
  reply(200, responseBytes({fetched}, {{"other", 2}, {"fine", 0}}));

  APMESnapshots pending;
  manager_->dispatchSyncOnWorkerQueue([&] { pending = *manager_->database()->fetchAllPendingSnapshots(nullptr); });
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_EQ(pending.front()->SDKName(), "app_measurement");
  EXPECT_EQ(idsOf(pending.front()), (std::vector<int64_t>{0, 42}));
  EXPECT_FALSE(pending.front()->manuallyActivated());

  std::lock_guard<std::mutex> lock(delegate_->mutex);
  ASSERT_EQ(delegate_->finished.size(), 1u);
  const auto& [snapshots, errors] = delegate_->finished.front();
  ASSERT_TRUE(snapshots);
  ASSERT_EQ(snapshots->size(), 1u);
  ASSERT_TRUE(errors);
  ASSERT_EQ(errors->size(), 1u);
  EXPECT_EQ(errors->at("other").code, -3);
  EXPECT_EQ(errors->at("other").domain, "com.diroda.dmp.measurement.experiment.ErrorDomain");
}

TEST_F(APMETaskManagerTest, RepliesYieldSnapshotsAndPerSDKErrors) {
  struct Row {
    int32_t status;
    std::optional<int64_t> code;
  } rows[] = {{0, std::nullopt}, {1, -2}, {2, -3}, {3, -4}, {4, -1}, {17, -1}, {-5, -1}};
  for (const auto& row : rows) {
    auto message = APMPBExperimentResponse::fromBuffer(responseBytes({}, {{"sdk", row.status}, {"", 2}}));
    auto errors = APMEExperimentReply::errorsFromExperimentResponse(message);
    ASSERT_TRUE(errors);
    EXPECT_EQ(errors->count(""), 0u) << "nameless SDK responses give no error";
    if (!row.code) {
      EXPECT_EQ(errors->count("sdk"), 0u) << row.status;
      continue;
    }
    ASSERT_EQ(errors->count("sdk"), 1u) << row.status;
    EXPECT_EQ(errors->at("sdk").code, *row.code) << row.status;
  }
  EXPECT_EQ(APMEExperimentReply::errorsFromExperimentResponse(std::make_shared<APMPBExperimentResponse>()), std::nullopt);

  // Top-level snapshots win; otherwise each SDK response's snapshot, renamed after its SDK.
  auto top = snapshot("top", {experiment(1, {})});
  APMPBExperimentResponse both;
  APMNanoSetRepeatedField(both, APMPBExperimentResponse::kSnapshots, std::vector{top->proto()});
  auto entry = std::make_shared<APMPBSdkResponse>();
  APMNanoSetString(*entry, APMPBSdkResponse::kSdkName, std::string("renamed"));
  APMNanoSetMessage(*entry, APMPBSdkResponse::kSnapshot, snapshot("inner", {experiment(2, {})})->proto());
  auto unnamed = std::make_shared<APMPBSdkResponse>();
  APMNanoSetMessage(*unnamed, APMPBSdkResponse::kSnapshot, snapshot("kept", {experiment(3, {})})->proto());
  auto nameless = std::make_shared<APMPBSdkResponse>();
  APMNanoSetString(*nameless, APMPBSdkResponse::kSdkName, std::string(""));
  APMNanoSetMessage(*nameless, APMPBSdkResponse::kSnapshot, APMPBSnapshot());
  APMNanoSetRepeatedField(both, APMPBExperimentResponse::kSdkResponses, std::vector{entry, unnamed, nameless});
  auto fromTop = APMEExperimentReply::experimentSnapshotsFromData(both.protoBuffer());
  ASSERT_TRUE(fromTop);
  ASSERT_EQ(fromTop->size(), 1u);
  EXPECT_EQ(fromTop->front()->SDKName(), "top");

  APMNanoClearField(both, APMPBExperimentResponse::kSnapshots);
  auto fromSDKs = APMEExperimentReply::experimentSnapshotsFromData(both.protoBuffer());
  ASSERT_TRUE(fromSDKs);
  ASSERT_EQ(fromSDKs->size(), 2u);
  EXPECT_EQ(fromSDKs->at(0)->SDKName(), "renamed");
  EXPECT_EQ(idsOf(fromSDKs->at(0)), std::vector<int64_t>{2});
  EXPECT_EQ(fromSDKs->at(1)->SDKName(), "kept");
  EXPECT_TRUE(logged(2, 820016, "Cannot create a snapshot from the proto"));

  EXPECT_EQ(APMEExperimentReply::experimentSnapshotsFromData({}), std::nullopt);
  EXPECT_TRUE(logged(2, 820025, "Cannot create experiment snapshots from empty data"));
  EXPECT_EQ(APMEExperimentReply::experimentSnapshotsFromExperimentResponse(nullptr), std::nullopt);
  EXPECT_TRUE(logged(2, 820015, "Cannot create experiment snapshots from nil response"));
}

TEST_F(APMETaskManagerTest, StartCleansStaleAndActivatesWaitingSnapshotsBeforeReporting) {
  {
    auto database = APMEDatabase::create(path());
    ASSERT_TRUE(database);
    ASSERT_TRUE(database->upsertSnapshot(*snapshot("stale", {experiment(1, {})})->proto(), "activated_snapshot_table",
                                         kNow - 259201, std::nullopt, nullptr));
    ASSERT_TRUE(database->upsertSnapshot(*snapshot("waiting", {experiment(0, {}), experiment(2, {})})->proto(),
                                         "pending_snapshot_table", kNow - 100, false, nullptr));
    ASSERT_TRUE(database->upsertSnapshot(*snapshot("manual", {experiment(3, {})})->proto(), "pending_snapshot_table",
                                         kNow - 100, true, nullptr));
  }
  start();
  EXPECT_TRUE(logged(8, 820009, "Successfully start the task manager"));
  std::lock_guard<std::mutex> lock(delegate_->mutex);
  ASSERT_EQ(delegate_->started.size(), 1u);
  auto& [activated, pending, launched] = delegate_->started.front();
  ASSERT_EQ(activated.size(), 1u);
  EXPECT_EQ(activated.front()->SDKName(), "waiting");
  EXPECT_EQ(idsOf(activated.front()), std::vector<int64_t>{2});
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_EQ(pending.front()->SDKName(), "manual");
  ASSERT_EQ(launched.size(), 1u);
  EXPECT_EQ(idsOf(launched.front()), std::vector<int64_t>{0});
}

TEST_F(APMETaskManagerTest, ADatabaseThatCannotOpenLeavesTheTaskManagerInert) {
  std::filesystem::create_directories(path());  // a directory where the file belongs
  start();
  EXPECT_EQ(alarmAt(), std::nullopt);
  EXPECT_TRUE(loggedCode(810001));
  std::lock_guard<std::mutex> lock(delegate_->mutex);
  EXPECT_TRUE(delegate_->started.empty());
}

TEST_F(APMETaskManagerTest, ClearAndDeleteStopsFetchingUntilReset) {
  start();
  ASSERT_TRUE(alarmAt());
  suite().setDouble(kNow - 1, "APMExperimentFetchSuccessTimestamp");
  manager_->clearAndDelete();
  drain();
  EXPECT_EQ(alarmAt(), std::nullopt) << "no fetch runs against the deleted file";
  EXPECT_FALSE(std::filesystem::exists(path()));
  EXPECT_TRUE(suite().objectForKey("APMExperimentFetchSuccessTimestamp").isNull());

  // A reply that was on its way changes nothing.
  reply(200, responseBytes({snapshot("late", {experiment(1, {})})}));
  EXPECT_EQ(alarmAt(), std::nullopt);
  EXPECT_FALSE(std::filesystem::exists(path()));
  {
    std::lock_guard<std::mutex> lock(delegate_->mutex);
    EXPECT_TRUE(delegate_->finished.empty());
  }

  manager_->reset();
  drain();
  EXPECT_TRUE(std::filesystem::exists(path()));
  EXPECT_EQ(alarmAt(), kNow + 0.001) << "a reset fetches at once";
}

TEST_F(APMETaskManagerTest, ExceptionsOnTheWorkerQueueAreLoggedAndOnlyTheSyncCallerSeesThem) {
  make();
  manager_->dispatchAsyncOnWorkerQueue([] { throw std::runtime_error("async"); });
  bool ran = false;
  manager_->dispatchAsyncOnWorkerQueue([&] { ran = true; });
  EXPECT_THROW(manager_->dispatchSyncOnWorkerQueue([] { throw std::runtime_error("sync"); }), std::runtime_error);
  EXPECT_TRUE(ran) << "the queue carries on";
  EXPECT_TRUE(logged(1, 820026, "Exception on async worker queue"));
  EXPECT_TRUE(logged(1, 820027, "Exception on sync worker queue"));
}
