#include "APMUploadController.h"

#include <algorithm>
#include <cmath>

#include "APMAlarm.h"
#include "APMDatabase.h"
#include "APMMonitor.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "APMPersistedConfig.h"
#include "APMScheduler.h"
#include "APMUploadBatch.h"
#include "APMUploadBundling.h"
#include "APMUploadSchedule.h"
#include "APMUserAttribute.h"
#include "DirodaZovAridozovori/Core/Utilities/APMNumericUtil.h"
#include "DirodaZovAridozovori/Engine/Upload/APMUploadLog.h"
#include "RemoteConfig/APMRemoteConfig.h"
#include "platform/Clock.h"
#include "platform/Gzip.h"

namespace {

constexpr double kEpsilon = 2.220446049250313e-16;
// Work this far off lets the process's background time end.
constexpr double kBackgroundTaskHorizon = 30;
constexpr const char* kCompressionQueueLabel = "com.diroda.zora.upload-compression";

std::shared_ptr<APMMonitor> monitor() { return APMMonitor::shared(); }

}  // namespace

APMUploadController::APMUploadController(std::shared_ptr<APMDatabase> database,
                                         std::shared_ptr<APMRemoteConfig> remoteConfig,
                                         std::shared_ptr<APMPersistedConfig> persistedConfig,
                                         std::shared_ptr<VIZUzedaru> network, std::shared_ptr<APMScheduler> scheduler,
                                         std::shared_ptr<APMAlarm> alarm, APMUploadHooks hooks)
    : database_(std::move(database)),
      remoteConfig_(std::move(remoteConfig)),
      persistedConfig_(std::move(persistedConfig)),
      network_(std::move(network)),
      scheduler_(std::move(scheduler)),
      alarm_(std::move(alarm)),
      hooks_(std::move(hooks)),
      uploadLock_(database_->databasePath() + ".upload-lock"),
      // The bundling is this controller's own and runs its steps only while the controller lives.
      bundling_(std::make_shared<APMUploadBundling>(database_, remoteConfig_, scheduler_, hooks_, [this] {
        return !uploadingBundleIDs_.empty() && suspendedUploadTimestamp_ == 0 && !remoteConfig_->message().isExpired();
      })),
      compressionQueue_(platform::DispatchQueue::create(kCompressionQueueLabel)) {}

struct APMUploadController::OutgoingBatch {
  std::string url;
  VIZUzedaru::Headers headers;
  // What the worker read and gathered, moved in: the build owns them. The rows go as stored; the
  // build takes those the size limit lets in as the queue's own reading would.
  std::vector<APMStoredQueuedBundle> stored;
  int64_t sizeLimit = 0;
  APMUploadBatchInputs inputs;
  // The rows the build could not inflate or parse, for the post to delete.
  std::vector<APMUnreadQueuedBundle> unread;
  // The rows the build could read, set once it has read them (when the attempt holds the bundles).
  std::promise<std::vector<int64_t>> readRowIDs;
  APMUploadBatch built;
  std::optional<platform::Data> compressed;
  // The attempt's failure time, and the one it replaced, taken back when no batch is built.
  double failureTimestamp = 0;
  double previousFailureTimestamp = 0;
  // Whether the attempt holds the bundles it read (nothing else held them).
  bool holdsBundles = false;
};

bool APMUploadController::lockUploads() {
  platform::Error error;
  if (uploadLock_.tryLock(&error)) return true;
  if (error.empty()) {
    APMLog(APMLogLevel::kDebug, APMUploadLogCode::kAnotherProcessUploadingData,
           "Another process is uploading this data. Upload will be retried in seconds", kLockedRetrySeconds);
    retryAfter(kLockedRetrySeconds);
    return false;
  }
  // Without the lock file the process alone is still safe: upload rather than never.
  APMLog(APMLogLevel::kErrorSampledOnly, APMUploadLogCode::kUnableLockUploadsAgainstOtherProcesses,
         "Unable to lock uploads against other processes. Error", error);
  return true;
}

void APMUploadController::retryAfter(double seconds) {
  std::weak_ptr<APMUploadController> weakSelf = weak_from_this();
  std::weak_ptr<APMScheduler> weakScheduler = scheduler_;
  alarm_->runAfterDelay(seconds, [weakSelf, weakScheduler] {
    auto scheduler = weakScheduler.lock();
    if (!scheduler) return;
    scheduler->scheduleOnWorkerQueueBlockID("APMMeasurement:1747", [weakSelf] {
      if (auto self = weakSelf.lock()) self->uploadData();
    });
  });
}

