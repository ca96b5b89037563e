#include "APMAnalytics.h"

#include <algorithm>
#include <mutex>
#include <utility>

#include "APMAnalyticsCollection.h"
#include "APMAnalyticsConsent.h"
#include "APMEngineRegistry.h"
#include "APMEngineEventRoad.h"
#include "APMFrontCollaborators.h"
#include "APMAnalyticsHooks.h"
#include "APMAnalyticsListeners.h"
#include "APMAnalyticsLog.h"
#include "APMAnalyticsOperationQueue.h"
#include "APMAnalyticsSuite.h"
#include "APMAnalyticsSupport.h"
#include "APMDataTypeValidator.h"
#include "APMError.h"
#include "APMEventParameters.h"
#include "APMNameTables.h"
#include "APMPersistedConfig.h"
#include "APMUserAttribute.h"
#include "APMValue.h"
#include "Consent/APMConsentSettingsUtil.h"
#include "DirodaUtilities/AppDelegateSwizzler/DODOvaRudodazuVedevoro.h"
#include "DirodaUtilities/Network/VIZUzedaru.h"
#include "Identity/APMDirodaServiceFileUtil.h"
#include "Identity/APMIdentifiers.h"
#include "Identity/APMIdentity.h"
#include "Utilities/APMNumericUtil.h"
#include "platform/ApplicationNotifications.h"
#include "platform/ClassRegistry.h"
#include "platform/Clock.h"

using namespace apmfront;

namespace {

// Until its first activation the application does not count as active.
constexpr bool kActiveAtLaunch = false;

constexpr const char* kDeferringDocumentationLink = "https://diroda.example/docs/analytics/zoredode-migration";

struct FrontState {
  std::mutex loadTimeMutex;
  double loadTime = platform::now();

  std::atomic<bool> started{false};
  // The application has become active: false until the first activation, never cleared (read
  // while no collaborator owns the state).
  std::atomic<bool> appActive{kActiveAtLaunch};

  std::mutex screenMutex;  // guards screenParameters
  std::shared_ptr<const platform::Dictionary> screenParameters;

  std::mutex collaboratorsMutex;  // guards collaborators; replaced whole, so a snapshot stays valid
  std::shared_ptr<const APMFrontCollaboratorList> collaborators =
      std::make_shared<const APMFrontCollaboratorList>(APMMakeFrontCollaborators());

