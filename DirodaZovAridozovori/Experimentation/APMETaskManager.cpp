#include "APMETaskManager.h"

#include <cfloat>
#include <cmath>
#include <exception>

#include "APMEExperimentRequestBuilder.h"
#include "APMEMonitor.h"
#include "APMFileUtilities.h"
#include "APMScheduler.h"
#include "DirodaUtilities/NSData/NSData+DULGzip.h"
#include "RemoteConfig/APMRemoteConfig.h"
#include "platform/Clock.h"

namespace {

// A delay at or below this is not worth a timer.
constexpr double kMinimumDelay = 0.001;

APMMonitorContext contextOf(const std::optional<platform::Error>& error) {
  return error ? APMMonitorContext(*error) : APMMonitorContext();
}

}  // namespace

APMETaskManager::APMETaskManager(std::shared_ptr<platform::DispatchQueue> queue, std::shared_ptr<APMAlarm> alarm,
                                 std::shared_ptr<VIZUzedaru> network,
                                 std::shared_ptr<APMUserDefaults> persistedStorage, std::string databasePath,
                                 double initTimestamp)
    : alarm_(std::move(alarm)),
      network_(std::move(network)),
      workerQueue_(std::move(queue)),
      databasePath_(std::move(databasePath)),
      schedule_(std::move(persistedStorage), initTimestamp) {}

std::shared_ptr<APMETaskManager> APMETaskManager::create() {
  auto queue = platform::DispatchQueue::create(kWorkerQueueLabel);
  auto alarm = std::make_shared<APMAlarm>(queue, kAlarmName);
  auto network = std::make_shared<VIZUzedaru>(APMRemoteConfigNetwork::analyticsServiceHost());
  auto storage = std::make_shared<APMUserDefaults>(APMEFetchSchedule::kSuiteName);
  return create(std::move(queue), std::move(alarm), std::move(network), std::move(storage),
                APMApplicationSupportPath(APMEDatabase::kDatabaseFileName), platform::now());
}

std::shared_ptr<APMETaskManager> APMETaskManager::create(std::shared_ptr<platform::DispatchQueue> queue,
                                                         std::shared_ptr<APMAlarm> alarm,
                                                         std::shared_ptr<VIZUzedaru> network,
                                                         std::shared_ptr<APMUserDefaults> persistedStorage,
                                                         std::string databasePath, double initTimestamp) {
  return std::make_shared<APMETaskManager>(std::move(queue), std::move(alarm), std::move(network),
                                           std::move(persistedStorage), std::move(databasePath), initTimestamp);
}

// MARK: - Start

void APMETaskManager::startTaskManager() {
  std::weak_ptr<APMETaskManager> weak = weak_from_this();
  dispatchAsyncOnWorkerQueue([weak] {
    if (auto self = weak.lock()) self->startTaskManagerOnWorkerQueue();
  });
}

void APMETaskManager::startTaskManagerOnWorkerQueue() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("startTaskManagerOnWorkerQueue");
  database_ = APMEDatabase::create(databasePath_);
  if (!database_) return;
  fetchAllSnapshotsOnWorkerQueue();
  scheduleFetchingExperimentsOnWorkerQueue();
}