bool APMUploadController::isRequestPending() const {
  return hooks_.isNetworkRequestPending ? hooks_.isNetworkRequestPending() : requestPending_.load();
}

void APMUploadController::setRequestPending(bool pending) {
  if (hooks_.setIsNetworkRequestPending) {
    hooks_.setIsNetworkRequestPending(pending);
  } else {
    requestPending_ = pending;
  }
}

double APMUploadController::uptime() const { return hooks_.uptime ? hooks_.uptime() : platform::uptime(); }

void APMUploadController::terminateBackgroundTask() {
  if (!diskSyncDeferred_) persistedConfig_->synchronizeToDisk();
}

void APMUploadController::stopScheduling(bool keepReachabilityDelegate) {
  alarm_->cancel();
  if (network_ && !keepReachabilityDelegate) network_->setReachabilityDelegate({});
  terminateBackgroundTask();
}

bool APMUploadController::hasDataToUpload() {
  platform::Error error;
  auto queueEmpty = database_->bundleQueue().isQueuedBundleTableEmpty(&error);
  if (!queueEmpty) {
    APMLog(APMLogLevel::kErrorSampled, APMUploadLogCode::kFailedCheckIfQueueTableEmpty,
           "Failed to check if queue table is empty. Error", error);
    return false;
  }
  if (!*queueEmpty) return true;
  auto rawEmpty = database_->rawEvents().isRawEventsTableEmpty(&error);
  if (!rawEmpty) {
    APMLog(APMLogLevel::kErrorSampled, APMUploadLogCode::kFailedCheckIfRawEventsTable,
           "Failed to check if raw events table is empty. Error", error);
    return false;
  }
  return !*rawEmpty;
}

double APMUploadController::nextUploadingTime() {
  auto log = monitor();
  APMUploadScheduleInputs in;
  in.now = platform::now();
  in.lastSuccessfulUploadTimestamp = persistedConfig_->uploadSchedule().lastSuccessfulUploadTimestamp();
  in.lastFailedUploadTimestamp = persistedConfig_->uploadSchedule().lastFailedUploadTimestamp();
  platform::Error rawError;
  const double rawTime = database_->rawEvents().queryLatestRawEventTime(&rawError);
  if (!rawError.empty())
    APMLog(APMLogLevel::kWarningSampledOnly, APMUploadLogCode::kFailedQueryLatestRawEventTime,
           "Failed to query latest raw event time. Error", rawError);
  platform::Error bundleError;
  const double bundleTime = database_->bundleQueue().queryLatestBundleTime(&bundleError);
  if (!bundleError.empty())
    APMLog(APMLogLevel::kWarningSampledOnly, APMUploadLogCode::kFailedQueryLatestBundleTime,
           "Failed to query latest bundle time. Error", bundleError);
  in.latestDataTimestamp = std::max(rawError.empty() ? rawTime : 0.0, bundleError.empty() ? bundleTime : 0.0);
  if (std::fabs(in.latestDataTimestamp) <= kEpsilon) return 0;

  in.debugMode = log->isDebugModeEnabled();
  if (!in.debugMode) {
    platform::Error error;
    auto realtimeBundles = database_->bundleQueue().containsRealtimeBundlesWithError(&error);
    if (!realtimeBundles) {
      APMLog(APMLogLevel::kWarningSampledOnly, APMUploadLogCode::kFailedQueryRealTimeBundleIndicator,
             "Failed to query for real-time bundle indicator. Error", error);
    }
    in.hasRealtimeData = realtimeBundles.value_or(false);
    if (!in.hasRealtimeData) {
      auto realtimeRaw = database_->rawEvents().containsRealtimeRawEventsWithError(&error);
      if (!realtimeRaw) {
        APMLog(APMLogLevel::kWarningSampledOnly, APMUploadLogCode::kFailedQueryRealTimeRawEvent,
               "Failed to query for real-time raw event indicator. Error", error);
      }
      in.hasRealtimeData = realtimeRaw.value_or(false);
    }
  }
  in.uploadInterval = remoteConfig_->uploadLimits().uploadingInterval();
  in.realtimeUploadInterval = remoteConfig_->uploadLimits().uploadingRealTimeInterval();
  in.debugUploadInterval = remoteConfig_->uploadLimits().uploadingDebugModeInterval();
  in.initialUploadDelay = remoteConfig_->uploadLimits().uploadingInitialDelayInterval();
  in.retryCount = remoteConfig_->uploadLimits().uploadingRetryCount();
  in.retryTime = remoteConfig_->uploadLimits().uploadingRetryInterval();
  return APMNextUploadingTime(in);
}

