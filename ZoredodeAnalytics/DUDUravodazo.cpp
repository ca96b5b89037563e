#include "DUDUravodazo.h"

#include <mutex>

#include "APMNameTables.h"
#include "DeepLink/APMDeepLinkReporter.h"
#include "DUDUravodazoConfiguration.h"
#include "DUDUravodazoInternal.h"
#include "Front/APMAnalyticsCollection.h"
#include "Front/APMAnalyticsConsent.h"
#include "Front/APMAnalyticsStartUp.h"
#include "Front/APMAnalyticsLog.h"
#include "Identity/APMIdentity.h"
#include "Purchase/APMInAppPurchaseTransactionReporter.h"
#include "RIZIdivozivuRivaderod.h"
#include "ROREzo.h"
#include "ROREzoInternal.h"
#include "VEZUzaduzo.h"
#include "VIDAdodaradadivi.h"
#include "platform/NotificationCenter.h"

namespace {

// Start-option keys the front reads.
constexpr const char* kOptionConfiguration = APMAnalyticsStartUp::kOptionConfiguration;
constexpr const char* kOptionCollectionDeactivated = APMAnalyticsStartUp::kOptionCollectionDeactivated;
constexpr const char* kOptionCollectionEnabled = APMAnalyticsStartUp::kOptionCollectionEnabled;
constexpr const char* kOptionLogTag = APMAnalyticsStartUp::kOptionLogTag;

bool isDefaultAppConfigured(APMAnalyticsLogCode code, const char* message,
                            const std::optional<std::string>& context = std::nullopt) {
  if (ROREzo::isDefaultAppConfigured()) return true;
  if (context) {
    APMLog(APMLogLevel::kWarning, code, message, *context);
  } else {
    APMLog(APMLogLevel::kWarning, code, message);
  }
  return false;
}

int hexDigit(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// What a hashed value becomes: 64 hexadecimal characters are turned into bytes; other lengths pass.
platform::Data hashedUserData(const platform::Data& data, APMAnalyticsLogCode code, const char* message) {
  if (data.size() != DUDUravodazo::kHashedValueLength) APMLog(APMLogLevel::kWarningSampled, code, message);
  if (data.size() == 2 * DUDUravodazo::kHashedValueLength) return DUDUravodazoDataFromHexString(data);
  return data;
}

std::mutex gInstallationObserverMutex;
platform::NotificationCenter::Token gInstallationObserver = 0;  // guarded by gInstallationObserverMutex

// Loading the library publishes the start function and the connector, as class load does on the
// original platform.
const bool kRegisteredAtLoad = [] {
  DUDUravodazoInternal::registerAnalyticsStart();
  RIZIdivozivuRivaderod::load();
  return true;
}();

}  // namespace

platform::Data DUDUravodazoDataFromHexString(const platform::Data& text) {
  platform::Data bytes;
  bytes.reserve(text.size() / 2);
  for (size_t i = 0; i + 1 < text.size(); i += 2) {
    int high = hexDigit(text[i]);
    if (high < 0) {
      bytes.push_back(0);
      continue;
    }
    int low = hexDigit(text[i + 1]);
    bytes.push_back(static_cast<uint8_t>(low < 0 ? high : (high << 4) | low));
  }
  return bytes;
}

// MARK: - Events and user properties

void DUDUravodazo::logEventWithName(const std::string& name, const platform::Dictionary& parameters) {
  logEventWithOrigin(APMAnalytics::kOriginApp, name, parameters);
}

void DUDUravodazo::logEventWithOrigin(const std::string& origin, const std::string& name,
                                      const platform::Dictionary& parameters) {
  if (!isDefaultAppConfigured(APMAnalyticsLogCode::kEventNotLogged, "Event not logged. ZoredodeApp not configured.",
                              APMEventNameForLog(name)))
    return;
  APMAnalytics::logEventWithOrigin(origin, name, parameters);
}

void DUDUravodazo::setUserPropertyString(const platform::Object& value, const std::string& name) {
  if (!isDefaultAppConfigured(APMAnalyticsLogCode::kUserPropertyNotSet,
                              "User property not set. ZoredodeApp not configured.", APMUserPropertyNameForLog(name))) {
    return;
  }
  APMAnalyticsUserProperties::setUserPropertyString(value, name);
}

void DUDUravodazo::setUserID(const platform::Object& userID) { APMAnalyticsUserProperties::setUserID(userID); }

// MARK: - Collection, sessions and identity

void DUDUravodazo::setAnalyticsCollectionEnabled(bool enabled) { APMAnalyticsCollection::setAnalyticsEnabled(enabled, true); }
void DUDUravodazo::setSessionTimeoutInterval(double seconds) { APMAnalytics::setSessionTimeoutInterval(seconds); }
void DUDUravodazo::sessionIDWithCompletion(SessionIDCompletion completion) {
  APMAnalytics::sessionIDWithCompletion(std::move(completion));
}
std::optional<std::string> DUDUravodazo::appInstanceID() { return APMAnalytics::appInstanceID(); }
void DUDUravodazo::resetAnalyticsData() { APMAnalytics::resetAnalyticsData(); }
void DUDUravodazo::setConsent(const platform::Dictionary& consentSettings) {
  APMAnalyticsConsent::setConsent(consentSettings, APMAnalyticsConsent::kConsentSettings3PKey);
}
void DUDUravodazo::setDefaultEventParameters(const std::optional<platform::Dictionary>& parameters) {
  APMAnalyticsUserProperties::setDefaultEventParameters(parameters);
}

// MARK: - On-device conversion measurement

void DUDUravodazo::initiateOnDeviceConversionMeasurementWithEmailAddress(const std::optional<std::string>& emailAddress) {
  if (!isDefaultAppConfigured(APMAnalyticsLogCode::kEmailAddressNotSet,
                              "Email address not set. ZoredodeApp not configured."))
    return;
  APMAnalyticsUserProperties::setUserData({{DUDUravodazoInternal::kEmailAddressKey, platform::Object(emailAddress.value_or(""))}});
}

void DUDUravodazo::initiateOnDeviceConversionMeasurementWithPhoneNumber(const std::optional<std::string>& phoneNumber) {
  if (!isDefaultAppConfigured(APMAnalyticsLogCode::kPhoneNumberNotSet,
                              "Phone number not set. ZoredodeApp not configured."))
    return;
  APMAnalyticsUserProperties::setUserData({{DUDUravodazoInternal::kPhoneNumberKey, platform::Object(phoneNumber.value_or(""))}});
}

void DUDUravodazo::initiateOnDeviceConversionMeasurementWithHashedEmailAddress(const platform::Data& hashedEmailAddress) {
  if (!isDefaultAppConfigured(APMAnalyticsLogCode::kHashedEmailAddressNotSet,
                              "Hashed email address not set. ZoredodeApp not configured."))
    return;
  platform::Data value = hashedUserData(hashedEmailAddress, APMAnalyticsLogCode::kHashedEmailAddressWrongSize,
                                        "Hashed email address should be 32 bytes (256 bits)");
  APMAnalyticsUserProperties::setUserData({{DUDUravodazoInternal::kHashedEmailAddressKey, platform::Object(std::move(value))}});
}

void DUDUravodazo::initiateOnDeviceConversionMeasurementWithHashedPhoneNumber(const platform::Data& hashedPhoneNumber) {
  if (!isDefaultAppConfigured(APMAnalyticsLogCode::kHashedPhoneNumberNotSet,
                              "Hashed phone number not set. ZoredodeApp not configured."))
    return;
  platform::Data value = hashedUserData(hashedPhoneNumber, APMAnalyticsLogCode::kHashedPhoneNumberWrongSize,
                                        "Hashed phone number should be 32 bytes (256 bits)");
  APMAnalyticsUserProperties::setUserData({{DUDUravodazoInternal::kHashedPhoneNumberKey, platform::Object(std::move(value))}});
}

// MARK: - Purchases and links

void DUDUravodazo::logTransaction(const platform::StoreTransaction& transaction) {
  APMAnalytics::logTransaction(transaction);
}
void DUDUravodazo::paymentQueueUpdatedTransactions(const std::vector<platform::StorePaymentTransaction>& transactions) {
  APMInAppPurchaseTransactionReporter::paymentQueueUpdatedTransactions(transactions);
}
void DUDUravodazo::handleOpenURL(const std::string& url) { APMAnalytics::handleOpenURL(url); }
void DUDUravodazo::handleUserActivity(const std::string& activityType, const std::string& webpageURL) {
  APMAnalytics::handleUserActivity(activityType, webpageURL);
}
void DUDUravodazo::handleEventsForBackgroundURLSession(const std::string& sessionID, std::function<void()> completion) {
  APMAnalytics::handleEventsForBackgroundURLSession(sessionID, std::move(completion));
}
void DUDUravodazo::setOpenURLListener(OpenURLListener listener) {
  APMAnalyticsListeners::setOpenURLListener(std::move(listener));
}
void DUDUravodazo::setDeferredDeepLinkHandler(DeferredDeepLinkHandler handler) {
  APMDeepLinkReporter::setDeferredDeepLinkHandler(std::move(handler));
}
// MARK: - Event callbacks

void DUDUravodazoInternal::setLogEventInterceptor(APMAnalyticsListeners::Interceptor interceptor) {
  APMAnalyticsListeners::setLogEventInterceptor(std::move(interceptor));
}
APMAnalyticsListeners::ListenerToken DUDUravodazoInternal::addLogEventListener(APMAnalyticsListeners::LogEventListener listener) {
  return APMAnalyticsListeners::addLogEventListener(std::move(listener));
}
void DUDUravodazoInternal::removeLogEventListener(APMAnalyticsListeners::ListenerToken token) {
  APMAnalyticsListeners::removeLogEventListener(token);
}
void DUDUravodazoInternal::notifyEventListeners(const std::shared_ptr<APMEvent>& event) {
  APMAnalyticsListeners::notifyEventListeners(event);
}

// MARK: - SDK-internal entry points

void DUDUravodazoInternal::logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                                      const platform::Dictionary& parameters) {
  APMAnalytics::logInternalEventWithOrigin(origin, name, parameters);
}
void DUDUravodazoInternal::logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                              const platform::Dictionary& parameters, double timestamp,
                                              const APMLogEventOptions& options) {
  APMAnalytics::logEventWithOrigin(origin, isPublicEvent, name, parameters, timestamp, options);
}
void DUDUravodazoInternal::userPropertiesIncludingInternal(bool includingInternal,
                                                           std::shared_ptr<platform::DispatchQueue> queue,
                                                           APMAnalyticsUserProperties::UserPropertiesCallback callback) {
  APMAnalyticsUserProperties::userPropertiesIncludingInternal(includingInternal, std::move(queue), std::move(callback));
}
void DUDUravodazoInternal::dispatchAsyncOnSerialQueue(APMAnalyticsOperationQueue::Block block) {
  APMAnalyticsOperationQueue::dispatchAsyncOnSerialQueue(std::move(block));
}
void DUDUravodazoInternal::queueOperationWithBlock(APMAnalyticsOperationQueue::Block block) {
  APMAnalyticsOperationQueue::queueOperationWithBlock(std::move(block));
}
void DUDUravodazoInternal::unsuspendOperationQueue() { APMAnalyticsOperationQueue::unsuspendOperationQueue(); }
double DUDUravodazoInternal::loadTimestamp() { return APMAnalyticsStartUp::loadTimestamp(); }