  std::mutex startedEngineMutex;  // guards startedEngine
  std::shared_ptr<APMEngineContext> startedEngine;
};

FrontState& state() {
  static FrontState* front = new FrontState();  // lives for the whole process, like the class it stands for
  return *front;
}

std::shared_ptr<const APMFrontCollaboratorList> collaborators() {
  auto& front = state();
  std::lock_guard<std::mutex> lock(front.collaboratorsMutex);
  return front.collaborators;
}

void setStartedEngineContext(std::shared_ptr<APMEngineContext> context) {
  auto& front = state();
  std::lock_guard<std::mutex> lock(front.startedEngineMutex);
  front.startedEngine = std::move(context);
}

std::shared_ptr<const platform::Dictionary> screenSnapshot() {
  auto& front = state();
  std::lock_guard<std::mutex> lock(front.screenMutex);
  return front.screenParameters;
}

// The engine's view of the front, installed as analytics starts: before it, no engine exists.
void installEngineHooks() {
  APMAnalyticsHooks hooks;
  hooks.loadTimestamp = [] { return APMAnalytics::loadTimestamp(); };
  hooks.needFirstOpenAfterReset = [] { return APMAnalyticsSuite::needFirstOpenAfterReset(); };
  hooks.removeNeedFirstOpenAfterReset = [] { APMAnalyticsSuite::removeNeedFirstOpenAfterReset(); };
  hooks.deferredAnalyticsCollection = [] { return APMAnalyticsSuite::deferredAnalyticsCollection(); };
  hooks.setDeferredAnalyticsCollection = [](std::optional<bool> v) { APMAnalyticsSuite::setDeferredAnalyticsCollection(v); };
  hooks.resetRetryCount = [] { return APMAnalyticsSuite::resetRetryCount(); };
  hooks.setResetRetryCount = [](int64_t count) { APMAnalyticsSuite::setResetRetryCount(count); };
  hooks.appInstanceIDAfterReset = [] { return APMAnalyticsSuite::appInstanceIDAfterReset(); };
  hooks.removeAppInstanceIDAfterReset = [] { APMAnalyticsSuite::setAppInstanceIDAfterReset(std::nullopt); };
  hooks.removeStartUpConsentSettings = [] { APMAnalyticsConsent::removeStartUpConsentSettings(); };
  hooks.removeDeferredResetOnDeniedConsent = [] { APMAnalyticsConsent::removeDeferredResetOnDeniedConsent(); };
  hooks.clearConsent = [] { APMAnalyticsConsent::clearConsent(); };
  hooks.persistConsentSettings = [](const platform::Dictionary& settings, int64_t source) {
    APMAnalyticsConsent::persistConsentSettings(settings, source);
  };
  hooks.consentSettings1PStart = [] { return APMAnalyticsConsent::consentSettings1PStart(); };
  hooks.consentSettings3P = [] { return APMAnalyticsConsent::consentSettings3P(); };
  hooks.consentSettingsTCF = [] { return APMAnalyticsConsent::consentSettingsTCF(); };
  hooks.setConsent = [](const platform::Dictionary& settings, const std::string& sourceKey) {
    APMAnalyticsConsent::setConsent(settings, sourceKey);
  };
  hooks.logInternalEventWithOrigin = [](const std::string& origin, const std::string& name,
                                        const platform::Dictionary& parameters) {
    APMAnalytics::logInternalEventWithOrigin(origin, name, parameters);
  };
  hooks.notifyEventListeners = [](const std::shared_ptr<APMEvent>& event) {
    APMAnalyticsListeners::notifyEventListeners(event);
  };
  hooks.hasEventListeners = [] { return APMAnalyticsListeners::hasEventListeners(); };
  hooks.isAppActive = [] { return APMAnalytics::isAppActive(); };
  hooks.screenParameters = [] { return APMAnalytics::currentScreenParameters(); };
  hooks.hasAppActiveOwner = [] { return APMAnalytics::hasAppActiveOwner(); };
  hooks.queueOperationWithBlock = [](std::function<void()> block) { APMAnalyticsOperationQueue::queueOperationWithBlock(std::move(block)); };
  APMSetAnalyticsHooks(std::move(hooks));
}

// The store's "_err" events, the front's refused names among them, take the internal-event road
// from the first call on: the operation queue holds them until analytics starts.
void installInternalEventLogger() {
  APMSetInternalEventLogger([](const std::string& origin, const std::string& name,
                               const platform::Dictionary& parameters) {
    APMAnalytics::logInternalEventWithOrigin(origin, name, parameters);
  });
}

const bool kInternalEventLoggerInstalledAtLoad = [] {
  installInternalEventLogger();
  return true;
}();

// Activation is observed from library load, since the host may become active before it configures
// the SDK: the front keeps its own state for when no collaborator owns it, and hands both changes to
// its collaborators before the engine's observers see them (the session the engine asks about must
// find the application active).
const bool kObservingActivationAtLoad = [] {
  auto& center = platform::NotificationCenter::defaultCenter();
  center.addObserver(platform::kApplicationDidBecomeActiveNotification, nullptr, nullptr,
                     [](const platform::Notification&) {
                       APMAnalytics::setAppActive(true);
                       auto engine = APMAnalytics::startedEngineContext();
                       for (const auto& each : *collaborators()) each->applicationDidBecomeActive(engine);
                     });
  center.addObserver(platform::kApplicationWillResignActiveNotification, nullptr, nullptr,
                     [](const platform::Notification&) {
                       auto engine = APMAnalytics::startedEngineContext();
                       for (const auto& each : *collaborators()) each->applicationWillResignActive(engine);
                     });
  return true;
}();

// The safelist of the start options: kept only when every entry is a valid internal event name.
std::vector<std::string> safelistFromOptions(const platform::Object& value) {
  if (value.isNull()) return {};
  if (!value.isArray()) {
    APMLog(APMLogLevel::kError, APMAnalyticsLogCode::kInvalidSafelistedEventParameter,
           "Invalid safelisted event parameter. Type must be an array");
    return {};
  }
  std::vector<std::string> names;
  for (const auto& element : value.arrayValue()) {
    int failure = 0;
    if (!element.isString() || !APMDataTypeValidator::isValidInternalEventName(element.stringValue(), &failure)) {
      APMLog(APMLogLevel::kError, APMAnalyticsLogCode::kInvalidEventNameSafelisting,
             "Invalid event name for safelisting. Name", element.description());
      return {};
    }
    names.push_back(element.stringValue());
  }
  return names;
}

}  // namespace

double APMAnalytics::loadTimestamp() {
  auto& front = state();
  std::lock_guard<std::mutex> lock(front.loadTimeMutex);
  return front.loadTime;
}

void APMAnalytics::setLoadTimestamp(double timestamp) {
  auto& front = state();
  std::lock_guard<std::mutex> lock(front.loadTimeMutex);
  front.loadTime = timestamp;
}

// MARK: - Start