void APMUploadController::updateSchedule() {
  if (suspendedUploadTimestamp_ != 0) {
    const double elapsed = std::fabs(uptime() - suspendedUploadTimestamp_);
    if (elapsed < kSuspensionSeconds) {
      APMLog(APMLogLevel::kWarning, APMUploadLogCode::kUploadSuspended,
             "Upload has been suspended. Will update scheduling later. Seconds", kSuspensionSeconds - elapsed);
      stopScheduling(false);
      return;
    }
    suspendedUploadTimestamp_ = 0;
  }
  if (!hasDataToUpload()) {
    remoteConfig_->experiments().activateNewSnapshot();
    APMLog(APMLogLevel::kVerbose, APMUploadLogCode::kNoDataUpload,
           "No data to upload. Upload task will not be scheduled");
    stopScheduling(false);
    return;
  }
  double next = nextUploadingTime();
  if (next == 0) {
    APMLog(APMLogLevel::kVerbose, APMUploadLogCode::kNoNextUploadingTime,
           "No next uploading time. Upload task will not be scheduled");
    stopScheduling(false);
    return;
  }
  if (!network_ || !network_->isNetworkConnected()) {
    APMLog(APMLogLevel::kVerbose, APMUploadLogCode::kNoNetwork, "No network. Upload task will not be scheduled");
    if (network_) network_->setReachabilityDelegate(weak_from_this());
    stopScheduling(true);
    return;
  }
  network_->setReachabilityDelegate({});
  const double now = platform::now();
  const double backoffEnd = APMUploadTimeAfterBackoff(0, persistedConfig_->uploadSchedule().lastBackoffTimestamp(),
                                                      remoteConfig_->uploadLimits().uploadingBackoffInterval(), now);
  next = std::max(next, backoffEnd);

  // An alarm armed before the server asked for back-off would fire inside it: only a later one stays.
  if (auto scheduled = alarm_->scheduledTimestamp();
      scheduled && *scheduled != 0 && *scheduled <= next && *scheduled >= backoffEnd) {
    const double remaining = *scheduled - now;
    APMLog(APMLogLevel::kVerbose, APMUploadLogCode::kDoNotScheduleUploadTask,
           "Do not schedule an upload task. Task already exists. Will be executed in seconds", remaining);
    if (remaining > kBackgroundTaskHorizon) terminateBackgroundTask();
    return;
  }
  const double delay = APMUploadAlarmDelay(next, now);
  retryAfter(delay);
  APMLog(APMLogLevel::kVerbose, APMUploadLogCode::kUploadTaskScheduledExecutedApprox,
         "Upload task scheduled to be executed in approx. (s)", delay);
  if (delay > kBackgroundTaskHorizon) terminateBackgroundTask();
}

void APMUploadController::uploadDataOrRegisterAlarm() {
  if (network_ && network_->isNetworkConnected() && hasDataToUpload()) {
    uploadData();
  } else {
    updateSchedule();
  }
}

bool APMUploadController::isNetworkReadyForRequest() {
  // The flag is set while the batch is built and compressed, before the network has the request.
  if (batchBeingCompressed_) return false;
  const bool pending = isRequestPending();
  const bool uploading = network_ && network_->hasUploadInProgress();
  if (!pending) return !uploading;
  if (uploading) return false;
  APMLog(APMLogLevel::kErrorSampled, APMUploadLogCode::kAnalyticsUploadingButNetworkNotUploading,
         "Analytics is uploading but network is not uploading");
  return false;
}

