#include "APMDeepLinkReporter.h"

#include <exception>
#include <mutex>
#include <utility>

#include "APMCampaignParameters.h"
#include "APMDeferredDeepLink.h"
#include "APMEvent.h"
#include "APMMeasurement.h"
#include "APMEngineRegistry.h"
#include "APMPBMessages.h"
#include "APMPersistedConfig.h"
#include "APMStoredDeepLink.h"
#include "APMUserAttribute.h"
#include "Consent/APMConsentSettingsUtil.h"
#include "DirodaUtilities/Network/VIZUzedaru.h"
#include "DirodaZovAridozovori/Core/Utilities/APMAEU.h"
#include "DirodaZovAridozovori/Core/Utilities/APMNumericUtil.h"
#include "DirodaZovAridozovori/Core/Utilities/APMQueryString.h"
#include "DirodaZovAridozovori/Core/Utilities/APMServiceEndpoint.h"
#include "Front/APMAnalytics.h"
#include "Identity/APMIdentity.h"
#include "RemoteConfig/APMRemoteConfig.h"
#include "platform/Bundle.h"
#include "platform/Clock.h"
#include "platform/DispatchQueue.h"
#include "platform/ProcessInfo.h"
#include "platform/URL.h"
#include "platform/UserDefaults.h"
#include "platform/UserDefaultsRegistry.h"
#include "DirodaZovAridozovori/Engine/APMMeasurementLog.h"
#include "DirodaZovAridozovori/Engine/DeepLink/APMDeepLinkLog.h"

namespace {

constexpr const char* kOriginAuto = "auto";
constexpr const char* kZbraidPropertyName = "_zbraid";

APMServiceEndpoint& adServices() {
  static APMServiceEndpoint* endpoint = new APMServiceEndpoint("adservices.measurement.invalid");
  return *endpoint;
}

// The host's taker of deferred deep links.
struct HandlerHolder {
  std::mutex mutex;
  APMDeepLinkReporter::DeferredDeepLinkHandler handler;
};

HandlerHolder& deferredDeepLinkHandler() {
  static HandlerHolder* holder = new HandlerHolder();
  return *holder;
}

std::shared_ptr<APMMonitor> log() { return APMMonitor::shared(); }

std::optional<std::string> queryOf(const std::string& url) {
  auto parsed = platform::URL::parse(url);
  return parsed ? parsed->query() : std::nullopt;
}

APMMonitorContext errorContext(const std::optional<platform::Error>& error) {
  return error ? APMMonitorContext(*error) : APMMonitorContext();
}

bool isRetrievalStatus(long status) { return status == 200 || status == 204 || status == 304; }

void handleDeferredDeepLinkReply(APMEngineContext& engine, const std::optional<platform::HttpResponse>& response,
                                 const platform::Data& data, const std::optional<platform::Error>& error) {
  const long status = response ? response->statusCode : 0;
  const auto& persisted = engine.persistedConfig();
  if (!error && isRetrievalStatus(status)) {
    // Any answer ends the retrieval for good, with or without a link.
    persisted->attribution().setDeferredDeepLinkRetrievalComplete(false);
    if (auto info = deepLinkInfoFromResponseData(data)) {
      APMLog(APMLogLevel::kDebug, APMDeepLinkLogCode::kSuccessfullyRetrievedDeferredDeepLink, "Successfully retrieved Deferred Deep Link");
      APMDeepLinkReporter::handleDeferredDeepLinkInfo(*info);
    }
  } else {
    APMLog(APMLogLevel::kErrorSampled, APMDeepLinkLogCode::kFailedRetrieveDeferredDeepLinkRetryNext, "Failed to retrieve Deferred Deep Link. Will retry on next launch. Code, error",
                        static_cast<int64_t>(status), errorContext(error));
    persisted->attribution().setDeferredDeepLinkRetryCount(persisted->attribution().deferredDeepLinkRetryCount() + 1);
  }
  // The request may have taken the place of an upload attempt (after a fetch, or refused while it
  // was in flight): the upload timer must not stay idle.
  engine.updateSchedule();
}

}  // namespace

// MARK: - Deployment

void APMDeepLinkReporter::setAdServicesHost(const std::string& host) { adServices().setHost(host); }
std::string APMDeepLinkReporter::adServicesHost() { return adServices().host(); }
void APMDeepLinkReporter::setAdServicesScheme(const std::string& scheme) { adServices().setScheme(scheme); }
std::string APMDeepLinkReporter::adServicesScheme() { return adServices().scheme(); }

