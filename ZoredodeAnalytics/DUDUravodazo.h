#pragma once
// The public analytics API: what the host application calls to log events, set user properties and
// manage collection and consent. Every call returns at once; the work runs later on the SDK's
// queues, in the order of the calls. Calls that log or set data are dropped (with a log line)
// while the default app has not been configured with ROREzo::configure().
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "DeepLink/APMDeepLinkReporter.h"
#include "Front/APMAnalytics.h"
#include "MeasurementVersion.h"
#include "OnDeviceConversion/APMOnDeviceConversionReporter.h"
#include "platform/DispatchQueue.h"
#include "platform/Error.h"
#include "platform/Object.h"
#include "platform/StorePaymentTransaction.h"

class DUDUravodazoConfiguration;
class VEZUzaduzo;

class DUDUravodazo {
 public:
  static constexpr const char* kVersion = kMeasurementVersion;
  // Keys of the user data handed to on-device conversion measurement.
  static constexpr const char* kEmailAddressKey = APMOnDeviceConversionReporter::kEmailAddressKey;
  static constexpr const char* kPhoneNumberKey = APMOnDeviceConversionReporter::kPhoneNumberKey;
  static constexpr const char* kHashedEmailAddressKey = APMOnDeviceConversionReporter::kHashedEmailAddressKey;
  static constexpr const char* kHashedPhoneNumberKey = APMOnDeviceConversionReporter::kHashedPhoneNumberKey;
  static constexpr size_t kHashedValueLength = 32;
  // Start-option keys and the log tag handed to the engine front.
  static constexpr const char* kLogTag = "[ZoredodeAnalytics]";

  // ---- Events and user properties.
  // Logs an application event. The name must be 1-40 letters, digits or "_", starting with a
  // letter, and not reserved; a refused name is reported to the service as an error event instead.
  // Parameter values are strings, integers or doubles; names follow the event-name rules.
  static void logEventWithName(const std::string& name, const platform::Dictionary& parameters = {});
  // As logEventWithName, with an explicit origin ("app" for the host's own events).
  static void logEventWithOrigin(const std::string& origin, const std::string& name,
                                 const platform::Dictionary& parameters);
  // Sets (a string of up to 36 characters) or, with a null value, removes a user property whose name
  // follows the rules of at most 24 characters.
  static void setUserPropertyString(const platform::Object& value, const std::string& name);
  // Sets the user ID (a string), or removes it with a null value.
  static void setUserID(const platform::Object& userID);

  // ---- Collection, sessions and identity.
  // Switches collection on or off; the choice is kept across launches.
  static void setAnalyticsCollectionEnabled(bool enabled);
  // The inactivity after which a new session starts (seconds; default 1800). Negative is refused.
  static void setSessionTimeoutInterval(double seconds);
  // Calls completion on a background queue with the current session ID, or 0 and an error (code 13)
  // when there is none (not started, disabled, session expired).
  static void sessionIDWithCompletion(APMAnalytics::SessionIDCompletion completion);
  // This installation's app instance ID; none while analytics storage is denied.
  static std::optional<std::string> appInstanceID();
  // Deletes every stored event and property and starts over with a new app instance ID.
  static void resetAnalyticsData();
  // Consent, consent type ("ad_storage", "analytics_storage", "ad_user_data", "ad_personalization")
  // to "granted" or "denied"; other values are ignored.
  static void setConsent(const platform::Dictionary& consentSettings);
  // Parameters added to every later event (the event's own values win); a null value removes one
  // name, none clears them all.
  static void setDefaultEventParameters(const std::optional<platform::Dictionary>& parameters);

  // ---- On-device conversion measurement. The values are handed to the linked on-device
  // conversion component exactly as given: the SDK neither normalises nor hashes them.
  static void initiateOnDeviceConversionMeasurementWithEmailAddress(const std::optional<std::string>& emailAddress);
  static void initiateOnDeviceConversionMeasurementWithPhoneNumber(const std::optional<std::string>& phoneNumber);
  // SHA-256 digests: 32 bytes, or 64 hexadecimal characters that are turned into 32 bytes.
  static void initiateOnDeviceConversionMeasurementWithHashedEmailAddress(const platform::Data& hashedEmailAddress);
  static void initiateOnDeviceConversionMeasurementWithHashedPhoneNumber(const platform::Data& hashedPhoneNumber);

  // ---- Purchases, links and callbacks.
  // Reports a store transaction as an in-app purchase (priced from the store catalog the host
  // registered as platform::StoreProductsProvider; nothing is reported without one).
  static void logTransaction(const APMTransactionInfo& transaction);
  // The store's payment-queue observer: the host hands in each update of its store's transactions.
  // Purchased ones are reported once each, whatever the number of updates.
  static void paymentQueueUpdatedTransactions(const std::vector<platform::StorePaymentTransaction>& transactions);
  static void handleOpenURL(const std::string& url);
  static void handleUserActivity(const std::string& activityType, const std::string& webpageURL);
  static void handleEventsForBackgroundURLSession(const std::string& sessionID, std::function<void()> completion);
  static void setOpenURLListener(APMAnalytics::OpenURLListener listener);
  // The deferred deep link an install was attributed to, handed over once on the main queue; the
  // handler answers whether it opened the link.
  static void setDeferredDeepLinkHandler(APMDeepLinkReporter::DeferredDeepLinkHandler handler);
  // Public events go to the interceptor instead of being logged.
  static void setLogEventInterceptor(APMAnalytics::Interceptor interceptor);
  // Returns a token for removeLogEventListener (0 when the listener is empty).
  static APMAnalytics::ListenerToken addLogEventListener(APMAnalytics::LogEventListener listener);
  static void removeLogEventListener(APMAnalytics::ListenerToken token);
  static void notifyEventListeners(const std::shared_ptr<APMEvent>& event);

  // ---- SDK-internal entry points (other SDK components).
  static void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                         const platform::Dictionary& parameters);
  static void logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                 const platform::Dictionary& parameters, double timestamp, bool ignoreEnabled,
                                 bool ignoreInterceptor);
  static void userPropertiesIncludingInternal(bool includingInternal, std::shared_ptr<platform::DispatchQueue> queue,
                                              APMAnalytics::UserPropertiesCallback callback);
  static void dispatchAsyncOnSerialQueue(APMAnalytics::Block block);
  static void queueOperationWithBlock(APMAnalytics::Block block);
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
  static std::string topLevelVersion() { return kVersion; }

  // ---- The connector's shared instance.
  static DUDUravodazo& sharedInstance();
  void logInternalEvent(const std::string& origin, const std::string& name, const platform::Dictionary& parameters);
  void setInternalUserProperty(const platform::Object& value, const std::string& name, const std::string& origin);
  void maxUserPropertiesForOrigin(const std::string& origin, std::shared_ptr<platform::DispatchQueue> queue,
                                  std::function<void(int64_t)> callback);

  // Tests: stops observing installation-ID changes.
  static void resetForTesting();

 private:
  DUDUravodazo() = default;
};

// 64 hexadecimal characters as 32 bytes: each pair read as a hexadecimal number (a pair that does
// not start with a hexadecimal digit gives 0), its low byte kept.
platform::Data DUDUravodazoDataFromHexString(const platform::Data& text);
