#pragma once
// The road of one event on the worker queue, from the caller's values (or an event a component
// hands in) to the writer: the event is made (with the stored default parameters), handed to the
// interceptor or the listeners, then safelisting, sessions, subscriptions, feature rollouts, editing
// and conditional user properties, and the writer stores what is left. A user-property change that
// waited among the events is written here too, as an event of its own.
//
// Part of the engine's event road, which owns it and the writer it writes through; what it reads of
// the engine beyond that comes through the road's APMEventWriterHost. Worker queue only: each entry
// checks it.
#include <memory>
#include <string>
#include <vector>

#include "APMEvent.h"
#include "APMLogEventOptions.h"
#include "APMUserAttribute.h"
#include "platform/Object.h"

class APMEventWriter;
class APMEventWriterHost;
class APMMeasurement;
class APMRawEventData;
struct APMAnalyticsHooks;

class APMWorkerEventRoad final {
 public:
  using Interceptor = APMEventInterceptor;

  APMWorkerEventRoad(APMMeasurement& engine, APMEventWriterHost& host, APMEventWriter& writer);
  APMWorkerEventRoad(const APMWorkerEventRoad&) = delete;
  APMWorkerEventRoad& operator=(const APMWorkerEventRoad&) = delete;

  // ---- Events made on the worker from the caller's values.
  void logEventOnWorkerQueueWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                       const platform::Dictionary& parameters, double timestamp,
                                       const APMLogEventOptions& options, const Interceptor& interceptor,
                                       const platform::Dictionary& addedScreenParameters);
  // The made event's way on: to the interceptor, or down the road (telling listeners or not).
  void routeLoggedEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event, const APMLogEventOptions& options,
                                     const Interceptor& interceptor);
  // Whether the stored default event parameters join an event of this name.
  bool joinsDefaultEventParameters(const std::string& name, bool ignoreInterceptor);
  void changeUserAttributeInGroupOnWorkerQueue(const APMUserAttribute& attribute, bool remove);

  // ---- The road itself. Components hand in events of their own through the last three.
  void handleEventOnWorkerQueue(std::shared_ptr<APMEvent> event);
  void handleInternalEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event);
  void writeEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event);
  void writeFilteredEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event);

 private:
  void logEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event, bool notifyEventListeners);
  // The hooks when they have event listeners (nullptr otherwise): read once per group.
  const APMAnalyticsHooks* listeningHooks();
  platform::Dictionary parametersWithAddedDefaultEventParameters(const platform::Dictionary& parameters);

  std::shared_ptr<APMEvent> eventAfterSafelistingEvent(const std::shared_ptr<APMEvent>& event) const;
  // The app's state as the front last reported it: read once per group.
  bool isAppActive();
  void processSessionFromEvent(const APMEvent& event);
  bool dedupeSubscriptionEvent(const APMEvent& event);
  bool shouldDropDuplicatedSessionStartWithRolloutEvent(const APMEvent& event);
  std::shared_ptr<APMEvent> appExceptionEventWithZoredodeFeatureRollouts(const std::shared_ptr<APMEvent>& event);
  // Called on the road, which checked the queue already.
  void writeSessionStartEventOnWorkerQueue(const APMEvent& event);
  void writeCheckedFilteredEvent(const std::shared_ptr<APMEvent>& event);
  // The road after the subscription filter.
  void continueRoadOnWorkerQueue(std::shared_ptr<APMEvent> event);
  // A subscription event's recorded de-duplication ID and its rows are kept or dropped together.
  void handleSubscriptionEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event);
  void backfillSessionID(const APMValue& sessionID, const APMValue& sessionNumber);
  // rows: the stored raw events, read once by the caller for the whole backfill.
  double backfillStartTimestampForSessionID(const APMValue& sessionID,
                                            const std::vector<std::shared_ptr<APMRawEventData>>& rows);

  APMMeasurement& engine_;
  APMEventWriterHost& host_;
  APMEventWriter& writer_;
  std::shared_ptr<const APMAnalyticsHooks> outsideGroupHooks_;  // the last reading outside a group
};
