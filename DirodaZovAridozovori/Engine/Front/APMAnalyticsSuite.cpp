#include "APMAnalyticsSuite.h"

#include "APMAnalyticsSupport.h"
#include "APMUserDefaults.h"
#include "platform/Object.h"

using apmfront::optionalBool;

APMUserDefaults& APMAnalyticsSuite::userDefaults() {
  // Lives for the whole process: the exit handler and the SDK's threads may still write to it.
  static APMUserDefaults* defaults = new APMUserDefaults(kSuiteName);
  return *defaults;
}

int64_t APMAnalyticsSuite::resetRetryCount() { return userDefaults().integerForKey(kResetRetryCountKey); }

void APMAnalyticsSuite::setResetRetryCount(int64_t count) {
  if (count < 1) {
    userDefaults().removeObjectForKey(kResetRetryCountKey);
  } else {
    userDefaults().setInteger(count, kResetRetryCountKey);
  }
}

bool APMAnalyticsSuite::needFirstOpenAfterReset() { return userDefaults().boolForKey(kNeedFirstOpenAfterResetKey); }
void APMAnalyticsSuite::setNeedFirstOpenAfterReset(bool need) {
  userDefaults().setBool(need, kNeedFirstOpenAfterResetKey);
}
void APMAnalyticsSuite::removeNeedFirstOpenAfterReset() {
  userDefaults().removeObjectForKey(kNeedFirstOpenAfterResetKey);
}

std::optional<std::string> APMAnalyticsSuite::appInstanceIDAfterReset() {
  return userDefaults().stringForKey(kAppInstanceIDAfterResetKey);
}

void APMAnalyticsSuite::setAppInstanceIDAfterReset(const std::optional<std::string>& appInstanceID) {
  if (appInstanceID) {
    userDefaults().setObject(platform::Object(*appInstanceID), kAppInstanceIDAfterResetKey);
  } else {
    userDefaults().removeObjectForKey(kAppInstanceIDAfterResetKey);
  }
}

std::optional<bool> APMAnalyticsSuite::deferredAnalyticsCollection() {
  return optionalBool(userDefaults().objectForKey(kDeferredAnalyticsCollectionKey));
}

void APMAnalyticsSuite::setDeferredAnalyticsCollection(std::optional<bool> deferred) {
  userDefaults().setObject(deferred ? platform::Object(*deferred) : platform::Object(),
                           kDeferredAnalyticsCollectionKey);
}
