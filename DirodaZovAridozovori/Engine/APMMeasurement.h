#pragma once
// The measurement engine: one process-wide object that owns the measurement database, the remote
// configuration, the identity, the worker scheduler, the upload alarm and the network client, and
// runs all measurement work on the worker queue "com.diroda.zora.worker".
//
// Threads. The entry points (logging, user properties, default parameters, reset) may be called
// from any thread: they copy their arguments and queue a worker block. Everything named
// "...OnWorkerQueue" runs on the worker queue only and checks it. Events take the event road
// (APMEngineEventRoad), which writes the events waiting together in one group; any other entry
// point closes the open group first, so worker-side work keeps the order of submission.
//
// The engine keeps what it was made with and the objects its start made; the collection switch,
// the start and each road (events, uploads, fetch, sessions, user properties) live in classes of
// their own that the engine hands out.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "APMAnalyticsHooks.h"
#include "APMCollectionSwitch.h"
#include "APMEngineComponentSet.h"
#include "APMEngineObjects.h"
#include "APMEngineSetup.h"
#include "APMLogEventOptions.h"
#include "APMAlarm.h"
#include "APMMonitor.h"
#include "APMScheduler.h"
#include "APMDailyCounts.h"
#include "APMEvent.h"
#include "APMUserAttribute.h"
#include "platform/ApplicationNotifications.h"
#include "platform/DispatchQueue.h"
#include "platform/Error.h"
#include "platform/NotificationCenter.h"
#include "platform/Object.h"
#include "platform/StorePaymentTransaction.h"

class APMCompactParameters;
class APMDatabase;
class APMIdentity;
class APMPersistedConfig;
class APMRemoteConfig;
class APMRemoteConfigEventEditing;
class APMRemoteConfigExperimentClient;
class APMPBMeasurementBundle;
class APMRawEventData;
class APMSessionReporter;
class APMEngineEventRoad;
class APMStartUp;
class APMEngineSessions;
class APMEngineUploadRoad;
class APMEngineFetch;
class APMEngineUserProperties;
class VIZUzedaru;

// A store transaction offered for duplicate filtering; fingerprint is the purchase reporter's
// fingerprint of it (empty when it has none). The engine reads the first three only.
struct APMPurchaseTransaction {
  std::string productID;
  int64_t state = 0;  // 1 = purchased
  std::string fingerprint;
  platform::StorePaymentTransaction transaction;
};

// Results of the engine's queries go out on this queue, never on the worker queue.
const std::shared_ptr<platform::DispatchQueue>& APMEngineCallbackQueue();

class APMMeasurement : public std::enable_shared_from_this<APMMeasurement> {
 public:
  using Interceptor = APMEventInterceptor;

  // ---- Creation.
  // nullptr (and a log line) for an empty app ID.
  static std::shared_ptr<APMMeasurement> create(const std::string& appID, const APMEngineOptions& options);
  // The designated form: every collaborator given. nullptr (and a log line) without an app ID, a
  // persisted configuration or a scheduler.
  static std::shared_ptr<APMMeasurement> create(APMEngineSetup setup);
  ~APMMeasurement();

  // ---- Collection switch and start-up.
  // Whether collection runs (any thread), and the switch that turns it on or off.
  APMCollectionSwitch& collection() const { return *collection_; }
  // The start: the objects the first start makes and the steps around it (worker queue).
  APMStartUp& startUp() const { return *startUp_; }

  // ---- Entry points (any thread). Events go through the event road.
  void filterPurchaseTransactions(std::vector<APMPurchaseTransaction> transactions,
                                  std::function<void(std::vector<APMPurchaseTransaction>)> callback);
  // Waits for the worker queue; runs inline when called on it.
  bool resetAnalyticsDataWithAppInstanceID(const std::string& appInstanceID);
  // Queues a block on the worker queue behind everything submitted before it, events included
  // (the open event group is closed first, so order is kept).
  void scheduleOnWorkerQueueBlockID(const char* blockID, std::function<void()> block);
  // The event road: events from any thread, and the worker's road to the stored rows (components
  // hand in events of their own through it).
  APMEngineEventRoad& eventRoad() const { return *eventRoad_; }
  // The upload road: schedule, bundling and uploads (worker queue).
  APMEngineUploadRoad& uploadRoad() const { return *uploadRoad_; }
  // The sessions: the session reporter and what the road and the start-up ask of it.
  APMEngineSessions& sessions() const { return *sessions_; }
  // The configuration fetch and the application's lifecycle observers.
  APMEngineFetch& fetch() const { return *fetch_; }
  // User properties and default event parameters, from any thread and on the worker queue.
  APMEngineUserProperties& userProperties() const { return *userProperties_; }

  // ---- Fields.
  // What the engine was made with.
  const APMEngineSetup& setup() const { return setup_; }
  double initTimestamp() const { return initTimestamp_.load(); }
  // Worker queue: the components created at the first successful start (empty before it).
  const std::shared_ptr<APMDatabase>& database() const { return objects_.database(); }
  const std::shared_ptr<APMIdentity>& identity() const { return objects_.identity(); }
  const std::shared_ptr<APMRemoteConfig>& remoteConfigInstance() const { return objects_.remoteConfig(); }
  // The objects the first start makes, and the configuration and identity as other queues see them.
  APMEngineObjects& objects() { return objects_; }
  // The components this engine was made with, in the order it calls them, and their context.
  const APMEngineComponentSet& components() const { return components_; }
  // Worker queue: waits for nothing; true when the calling thread runs on the worker queue.
  bool isOnWorkerQueue() const;
  // The same, and off the worker queue it reports methodName (30002, and 30001 on the main thread).
  bool checkWorkerQueue(const char* methodName) const;

  // The end of the process, once the front handed on what the API accepted: events not written yet
  // are dropped, the block running may finish within waitSeconds, then the persisted configuration
  // is written and the database closed (which empties the write-ahead log into it). False when a
  // block outlasted the wait: the database is then left to it, as a crash would leave it.
  bool shutDownForExit(double waitSeconds);

 private:
  struct Private {};

 public:
  APMMeasurement(Private, APMEngineSetup setup);

 private:
  const APMEngineSetup setup_;
  std::atomic<double> initTimestamp_{0};

  APMEngineObjects objects_;
  // Fixed once the engine is made.
  APMEngineComponentSet components_;
  const std::unique_ptr<APMCollectionSwitch> collection_;
  const std::unique_ptr<APMEngineEventRoad> eventRoad_;
  const std::unique_ptr<APMStartUp> startUp_;
  const std::unique_ptr<APMEngineSessions> sessions_;
  const std::unique_ptr<APMEngineUploadRoad> uploadRoad_;
  const std::unique_ptr<APMEngineFetch> fetch_;
  const std::unique_ptr<APMEngineUserProperties> userProperties_;
};
