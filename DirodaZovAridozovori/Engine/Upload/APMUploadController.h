#pragma once
// The upload road of the engine: keeps the "Measurement timer" armed for the next upload, bundles
// raw events, posts one gzip-compressed APMPBMeasurementBatch per attempt, and on the reply
// deletes the sent bundles (200, 204) or raises their retry counts (anything else; 429 and 503
// also start the back-off period).
//
// Worker queue only, except reachabilityDidChange (any thread; it only queues a block). At most
// one request is in flight: uploadingBundleIDs holds its bundles until the reply. Other processes
// on the same data directory share the database, so bundling, sending and deleting hold a lock on
// a file beside it (".upload-lock"), from the first bundle read to the reply's deletion: each
// bundle is sent by one process. A process that finds it held tries again kLockedRetrySeconds later.
//
// An attempt bundles only until a whole batch waits in the queue (more could not join it), sends
// it, and bundles the rest while the batch is out, in steps between which the reply is handled:
// the bundles and batches are the ones bundling everything first would make, and the time spent
// waiting for replies goes into bundling (APMUploadBundling).
//
// The worker reads the queued rows as stored and gathers what the batch needs (identity, consent,
// settings); the rows are inflated and parsed, and the batch built and gzip-compressed, on a queue
// of the controller's own, from those by value, and the request is sent from the worker queue once
// it is done, where the rows that could not be read are deleted: meanwhile the worker bundles on,
// as it does while the batch is out. The batch counts as out (the bundles it is built from held,
// the request flag set) from the moment its build starts; once built, only its own bundles stay held.

#include <atomic>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "APMBundleFields.h"
#include "DirodaUtilities/Network/VIZUzedaru.h"
#include "platform/Error.h"
#include "platform/FileLock.h"
#include "platform/Http.h"

class APMAlarm;
class APMDatabase;
class APMPersistedConfig;
class APMRemoteConfig;
class APMScheduler;
class APMUploadBundling;
struct APMQueuedBundleParts;
class APMPBUserAttribute;

// What the upload road needs of the rest of the engine. Empty hooks answer neutrally.
struct APMUploadHooks {
  // One bundling step: YES when a group became a bundle (call again), NO when nothing is left or
  // it failed.
  std::function<bool()> bundleRawEvents;
  // Bundling of up to limit groups at once, as the bundler batches them, ending early once enough
  // (when given) answers true after a group: how many groups it bundled, and whether it stopped
  // (nothing left, or a group failed). Used instead of bundleRawEvents when set.
  struct BundlingStep {
    int32_t bundled = 0;
    bool stopped = true;
  };
  std::function<BundlingStep(int32_t limit, const std::function<bool()>& enough)> bundleRawEventGroups;
  std::function<APMBundleIdentity()> identity;
  // Components act before each attempt reads its batch (the TCF decision becomes consent).
  std::function<void()> uploadWillStart;
  std::function<std::string()> consentSignals;
  std::function<std::string()> consentDiagnostics;
  std::function<bool()> isAdUserDataDenied;
  // Configuration fetch, when the stored configuration has expired and nothing is left to send.
  std::function<void()> fetchRemoteConfig;
  std::function<std::optional<platform::Dictionary>()> SSTGPreviewHeaders;
  // Nothing left to send under a fresh configuration: components may use the network (a
  // postponed on-device conversion query).
  std::function<void()> uploadRoadDidFindNothingToSend;
  // The engine-wide "a request is in flight" flag (uploads and configuration fetches share it).
  std::function<bool()> isNetworkRequestPending;
  std::function<void(bool)> setIsNetworkRequestPending;
  // Seconds since boot, or -1 when unknown.
  std::function<double()> uptime;
  int64_t libraryVersion = 0;
};