void APMETaskManager::fetchAllSnapshotsOnWorkerQueue() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("fetchAllSnapshotsOnWorkerQueue");
  auto database = database_;
  const bool started = database->performTransaction([&] {
    platform::Error error;
    if (!database->deleteStaleActivatedSnapshots(&error)) {
      if (!error.empty())
        APMLog(APMLogLevel::kErrorSampled, APMELogCode::kCannotDeleteStaleActivatedSnapshots,
               "Cannot delete stale activated snapshots. Error", error);
      return false;
    }
    if (!database->activatePendingSnapshotsAutomatically(&error)) {
      if (!error.empty())
        APMLog(APMLogLevel::kErrorSampled, APMELogCode::kCannotActivatePendingSnapshotsAutomatically,
               "Cannot activate pending snapshots automatically. Error", error);
      return false;
    }
    return true;
  });
  if (!started) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMELogCode::kTaskManagerNotStarted, "Failed to start the task manager");
    return;
  }
  APMLog(APMLogLevel::kVerbose, APMELogCode::kTaskManagerStarted, "Successfully start the task manager");
  auto target = delegate();
  if (!target) return;
  struct Table {
    std::optional<APMESnapshots> (APMEDatabase::*fetch)(platform::Error*);
    APMELogCode code;
    const char* message;
  };
  const Table tables[] = {
      {&APMEDatabase::fetchAllActivatedSnapshots, APMELogCode::kActivatedSnapshotsNotFetched,
       "Error in fetching all activated snapshots. Error"},
      {&APMEDatabase::fetchAllPendingSnapshots, APMELogCode::kPendingSnapshotsNotFetched,
       "Error in fetching all pending snapshots. Error"},
      {&APMEDatabase::fetchAllLaunchedSnapshots, APMELogCode::kLaunchedSnapshotsNotFetched,
       "Error in fetching all launched snapshots. Error"},
  };
  APMESnapshots lists[3];
  for (size_t i = 0; i < 3; ++i) {
    platform::Error error;
    auto snapshots = ((*database).*tables[i].fetch)(&error);
    if (snapshots) {
      lists[i] = std::move(*snapshots);
    } else if (!error.empty()) {
      APMLog(APMLogLevel::kErrorSampledOnly, tables[i].code, tables[i].message, error);
    }
  }
  target->taskManagerDidStartWithActivatedSnapshots(*this, lists[0], lists[1], lists[2]);
}

// MARK: - Schedule

void APMETaskManager::scheduleFetchingExperimentsOnWorkerQueue() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("scheduleFetchingExperimentsOnWorkerQueue");
  // Without a database (it did not open, or was deleted) nothing is fetched.
  if (!database_ || stopped_) return;
  double fetchTime = schedule_.fetchTimeFromStoredTimestamps();
  if (std::fabs(fetchTime) < DBL_EPSILON) {
    schedule_.forgetLastSuccess();
    APMLog(APMLogLevel::kErrorSampledOnly, APMELogCode::kTooManyFetchAttempts,
           "Network attempted too many times. Will not schedule new network.");
    return;
  }
  const double now = platform::now();
  if (auto armed = alarm_->scheduledTimestamp(); armed && *armed <= fetchTime) {
    APMLog(APMLogLevel::kVerbose, APMELogCode::kFetchTaskAlreadyScheduled,
           "Do not schedule a fetch task. Task already exists. Will be executed in seconds", *armed - now);
    return;
  }
  fetchTime = schedule_.fetchTimeRespectingBackoff(fetchTime, now);
  double delay = fetchTime - now;
  if (delay < DBL_EPSILON) delay = kMinimumDelay;
  std::weak_ptr<APMETaskManager> weak = weak_from_this();
  alarm_->runAfterDelay(delay, [weak] {
    if (auto self = weak.lock()) self->runDueFetchOnWorkerQueue();
  });
}

void APMETaskManager::runDueFetchOnWorkerQueue() {
  if (!database_ || stopped_) return;
  auto target = delegate();
  if (target && !target->taskManagerShouldFetchExperiments(*this)) {
    postponeFetchExperiments();
    return;
  }
  fetchExperiments();
}

void APMETaskManager::postponeFetchExperiments() {
  schedule_.recordSuccess(platform::now());
  scheduleFetchingExperimentsOnWorkerQueue();
}

// MARK: - Fetch

std::string APMETaskManager::fetchURL() const {
  return APMRemoteConfigNetwork::analyticsServiceScheme() + "://" + APMRemoteConfigNetwork::analyticsServiceHost() + kFetchPath;
}

