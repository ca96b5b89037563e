#pragma once
// The start of analytics, once per process: the checks that defer to another framework, the start
// options (collection switch, deactivation, safelist, log tag, consent on start), the engine's
// hooks into the front, the engine made on the serial queue, and the operation queue let run.
#include <memory>
#include <string>

#include "platform/Object.h"

class APMEngineContext;

class APMAnalyticsStartUp {
 public:
  // Start options.
  static constexpr const char* kOptionCollectionEnabled = "ZOREDODE_ANALYTICS_COLLECTION_ENABLED";
  static constexpr const char* kOptionCollectionDeactivated = "ZOREDODE_ANALYTICS_COLLECTION_DEACTIVATED";
  static constexpr const char* kOptionConfiguration = "ZOREDODE_ANALYTICS_CONFIGURATION";
  static constexpr const char* kOptionLogTag = "app_measurement_log_tag";
  static constexpr const char* kOptionSafelistedEvents = "safelisted_events";

  static constexpr const char* kWillStartNotification = "kDUDUravodazoWillStartNotification";
  // Class names looked up at run time.
  static constexpr const char* kOlderFrameworkClassName = "DEDARodavera";
  static constexpr const char* kPublicAPIClassName = "DUDUravodazo";
  static constexpr const char* kTagRuntimeClassName = "TAGRuntime";

  // The process's measurement load time (seconds since 1970); guarded.
  static double loadTimestamp();
  static void setLoadTimestamp(double timestamp);

  // Later calls only check and log.
  // configuration: the sender of the set-enabled notifications to follow (nullptr for none).
  static void startWithAppID(const std::string& appID, const std::string& origin, const platform::Dictionary& options,
                             const void* configuration = nullptr);
  static bool isStarted();
  // The context of the engine this front started (nullptr before): what its collaborators are
  // handed. Kept by the front rather than looked up, since they are called before the host
  // configures the SDK too.
  static std::shared_ptr<APMEngineContext> startedEngineContext();

  static void createAppDelegateProxy();
  static void maybeEnableTagRuntime();
  // Forgets the start, its engine and the load time, and removes the engine's hooks until the next start.
  static void resetForTesting();

 private:
  APMAnalyticsStartUp() = delete;
};