void APMAnalytics::startWithAppID(const std::string& appID, const std::string& origin,
                                  const platform::Dictionary& options, const void* configuration) {
  auto& front = state();
  if (platform::ClassRegistry::exists(kOlderFrameworkClassName)) {
    APMLog(APMLogLevel::kErrorSampled, APMAnalyticsLogCode::kDetectedOlderVersionDirodaAnalyticsZoredode,
           "Detected an older version of Diroda Analytics for Zoredode framework. Data collection will be "
           "disabled. Please upgrade to the latest version of Diroda Analytics for Zoredode");
    return;
  }
  if (platform::ClassRegistry::exists(kPublicAPIClassName)) {
    if (origin != kOriginStart) {
      APMLog(APMLogLevel::kWarning, APMAnalyticsLogCode::kDeferringZoredodeEventDataCollection,
             "Deferring to Zoredode for event data collection");
      return;
    }
  } else if (auto path = APMDirodaServiceFileUtil::dirodaServiceInfoPlistPath(); path && !path->empty()) {
    APMLog(APMLogLevel::kError, APMAnalyticsLogCode::kDeferringDirodaAnalyticsZoredodeEventData,
           std::string("Deferring to Diroda Analytics for Zoredode for event data collection. ") +
               kDeferringDocumentationLink);
    return;
  }
  if (!options.empty()) {
    platform::Object tag = valueFor(options, kOptionLogTag);
    if (tag.isString() && !tag.stringValue().empty()) {
      APMEngineRegistry::monitor()->setLogTag(tag.stringValue());
    } else {
      APMLog(APMLogLevel::kErrorSampledOnly, APMAnalyticsLogCode::kInvalidMonitorTag,
             "Invalid monitor tag. It must be a non-empty string.");
    }
  }
  bool expected = false;
  if (!front.started.compare_exchange_strong(expected, true)) return;
  APMAnalyticsOperationQueue::registerExitHandlerOnce();
  installEngineHooks();

  if (APMConsentSettingsUtil::consentSource() == APMConsentSettingsUtil::kSourceNone) {
    APMAnalyticsConsent::loadPersistedConsentSettings();
  }
  if (origin == kOriginStart) {
    if (auto identity = APMIdentity::sharedInstance(); identity && identity->appIDFromDMP() != appID) {
      identity->setAppIDFromDMP(appID);
    }
  }
  platform::NotificationCenter::defaultCenter().post(kWillStartNotification);
  APMIdentifiers::sharedInstance()->setOrigin(origin);

  bool enabled = true;
  bool deactivated = false;
  std::vector<std::string> safelist;
  if (!options.empty()) {
    if (auto v = optionalBool(valueFor(options, kOptionCollectionEnabled))) enabled = *v;
    if (auto v = optionalBool(valueFor(options, kOptionCollectionDeactivated))) deactivated = *v;
    safelist = safelistFromOptions(valueFor(options, kOptionSafelistedEvents));
    auto onStart = APMConsentSettingsUtil::consentSettingsFromDictionary(options);
    if (!onStart.empty()) {
      APMAnalyticsSuite::userDefaults().setObject(platform::Object(onStart), APMAnalyticsConsent::kConsentSettingsOnStartKey);
    }
  }
  APMAnalyticsCollection::setCollectionDeactivatedAtStart(deactivated);

  APMAnalyticsOperationQueue::dispatchAsyncOnSerialQueue([appID, enabled, deactivated, safelist] {
    APMEngineRegistry::initializeSharedInstanceWithAppID(appID, enabled, deactivated, safelist);
    if (APMEngineRegistry::hasSharedInstance()) setStartedEngineContext(engine()->componentContext());
    if (DODOvaRudodazuVedevoro::isAppDelegateProxyEnabled()) {
      if (!deactivated) platform::DispatchQueue::main()->async([] { createAppDelegateProxy(); });
    } else {
      APMLog(APMLogLevel::kNotice, APMAnalyticsLogCode::kAppDelegateProxyDisabled, "App Delegate Proxy is disabled");
    }
    auto measurement = engine();
    APMAnalyticsCollection::setCollectionEnabledAtStart(measurement && measurement->wasEnabledDuringInitialization());
    maybeEnableTagRuntime();
  });
  if (configuration) APMAnalyticsCollection::observeNotificationsForAnalyticsConfiguration(configuration);
  APMAnalyticsOperationQueue::unsuspendOperationQueue();
}

bool APMAnalytics::isStarted() { return state().started.load(); }

// MARK: - Events

void APMAnalytics::logEventWithName(const std::string& name, const platform::Dictionary& parameters) {
  logEventWithOrigin(kOriginApp, name, parameters);
}

void APMAnalytics::logEventWithOrigin(const std::string& origin, const std::string& name,
                                      const platform::Dictionary& parameters) {
  int failure = 0;
  if (!APMDataTypeValidator::isValidPublicEventName(name, &failure)) {
    logRefusedName(failure == kAPMValidationReserved, kAPMErrorEventReservedEventName, kAPMErrorEventInvalidEventName,
                   name, APMDataTypeValidator::kMaxEventNameLength);
    return;
  }
  logEventWithOrigin(origin, true, name, parameters);
}

void APMAnalytics::logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                              const platform::Dictionary& parameters) {
  logEventWithOrigin(origin, false, name, parameters);
}

