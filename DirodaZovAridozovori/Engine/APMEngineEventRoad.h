#pragma once
// The engine's event road: events handed to the engine from any thread wait in the open group
// (APMWaitingEventGroups), and the worker takes each group as one piece of work, each event down
// the worker's road (APMWorkerEventRoad: from the event made of the caller's values to the stored
// raw-event row). The road owns both and the writer they write through, and answers what the
// writer asks of the engine (APMEventWriterHost), the raw-event metadata among it; everything else
// it reads (database, configuration, identity, sessions) belongs to the engine that owns the road.
//
// Threads. The entry points (logEventWithOrigin, logCompactEventWithOrigin, logEvent,
// queueUserAttributeChange, submit, closeOpenGroup, stopForExit) may be called from any thread.
// Blocks queued through submit close the open group first, so worker-side work keeps the order of
// submission. Everything named "...OnWorkerQueue" runs on the worker queue only and checks it.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "APMEvent.h"
#include "APMEventWriter.h"
#include "APMLogEventOptions.h"
#include "APMUserAttribute.h"
#include "APMWaitingEventGroups.h"
#include "APMWorkerEventRoad.h"
#include "platform/Object.h"

class APMMeasurement;
class APMPBMeasurementBundle;

class APMEngineEventRoad final : private APMEventWriterHost {
 public:
  using Interceptor = APMEventInterceptor;

  explicit APMEngineEventRoad(APMMeasurement& engine);
  ~APMEngineEventRoad() override;
  APMEngineEventRoad(const APMEngineEventRoad&) = delete;
  APMEngineEventRoad& operator=(const APMEngineEventRoad&) = delete;

  // ---- Entry points (any thread).
  void logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                          const platform::Dictionary& parameters, double timestamp, const APMLogEventOptions& options,
                          Interceptor interceptor, const platform::Dictionary& addedScreenParameters) {
    waiting_.logEventWithOrigin(origin, isPublicEvent, name, parameters, timestamp, options, std::move(interceptor),
                                addedScreenParameters);
  }
  // The same for parameters in the compact form they wait in, read straight into the event, and
  // the current screen's parameters as the front shares them among the events logged on it.
  void logCompactEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                 APMCompactParameters parameters, double timestamp, const APMLogEventOptions& options,
                                 Interceptor interceptor,
                                 std::shared_ptr<const platform::Dictionary> addedScreenParameters) {
    waiting_.logCompactEventWithOrigin(origin, isPublicEvent, name, std::move(parameters), timestamp, options,
                                       std::move(interceptor), std::move(addedScreenParameters));
  }
  void logEvent(const std::shared_ptr<APMEvent>& event) { waiting_.logEvent(event); }
  // A user-property change joins the open group and is written there as one event of its own: a
  // failure rolls back that change alone.
  void queueUserAttributeChange(const APMUserAttribute& attribute, bool remove) {
    waiting_.queueUserAttributeChange(attribute, remove);
  }
  // Queues block on the worker queue behind every event handed in before it.
  void submit(const char* blockID, std::function<void()> block) { waiting_.submit(blockID, std::move(block)); }
  // Later events start a new group, behind whatever the caller queues next.
  void closeOpenGroup() { waiting_.closeOpenGroup(); }
  // The process is ending: groups stop at their next transaction, what is written commits.
  void stopForExit() { waiting_.stopForExit(); }

  // ---- The road on the worker queue. Components hand in events of their own through these three.
  void handleInternalEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event) {
    worker_.handleInternalEventOnWorkerQueue(event);
  }
  void writeEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event) { worker_.writeEventOnWorkerQueue(event); }
  void writeFilteredEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event) {
    worker_.writeFilteredEventOnWorkerQueue(event);
  }
  // An internal event on the front's internal road (the engine's own when there is no front); the
  // writer's error events take it too.
  void logInternalEvent(const std::string& origin, const std::string& name,
                        const platform::Dictionary& parameters) override;
  // Runs action once the enclosing event group commits (at once outside one).
  void afterCommit(std::function<void()> action);
  // Commits the transaction the last group left open for the next one, if any.
  void commitOpenTransactionOnWorkerQueue();
  // The day number the daily limits count in.
  int32_t currentDayNumber() const override;

 private:
  // What the writer asks of the engine, through the road.
  const std::shared_ptr<APMDatabase>& database() const override;
  const std::shared_ptr<APMRemoteConfig>& remoteConfig() const override;
  const std::shared_ptr<APMIdentity>& identity() const override;
  const std::shared_ptr<APMPersistedConfig>& persistedConfig() const override;
  bool isSessionExpired() override;
  std::shared_ptr<APMPBMeasurementBundle> createRawEventMetadataWithUserAttributes(
      const std::vector<std::shared_ptr<APMUserAttribute>>& userAttributes) override;
  void setLastAdvertisingIDResetUserProperty() override;
  void logFirstOpenConsentedEvent(double timestamp) override;
  void updateSchedule() override;
  const APMEngineComponentList& engineComponents() const override;
  const APMEngineComponentList& engineComponentsActingAt(APMEngineEventMoment moment) const override;

  APMMeasurement& engine_;
  APMEventWriter writer_;
  APMWorkerEventRoad worker_;
  APMWaitingEventGroups waiting_;
};