void APMUploadController::uploadData() {
  if (suspendedUploadTimestamp_ > 0) {
    updateSchedule();
    return;
  }
  APMLog(APMLogLevel::kVerbose, APMUploadLogCode::kStartingDataUpload, "Starting data upload");
  if (!isNetworkReadyForRequest()) {
    APMLog(APMLogLevel::kVerbose, APMUploadLogCode::kNetworkOperationPending,
           "Network operation is pending. Ignoring upload request");
    return;
  }
  if (!network_ || !network_->isNetworkConnected()) {
    APMLog(APMLogLevel::kDebug, APMUploadLogCode::kNetworkNotConnectedIgnoringUploadRequest,
           "Network not connected, ignoring upload request");
    updateSchedule();
    return;
  }

  if (!lockUploads()) return;
  // Released on every way out but a request sent: its reply releases it.
  struct Release {
    platform::FileLock& lock;
    bool keep = false;
    ~Release() {
      if (!keep) lock.unlock();
    }
  } release{uploadLock_};

  const bool expired = remoteConfig_->message().isExpired();
  bundling_->bundleForAttempt(expired);

  platform::Error queryError;
  // Only the rows are read here: they are inflated and parsed with the batch's build.
  const int64_t sizeLimit = remoteConfig_->uploadLimits().uploadMaxSizeLimitBytes();
  auto queued = database_->bundleQueue().readStoredBundlesForBatch(
      remoteConfig_->uploadLimits().uploadMaxBundlesLimit(), sizeLimit, &queryError);
  if (!queued) {
    APMLog(APMLogLevel::kErrorSampled, APMUploadLogCode::kFailedQueryBundles, "Failed to query bundles. Error",
           queryError);
    terminateBackgroundTask();
    return;
  }
  if (queued->empty()) {
    remoteConfig_->experiments().activateNewSnapshot();
    APMLog(APMLogLevel::kVerbose, APMUploadLogCode::kNoBundlesToUpload, "No data to upload");
    if (expired && hooks_.fetchRemoteConfig) {
      hooks_.fetchRemoteConfig();
    } else {
      terminateBackgroundTask();
    }
    return;
  }

  std::string url = remoteConfig_->network().uploadURL();
  VIZUzedaru::Headers headers;
  const bool serverSideTagging = remoteConfig_->network().SSTGUploadEnabled();
  if (serverSideTagging) {
    auto sstgURL = remoteConfig_->network().SSTGUploadURL();
    if (!sstgURL) {
      APMLog(APMLogLevel::kErrorSampled, APMUploadLogCode::kUnableGetValidSSTGUploadURL,
             "Unable to get a valid SSTG upload URL.");
      return;
    }
    url = *sstgURL;
    auto addHeaders = [&headers](const std::optional<platform::Dictionary>& extra) {
      if (!extra) return;
      for (const auto& [name, value] : *extra) {
        if (value.isString()) headers.emplace_back(name, value.stringValue());
      }
    };
    addHeaders(remoteConfig_->network().SSTGUploadHTTPHeaders());
    if (hooks_.SSTGPreviewHeaders) addHeaders(hooks_.SSTGPreviewHeaders());
  }

  if (hooks_.uploadWillStart) hooks_.uploadWillStart();
  const double now = platform::now();
  APMUploadBatchInputs inputs;
  inputs.nowMilliseconds = APMMillisecondsFromSeconds(now);
  inputs.libraryVersion = hooks_.libraryVersion;
  if (hooks_.identity) inputs.identity = hooks_.identity();
  inputs.consentConfig.isDMARegion = remoteConfig_->consent().isDMARegion();
  inputs.consentConfig.corePlatformServices = remoteConfig_->consent().corePlatformServices();
  inputs.consentSignals = hooks_.consentSignals ? hooks_.consentSignals() : std::string();
  inputs.consentDiagnostics = hooks_.consentDiagnostics ? hooks_.consentDiagnostics() : std::string();
  inputs.adUserDataDenied = hooks_.isAdUserDataDenied && hooks_.isAdUserDataDenied();
  inputs.attGate = remoteConfig_->features().gateIDFAOnATTMASEnabled();
  platform::Error npaError;
  if (auto npa = database_->userProperties().userAttributeWithName("_npa", &npaError)) {
    inputs.npa = npa->protoUserAttribute();
  }
  inputs.dataControls = remoteConfig_->consent().dataControls();
  inputs.checksumEnabled = remoteConfig_->features().checksumEnabled();
  if (serverSideTagging) inputs.uploadSubdomain = remoteConfig_->message().uploadSubdomain();

  const double lastSuccess = persistedConfig_->uploadSchedule().lastSuccessfulUploadTimestamp();
  if (lastSuccess != 0) {
    APMLog(APMLogLevel::kVerbose, APMUploadLogCode::kUploadingEvents,
           "Uploading events. Elapsed time since last successful upload (s)", std::fabs(now - lastSuccess));
  }
  // The batch is built and compressed off the worker queue. Meanwhile it counts as out: the
  // bundles it is built from are held (the batch's own once it is built), the request flag is set.
  std::vector<int64_t> rowIDs;
  rowIDs.reserve(queued->size());
  for (const auto& row : *queued) rowIDs.push_back(row.rowID);
  auto outgoing = std::make_shared<OutgoingBatch>();
  outgoing->holdsBundles = uploadingBundleIDs_.empty();
  setUploadInProgressWithBundleIDs(rowIDs);
  if (outgoing->holdsBundles) readForBatch_ = outgoing->readRowIDs.get_future().share();
  outgoing->previousFailureTimestamp = persistedConfig_->uploadSchedule().lastFailedUploadTimestamp();
  outgoing->failureTimestamp = now;
  persistedConfig_->uploadSchedule().setLastFailedUploadTimestamp(now);
  setRequestPending(true);

  outgoing->url = std::move(url);
  outgoing->headers = std::move(headers);
  outgoing->stored = std::move(*queued);
  outgoing->sizeLimit = sizeLimit;
  outgoing->inputs = std::move(inputs);
  // The post releases the lock when no request starts; otherwise the reply does.
  release.keep = true;
  buildCompressAndPost(std::move(outgoing));
  if (!uploadingBundleIDs_.empty()) bundling_->scheduleBundlingAhead(weak_from_this());
}