void APMAnalytics::logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                      const platform::Dictionary& parameters) {
  if (name == kScreenViewEventName) {
    double now = platform::now();
    for (const auto& each : *collaborators()) each->trackScreenWithParameters(parameters, now);
    return;
  }
  auto screen = APMHasScreenParameters(parameters) ? nullptr : screenSnapshot();
  APMAnalyticsOperationQueue::queueEvent(origin, isPublicEvent, name, parameters, std::nullopt, screen.get());
}

void APMAnalytics::logInternalEventWithOrigin(const std::string& origin, const std::string& name, double timestamp,
                                              const platform::Dictionary& parameters) {
  auto screen = APMHasScreenParameters(parameters) ? nullptr : screenSnapshot();
  APMAnalyticsOperationQueue::queueEvent(origin, false, name, parameters, timestamp, screen.get());
}

void APMAnalytics::logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                      const platform::Dictionary& parameters, double timestamp,
                                      const APMLogEventOptions& options) {
  APMAnalyticsOperationQueue::queueOperationWithBlock([=, parameters = APMParametersWithinStorableNesting(parameters)]() mutable {
    logEventOnSerialQueueWithOrigin(origin, isPublicEvent, name, std::move(parameters), timestamp, options, {});
  });
}

void APMAnalytics::logEventOnSerialQueueWithOrigin(const std::string& origin, bool isPublicEvent,
                                                   const std::string& name, platform::Dictionary parameters,
                                                   double timestamp, const APMLogEventOptions& options,
                                                   platform::Dictionary addedScreenParameters) {
  int failure = 0;
  if (options.ignoreInterceptor && addedScreenParameters.empty() &&
      APMDataTypeValidator::isValidForwardedEventOrigin(origin, &failure)) {
    addedScreenParameters = APMScreenParametersFromDictionary(parameters);
    for (const auto& entry : addedScreenParameters) parameters.erase(entry.first);
  }
  auto measurement = engine();
  if (!measurement) return;
  APMLogEventOptions handedOn = options;
  handedOn.enabled = APMAnalyticsCollection::isAnalyticsCollectionEnabled();
  measurement->eventRoad().logEventWithOrigin(origin, isPublicEvent, name, parameters, timestamp, handedOn,
                                              APMAnalyticsListeners::interceptor(), addedScreenParameters);
}

void APMAnalytics::logTransaction(const APMTransactionInfo& transaction) {
  for (const auto& each : *collaborators()) each->reportTransaction(transaction);
}

void APMAnalytics::paymentQueueUpdatedTransactions(std::vector<APMPurchaseTransaction> transactions) {
  APMAnalyticsOperationQueue::queueOperationWithBlock([transactions = std::move(transactions)]() mutable {
    auto measurement = engine();
    if (!measurement || !APMAnalyticsCollection::isAnalyticsCollectionEnabled()) return;
    measurement->filterPurchaseTransactions(std::move(transactions), [](std::vector<APMPurchaseTransaction> kept) {
      for (const auto& each : *collaborators()) each->reportFilteredTransactions(kept);
    });
  });
}

// MARK: - Screen state

void APMAnalytics::setCurrentScreenParameters(platform::Dictionary screenParameters) {
  auto snapshot = screenParameters.empty()
                      ? nullptr
                      : std::make_shared<const platform::Dictionary>(std::move(screenParameters));
  auto& front = state();
  std::lock_guard<std::mutex> lock(front.screenMutex);
  front.screenParameters = std::move(snapshot);
}

platform::Dictionary APMAnalytics::currentScreenParameters() {
  auto snapshot = screenSnapshot();
  return snapshot ? *snapshot : platform::Dictionary{};
}

void APMAnalytics::setAppActive(bool active) { state().appActive = active; }

bool APMAnalytics::isAppActive() {
  for (const auto& each : *collaborators()) {
    if (auto active = each->isAppActive()) return *active;
  }
  return state().appActive.load();
}

bool APMAnalytics::hasAppActiveOwner() {
  auto all = collaborators();
  return std::any_of(all->begin(), all->end(), [](const auto& each) { return each->isAppActive().has_value(); });
}
bool APMIsAppActive() { return APMAnalytics::isAppActive(); }

// MARK: - User properties