void APMDeepLinkReporter::setDeferredDeepLinkHandler(DeferredDeepLinkHandler handler) {
  std::lock_guard<std::mutex> lock(deferredDeepLinkHandler().mutex);
  deferredDeepLinkHandler().handler = std::move(handler);
}

void APMDeepLinkReporter::resetForTesting() {
  adServices().reset();
  setDeferredDeepLinkHandler(nullptr);
}

// MARK: - Front collaborator

void APMDeepLinkCollaborator::handleSSTGDebugModeWithURL(const std::string& url) {
  APMDeepLinkReporter::handleSSTGDebugModeWithURL(url);
}

void APMDeepLinkCollaborator::handleNonFirstOpenEventURL(const std::shared_ptr<APMEngineContext>& engine,
                                                         const std::string& url, double timestamp) {
  APMDeepLinkReporter::handleNonFirstOpenEventURL(engine, url, timestamp);
}

std::optional<std::string> APMDeepLinkCollaborator::deepLinkFromUserActivity(const std::string& activityType,
                                                                             const std::string& webpageURL) {
  return APMDeepLinkReporter::deepLinkFromUserActivity(activityType, webpageURL);
}

// MARK: - Component

void APMDeepLinkComponent::applicationDidFinishLaunching(const platform::LaunchOptions& launchOptions) {
  APMDeepLinkReporter::handleStoredURLAfterAppLaunchWithNotification(launchOptions);
}

void APMDeepLinkComponent::firstOpenWasReported(int64_t firstOpenMillis) {
  // The launching link counts from just before the first open.
  reportStoredCampaignEvent(firstOpenMillis - 1);
}

void APMDeepLinkComponent::startUpDidReportFirstOpen() {
  if (APMStoredDeepLink(*platform::UserDefaultsRegistry::standard())) {
    reportStoredCampaignEvent(std::nullopt);
    return;
  }
  if (!shouldAllowRequestDeferredDeepLink()) return;
  // An expired configuration may have turned the feature off: the request waits for the fetch.
  if (engine_->remoteConfig()->message().isExpired()) {
    requestAfterFetch_ = true;
    return;
  }
  requestDeferredDeepLink();
}

bool APMDeepLinkComponent::configurationFetchDidSucceed() {
  if (!std::exchange(requestAfterFetch_, false)) return false;
  requestDeferredDeepLink();
  return true;
}

void APMDeepLinkComponent::collectionDidSwitch(bool enabled) {
  if (enabled) return;
  auto config = engine_->remoteConfig();
  const double ttl = (config ? config : APMRemoteConfig::defaultInstance())->reporters().attributionCacheTTLInterval();
  expireStoredDeepLink(*platform::UserDefaultsRegistry::standard(), ttl);
}

void APMDeepLinkComponent::reportStoredCampaignEvent(std::optional<int64_t> clickTimestampMillis) {
  APMDeepLinkReporter::reportStoredCampaignEventOnWorkerQueue(*engine_, clickTimestampMillis);
}

bool APMDeepLinkComponent::shouldAllowRequestDeferredDeepLink() {
  return APMDeepLinkReporter::shouldAllowRequestDeferredDeepLink(*engine_);
}

void APMDeepLinkComponent::requestDeferredDeepLink() { APMDeepLinkReporter::requestDeferredDeepLink(engine_); }

// MARK: - Class level

std::optional<std::string> APMDeepLinkReporter::deepLinkFromUserActivity(const std::string& activityType,
                                                                         const std::string& webpageURL) {
  if (activityType.empty() && webpageURL.empty()) {
    APMLog(APMLogLevel::kDebug, APMDeepLinkLogCode::kUserActivityEmpty, "User Activity is empty. User Activity");
    return std::nullopt;
  }
  if (activityType == platform::kUserActivityTypeBrowsingWeb && !webpageURL.empty()) return webpageURL;
  APMLog(APMLogLevel::kWarning, APMDeepLinkLogCode::kUserActivityDoesNotHaveDeep, "User Activity does not have Deep Link. User Activity",
                      platform::Object(platform::Dictionary{{platform::kUserActivityTypeKey, activityType},
                                                            {platform::kUserActivityWebpageURLKey, webpageURL}}));
  return std::nullopt;
}