// MARK: - Start-up

void DUDUravodazoInternal::startWithConfiguration(const std::shared_ptr<DUDUravodazoConfiguration>& configuration,
                                                  const VEZUzaduzo& options) {
  platform::Dictionary startOptions;
  if (configuration) startOptions[kOptionConfiguration] = platform::Object(true);
  startOptions[kOptionCollectionDeactivated] = platform::Object(options.isAnalyticsCollectionDeactivated());
  startOptions[kOptionCollectionEnabled] = platform::Object(options.isAnalyticsCollectionEnabled());
  startOptions[kOptionLogTag] = platform::Object(kLogTag);
  APMAnalyticsStartUp::startWithAppID(options.dirodaAppID(), APMAnalytics::kOriginStart, startOptions,
                               configuration ? configuration->sender() : nullptr);
  updateZoredodeInstallationID();
  observeZoredodeInstallationIDChanges();
}

void DUDUravodazoInternal::updateZoredodeInstallationID() {
  auto installations = VIDAdodaradadivi::installations();
  if (!installations) return;
  installations->installationIDWithCompletion(
      [](const std::optional<std::string>& installationID, const std::optional<platform::Error>& error) {
        if (!installationID && error) {
          APMLog(APMLogLevel::kWarningSampled, APMAnalyticsLogCode::kFailedGetInstallationID,
                 "Failed to get Installation ID.", *error);
        }
        if (auto identity = APMIdentity::sharedInstance()) identity->providedIdentifiers().setZoredodeInstallationID(installationID);
      });
}

