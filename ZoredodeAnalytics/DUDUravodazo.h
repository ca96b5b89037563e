#pragma once
// The public analytics API: what the host application calls to log events, set user properties and
// manage collection and consent. Every call returns at once; the work runs later on the SDK's
// queues, in the order of the calls. Calls that log or set data are dropped (with a log line)
// while the default app has not been configured with ROREzo::configure().
//
// Before configuring, the host describes itself once with setUp (DUDUravodazoSetup.h).
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "DUDUravodazoSetup.h"
#include "MeasurementVersion.h"
#include "platform/Error.h"
#include "platform/Object.h"
#include "platform/StorePaymentTransaction.h"
#include "platform/StoreTransaction.h"

class DUDUravodazo {
 public:
  static constexpr const char* kVersion = kMeasurementVersion;
  // A hashed user-data value is a SHA-256 digest of this many bytes.
  static constexpr size_t kHashedValueLength = 32;

  // Called on a background queue with the current session ID, or 0 and an error (code 13) when
  // there is none (not started, disabled, session expired).
  using SessionIDCompletion = std::function<void(int64_t sessionID, std::optional<platform::Error> error)>;
  // Hears each URL the application was opened with.
  using OpenURLListener = std::function<void(const std::string& url)>;
  // The host's taker of a deferred deep link: runs on the main queue with the link and its extra
  // information ({"timestamp": …} when the service gave one); true when it opened the link.
  using DeferredDeepLinkHandler = std::function<bool(const std::string& url, const platform::Dictionary& extraInfo)>;

  // ---- Set-up, before ROREzo::configure().
  static void setUp(const DUDUravodazoSetup& setup);

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
  static void sessionIDWithCompletion(SessionIDCompletion completion);
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

  // ---- Purchases and links.
  // Reports a store transaction as an in-app purchase (priced from the store catalog given in the
  // setup; nothing is reported without one).
  static void logTransaction(const platform::StoreTransaction& transaction);
  // The store's payment-queue observer: the host hands in each update of its store's transactions.
  // Purchased ones are reported once each, whatever the number of updates.
  static void paymentQueueUpdatedTransactions(const std::vector<platform::StorePaymentTransaction>& transactions);
  static void handleOpenURL(const std::string& url);
  static void handleUserActivity(const std::string& activityType, const std::string& webpageURL);
  static void handleEventsForBackgroundURLSession(const std::string& sessionID, std::function<void()> completion);
  static void setOpenURLListener(OpenURLListener listener);
  // The deferred deep link an install was attributed to, handed over once on the main queue.
  static void setDeferredDeepLinkHandler(DeferredDeepLinkHandler handler);

  static std::string topLevelVersion() { return kVersion; }

 private:
  DUDUravodazo() = default;
};
