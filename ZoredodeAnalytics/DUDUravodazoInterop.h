#pragma once
// What the measurement SDK offers other SDK components through the component registry, under the
// protocol name kDUDUravodazoInteropProtocol: logging events, setting and querying user properties,
// conditional user properties and event listeners, each under the component's own origin.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Object.h"

inline constexpr const char* kDUDUravodazoInteropProtocol = "DUDUravodazoInterop";

// Hears the events logged while it is registered (on the main queue).
class DUDUravodazoInteropListener {
 public:
  virtual ~DUDUravodazoInteropListener() = default;
  virtual void messageTriggered(const std::string& name, const platform::Dictionary& parameters) = 0;
};

class DUDUravodazoInterop {
 public:
  virtual ~DUDUravodazoInterop() = default;

  // Keys: "name", "origin", "value", "triggerEventName", "triggerTimeout", "timeToLive",
  // "creationTimestamp", "active", "triggeredTimestamp", and "triggeredEvent", "timedOutEvent",
  // "expiredEvent" (each a dictionary of "origin", "name", "timestamp", "parameters").
  virtual void setConditionalUserProperty(const platform::Dictionary& property) = 0;
  // Clears the property; the clear event is logged when it has a name and parameters.
  virtual void clearConditionalUserProperty(const std::string& userPropertyName, const std::string& origin,
                                            const std::string& clearEventName,
                                            const platform::Dictionary& clearEventParameters) = 0;
  // {"name", "value"} of each stored property of origin whose name begins with the prefix and whose
  // value is a string. Waits for the measurement worker queue.
  virtual std::vector<platform::Dictionary> conditionalUserProperties(const std::string& origin,
                                                                      const std::string& propertyNamePrefix) = 0;
  // Waits for the answer; 0 when none came.
  virtual int64_t maxUserProperties(const std::string& origin) = 0;
  virtual void getUserPropertiesWithCallback(std::function<void(const platform::Dictionary&)> callback) = 0;
  virtual void logEventWithOrigin(const std::string& origin, const std::string& name,
                                  const platform::Dictionary& parameters) = 0;
  virtual void setUserPropertyWithOrigin(const std::string& origin, const std::string& name,
                                         const platform::Object& value) = 0;
  virtual void registerAnalyticsListener(std::shared_ptr<DUDUravodazoInteropListener> listener,
                                         const std::string& origin) = 0;
  virtual void unregisterAnalyticsListenerWithOrigin(const std::string& origin) = 0;
};