namespace {

// About what a user-property change holds while it waits among the events (its closure and the
// property), for the room it takes.
constexpr size_t kQueuedUserPropertyOverheadBytes = 256;

size_t queuedUserPropertyBytes(const APMUserAttribute& attribute) {
  const APMValue& value = attribute.value();
  return kQueuedUserPropertyOverheadBytes + attribute.name().size() + attribute.origin().size() +
         (value.isString() ? value.stringValue().size() : 0);
}

void setPersonalizedAdsOnSerialQueue(const platform::Object& value) {
  if (!APMAnalyticsCollection::isAnalyticsCollectionEnabled()) {
    APMLog(APMLogLevel::kDebug, APMAnalyticsLogCode::kPersonalizedAdsPropertyChangedWhileAnalytics,
           "Personalized Ads property changed while Analytics is disabled");
  }
  auto persisted = APMPersistedConfig::sharedInstance();
  if (value.isNull()) {
    if (persisted) persisted->setAllowPersonalizedAds(std::nullopt);
    if (APMConsentSettingsUtil::adPersonalization()) APMConsentSettingsUtil::unsetAdPersonalization();
  } else if (persisted) {
    persisted->setAllowPersonalizedAds(value.boolValue());
  }
  if (!APMAnalyticsCollection::isAnalyticsCollectionEnabled()) return;
  auto measurement = engine();
  if (!measurement) return;
  auto npa = measurement->userProperties().shouldDisableAdPersonalization();
  auto attribute = std::make_shared<APMUserAttribute>(APMAnalytics::kOriginAuto,
                                                      APMAnalytics::kNonPersonalizedAdsPropertyName,
                                                      APMValue(npa.value_or(0)), platform::now());
  if (npa) {
    measurement->userProperties().setUserAttribute(attribute);
  } else {
    measurement->userProperties().removeUserAttribute(attribute);
  }
}

}  // namespace

void APMAnalytics::setUserPropertyString(const platform::Object& value, const std::string& name) {
  if (name == kAllowPersonalizedAdsName) {
    APMAnalyticsOperationQueue::queueOperationWithBlock([value] { setPersonalizedAdsOnSerialQueue(value); });
    return;
  }
  if (value.isNull()) {
    removeUserAttributeForName(name);
    return;
  }
  int failure = 0;
  if (!APMDataTypeValidator::isValidPublicUserAttributeName(name, &failure)) {
    logRefusedName(failure == kAPMValidationReserved, kAPMErrorEventReservedUserPropertyName,
                   kAPMErrorEventInvalidUserPropertyName, name, APMDataTypeValidator::kMaxUserAttributeNameLength);
    return;
  }
  if (!value.isString()) {
    APMLog(APMLogLevel::kError, APMAnalyticsLogCode::kUserPropertyMustNSString, "User property must be NSString. Value",
           value.description());
    return;
  }
  APMValue wrapped(value.stringValue());
  if (APMDataTypeValidator::isValidPublicUserAttributeValue(wrapped, &failure)) {
    sharedInstance().setInternalUserProperty(value, name, kOriginApp);
  } else if (failure == kAPMValidationTooLong) {
    APMLogErrorEventForName(kAPMErrorEventUserPropertyValueTooLong, name,
                            APMDataTypeValidator::kMaxUserAttributeNameLength, value);
  }
}

void APMAnalytics::setUserID(const platform::Object& userID) {
  if (userID.isNull()) {
    removeInternalUserAttributeForName(kUserIDPropertyName);
    removeInternalUserAttributeForName(kLastAdvertisingIDResetPropertyName);
  } else if (userID.isString()) {
    sharedInstance().setInternalUserProperty(userID, kUserIDPropertyName, kOriginApp);
  } else {
    APMLog(APMLogLevel::kError, APMAnalyticsLogCode::kUserIDMustNSString, "User ID must be NSString. User ID",
           userID.description());
  }
}

void APMAnalytics::removeUserAttributeForName(const std::string& name) {
  int failure = 0;
  if (!APMDataTypeValidator::isValidPublicUserAttributeName(name, &failure)) return;
  removeInternalUserAttributeForName(name);
}

void APMAnalytics::removeInternalUserAttributeForName(const std::string& name) {
  auto attribute = std::make_shared<APMUserAttribute>("", name, APMValue(0.0), platform::now());
  const size_t bytes = queuedUserPropertyBytes(*attribute);
  APMAnalyticsOperationQueue::waitForEventRoom(bytes);
  APMAnalyticsOperationQueue::queueOperationAmongEvents([attribute] {
    if (auto measurement = engine()) measurement->userProperties().removeUserAttribute(attribute);
  }, bytes);
}

void APMAnalytics::setUserAttributeNumber(const platform::Object& value, const std::string& name) {
  int failure = 0;
  if (!APMDataTypeValidator::isValidPublicUserAttributeName(name, &failure)) {
    logRefusedName(failure == kAPMValidationReserved, kAPMErrorEventReservedUserPropertyName,
                   kAPMErrorEventInvalidUserPropertyName, name, APMDataTypeValidator::kMaxUserAttributeNameLength);
    return;
  }
  if (!value.isNumber()) return;
  platform::Object number = value.isDouble() ? platform::Object(value.doubleValue()) : platform::Object(value.integerValue());
  sharedInstance().setInternalUserProperty(number, name, kOriginAuto);
}