void APMDeepLinkReporter::handleStoredURLAfterAppLaunchWithNotification(const platform::LaunchOptions& launchOptions) {
  auto defaults = platform::UserDefaultsRegistry::standard();
  bool stored = false;
  if (launchOptions.userActivity) {
    const auto& activity = *launchOptions.userActivity;
    if (auto link = deepLinkFromUserActivity(activity.activityType, activity.webpageURL)) {
      storeDeepLink(*defaults, *link);
      stored = true;
    }
  }
  if (!launchOptions.url || launchOptions.url->empty()) return;
  if (!stored) storeDeepLink(*defaults, *launchOptions.url);
  handleSSTGDebugModeWithURL(*launchOptions.url);
}

void APMDeepLinkReporter::handleSSTGDebugModeWithURL(const std::string& url) {
  platform::Dictionary arguments = apm_dictionaryWithHttpArgumentsString(queryOf(url).value_or(""));
  if (arguments.empty()) return;
  const platform::Object* enable = platform::find(arguments, "sstg_debug_enable");
  if (!enable || !enable->isString()) return;
  if (enable->stringValue() == "1") {
    log()->setSSTGDebugModeEnabled(true);
    const platform::Object* key = platform::find(arguments, "sstg_preview_key");
    if (key && key->isString() && !key->stringValue().empty()) {
      APMEngineRegistry::setSSTGPreviewHeaders(platform::Dictionary{{kPreviewHeaderName, key->stringValue()}});
    } else {
      APMEngineRegistry::setSSTGPreviewHeaders(std::nullopt);
    }
  } else if (enable->stringValue() == "0") {
    log()->setSSTGDebugModeEnabled(false);
    APMEngineRegistry::setSSTGPreviewHeaders(std::nullopt);
  }
}

// MARK: - Opened links

void APMDeepLinkReporter::handleNonFirstOpenEventURL(const std::shared_ptr<APMEngineContext>& engine,
                                                     const std::string& url, double eventTimestampInSeconds) {
  // The hop to the worker queue below would otherwise wait behind the caller itself.
  if (engine && engine->workerQueue()->isCurrent()) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMDeepLinkLogCode::kDoNotCallHandleNonFirstOpenOpenURLMeasurementWorker, "Do not call handleNonFirstOpenOpenURL on the measurement worker queue");
    return;
  }
  handleOpenURL(engine, url, std::nullopt, eventTimestampInSeconds);
}

void APMDeepLinkReporter::handleOpenURL(const std::shared_ptr<APMEngineContext>& engine, const std::string& url,
                                        std::optional<int64_t> clickTimestampInMs, double eventTimestampInSeconds) {
  if (!engine || url.empty()) return;
  handleDeepLink(engine, url, clickTimestampInMs, eventTimestampInSeconds);
}

void APMDeepLinkReporter::handleDeepLink(const std::shared_ptr<APMEngineContext>& engine, const std::string& url,
                                         std::optional<int64_t> clickTimestampInMs, double eventTimestampInSeconds) {
  std::weak_ptr<APMEngineContext> weakEngine = engine;
  engine->schedule(
      kOpenURLBlockID, [weakEngine, url, clickTimestampInMs, eventTimestampInSeconds] {
        if (auto self = weakEngine.lock()) {
          handleOpenURLOnWorkerQueue(*self, url, clickTimestampInMs, eventTimestampInSeconds, std::nullopt);
        }
      });
}