// The handed rows as the batch takes them (the queue's own reading: see readStoredBundlesForBatch),
// inflated and parsed; those that cannot be read go to batch.unread. The queued events travel as
// they are stored; only the rest of each bundle is decoded.
std::vector<APMQueuedBundleParts> APMUploadController::readBatchRows(OutgoingBatch& batch) {
  APMQueuedBundleReading reading(batch.sizeLimit);
  for (const APMStoredQueuedBundle& row : batch.stored) {
    if (!reading.take(row.stored, row.rowID)) break;
  }
  auto unread = [&batch](int64_t rowID, std::optional<std::string> inflateFailure) {
    auto row = std::find_if(batch.stored.begin(), batch.stored.end(),
                            [rowID](const APMStoredQueuedBundle& stored) { return stored.rowID == rowID; });
    batch.unread.push_back({std::move(*row), std::move(inflateFailure)});
  };
  for (auto& [rowID, reason] : reading.uninflatable) unread(rowID, std::move(reason));
  std::vector<APMQueuedBundleParts> queued;
  std::vector<int64_t> readRowIDs;
  queued.reserve(reading.bundles.size());
  readRowIDs.reserve(reading.bundles.size());
  for (const APMQueuedBundle& bundle : reading.bundles) {
    auto parts = APMQueuedBundlePartsFromEncoding(bundle.bundle, bundle.rowID);
    if (!parts) {
      unread(bundle.rowID, std::nullopt);
      continue;
    }
    readRowIDs.push_back(bundle.rowID);
    queued.push_back(std::move(*parts));
  }
  batch.stored = {};
  if (batch.holdsBundles) batch.readRowIDs.set_value(std::move(readRowIDs));
  return queued;
}

std::vector<int64_t> APMUploadController::uploadingBundleIDs() const {
  if (batchBeingCompressed_ && readForBatch_.valid()) {
    try {
      return readForBatch_.get();
    } catch (const std::future_error&) {
      // The build never ran (its queue ended): the rows read for it are what is held.
    }
  }
  return uploadingBundleIDs_;
}