void APMAnalytics::userPropertiesIncludingInternal(bool includingInternal,
                                                   std::shared_ptr<platform::DispatchQueue> queue,
                                                   UserPropertiesCallback callback) {
  APMAnalyticsOperationQueue::queueOperationWithBlock([includingInternal, queue, callback] {
    if (!callback) {
      APMLog(APMLogLevel::kErrorSampledOnly, APMAnalyticsLogCode::kAnalyticsUserPropertiesCallbackCannotNil,
             "Analytics userProperties callback cannot be nil");
      return;
    }
    if (!queue) {
      APMLog(APMLogLevel::kErrorSampledOnly, APMAnalyticsLogCode::kCannotQueryAnalyticsUserProperties,
             "Cannot query for Analytics user properties. Queue cannot be nil");
      platform::DispatchQueue::main()->async([callback] { callback({}); });
      return;
    }
    auto measurement = engine();
    if (!APMAnalyticsCollection::isAnalyticsCollectionEnabled() || !measurement) {
      if (!APMAnalyticsCollection::isAnalyticsCollectionEnabled()) {
        APMLog(APMLogLevel::kWarningSampledOnly, APMAnalyticsLogCode::kCannotQueryPublicUserPropertiesWhen,
               "Cannot query for public user properties when Analytics is disabled");
      }
      queue->async([callback] { callback({}); });
      return;
    }
    measurement->userProperties().userPropertiesIncludingInternal(includingInternal, [queue, callback](platform::Dictionary result) {
      queue->async([callback, result = std::move(result)] { callback(result); });
    });
  });
}

// MARK: - Switches and queries

void APMAnalytics::setSessionTimeoutInterval(double seconds) {
  APMAnalyticsOperationQueue::dispatchAsyncOnSerialQueue([seconds] {
    if (seconds < 0) {
      APMLog(APMLogLevel::kWarningSampled, APMAnalyticsLogCode::kSessionTimeoutIntervalCannotSetNegative,
             "Session timeout interval cannot be set to a negative value");
      return;
    }
    auto measurement = engine();
    if (measurement && measurement->didInitializeComponents()) {
      measurement->setSessionTimeoutInterval(seconds);
    } else if (auto persisted = APMPersistedConfig::sharedInstance()) {
      persisted->setSessionTimeoutValue(seconds);
    }
    APMLog(APMLogLevel::kDebug, APMAnalyticsLogCode::kSessionTimeoutIntervalSet, "Session timeout interval set. (s)",
           seconds);
  });
}

void APMAnalytics::sessionIDWithCompletion(SessionIDCompletion completion) {
  if (!completion) {
    APMLog(APMLogLevel::kErrorSampled, APMAnalyticsLogCode::kAnalyticsSessionIDCompletionCannotNil,
           "Analytics sessionID completion cannot be nil");
    return;
  }
  APMAnalyticsOperationQueue::dispatchAsyncOnSerialQueue([completion] {
    auto measurement = engine();
    auto callbacks = APMAnalyticsOperationQueue::callbackQueue();
    if (measurement && measurement->didInitializeComponents()) {
      measurement->sessionIDWithCompletion([completion, callbacks](int64_t id, std::optional<platform::Error> error) {
        callbacks->async([completion, id, error] { completion(id, error); });
      });
      return;
    }
    callbacks->async([completion] { completion(0, APMError::apm_errorWithCode(13, "Analytics uninitialized")); });
  });
}

std::optional<std::string> APMAnalytics::appInstanceID() {
  if (APMConsentSettingsUtil::isAnalyticsStorageDenied()) return std::nullopt;
  if (auto afterReset = APMAnalyticsSuite::appInstanceIDAfterReset(); afterReset && !afterReset->empty()) return afterReset;
  auto identity = APMIdentity::sharedInstance();
  return identity ? identity->appInstanceID() : std::nullopt;
}

void APMAnalytics::setUserData(const platform::Dictionary& userData) {
  APMAnalyticsOperationQueue::queueOperationWithBlockThenWait([userData] {
    if (!APMAnalyticsCollection::isAnalyticsCollectionEnabled()) {
      APMLog(APMLogLevel::kWarningSampled, APMAnalyticsLogCode::kAnalyticsDisabled,
             "Analytics is disabled. User data not set.");
      return;
    }
    if (auto measurement = engine()) measurement->setUserData(userData);
  });
}

void APMAnalytics::setDefaultEventParameters(const std::optional<platform::Dictionary>& parameters) {
  std::optional<platform::Dictionary> shallow;
  if (parameters) shallow = APMParametersWithinStorableNesting(*parameters);
  APMAnalyticsOperationQueue::queueOperationWithBlock([parameters = std::move(shallow)] {
    if (auto measurement = engine()) measurement->userProperties().setDefaultEventParameters(parameters);
  });
}

void APMAnalytics::handleOpenURL(const std::string& url) {
  double now = platform::now();
  for (const auto& each : *collaborators()) each->handleSSTGDebugModeWithURL(url);
  APMAnalyticsOperationQueue::dispatchAsyncOnSerialQueue([url, now] {
    auto engine = startedEngineContext();
    for (const auto& each : *collaborators()) each->handleNonFirstOpenEventURL(engine, url, now);
    if (auto listener = APMAnalyticsListeners::openURLListener()) listener(url);
  });
}

