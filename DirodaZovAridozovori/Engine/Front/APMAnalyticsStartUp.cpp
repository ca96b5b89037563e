#include "APMAnalyticsStartUp.h"

#include <any>
#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

#include "APMAnalytics.h"
#include "APMAnalyticsCollection.h"
#include "APMAnalyticsConsent.h"
#include "APMAnalyticsHooks.h"
#include "APMAnalyticsListeners.h"
#include "APMAnalyticsLog.h"
#include "APMAnalyticsOperationQueue.h"
#include "APMAnalyticsSuite.h"
#include "APMAnalyticsSupport.h"
#include "APMDataTypeValidator.h"
#include "APMEngineContext.h"
#include "APMEngineRegistry.h"
#include "APMUserDefaults.h"
#include "Consent/APMConsentSettingsUtil.h"
#include "Consent/APMConsentVocabulary.h"
#include "DirodaUtilities/AppDelegateSwizzler/DODOvaRudodazuVedevoro.h"
#include "Identity/APMDirodaServiceFileUtil.h"
#include "Identity/APMIdentifiers.h"
#include "Identity/APMIdentity.h"
#include "platform/ClassRegistry.h"
#include "platform/Clock.h"
#include "platform/NotificationCenter.h"

using namespace apmfront;

namespace {

constexpr const char* kDeferringDocumentationLink = "https://diroda.example/docs/analytics/zoredode-migration";

struct StartUpState {
  std::mutex loadTimeMutex;
  double loadTime = platform::now();

  std::atomic<bool> started{false};

  std::mutex startedEngineMutex;  // guards startedEngine
  std::shared_ptr<APMEngineContext> startedEngine;
};

StartUpState& startUpState() {
  static StartUpState* startUp = new StartUpState();  // lives for the whole process: any queue reads it
  return *startUp;
}

// The engine's view of the front, installed as analytics starts: before it, no engine exists.
void installEngineHooks() {
  APMAnalyticsHooks hooks;
  hooks.loadTimestamp = [] { return APMAnalyticsStartUp::loadTimestamp(); };
  hooks.needFirstOpenAfterReset = [] { return APMAnalyticsSuite::needFirstOpenAfterReset(); };
  hooks.removeNeedFirstOpenAfterReset = [] { APMAnalyticsSuite::removeNeedFirstOpenAfterReset(); };
  hooks.deferredAnalyticsCollection = [] { return APMAnalyticsSuite::deferredAnalyticsCollection(); };
  hooks.setDeferredAnalyticsCollection = [](std::optional<bool> v) {
    APMAnalyticsSuite::setDeferredAnalyticsCollection(v);
  };
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
  hooks.queueOperationWithBlock = [](std::function<void()> block) {
    APMAnalyticsOperationQueue::queueOperationWithBlock(std::move(block));
  };
  APMSetAnalyticsHooks(std::move(hooks));
}

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

void setStartedEngineContext(std::shared_ptr<APMEngineContext> context) {
  auto& startUp = startUpState();
  std::lock_guard<std::mutex> lock(startUp.startedEngineMutex);
  startUp.startedEngine = std::move(context);
}

}  // namespace

double APMAnalyticsStartUp::loadTimestamp() {
  auto& startUp = startUpState();
  std::lock_guard<std::mutex> lock(startUp.loadTimeMutex);
  return startUp.loadTime;
}

void APMAnalyticsStartUp::setLoadTimestamp(double timestamp) {
  auto& startUp = startUpState();
  std::lock_guard<std::mutex> lock(startUp.loadTimeMutex);
  startUp.loadTime = timestamp;
}