void APMDeepLinkReporter::handleOpenURLOnWorkerQueue(APMEngineContext& engine, const std::string& url,
                                                     std::optional<int64_t> clickTimestampInMs,
                                                     double eventTimestampInSeconds,
                                                     const std::optional<platform::Dictionary>& extraParameters) {
  if (!engine.checkWorkerQueue("handleOpenURLOnWorkerQueue:clickTimestampInMs:eventTimestampInSeconds:"
                               "extraParameters:")) {
    return;
  }
  // With collection off a link leaves nothing behind: no identifiers kept, no property set.
  if (!engine.isEnabled() || !engine.database() || !engine.remoteConfig()) {
    APMLog(APMLogLevel::kDebug, APMMeasurementLogCode::kAnalyticsDisabled, "Analytics is disabled. Event not logged");
    return;
  }

  const APMCampaignExtraParameters extra = APMSplitCampaignExtraParameters(extraParameters);
  platform::Dictionary parameters = APMCampaignURLParameters(queryOf(url), extra.strings);
  if (parameters.empty()) {
    APMLog(APMLogLevel::kDebug, APMDeepLinkLogCode::kDeepLinkWebURLQueryEmpty, "Deep Link Web URL query is empty");
    return;
  }
  if (!isValidCampaignURLParamDictionary(parameters)) {
    APMLog(APMLogLevel::kWarning, APMDeepLinkLogCode::kDeepLinkDoesNotContainValid, "Deep Link does not contain valid required params. URL params",
                          platform::Object(parameters));
    return;
  }

  const auto& persisted = engine.persistedConfig();
  APMCampaignEventInput input;
  input.urlParameters = std::move(parameters);
  input.numberParameters = extra.numbers;
  input.clickTimestampMillis = clickTimestampInMs;
  input.eventTimestamp = eventTimestampInSeconds;
  input.firstOpenTimestamp = static_cast<double>(persisted->attribution().firstOpenTimestampMilliseconds()) / 1000.0;
  input.allowClickID = engine.identity() && shouldAllowClickID(*engine.identity());
  APMCampaignEvent campaign = APMCampaignEventFromParameters(input);

  if (campaign.adCampaignInfo) persisted->attribution().setAdCampaignInfoBuffer(campaign.adCampaignInfo->protoBuffer());
  if (campaign.zbraid) {
    engine.setUserProperty(
        APMUserAttribute(kOriginAuto, kZbraidPropertyName, APMValue(*campaign.zbraid), campaign.timestamp));
  }
  auto event = APMEvent::create(kOriginAuto, false, campaign.name, campaign.timestamp, 0, campaign.parameters);
  // The engine's internal road tells the event listeners itself.
  if (event) engine.handleInternalEvent(event);
}

void APMDeepLinkReporter::reportStoredCampaignEventOnWorkerQueue(APMEngineContext& engine,
                                                                 std::optional<int64_t> clickTimestampInMs) {
  auto defaults = platform::UserDefaultsRegistry::standard();
  auto link = APMStoredDeepLink(*defaults);
  if (!link) return;
  const auto stored = APMStoredDeepLinkTimestamp(*defaults);
  const double ttl = engine.remoteConfig()->reporters().attributionCacheTTLInterval();
  // A link without its time cannot be shown to lie inside the attribution window.
  const bool expired = !stored || APMIsStoredDeepLinkOlderThan(*defaults, ttl);
  std::string url = *link;
  platform::Dictionary extra;
  if (expired) {
    url = kNotSet;
    extra = {{"utm_source", kNotSet}, {"utm_medium", kNotSet}, {"_cc", 1}};
  } else {
    extra = {{"_cc", static_cast<long long>(previousHourStartMillis(APMMillisecondsFromSeconds(*stored)))}};
  }
  removeStoredDeepLink(*defaults);
  handleOpenURLOnWorkerQueue(engine, url, clickTimestampInMs, stored.value_or(platform::now()), extra);
}

bool APMDeepLinkReporter::shouldAllowClickID(APMIdentity& identity) {
  if (!APMApplicationIdentity::iOS14OrAbove()) return true;
  auto deviceID = identity.resettableDeviceID();
  if (deviceID && !deviceID->empty()) return true;
  return identity.appleConsentStatus() == APMIdentity::kConsentStatusAuthorized;
}

// MARK: - Deferred deep link

bool APMDeepLinkReporter::shouldAllowRequestDeferredDeepLink(APMEngineContext& engine) {
  const auto& config = engine.remoteConfig();
  const auto& persisted = engine.persistedConfig();
  if (!config || !config->features().isDeferredDeepLinkEnabled()) {
    APMLog(APMLogLevel::kWarningSampledOnly, APMDeepLinkLogCode::kDeferredDeepLinkFeatureDisabled, "Deferred Deep Link feature disabled");
    return false;
  }
  const platform::Object enabled = platform::Bundle::objectForInfoDictionaryKey(kAPMDeferredDeepLinkEnabledKey);
  if (!enabled.isNumber() || !enabled.boolValue()) return false;
  if (persisted->attribution().deferredDeepLinkRetrievalComplete()) {
    APMLog(APMLogLevel::kDebug, APMDeepLinkLogCode::kAlreadyRetrievedDeferredDeepLink, "Already retrieved Deferred Deep Link. Skipping");
    return false;
  }
  if (persisted->attribution().deferredDeepLinkRetryCount() >= config->reporters().maxDeferredDeepLinkRetryCount()) {
    APMLog(APMLogLevel::kWarningSampledOnly, APMDeepLinkLogCode::kFailedRetrieveDeferredDeepLink, "Failed to retrieve Deferred Deep Link. Reached retry limit");
    persisted->attribution().setDeferredDeepLinkRetrievalComplete(true);
    return false;
  }
  if (APMConsentSettingsUtil::isAdStorageDenied()) {
    APMLog(APMLogLevel::kWarningSampledOnly, APMDeepLinkLogCode::kIDFAUnavailableRetrieveDeferredDeepLinkDue,
                          "IDFA unavailable to retrieve Deferred Deep Link due to denied ad storage consent. Skipping");
    return false;
  }
  const auto& identity = engine.identity();
  if (!identity || !identity->hasLimitedAdTracking() || identity->limitedAdTracking()) {
    APMLog(APMLogLevel::kWarningSampledOnly, APMDeepLinkLogCode::kIDFAUnavailableRetrieveDeferredDeepLink, "IDFA unavailable to retrieve Deferred Deep Link. Skipping");
    return false;
  }
  APMLog(APMLogLevel::kDebug, APMDeepLinkLogCode::kDeferredDeepLinkFeatureEnabled, "Deferred Deep Link feature enabled");
  return true;
}