void APMAnalytics::handleUserActivity(const std::string& activityType, const std::string& webpageURL) {
  double now = platform::now();
  APMAnalyticsOperationQueue::dispatchAsyncOnSerialQueue([activityType, webpageURL, now] {
    auto links = collaborators();
    std::optional<std::string> url;
    for (auto each = links->begin(); each != links->end() && !url; ++each) {
      url = (*each)->deepLinkFromUserActivity(activityType, webpageURL);
    }
    if (!url || url->empty()) return;
    auto engine = startedEngineContext();
    for (const auto& each : *links) each->handleNonFirstOpenEventURL(engine, *url, now);
  });
}

void APMAnalytics::handleEventsForBackgroundURLSession(const std::string& sessionID, std::function<void()> completion) {
  VIZUzedaru::handleEventsForBackgroundURLSessionID(sessionID, std::move(completion));
}

namespace {
// Receives nothing on this platform; registered so the proxy keeps the measurement side in its list.
class APMAppDelegateInterceptor : public NSApplicationDelegate {
 public:
  static const std::shared_ptr<APMAppDelegateInterceptor>& sharedInstance() {
    // Never destroyed: the SDK's threads may read it until the process has ended.
    static const auto& instance = *new std::shared_ptr<APMAppDelegateInterceptor>(std::make_shared<APMAppDelegateInterceptor>());
    return instance;
  }
};
}  // namespace

void APMAnalytics::createAppDelegateProxy() {
  static std::once_flag once;
  std::call_once(once, [] {
    DODOvaRudodazuVedevoro::proxyOriginalDelegate();
    DODOvaRudodazuVedevoro::registerAppDelegateInterceptor(APMAppDelegateInterceptor::sharedInstance());
  });
}

void APMAnalytics::maybeEnableTagRuntime() {
  if (!platform::ClassRegistry::exists(kTagRuntimeClassName)) return;
  std::any product = platform::ClassRegistry::create(kTagRuntimeClassName);
  if (auto* initialize = std::any_cast<std::function<void()>>(&product); initialize && *initialize) {
    (*initialize)();
    return;
  }
  APMLog(APMLogLevel::kErrorSampledOnly, APMAnalyticsLogCode::kTagRuntimeWithoutSharedInstance,
         "TAGRuntime class doesn't define initializeSharedInstance");
}

void APMAnalytics::resetAnalyticsData() {
  setLoadTimestamp(platform::now());
  APMAnalyticsSuite::userDefaults().setInteger(APMAnalyticsSuite::resetRetryCount() + 1, APMAnalyticsSuite::kResetRetryCountKey);
  APMAnalyticsSuite::setNeedFirstOpenAfterReset(true);
  std::string appInstanceID = APMIdentity::randomAppInstanceID();
  if (appInstanceID.empty()) {
    APMLog(APMLogLevel::kErrorSampled, APMAnalyticsLogCode::kCannotGenerateNewAppInstanceID,
           "Cannot generate a new app instance ID");
    return;
  }
  if (APMConsentSettingsUtil::isAnalyticsStorageDenied()) {
    appInstanceID.clear();
  } else {
    APMAnalyticsSuite::setAppInstanceIDAfterReset(appInstanceID);
  }
  // Queued: the reset waits for the worker queue on the serial queue, never on the caller's thread,
  // so a caller on the worker queue itself cannot deadlock.
  APMAnalyticsOperationQueue::queueOperationWithBlock([appInstanceID] {
    auto measurement = engine();
    if (!measurement || !measurement->resetAnalyticsDataWithAppInstanceID(appInstanceID)) {
      APMLog(APMLogLevel::kErrorSampled, APMAnalyticsLogCode::kFailedResetAnalyticsData,
             "Failed to reset Analytics data");
      return;
    }
    APMAnalyticsSuite::setResetRetryCount(0);
    if (APMAnalyticsSuite::appInstanceIDAfterReset() == appInstanceID) APMAnalyticsSuite::setAppInstanceIDAfterReset(std::nullopt);
  });
}

// MARK: - Collaborators and tests

std::shared_ptr<APMEngineContext> APMAnalytics::startedEngineContext() {
  auto& front = state();
  std::lock_guard<std::mutex> lock(front.startedEngineMutex);
  return front.startedEngine;
}

void APMAnalytics::setCollaborators(APMFrontCollaboratorList collaborators) {
  std::erase(collaborators, nullptr);
  auto replacement = std::make_shared<const APMFrontCollaboratorList>(std::move(collaborators));
  auto& front = state();
  std::lock_guard<std::mutex> lock(front.collaboratorsMutex);
  front.collaborators = std::move(replacement);
}

