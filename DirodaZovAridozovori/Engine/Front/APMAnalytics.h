#pragma once
// The front door of the measurement engine: every public call, every interop call and every
// internal event of the SDK's own components passes through the front. This class holds the event
// entry points and their checks, the screen state, the application-active state and the
// collaborators; the other parts of the front are classes of their own beside it:
// APMAnalyticsOperationQueue (the queues, the event batches and the room they wait for),
// APMAnalyticsStartUp, APMAnalyticsCollection (the collection switch), APMAnalyticsConsent,
// APMAnalyticsSuite (the preferences suite), APMAnalyticsUserProperties and APMAnalyticsListeners.
//
// Shared state: the current screen, the application-active state and the collaborators are guarded
// (a mutex or an atomic).
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

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

  // Names the front treats specially.
  static constexpr const char* kScreenViewEventName = "screen_view";

  using SessionIDCompletion = std::function<void(int64_t sessionID, std::optional<platform::Error> error)>;

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
  // The same, for parameters the caller keeps and never changes (none: no current screen).
  static void setSharedCurrentScreenParameters(std::shared_ptr<const platform::Dictionary> screenParameters);
  static platform::Dictionary currentScreenParameters();
  // The front's own application-active state (until an owner is installed): set by the first
  // activation and never cleared.
  static void setAppActive(bool active);
  static bool isAppActive();
  // A collaborator owns the application-active state.
  static bool hasAppActiveOwner();

  // ---- Switches and queries.
  static void setSessionTimeoutInterval(double seconds);
  static void sessionIDWithCompletion(SessionIDCompletion completion);
  static std::optional<std::string> appInstanceID();
  static void handleOpenURL(const std::string& url);
  static void handleUserActivity(const std::string& activityType, const std::string& webpageURL);
  static void handleEventsForBackgroundURLSession(const std::string& sessionID, std::function<void()> completion);
  static void resetAnalyticsData();

  // ---- Collaborators and tests.
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

 private:
  APMAnalytics() = default;
};

// Whether the application has become active (APMAnalytics::isAppActive).
bool APMIsAppActive();