class APMUploadController : public VIZUzedaruReachabilityDelegate,
                            public std::enable_shared_from_this<APMUploadController> {
 public:
  static constexpr double kSuspensionSeconds = 3600;
  static constexpr double kLockedRetrySeconds = 10;

  APMUploadController(std::shared_ptr<APMDatabase> database, std::shared_ptr<APMRemoteConfig> remoteConfig,
                      std::shared_ptr<APMPersistedConfig> persistedConfig, std::shared_ptr<VIZUzedaru> network,
                      std::shared_ptr<APMScheduler> scheduler, std::shared_ptr<APMAlarm> alarm, APMUploadHooks hooks);

  void updateSchedule();
  double nextUploadingTime();
  void uploadDataOrRegisterAlarm();
  void uploadData();
  bool hasDataToUpload();
  bool isNetworkReadyForRequest();
  bool shouldUseBackgroundSession() const { return false; }
  void setUploadInProgressWithBundleIDs(const std::vector<int64_t>& bundleIDs);
  void networkUploadCompletionHandlerWithResponse(const std::optional<platform::HttpResponse>& response,
                                                  const std::optional<platform::Error>& error);
  void incrementRetryCounter();
  bool removeBundlesFromDatabaseWithIDs(const std::vector<int64_t>& bundleIDs);
  void setSuspendedUploadTimestamp(double uptime) { suspendedUploadTimestamp_ = uptime; }
  double suspendedUploadTimestamp() const { return suspendedUploadTimestamp_; }
  void terminateBackgroundTask();
  // While a batch is built these are the bundles it is built from, known once the build has read
  // the rows it was handed (this waits for that).
  std::vector<int64_t> uploadingBundleIDs() const;
  const std::shared_ptr<APMDatabase>& database() const { return database_; }
  const std::shared_ptr<APMRemoteConfig>& remoteConfig() const { return remoteConfig_; }

  // VIZUzedaruReachabilityDelegate: re-plans on the worker queue.
  void reachabilityDidChange() override;

 private:
  bool isRequestPending() const;
  void setRequestPending(bool pending);
  double uptime() const;
  void stopScheduling(bool keepReachabilityDelegate);
  bool lockUploads();
  void retryAfter(double seconds);
  // A batch: built and compressed on compressionQueue_, then posted from the worker queue.
  struct OutgoingBatch;
  static std::vector<APMQueuedBundleParts> readBatchRows(OutgoingBatch& batch);
  void buildCompressAndPost(std::shared_ptr<OutgoingBatch> batch);
  void post(OutgoingBatch& batch);

  std::shared_ptr<APMDatabase> database_;
  std::shared_ptr<APMRemoteConfig> remoteConfig_;
  std::shared_ptr<APMPersistedConfig> persistedConfig_;
  std::shared_ptr<VIZUzedaru> network_;
  std::shared_ptr<APMScheduler> scheduler_;
  std::shared_ptr<APMAlarm> alarm_;
  APMUploadHooks hooks_;

  // Worker queue only.
  std::vector<int64_t> uploadingBundleIDs_;
  // The queue's count of rows removed elsewhere when the held bundles were read: once it moves, their
  // row IDs may name bundles queued since, which the reply must neither delete nor count a retry for.
  uint64_t heldRowsRemovedElsewhereCount_ = 0;
  bool heldRowsAreStillTheirs() const;
  platform::FileLock uploadLock_;
  double suspendedUploadTimestamp_ = 0;
  // Set while a reply re-plans just before the next batch is sent at once.
  bool diskSyncDeferred_ = false;
  // The attempt's bundling before its batch leaves and while it is out.
  std::shared_ptr<APMUploadBundling> bundling_;
  // Builds and compresses batches off the worker queue; one batch at a time, as only one is ever out.
  std::shared_ptr<platform::DispatchQueue> compressionQueue_;
  // Set from the start of a batch's build until its request has been handed to the network, or no
  // batch was built (worker queue only).
  bool batchBeingCompressed_ = false;
  // While a batch that holds the bundles is built: the rows its build could read (worker queue only).
  std::shared_future<std::vector<int64_t>> readForBatch_;
  // Used when the engine gives no shared flag.
  std::atomic<bool> requestPending_{false};
};