void APMUploadController::buildCompressAndPost(std::shared_ptr<OutgoingBatch> batch) {
  batchBeingCompressed_ = true;
  // Held until the batch is posted, even when the engine has replaced this road meanwhile (a wipe),
  // as the reply is: the request flag is set and only the post or the reply clears it. The closure
  // touches nothing but the batch and the scheduler.
  auto self = shared_from_this();
  compressionQueue_->async([self, batch] {
    std::vector<APMQueuedBundleParts> queued = readBatchRows(*batch);
    batch->built = APMBuildUploadBatch(queued, batch->inputs);
    queued = {};
    if (!batch->built.rowIDs.empty()) {
      batch->compressed = platform::Gzip::deflate(batch->built.payload, platform::Gzip::Compression::kQuick);
    }
    self->scheduler_->scheduleOnWorkerQueueBlockID("APMUploadController:post", [self, batch] { self->post(*batch); });
  });
}

void APMUploadController::post(OutgoingBatch& batch) {
  batchBeingCompressed_ = false;
  readForBatch_ = {};
  if (!batch.unread.empty()) {
    platform::Error error;
    if (!database_->bundleQueue().deleteUnreadBundles(batch.unread, &error)) {
      // They are read again, and found again, by a later attempt.
      APMLog(APMLogLevel::kErrorSampled, APMUploadLogCode::kFailedDeleteBundlesDatabase,
             "Failed to delete bundles from database. Error", error);
    }
  }
  APMUploadBatch& built = batch.built;
  if (built.rowIDs.empty()) {
    // The first bundle carries both kinds of device ID and matches nothing, so it can never travel,
    // or none of the rows read for the batch could be read. No attempt was made: what it set is
    // taken back.
    APMLog(APMLogLevel::kErrorSampledOnly, APMUploadLogCode::kBundleListEmpty,
           "Bundle list is empty. Cancelling upload");
    if (batch.holdsBundles) uploadingBundleIDs_.clear();
    auto& schedule = persistedConfig_->uploadSchedule();
    if (schedule.lastFailedUploadTimestamp() == batch.failureTimestamp) {
      schedule.setLastFailedUploadTimestamp(batch.previousFailureTimestamp);
    }
    setRequestPending(false);
    terminateBackgroundTask();
    uploadLock_.unlock();
    return;
  }
  APMLog(APMLogLevel::kDebug, APMUploadLogCode::kMeasurementDataSentNetwork,
         "Measurement data sent to network. Timestamp (ms), data", batch.inputs.nowMilliseconds,
         std::to_string(built.rowIDs.size()) + " bundles, " + std::to_string(built.eventCount) + " events");
  // Only the bundles in the batch stay held: those left out wait for a later upload.
  if (batch.holdsBundles) uploadingBundleIDs_ = std::move(built.rowIDs);
  network_->setTimeoutInterval(remoteConfig_->network().networkTimeout());

  // The reply is always handled, even when the engine has replaced this road meanwhile (a wipe):
  // dropping it would leave the engine's request flag set and block every later upload.
  auto self = shared_from_this();
  auto completion = [self](const std::optional<platform::HttpResponse>& response, const platform::Data&,
                           const std::optional<platform::Error>& error) {
    self->setRequestPending(false);
    self->networkUploadCompletionHandlerWithResponse(response, error);
  };
  // A batch that did not compress goes the network's own way, which reports the failure.
  auto sessionID = batch.compressed
                       ? network_->postGzippedURL(batch.url, batch.headers, std::move(*batch.compressed), scheduler_->workerQueue(),
                                                  shouldUseBackgroundSession(), completion)
                       : network_->postURL(batch.url, batch.headers, built.payload, scheduler_->workerQueue(),
                                           shouldUseBackgroundSession(), completion);
  if (!sessionID || sessionID->empty()) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMUploadLogCode::kUnableCreateNetworkSession,
           "Unable to create network session.");
    uploadingBundleIDs_.clear();
    uploadLock_.unlock();
  }
}

void APMUploadController::setUploadInProgressWithBundleIDs(const std::vector<int64_t>& bundleIDs) {
  if (bundleIDs.empty()) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMUploadLogCode::kBundleListEmpty,
           "Bundle list is empty. Cancelling upload");
    return;
  }
  if (!uploadingBundleIDs_.empty()) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMUploadLogCode::kSetUploadingProgressBeforeFinishingPrevious,
           "Set uploading progress before finishing the previous upload");
    return;
  }
  uploadingBundleIDs_ = bundleIDs;
  heldRowsRemovedElsewhereCount_ = database_->bundleQueue().rowsRemovedElsewhereCount();
}

