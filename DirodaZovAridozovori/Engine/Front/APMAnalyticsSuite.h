#pragma once
// The front's preferences suite "APMAnalyticsSuiteName" and the values in it that outlive a
// process: what a reset of the analytics data left for the engine's next start, and the deferred
// collection switch. The consent the front persists lives in the same suite (APMAnalyticsConsent).
#include <cstdint>
#include <optional>
#include <string>

class APMUserDefaults;

class APMAnalyticsSuite {
 public:
  static constexpr const char* kSuiteName = "APMAnalyticsSuiteName";

  // Keys of the suite.
  static constexpr const char* kResetRetryCountKey = "reset_retry_count";
  static constexpr const char* kNeedFirstOpenAfterResetKey = "need_first_open_after_reset";
  static constexpr const char* kAppInstanceIDAfterResetKey = "app_instance_id_after_reset";
  static constexpr const char* kDeferredAnalyticsCollectionKey = "deferred_analytics_collection";

  static APMUserDefaults& userDefaults();

  // Read by the engine at its start.
  static int64_t resetRetryCount();
  static void setResetRetryCount(int64_t count);
  static bool needFirstOpenAfterReset();
  static void setNeedFirstOpenAfterReset(bool need);
  static void removeNeedFirstOpenAfterReset();
  static std::optional<std::string> appInstanceIDAfterReset();
  static void setAppInstanceIDAfterReset(const std::optional<std::string>& appInstanceID);
  static std::optional<bool> deferredAnalyticsCollection();
  static void setDeferredAnalyticsCollection(std::optional<bool> deferred);

 private:
  APMAnalyticsSuite() = delete;
};