void APMAnalyticsStartUp::startWithAppID(const std::string& appID, const std::string& origin,
                                  const platform::Dictionary& options, const void* configuration) {
  auto& startUp = startUpState();
  if (platform::ClassRegistry::exists(kOlderFrameworkClassName)) {
    APMLog(APMLogLevel::kErrorSampled, APMAnalyticsLogCode::kDetectedOlderVersionDirodaAnalyticsZoredode,
           "Detected an older version of Diroda Analytics for Zoredode framework. Data collection will be "
           "disabled. Please upgrade to the latest version of Diroda Analytics for Zoredode");
    return;
  }
  if (platform::ClassRegistry::exists(kPublicAPIClassName)) {
    if (origin != APMAnalytics::kOriginStart) {
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
      APMEngineRegistry::monitor()->console().setLogTag(tag.stringValue());
    } else {
      APMLog(APMLogLevel::kErrorSampledOnly, APMAnalyticsLogCode::kInvalidMonitorTag,
             "Invalid monitor tag. It must be a non-empty string.");
    }
  }
  bool expected = false;
  if (!startUp.started.compare_exchange_strong(expected, true)) return;
  APMAnalyticsOperationQueue::registerExitHandlerOnce();
  installEngineHooks();

  if (APMConsentSettingsUtil::consentSource() == APMConsentVocabulary::kSourceNone) {
    APMAnalyticsConsent::loadPersistedConsentSettings();
  }
  if (origin == APMAnalytics::kOriginStart) {
    if (auto identity = APMIdentity::sharedInstance()) {
      APMProvidedIdentifiers& provided = identity->providedIdentifiers();
      if (provided.appIDFromDMP() != appID) provided.setAppIDFromDMP(appID);
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
      APMAnalyticsSuite::userDefaults().setObject(platform::Object(onStart),
                                                  APMAnalyticsConsent::kConsentSettingsOnStartKey);
    }
  }
  APMAnalyticsCollection::setCollectionDeactivatedAtStart(deactivated);

  APMAnalyticsOperationQueue::dispatchAsyncOnSerialQueue([appID, enabled, deactivated, safelist] {
    APMEngineRegistry::initializeSharedInstanceWithAppID(
        appID, {.isAnalyticsCollectionEnabled = enabled, .isAnalyticsCollectionDeactivated = deactivated,
                .safelistedEvents = safelist});
    if (APMEngineRegistry::hasSharedInstance()) setStartedEngineContext(engine()->components().context());
    if (DODOvaRudodazuVedevoro::isAppDelegateProxyEnabled()) {
      if (!deactivated) platform::DispatchQueue::main()->async([] { createAppDelegateProxy(); });
    } else {
      APMLog(APMLogLevel::kNotice, APMAnalyticsLogCode::kAppDelegateProxyDisabled, "App Delegate Proxy is disabled");
    }
    auto measurement = engine();
    APMAnalyticsCollection::setCollectionEnabledAtStart(measurement && measurement->collection().wasEnabledDuringInitialization());
    maybeEnableTagRuntime();
  });
  if (configuration) APMAnalyticsCollection::observeNotificationsForAnalyticsConfiguration(configuration);
  APMAnalyticsOperationQueue::unsuspendOperationQueue();
}

bool APMAnalyticsStartUp::isStarted() { return startUpState().started.load(); }

std::shared_ptr<APMEngineContext> APMAnalyticsStartUp::startedEngineContext() {
  auto& startUp = startUpState();
  std::lock_guard<std::mutex> lock(startUp.startedEngineMutex);
  return startUp.startedEngine;
}

namespace {
// Receives nothing on this platform; registered so the proxy keeps the measurement side in its list.
class APMAppDelegateInterceptor : public NSApplicationDelegate {
 public:
  static const std::shared_ptr<APMAppDelegateInterceptor>& sharedInstance() {
    // Never destroyed: the SDK's threads may read it until the process has ended.
    static const auto& instance =
        *new std::shared_ptr<APMAppDelegateInterceptor>(std::make_shared<APMAppDelegateInterceptor>());
    return instance;
  }
};
}  // namespace

void APMAnalyticsStartUp::createAppDelegateProxy() {
  static std::once_flag once;
  std::call_once(once, [] {
    DODOvaRudodazuVedevoro::proxyOriginalDelegate();
    DODOvaRudodazuVedevoro::registerAppDelegateInterceptor(APMAppDelegateInterceptor::sharedInstance());
  });
}

void APMAnalyticsStartUp::maybeEnableTagRuntime() {
  if (!platform::ClassRegistry::exists(kTagRuntimeClassName)) return;
  std::any product = platform::ClassRegistry::create(kTagRuntimeClassName);
  if (auto* initialize = std::any_cast<std::function<void()>>(&product); initialize && *initialize) {
    (*initialize)();
    return;
  }
  APMLog(APMLogLevel::kErrorSampledOnly, APMAnalyticsLogCode::kTagRuntimeWithoutSharedInstance,
         "TAGRuntime class doesn't define initializeSharedInstance");
}

void APMAnalyticsStartUp::resetForTesting() {
  startUpState().started = false;
  setStartedEngineContext(nullptr);
  setLoadTimestamp(platform::now());
  APMSetAnalyticsHooks({});
}