void APMAnalytics::resetForTesting() {
  auto& front = state();
  APMAnalyticsOperationQueue::resetForTesting();
  APMAnalyticsOperationQueue::queue()->sync([] { APMAnalyticsListeners::resetOnSerialQueue(); });
  APMAnalyticsCollection::resetForTesting();
  front.started = false;
  front.appActive = kActiveAtLaunch;
  setCurrentScreenParameters({});
  setCollaborators(APMMakeFrontCollaborators());
  setStartedEngineContext(nullptr);
  setLoadTimestamp(platform::now());
  APMSetAnalyticsHooks({});
  installInternalEventLogger();
}

// MARK: - Shared instance

APMAnalytics& APMAnalytics::sharedInstance() {
  static APMAnalytics* instance = new APMAnalytics();
  return *instance;
}

void APMAnalytics::logInternalEvent(const std::string& origin, const std::string& name,
                                    platform::Dictionary parameters) {
  if (origin == kOriginAdExposure) {
    auto it = parameters.find("_aeid");
    if (it != parameters.end() && it->second.isString()) {
      const std::string& text = it->second.stringValue();
      std::optional<int64_t> number;
      if (APMIsDecimalString(text)) {
        try {
          number = static_cast<int64_t>(std::stoll(text));
        } catch (const std::exception&) {
          number.reset();  // out of the 64-bit range: kept as text
        }
      }
      if (number) {
        it->second = platform::Object(*number);
      } else {
        APMLog(APMLogLevel::kErrorSampledOnly, APMAnalyticsLogCode::kAdEventIDStringNotNumber,
               "AdEvent ID string is not a number");
      }
    }
  }
  logInternalEventWithOrigin(origin, name, std::move(parameters));
}

void APMAnalytics::setInternalUserProperty(const platform::Object& value, const std::string& name,
                                           const std::string& origin) {
  int failure = 0;
  if (!APMDataTypeValidator::isValidInternalUserAttributeName(name, &failure)) {
    APMLogErrorEventForName(kAPMErrorEventInvalidUserPropertyName, name,
                            APMDataTypeValidator::kMaxUserAttributeNameLength, platform::Object(name));
    return;
  }
  if (origin.empty() || origin.size() > APMDataTypeValidator::kMaxOriginLength) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMAnalyticsLogCode::kUnableSetUserProperty,
           "Unable to set user property. Origin is invalid. Origin, name", origin, name);
    return;
  }
  if (value.isNull()) {
    removeInternalUserAttributeForName(name);
    return;
  }
  auto apmValue = APMValue::valueFromObject(value);
  if (!apmValue) return;
  if (APMDataTypeValidator::isValidInternalUserAttributeValue(*apmValue, name, &failure)) {
    auto attribute = std::make_shared<APMUserAttribute>(origin, name, *apmValue, platform::now());
    const size_t bytes = queuedUserPropertyBytes(*attribute);
    APMAnalyticsOperationQueue::waitForEventRoom(bytes);
    APMAnalyticsOperationQueue::queueOperationAmongEvents([attribute] {
      if (auto measurement = engine()) measurement->userProperties().setUserAttribute(attribute);
    }, bytes);
    return;
  }
  if (failure != kAPMValidationTooLong) return;
  platform::Object shown = apmValue->isString()  ? platform::Object(apmValue->stringValue())
                           : apmValue->isInt64() ? platform::Object(std::to_string(apmValue->int64Value()))
                           : apmValue->isDouble() ? platform::Object(apmValue->description())
                                                  : platform::Object();
  APMLogErrorEventForName(kAPMErrorEventUserPropertyValueTooLong, name, APMDataTypeValidator::kMaxUserAttributeNameLength,
                          shown);
}

void APMAnalytics::maxUserPropertiesForOrigin(const std::string& origin, std::shared_ptr<platform::DispatchQueue> queue,
                                              std::function<void(int64_t)> callback) {
  if (origin.empty()) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMAnalyticsLogCode::kCannotQueryAnalyticsMaxUserProperties,
           "Cannot query Analytics for max user properties. Origin must be a non-empty string");
    return;
  }
  if (!queue) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMAnalyticsLogCode::kCannotQueryAnalyticsMaxUserPropertiesQueue,
           "Cannot query Analytics for max user properties. Queue cannot be nil. Origin", origin);
    return;
  }
  if (!callback) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMAnalyticsLogCode::kNilMaxUserPropertiesCallback,
           "Cannot query Analytics for max user properties. MaxUserProperties callback cannot be nil. Origin", origin);
    return;
  }
  // Without an engine the answer is the fixed per-origin limit, given at once rather than held
  // behind a start that may never come.
  if (!APMEngineRegistry::hasSharedInstance()) {
    queue->async([callback] { callback(kMaxUserPropertiesPerOrigin); });
    return;
  }
  APMAnalyticsOperationQueue::queueOperationWithBlock([origin, queue, callback] {
    auto measurement = engine();
    if (!measurement) {
      queue->async([callback] { callback(kMaxUserPropertiesPerOrigin); });
      return;
    }
    measurement->userProperties().maxUserPropertiesForOrigin(origin, [queue, callback](int64_t limit) {
      queue->async([callback, limit] { callback(limit); });
    });
  });
}
