#pragma once
// The analytics connector: publishes the measurement SDK to other SDK components through the
// component registry (protocol "DUDUravodazoInterop"). Each instance logs events, sets and queries
// user properties and conditional user properties, and relays logged events to the listeners
// registered with it, keeping the components away from the SDK's own names (ZORConnectorUtils).
//
// Threads: every entry point may be called from any thread. The listeners are guarded by one
// mutex: they are registered on the caller's thread and read on the front's serial queue and on
// the main queue, where they hear the events.
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "APMConditionalUserProperty.h"
#include "APMEvent.h"
#include "APMValue.h"
#include "ConditionalUserProperties/APMConditionalUserPropertyController.h"
#include "DUDUravodazoInterop.h"
#include "Front/APMAnalytics.h"
#include "Front/APMAnalyticsListeners.h"
#include "MeasurementVersion.h"
#include "VODEzudaruvu.h"
#include "platform/DispatchQueue.h"

// The names other components know the SDK's classes by.
using ZORAEvent = APMEvent;
using ZORAValue = APMValue;
using ZORAConditionalUserProperty = APMConditionalUserProperty;
using ZORAConditionalUserPropertyController = APMConditionalUserPropertyController;

class RIZIdivozivuRivaderod final : public DUDUravodazoInterop,
                                    public std::enable_shared_from_this<RIZIdivozivuRivaderod> {
 public:
  static constexpr const char* kLibraryName = "vizi-rezuduvev";
  static constexpr const char* kLibraryVersion = kMeasurementVersion;
  static constexpr const char* kQueueLabel = "com.diroda.analytics_connector.queue";
  // How long maxUserProperties waits for its answer (seconds).
  static constexpr double kMaxUserPropertiesTimeout = 10;

  // Registers the library and its component with the core platform (done when the library loads).
  static void load();
  static std::vector<std::shared_ptr<VODEzudaruvu>> componentsToRegister();
  // The connector queue, shared by every instance.
  static const std::shared_ptr<platform::DispatchQueue>& queue();

  RIZIdivozivuRivaderod() = default;
  ~RIZIdivozivuRivaderod() override;

  void setConditionalUserProperty(const platform::Dictionary& property) override;
  void clearConditionalUserProperty(const std::string& userPropertyName, const std::string& origin,
                                    const std::string& clearEventName,
                                    const platform::Dictionary& clearEventParameters) override;
  std::vector<platform::Dictionary> conditionalUserProperties(const std::string& origin,
                                                              const std::string& propertyNamePrefix) override;
  // 0 at once on the connector queue, where the answer is delivered, or for an empty origin, which
  // is never answered.
  int64_t maxUserProperties(const std::string& origin) override;
  void getUserPropertiesWithCallback(std::function<void(const platform::Dictionary&)> callback) override;
  void logEventWithOrigin(const std::string& origin, const std::string& name,
                          const platform::Dictionary& parameters) override;
  void setUserPropertyWithOrigin(const std::string& origin, const std::string& name,
                                 const platform::Object& value) override;
  void registerAnalyticsListener(std::shared_ptr<DUDUravodazoInteropListener> listener,
                                 const std::string& origin) override;
  void unregisterAnalyticsListenerWithOrigin(const std::string& origin) override;

  // The token of the one log-event listener registered with the public API (0 when none).
  APMAnalyticsListeners::ListenerToken logEventListener() const;

  // ---- Helpers.
  // A non-public event of "origin", "name", "timestamp" (seconds; now when absent) and
  // "parameters"; null without an origin or a name.
  static std::shared_ptr<ZORAEvent> eventFromDictionary(const platform::Dictionary& dictionary);
  // A non-public event at the current time; null without an origin or a name.
  static std::shared_ptr<ZORAEvent> eventWithOrigin(const std::string& origin, const std::string& eventName,
                                                    const platform::Dictionary& params);
  // Numbers and strings as they are; arrays are dropped.
  static platform::Dictionary simplifiedParametersFromEventParameters(const APMParameters& parameters);
  // A property filled key by key; keys of no property and values of the wrong kind are ignored.
  // Null when "value" is neither a string nor null, so a malformed set is never taken for a removal.
  static std::shared_ptr<ZORAConditionalUserProperty> conditionalUserPropertyFromDictionary(
      const platform::Dictionary& dictionary);

 private:
  using Listeners = std::map<std::string, std::shared_ptr<DUDUravodazoInteropListener>>;
  // Called by the front for every logged event (on its serial queue).
  void deliverEvent(const std::shared_ptr<APMEvent>& event);
  Listeners listenersSnapshot() const;

  mutable std::mutex mutex_;
  APMAnalyticsListeners::ListenerToken logEventListener_ = 0;  // guarded by mutex_
  std::unique_ptr<Listeners> listeners_;              // guarded by mutex_
};