void APMDeepLinkReporter::requestDeferredDeepLink(const std::shared_ptr<APMEngineContext>& engine) {
  const auto& identity = engine->identity();
  const auto& config = engine->remoteConfig();
  const auto& network = engine->network();
  if (!identity || !config || !network) return;

  APMDeferredDeepLinkRequest request;
  request.sdkVersion = APMIdentity::zovAridozovoriLibraryVersion();
  request.resettableDeviceID = identity->resettableDeviceID().value_or("");
  request.bundleID = identity->application().appID();
  request.retryCount = engine->persistedConfig()->attribution().deferredDeepLinkRetryCount();
  request.testLink = !APMAEU::isFAS() && platform::ProcessInfo::hasArgument(kAPMDeferredDeepLinkDebugArgument);
  request.consentSignals = APMConsentSettingsUtil::consentSignals();
  request.isDMARegion = config->consent().isDMARegion();
  request.adUserDataDenied = APMConsentSettingsUtil::isAdUserDataDenied();
  request.corePlatformServices = config->consent().corePlatformServices();
  request.adPersonalization = APMConsentSettingsUtil::adPersonalization();
  auto url = APMDeferredDeepLinkRequestURL(adServicesScheme(), adServicesHost(), request);
  if (!url) {
    APMLog(APMLogLevel::kWarningSampledOnly, APMDeepLinkLogCode::kURLRetrieveDeferredDeepLinkInvalid, "URL to retrieve Deferred Deep Link is invalid");
    return;
  }

  engine->setIsNetworkRequestPending(true);
  network->setTimeoutInterval(config->network().networkTimeout());
  std::weak_ptr<APMEngineContext> weakEngine = engine;
  network->getURL(url->absoluteString(), {}, engine->workerQueue(), false,
                  [weakEngine](const std::optional<platform::HttpResponse>& response, const platform::Data& data,
                               const std::optional<platform::Error>& error) {
                    auto self = weakEngine.lock();
                    if (!self) return;
                    self->setIsNetworkRequestPending(false);
                    APMScheduler::runGuardedBlockID("APMMeasurement:deferredDeepLink", [&] {
                      handleDeferredDeepLinkReply(*self, response, data, error);
                    });
                  });
}

void APMDeepLinkReporter::handleDeferredDeepLinkInfo(const platform::Dictionary& info) {
  auto url = APMDeferredDeepLinkURL(info);
  if (!url) return;
  APMLog(APMLogLevel::kVerbose, APMDeepLinkLogCode::kSendingDeferredDeepLinkAppDelegate, "Sending Deferred Deep Link to app delegate");
  platform::Dictionary extraInfo;
  if (const platform::Object* timestamp = platform::find(info, "timestamp")) extraInfo["timestamp"] = *timestamp;
  platform::DispatchQueue::main()->async([link = url->absoluteString(), extraInfo] {
    if (sendDeepLinkURLToAppDelegateOnMainThread(link, extraInfo)) return;
    APMLog(APMLogLevel::kWarningSampledOnly, APMDeepLinkLogCode::kAppDelegateNotConfiguredHandleDeferred, "App delegate not configured to handle Deferred Deep Link", link);
  });
}

bool APMDeepLinkReporter::sendDeepLinkURLToAppDelegateOnMainThread(const std::string& url,
                                                                   const platform::Dictionary& extraInfo) {
  DeferredDeepLinkHandler handler;
  {
    std::lock_guard<std::mutex> lock(deferredDeepLinkHandler().mutex);
    handler = deferredDeepLinkHandler().handler;
  }
  return handler && handler(url, extraInfo);
}