bool APMUploadController::heldRowsAreStillTheirs() const {
  return database_->bundleQueue().rowsRemovedElsewhereCount() == heldRowsRemovedElsewhereCount_;
}

bool APMUploadController::removeBundlesFromDatabaseWithIDs(const std::vector<int64_t>& bundleIDs) {
  platform::Error error;
  if (database_->bundleQueue().deleteBundlesWithRowIDs(bundleIDs, &error)) return true;
  APMLog(APMLogLevel::kErrorSampled, APMUploadLogCode::kFailedDeleteBundlesDatabase,
         "Failed to delete bundles from database. Error", error);
  return false;
}

void APMUploadController::incrementRetryCounter() {
  if (uploadingBundleIDs_.empty() || !heldRowsAreStillTheirs()) return;
  platform::Error error;
  if (!database_->bundleQueue().incrementRetryCounterForBundlesWithIDs(uploadingBundleIDs_, &error)) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMUploadLogCode::kFailedUpdateBundlesRetryCounts,
           "Failed to update the bundles' retry counts. Error", error);
  }
}

void APMUploadController::networkUploadCompletionHandlerWithResponse(
    const std::optional<platform::HttpResponse>& response, const std::optional<platform::Error>& error) {
  const int64_t status = response ? response->statusCode : 0;
  const double now = platform::now();
  if (!APMIsSuccessfulUploadStatus(status)) {
    persistedConfig_->uploadSchedule().setLastFailedUploadTimestamp(now);
    if (APMIsBackoffUploadStatus(status)) persistedConfig_->uploadSchedule().setLastBackoffTimestamp(now);
    APMLog(APMLogLevel::kDebug, APMUploadLogCode::kNetworkUploadFailed,
           "Network upload failed. Will retry later. Code, error", status, error ? error->description : std::string());
    incrementRetryCounter();
    uploadingBundleIDs_.clear();
    uploadLock_.unlock();
    updateSchedule();
    return;
  }

  int64_t length = -1;
  if (auto header = response->header("Content-Length")) length = std::strtoll(header->c_str(), nullptr, 10);
  APMLog(APMLogLevel::kDebug, APMUploadLogCode::kSuccessfulUpload,
         "Successful upload. Got network response. Code, size", status, length);
  persistedConfig_->uploadSchedule().setLastSuccessfulUploadTimestamp(now);
  persistedConfig_->uploadSchedule().setLastFailedUploadTimestamp(0);
  persistedConfig_->uploadSchedule().setLastBackoffTimestamp(0);
  // Delete before re-planning, so the schedule does not see the sent bundles as waiting data. After
  // a reset they are gone already, and their row IDs may be new bundles'.
  if (!uploadingBundleIDs_.empty() && heldRowsAreStillTheirs() &&
      !removeBundlesFromDatabaseWithIDs(uploadingBundleIDs_)) {
    APMLog(APMLogLevel::kErrorSampled, APMUploadLogCode::kUnableDeleteUploadedBundles,
           "Unable to delete uploaded bundles. Uploads will be suspended for seconds", kSuspensionSeconds);
    suspendedUploadTimestamp_ = uptime();
  } else {
    suspendedUploadTimestamp_ = 0;
  }
  uploadingBundleIDs_.clear();
  uploadLock_.unlock();
  const bool sendOn = suspendedUploadTimestamp_ == 0 && network_->isNetworkConnected() && hasDataToUpload();
  {
    // The next batch goes at once: the background work is not over, and the timestamps just set
    // reach the disk with the preferences' own delayed write, rather than a synchronous write
    // and two fsyncs per batch.
    diskSyncDeferred_ = sendOn;
    updateSchedule();
    diskSyncDeferred_ = false;
  }
  if (suspendedUploadTimestamp_ != 0) return;

  if (sendOn) {
    uploadData();
  } else if (remoteConfig_->message().isExpired()) {
    uploadData();
  } else if (hooks_.uploadRoadDidFindNothingToSend) {
    hooks_.uploadRoadDidFindNothingToSend();
  }
}

void APMUploadController::reachabilityDidChange() {
  std::weak_ptr<APMUploadController> weakSelf = weak_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID("APMMeasurement:998", [weakSelf] {
    if (auto self = weakSelf.lock()) self->updateSchedule();
  });
}