void APMETaskManager::fetchExperiments() {
  auto request = APMEExperimentRequestBuilder::sharedInstance()->request();
  const platform::Data payload = request->protoBuffer();
  APMLog(APMLogLevel::kVerbose, APMELogCode::kFetchingExperiments, "Fetching new experiments. Request", payload);
  std::weak_ptr<APMETaskManager> weak = weak_from_this();
  network_->postURL(fetchURL(), payload, workerQueue_, false,
                    [weak](const std::optional<platform::HttpResponse>& response, const platform::Data& data,
                           const std::optional<platform::Error>& error) {
                      auto self = weak.lock();
                      if (!self) return;
                      std::optional<platform::Data> inflated;
                      if (!data.empty()) {
                        platform::Error inflateError;
                        inflated = dul_dataByInflatingGzippedData(data, &inflateError);
                        if (!inflated && !inflateError.empty()) {
                          APMLog(APMLogLevel::kErrorSampledOnly, APMELogCode::kCannotInflateDownloadedExperimentData,
                                 "Cannot inflate downloaded experiment data. Error", inflateError);
                        }
                      }
                      self->handleFetchingExperimentsResponse(response, inflated, error);
                    });
}

void APMETaskManager::handleFetchingExperimentsResponse(const std::optional<platform::HttpResponse>& response,
                                                        const std::optional<platform::Data>& data,
                                                        const std::optional<platform::Error>& error) {
  // A reply that arrives after the database was deleted belongs to nobody.
  if (!database_) return;
  const double now = platform::now();
  const int64_t status = response ? response->statusCode : 0;
  if (status != 200 && status != 204) {
    schedule_.recordFailure(now, status == 429 || status == 503);
    APMLog(APMLogLevel::kErrorSampled, APMELogCode::kFetchFailed, "Network fetch failed. Will retry later. Code, error",
           status, contextOf(error));
    scheduleFetchingExperimentsOnWorkerQueue();
    return;
  }
  auto message = APMPBExperimentResponse::fromBuffer(data.value_or(platform::Data{}));
  APMLog(APMLogLevel::kVerbose, APMELogCode::kFetchSucceeded, "Successful fetch. Got network response. Code, data",
         status, data.value_or(platform::Data{}));
  schedule_.recordSuccess(now);
  auto snapshots = APMEExperimentReply::experimentSnapshotsFromExperimentResponse(message);
  auto errors = APMEExperimentReply::errorsFromExperimentResponse(message);
  if (snapshots && !snapshots->empty()) {
    platform::Error upsertError;
    if (!database_->upsertPendingExperimentSnapshots(*snapshots, &upsertError)) {
      std::string names;
      for (const auto& snapshot : *snapshots) names += (names.empty() ? "" : ", ") + snapshot->SDKName();
      APMLog(APMLogLevel::kErrorSampled, APMELogCode::kCannotUpsertPendingSnapshots,
             "Cannot upsert pending snapshots. Error, snapshots", upsertError, names);
    }
  }
  if (auto target = delegate()) target->taskManagerDidFinishFetchingExperimentSnapshots(*this, snapshots, errors);
  scheduleFetchingExperimentsOnWorkerQueue();
}

// MARK: - Changes the manager asks for

void APMETaskManager::activatePendingSnapshot(std::shared_ptr<APMESnapshot> snapshot, double timestamp) {
  std::weak_ptr<APMETaskManager> weak = weak_from_this();
  dispatchAsyncOnWorkerQueue([weak, snapshot = std::move(snapshot), timestamp] {
    auto self = weak.lock();
    if (!self) return;
    if (!snapshot) {
      APMLog(APMLogLevel::kError, APMELogCode::kCannotActivateEmptySnapshot, "Cannot activate an empty snapshot");
      return;
    }
    if (!self->database_) return;
    auto database = self->database_;
    database->performTransaction([&] {
      platform::Error error;
      if (database->activateSnapshot(snapshot, timestamp, &error)) return true;
      if (!error.empty()) {
        APMLog(APMLogLevel::kErrorSampled, APMELogCode::kCannotActivateSnapshotSDKName,
               "Cannot activate snapshot for SDK Name. Error", snapshot->SDKName(), error);
      }
      return false;
    });
  });
}

