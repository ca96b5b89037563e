#pragma once
// The engine's event road: events handed to the engine from any thread wait in the open group, and
// the worker takes each group as one piece of work, from the event made of the caller's values to
// the stored raw-event row (safelisting, sessions, subscriptions, feature rollouts, editing,
// conditional user properties, then the writer). The road owns the writer and, through it, the
// group of events being written; everything else it reads (database, configuration, identity,
// sessions) belongs to the engine that owns the road.
//
// Threads. The entry points (logEventWithOrigin, logCompactEventWithOrigin, logEvent, submit) may
// be called from any thread. Blocks queued through submit close the open group first, so
// worker-side work keeps the order of submission. Everything named "...OnWorkerQueue" runs on the
// worker queue only and checks it.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "APMEvent.h"
#include "APMEventWriter.h"
#include "APMLogEventOptions.h"
#include "APMUserAttribute.h"
#include "platform/Object.h"

class APMCompactParameters;
class APMMeasurement;
class APMPBMeasurementBundle;
class APMRawEventData;

class APMEngineEventRoad final : private APMEventWriterHost {
 public:
  using Interceptor = APMEventInterceptor;
  static constexpr size_t kMaxEventsPerTransaction = 2000;

  explicit APMEngineEventRoad(APMMeasurement& engine);
  ~APMEngineEventRoad() override;
  APMEngineEventRoad(const APMEngineEventRoad&) = delete;
  APMEngineEventRoad& operator=(const APMEngineEventRoad&) = delete;

  // ---- Entry points (any thread).
  void logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                          const platform::Dictionary& parameters, double timestamp, const APMLogEventOptions& options,
                          Interceptor interceptor, const platform::Dictionary& addedScreenParameters);
  // The same for parameters in the compact form they wait in, read straight into the event.
  void logCompactEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                 APMCompactParameters parameters, double timestamp, const APMLogEventOptions& options,
                                 Interceptor interceptor, APMCompactParameters addedScreenParameters);
  void logEvent(const std::shared_ptr<APMEvent>& event);
  // A user-property change joins the open group and is written there as one event of its own: a
  // failure rolls back that change alone.
  void queueUserAttributeChange(const APMUserAttribute& attribute, bool remove);
  // Queues block on the worker queue behind every event handed in before it.
  void submit(const char* blockID, std::function<void()> block);
  // Later events start a new group, behind whatever the caller queues next.
  void closeOpenGroup();
  // The process is ending: groups stop at their next transaction, what is written commits.
  void stopForExit() { shuttingDown_ = true; }

  // ---- The road on the worker queue. Components hand in events of their own through these three.
  void handleInternalEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event);
  void writeEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event);
  void writeFilteredEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event);
  // Runs action once the enclosing event group commits (at once outside one).
  void afterCommit(std::function<void()> action);
  // The day number the daily limits count in.
  int32_t currentDayNumber() const override;

 private:
  struct PendingEvent;
  struct EventGroup;

  // Adds to the open event group, opening one (and queueing its drain) when none is open.
  void joinOpenGroup(PendingEvent&& pending);
  void drainEventGroupOnWorkerQueue(const std::shared_ptr<EventGroup>& group);
  void changeUserAttributeInGroupOnWorkerQueue(const APMUserAttribute& attribute, bool remove);
  void logEventOnWorkerQueueWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                       const platform::Dictionary& parameters, double timestamp,
                                       const APMLogEventOptions& options, const Interceptor& interceptor,
                                       const platform::Dictionary& addedScreenParameters);
  void logEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event, bool notifyEventListeners);
  // The made event's way on: to the interceptor, or down the road (telling listeners or not).
  void routeLoggedEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event, const APMLogEventOptions& options,
                                     const Interceptor& interceptor);
  // Whether the stored default event parameters join an event of this name.
  bool joinsDefaultEventParameters(const std::string& name, bool ignoreInterceptor);
  platform::Dictionary parametersWithAddedDefaultEventParameters(const platform::Dictionary& parameters);

  void handleEventOnWorkerQueue(std::shared_ptr<APMEvent> event);
  std::shared_ptr<APMEvent> eventAfterSafelistingEvent(const std::shared_ptr<APMEvent>& event) const;
  void processSessionFromEvent(const APMEvent& event);
  bool dedupeSubscriptionEvent(const APMEvent& event);
  bool shouldDropDuplicatedSessionStartWithRolloutEvent(const APMEvent& event);
  std::shared_ptr<APMEvent> appExceptionEventWithZoredodeFeatureRollouts(const std::shared_ptr<APMEvent>& event);
  void writeSessionStartEventOnWorkerQueue(const APMEvent& event);
  // The road after the subscription filter.
  void continueRoadOnWorkerQueue(std::shared_ptr<APMEvent> event);
  // A subscription event's recorded de-duplication ID and its rows are kept or dropped together.
  void handleSubscriptionEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event);
  void backfillSessionID(const APMValue& sessionID, const APMValue& sessionNumber);
  // rows: the stored raw events, read once by the caller for the whole backfill.
  double backfillStartTimestampForSessionID(const APMValue& sessionID,
                                            const std::vector<std::shared_ptr<APMRawEventData>>& rows);
  std::shared_ptr<APMPBMeasurementBundle> createRawEventMetadataWithUserAttributes(
      const std::vector<std::shared_ptr<APMUserAttribute>>& userAttributes) override;
  void logFirstOpenConsentedEvent(double timestamp) override;

  // What the writer asks of the engine, through the road.
  const std::shared_ptr<APMDatabase>& database() const override;
  const std::shared_ptr<APMRemoteConfig>& remoteConfig() const override;
  const std::shared_ptr<APMIdentity>& identity() const override;
  const std::shared_ptr<APMPersistedConfig>& persistedConfig() const override;
  bool isSessionExpired() override;
  void logInternalEvent(const std::string& origin, const std::string& name,
                        const platform::Dictionary& parameters) override;
  void setLastAdvertisingIDResetUserProperty() override;
  void updateSchedule() override;
  const APMEngineComponentList& engineComponents() const override;

  APMMeasurement& engine_;
  APMEventWriter writer_;
  std::atomic<bool> shuttingDown_{false};
  // Guards openGroup_: entry points on any thread add to it, the worker takes it.
  std::mutex groupMutex_;
  std::shared_ptr<EventGroup> openGroup_;
};
