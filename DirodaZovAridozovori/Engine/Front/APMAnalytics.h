#pragma once
// The front door of the measurement engine: every public call, every interop call and every
// internal event of the SDK's own components passes through these class methods.
//
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "APMEngineUserProperties.h"
#include "APMFrontCollaborator.h"
#include "APMMeasurement.h"
#include "platform/DispatchQueue.h"
#include "platform/Error.h"
#include "platform/NotificationCenter.h"
#include "platform/Object.h"
#include "platform/StoreTransaction.h"

class APMEngineContext;
class APMEvent;

// One store transaction as the host hands it in.
using APMTransactionInfo = platform::StoreTransaction;

class APMAnalytics {
 public:
  // Origins.
  static constexpr const char* kOriginApp = "app";
  static constexpr const char* kOriginAuto = "auto";
  static constexpr const char* kOriginStart = "fa";
  static constexpr const char* kOriginAdExposure = "am";

  // Start options.
  static constexpr const char* kOptionCollectionEnabled = "ZOREDODE_ANALYTICS_COLLECTION_ENABLED";
  static constexpr const char* kOptionCollectionDeactivated = "ZOREDODE_ANALYTICS_COLLECTION_DEACTIVATED";
  static constexpr const char* kOptionConfiguration = "ZOREDODE_ANALYTICS_CONFIGURATION";
  static constexpr const char* kOptionLogTag = "app_measurement_log_tag";
  static constexpr const char* kOptionSafelistedEvents = "safelisted_events";

  // Names the front treats specially.
  static constexpr const char* kScreenViewEventName = "screen_view";
  static constexpr const char* kAllowPersonalizedAdsName = "allow_personalized_ads";
  static constexpr const char* kUserIDPropertyName = "_id";
  static constexpr const char* kLastAdvertisingIDResetPropertyName = "_lair";
  static constexpr const char* kNonPersonalizedAdsPropertyName = "_npa";
  static constexpr const char* kWillStartNotification = "kDUDUravodazoWillStartNotification";
  // Class names looked up at run time.
  static constexpr const char* kOlderFrameworkClassName = "DEDARodavera";
  static constexpr const char* kPublicAPIClassName = "DUDUravodazo";
  static constexpr const char* kTagRuntimeClassName = "TAGRuntime";
  // The limit the engine applies to non-public user properties of one origin.
  static constexpr int64_t kMaxUserPropertiesPerOrigin = APMEngineUserProperties::kMaxNonPublicUserPropertiesPerOrigin;

  using SessionIDCompletion = std::function<void(int64_t sessionID, std::optional<platform::Error> error)>;
  using UserPropertiesCallback = std::function<void(const platform::Dictionary& properties)>;

  // The process's measurement load time (seconds since 1970); guarded.
  static double loadTimestamp();
  static void setLoadTimestamp(double timestamp);

  // ---- Start (once per process; later calls only check and log).
  // configuration: the sender of the set-enabled notifications to follow (nullptr for none).
  static void startWithAppID(const std::string& appID, const std::string& origin, const platform::Dictionary& options,
                             const void* configuration = nullptr);
  static bool isStarted();

  // ---- Events.
  static void logEventWithName(const std::string& name, const platform::Dictionary& parameters);
  static void logEventWithOrigin(const std::string& origin, const std::string& name,
                                 const platform::Dictionary& parameters);
  static void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                         const platform::Dictionary& parameters);
  static void logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                 const platform::Dictionary& parameters);
  // For events whose time is already known (the screen-view reporter).
  static void logInternalEventWithOrigin(const std::string& origin, const std::string& name, double timestamp,
                                         const platform::Dictionary& parameters);
  // options.enabled is the front's own switch, read as the event is handed on.
  static void logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                 const platform::Dictionary& parameters, double timestamp,
                                 const APMLogEventOptions& options);
  static void logEventOnSerialQueueWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                              platform::Dictionary parameters, double timestamp,
                                              const APMLogEventOptions& options,
                                              platform::Dictionary addedScreenParameters);
  static void logTransaction(const APMTransactionInfo& transaction);
  // Store transactions updated (the payment-queue observer's entry).
  static void paymentQueueUpdatedTransactions(std::vector<APMPurchaseTransaction> transactions);

  // ---- Screen state published by the screen-view reporter (read without waiting for it).
  static void setCurrentScreenParameters(platform::Dictionary screenParameters);
  static platform::Dictionary currentScreenParameters();
  // The front's own application-active state (until an owner is installed): set by the first
  // activation and never cleared.
  static void setAppActive(bool active);
  static bool isAppActive();
  // A collaborator owns the application-active state.
  static bool hasAppActiveOwner();

  // ---- User properties.
  // A null value removes the property.
  static void setUserPropertyString(const platform::Object& value, const std::string& name);
  static void setUserID(const platform::Object& userID);
  static void removeUserAttributeForName(const std::string& name);
  static void removeInternalUserAttributeForName(const std::string& name);
  static void setUserAttributeNumber(const platform::Object& value, const std::string& name);
  static void userPropertiesIncludingInternal(bool includingInternal, std::shared_ptr<platform::DispatchQueue> queue,
                                              UserPropertiesCallback callback);

  // ---- Switches and queries.
  static void setSessionTimeoutInterval(double seconds);
  static void sessionIDWithCompletion(SessionIDCompletion completion);
  static std::optional<std::string> appInstanceID();
  static void setUserData(const platform::Dictionary& userData);
  static void setDefaultEventParameters(const std::optional<platform::Dictionary>& parameters);
  static void handleOpenURL(const std::string& url);
  static void handleUserActivity(const std::string& activityType, const std::string& webpageURL);
  static void handleEventsForBackgroundURLSession(const std::string& sessionID, std::function<void()> completion);
  static void createAppDelegateProxy();
  static void maybeEnableTagRuntime();
  static void resetAnalyticsData();

  // ---- Collaborators and tests.
  // The context of the engine this front started (nullptr before): what its collaborators are
  // handed. Kept by the front rather than looked up, since they are called before the host
  // configures the SDK too.
  static std::shared_ptr<APMEngineContext> startedEngineContext();
  // Tests: the front's collaborators from now on (the process starts with APMMakeFrontCollaborators).
  static void setCollaborators(APMFrontCollaboratorList collaborators);
  // Waits for the front's queues, forgets the start, the started engine and every registration,
  // restores the usual collaborators, and suspends the operation queue again (queued operations are
  // dropped); the engine's hooks are removed until the next start. The engine itself is not touched.
  static void resetForTesting();

  // ---- The shared instance (the connector's entry points).
  static APMAnalytics& sharedInstance();
  // The class method logInternalEventWithOrigin, after turning a decimal "_aeid" of an "am" event
  // into a 64-bit integer.
  void logInternalEvent(const std::string& origin, const std::string& name, platform::Dictionary parameters);
  // value: string or number; null removes.
  void setInternalUserProperty(const platform::Object& value, const std::string& name, const std::string& origin);
  void maxUserPropertiesForOrigin(const std::string& origin, std::shared_ptr<platform::DispatchQueue> queue,
                                  std::function<void(int64_t)> callback);

 private:
  APMAnalytics() = default;
};

// Whether the application has become active (APMAnalytics::isAppActive).
bool APMIsAppActive();
