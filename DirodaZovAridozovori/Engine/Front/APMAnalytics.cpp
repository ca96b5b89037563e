#include "APMAnalytics.h"

#include <algorithm>
#include <mutex>
#include <utility>

#include "APMAnalyticsCollection.h"
#include "APMEngineRegistry.h"
#include "APMEngineSessions.h"
#include "APMEngineEventRoad.h"
#include "APMStartUp.h"
#include "APMFrontCollaborators.h"
#include "APMAnalyticsHooks.h"
#include "APMAnalyticsListeners.h"
#include "APMAnalyticsLog.h"
#include "APMAnalyticsOperationQueue.h"
#include "APMAnalyticsStartUp.h"
#include "APMAnalyticsSuite.h"
#include "APMAnalyticsSupport.h"
#include "APMDataTypeValidator.h"
#include "APMError.h"
#include "APMEventParameters.h"
#include "APMNameTables.h"
#include "APMPersistedConfig.h"
#include "Consent/APMConsentSettingsUtil.h"
#include "DirodaUtilities/Network/VIZUzedaru.h"
#include "Identity/APMIdentity.h"
#include "Utilities/APMNumericUtil.h"
#include "platform/ApplicationNotifications.h"
#include "platform/Clock.h"

using namespace apmfront;

namespace {

// Until its first activation the application does not count as active.
constexpr bool kActiveAtLaunch = false;

struct FrontState {
  // The application has become active: false until the first activation, never cleared (read
  // while no collaborator owns the state).
  std::atomic<bool> appActive{kActiveAtLaunch};

  std::mutex screenMutex;  // guards screenParameters
  std::shared_ptr<const platform::Dictionary> screenParameters;

  std::mutex collaboratorsMutex;  // guards collaborators; replaced whole, so a snapshot stays valid
  std::shared_ptr<const APMFrontCollaboratorList> collaborators =
      std::make_shared<const APMFrontCollaboratorList>(APMMakeFrontCollaborators());
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

std::shared_ptr<const platform::Dictionary> screenSnapshot() {
  auto& front = state();
  std::lock_guard<std::mutex> lock(front.screenMutex);
  return front.screenParameters;
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
                       auto engine = APMAnalyticsStartUp::startedEngineContext();
                       for (const auto& each : *collaborators()) each->applicationDidBecomeActive(engine);
                     });
  center.addObserver(platform::kApplicationWillResignActiveNotification, nullptr, nullptr,
                     [](const platform::Notification&) {
                       auto engine = APMAnalyticsStartUp::startedEngineContext();
                       for (const auto& each : *collaborators()) each->applicationWillResignActive(engine);
                     });
  return true;
}();

}  // namespace

  // The application has become active: false until the first activation, never cleared (read
  // while no collaborator owns the state).
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
  APMAnalyticsOperationQueue::queueEvent(origin, isPublicEvent, name, parameters, std::nullopt, screen);
}

void APMAnalytics::logInternalEventWithOrigin(const std::string& origin, const std::string& name, double timestamp,
                                              const platform::Dictionary& parameters) {
  auto screen = APMHasScreenParameters(parameters) ? nullptr : screenSnapshot();
  APMAnalyticsOperationQueue::queueEvent(origin, false, name, parameters, timestamp, screen);
}

void APMAnalytics::logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                      const platform::Dictionary& parameters, double timestamp,
                                      const APMLogEventOptions& options) {
  APMAnalyticsOperationQueue::queueOperationWithBlock(
      [=, parameters = APMParametersWithinStorableNesting(parameters)]() mutable {
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
  setSharedCurrentScreenParameters(screenParameters.empty()
                                       ? nullptr
                                       : std::make_shared<const platform::Dictionary>(std::move(screenParameters)));
}

void APMAnalytics::setSharedCurrentScreenParameters(std::shared_ptr<const platform::Dictionary> screenParameters) {
  if (screenParameters && screenParameters->empty()) screenParameters = nullptr;
  auto& front = state();
  std::lock_guard<std::mutex> lock(front.screenMutex);
  front.screenParameters = std::move(screenParameters);
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
// MARK: - Switches and queries

void APMAnalytics::setSessionTimeoutInterval(double seconds) {
  APMAnalyticsOperationQueue::dispatchAsyncOnSerialQueue([seconds] {
    if (seconds < 0) {
      APMLog(APMLogLevel::kWarningSampled, APMAnalyticsLogCode::kSessionTimeoutIntervalCannotSetNegative,
             "Session timeout interval cannot be set to a negative value");
      return;
    }
    auto measurement = engine();
    if (measurement && measurement->startUp().didInitializeComponents()) {
      measurement->sessions().setSessionTimeoutInterval(seconds);
    } else if (auto persisted = APMPersistedConfig::sharedInstance()) {
      persisted->session().setSessionTimeoutValue(seconds);
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
    if (measurement && measurement->startUp().didInitializeComponents()) {
      measurement->sessions().sessionIDWithCompletion([completion, callbacks](int64_t id, std::optional<platform::Error> error) {
        callbacks->async([completion, id, error] { completion(id, error); });
      });
      return;
    }
    callbacks->async([completion] { completion(0, APMError::apm_errorWithCode(13, "Analytics uninitialized")); });
  });
}

std::optional<std::string> APMAnalytics::appInstanceID() {
  if (APMConsentSettingsUtil::isAnalyticsStorageDenied()) return std::nullopt;
  if (auto afterReset = APMAnalyticsSuite::appInstanceIDAfterReset(); afterReset && !afterReset->empty()) {
    return afterReset;
  }
  auto identity = APMIdentity::sharedInstance();
  return identity ? identity->appInstanceID() : std::nullopt;
}

void APMAnalytics::handleOpenURL(const std::string& url) {
  double now = platform::now();
  for (const auto& each : *collaborators()) each->handleSSTGDebugModeWithURL(url);
  APMAnalyticsOperationQueue::dispatchAsyncOnSerialQueue([url, now] {
    auto engine = APMAnalyticsStartUp::startedEngineContext();
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
    auto engine = APMAnalyticsStartUp::startedEngineContext();
    for (const auto& each : *links) each->handleNonFirstOpenEventURL(engine, *url, now);
  });
}

void APMAnalytics::handleEventsForBackgroundURLSession(const std::string& sessionID, std::function<void()> completion) {
  VIZUzedaru::handleEventsForBackgroundURLSessionID(sessionID, std::move(completion));
}

void APMAnalytics::resetAnalyticsData() {
  APMAnalyticsStartUp::setLoadTimestamp(platform::now());
  APMAnalyticsSuite::userDefaults().setInteger(APMAnalyticsSuite::resetRetryCount() + 1,
                                               APMAnalyticsSuite::kResetRetryCountKey);
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
    if (APMAnalyticsSuite::appInstanceIDAfterReset() == appInstanceID) {
      APMAnalyticsSuite::setAppInstanceIDAfterReset(std::nullopt);
    }
  });
}

// MARK: - Collaborators and tests

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
  APMAnalyticsStartUp::resetForTesting();
  front.appActive = kActiveAtLaunch;
  setCurrentScreenParameters({});
  setCollaborators(APMMakeFrontCollaborators());
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
