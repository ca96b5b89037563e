#pragma once
// Who hears the front's events: the host's log-event listeners, the interceptor that may edit or
// drop an event before the engine stores it, and the open-URL listener. Registered from any thread,
// kept and called on the front's serial queue only.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "APMMeasurement.h"

class APMEvent;

class APMAnalyticsListeners {
 public:
  using Interceptor = APMMeasurement::Interceptor;
  using LogEventListener = std::function<void(const std::shared_ptr<APMEvent>& event)>;
  // 0 is never a valid token.
  using ListenerToken = uint64_t;
  using OpenURLListener = std::function<void(const std::string& url)>;

  static void setLogEventInterceptor(Interceptor interceptor);
  static ListenerToken addLogEventListener(LogEventListener listener);
  static void removeLogEventListener(ListenerToken token);
  static void notifyEventListeners(const std::shared_ptr<APMEvent>& event);
  // Any thread: whether a listener is registered or about to be.
  static bool hasEventListeners();
  static void setOpenURLListener(OpenURLListener listener);

  // Serial queue only.
  static const Interceptor& interceptor();
  static const OpenURLListener& openURLListener();
  // Forgets every registration.
  static void resetOnSerialQueue();

 private:
  APMAnalyticsListeners() = delete;
};
