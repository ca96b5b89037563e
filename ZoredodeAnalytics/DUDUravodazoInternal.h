#pragma once
// The analytics API's entry points for the SDK itself: other SDK components (the connector, the
// reporters), the core platform's start of analytics, and tests. Hosts use DUDUravodazo.h.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "DUDUravodazo.h"
#include "Front/APMAnalytics.h"
#include "Front/APMAnalyticsOperationQueue.h"
#include "Front/APMAnalyticsUserProperties.h"
#include "Front/APMAnalyticsListeners.h"
#include "OnDeviceConversion/APMOnDeviceConversionReporter.h"
#include "platform/DispatchQueue.h"
#include "platform/Object.h"

class DUDUravodazoConfiguration;
class VEZUzaduzo;

class DUDUravodazoInternal {
 public:
  // Keys of the user data handed to on-device conversion measurement.
  static constexpr const char* kEmailAddressKey = APMOnDeviceConversionReporter::kEmailAddressKey;
  static constexpr const char* kPhoneNumberKey = APMOnDeviceConversionReporter::kPhoneNumberKey;
  static constexpr const char* kHashedEmailAddressKey = APMOnDeviceConversionReporter::kHashedEmailAddressKey;
  static constexpr const char* kHashedPhoneNumberKey = APMOnDeviceConversionReporter::kHashedPhoneNumberKey;
  // The log tag handed to the engine front at start.
  static constexpr const char* kLogTag = "[ZoredodeAnalytics]";

  // ---- Event callbacks (the connector, the deep-link reporter).
  // Public events go to the interceptor instead of being logged.
  static void setLogEventInterceptor(APMAnalyticsListeners::Interceptor interceptor);
  // Returns a token for removeLogEventListener (0 when the listener is empty).
  static APMAnalyticsListeners::ListenerToken addLogEventListener(APMAnalyticsListeners::LogEventListener listener);
  static void removeLogEventListener(APMAnalyticsListeners::ListenerToken token);
  static void notifyEventListeners(const std::shared_ptr<APMEvent>& event);

  // ---- Other SDK components.
  static void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                         const platform::Dictionary& parameters);
  static void logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                 const platform::Dictionary& parameters, double timestamp,
                                 const APMLogEventOptions& options);
  static void userPropertiesIncludingInternal(bool includingInternal, std::shared_ptr<platform::DispatchQueue> queue,
                                              APMAnalyticsUserProperties::UserPropertiesCallback callback);
  static void dispatchAsyncOnSerialQueue(APMAnalyticsOperationQueue::Block block);
  static void queueOperationWithBlock(APMAnalyticsOperationQueue::Block block);
  static void unsuspendOperationQueue();
  static double loadTimestamp();

  // ---- Start-up (called by the core platform for the default app).
  static void startWithConfiguration(const std::shared_ptr<DUDUravodazoConfiguration>& configuration,
                                     const VEZUzaduzo& options);
  static void updateZoredodeInstallationID();
  static void observeZoredodeInstallationIDChanges();
  // Publishes the start function under the class name "DUDUravodazo", where ROREzo looks for it.
  // Done when the library is loaded; callable again (tests clear the class registry).
  static void registerAnalyticsStart();
  static void notCalled() {}

  // ---- The connector's shared instance.
  static DUDUravodazoInternal& sharedInstance();
  void logInternalEvent(const std::string& origin, const std::string& name, const platform::Dictionary& parameters);
  void setInternalUserProperty(const platform::Object& value, const std::string& name, const std::string& origin);
  void maxUserPropertiesForOrigin(const std::string& origin, std::shared_ptr<platform::DispatchQueue> queue,
                                  std::function<void(int64_t)> callback);

  // Tests: stops observing installation-ID changes, and forgets the advertising identity and the
  // providers a setup registered.
  static void resetForTesting();

 private:
  DUDUravodazoInternal() = default;
};

// 64 hexadecimal characters as 32 bytes: each pair read as a hexadecimal number (a pair that does
// not start with a hexadecimal digit gives 0), its low byte kept.
platform::Data DUDUravodazoDataFromHexString(const platform::Data& text);