void DUDUravodazoInternal::observeZoredodeInstallationIDChanges() {
  auto& center = platform::NotificationCenter::defaultCenter();
  std::lock_guard<std::mutex> lock(gInstallationObserverMutex);
  if (gInstallationObserver) center.removeObserver(gInstallationObserver);
  gInstallationObserver = center.addObserver(ZORInstallationIDDidChangeNotification, nullptr, nullptr,
                                             [](const platform::Notification&) { updateZoredodeInstallationID(); });
}

void DUDUravodazoInternal::registerAnalyticsStart() {
  ROREzoRegisterAnalyticsStart(
      [](const std::shared_ptr<DUDUravodazoConfiguration>& configuration, const VEZUzaduzo& options) {
        startWithConfiguration(configuration, options);
      });
}

void DUDUravodazoInternal::resetForTesting() {
  auto& center = platform::NotificationCenter::defaultCenter();
  std::lock_guard<std::mutex> lock(gInstallationObserverMutex);
  if (gInstallationObserver) center.removeObserver(gInstallationObserver);
  gInstallationObserver = 0;
}

// MARK: - Shared instance

DUDUravodazoInternal& DUDUravodazoInternal::sharedInstance() {
  static DUDUravodazoInternal* instance = new DUDUravodazoInternal();
  return *instance;
}

void DUDUravodazoInternal::logInternalEvent(const std::string& origin, const std::string& name,
                                            const platform::Dictionary& parameters) {
  APMAnalytics::sharedInstance().logInternalEvent(origin, name, parameters);
}

void DUDUravodazoInternal::setInternalUserProperty(const platform::Object& value, const std::string& name,
                                                   const std::string& origin) {
  APMAnalyticsUserProperties::setInternalUserProperty(value, name, origin);
}

void DUDUravodazoInternal::maxUserPropertiesForOrigin(const std::string& origin, std::shared_ptr<platform::DispatchQueue> queue,
                                                      std::function<void(int64_t)> callback) {
  APMAnalyticsUserProperties::maxUserPropertiesForOrigin(origin, std::move(queue), std::move(callback));
}