void APMETaskManager::resetToDefaultsForSDKName(std::string SDKName) {
  std::weak_ptr<APMETaskManager> weak = weak_from_this();
  dispatchAsyncOnWorkerQueue([weak, SDKName = std::move(SDKName)] {
    auto self = weak.lock();
    if (!self) return;
    if (SDKName.empty()) {
      APMLog(APMLogLevel::kErrorSampled, APMELogCode::kTaskResetWithEmptySDKName,
             "Cannot reset to defaults for empty SDK name");
      return;
    }
    if (!self->database_) return;
    platform::Error error;
    if (!self->database_->deleteActivatedExperimentsOfSDKName(SDKName, &error) && !error.empty()) {
      APMLog(APMLogLevel::kErrorSampled, APMELogCode::kCannotResetDefaultsDatabase,
             "Cannot reset to defaults in the database. SDK Name, error", SDKName, error);
    }
  });
}

void APMETaskManager::upsertPendingSnapshots(APMESnapshots snapshots) {
  std::weak_ptr<APMETaskManager> weak = weak_from_this();
  dispatchAsyncOnWorkerQueue([weak, snapshots = std::move(snapshots)] {
    auto self = weak.lock();
    if (!self) return;
    if (snapshots.empty()) {
      APMLog(APMLogLevel::kErrorSampledOnly, APMELogCode::kCannotUpsertEmptyPendingSnapshotList,
             "Cannot upsert empty pending snapshot list");
      return;
    }
    if (!self->database_) return;
    platform::Error error;
    if (!self->database_->upsertPendingExperimentSnapshots(snapshots, &error)) {
      APMLog(APMLogLevel::kErrorSampled, APMELogCode::kCannotUpsertPendingSnapshotsIntoDatabase,
             "Cannot upsert pending snapshots into the database. Error", error);
      return;
    }
    if (auto target = self->delegate()) target->taskManagerDidUpsertPendingSnapshots(*self, snapshots);
  });
}

void APMETaskManager::reset() {
  std::weak_ptr<APMETaskManager> weak = weak_from_this();
  dispatchAsyncOnWorkerQueue([weak] {
    auto self = weak.lock();
    if (!self) return;
    if (self->database_) {
      self->database_->reset();
    } else {
      self->database_ = APMEDatabase::create(self->databasePath_);
    }
    if (self->database_ && !self->database_->isOpen()) self->database_.reset();
    self->schedule_.removeTimestamps();
    self->scheduleFetchingExperimentsOnWorkerQueue();
  });
}

void APMETaskManager::clearAndDelete() {
  std::weak_ptr<APMETaskManager> weak = weak_from_this();
  dispatchAsyncOnWorkerQueue([weak] {
    auto self = weak.lock();
    if (!self) return;
    // The alarm goes first: a fetch due now must not run against the deleted file.
    self->alarm_->cancel();
    if (self->database_) self->database_->closeAndDelete();
    self->database_.reset();
    self->schedule_.removeTimestamps();
  });
}

void APMETaskManager::stop() {
  dispatchSyncOnWorkerQueue([this] {
    stopped_ = true;
    alarm_->cancel();
  });
}

// MARK: - Queue

void APMETaskManager::dispatchAsyncOnWorkerQueue(Block block) {
  workerQueue_->async([block = std::move(block)] {
    APMEMonitor::runCatching(block, APMELogCode::kWorkerAsyncException, "Exception on async worker queue");
  });
}

void APMETaskManager::dispatchSyncOnWorkerQueue(const Block& block) {
  std::exception_ptr thrown;
  workerQueue_->sync([&] {
    thrown = APMEMonitor::runCatching(block, APMELogCode::kWorkerSyncException, "Exception on sync worker queue");
  });
  if (thrown) std::rethrow_exception(thrown);
}
