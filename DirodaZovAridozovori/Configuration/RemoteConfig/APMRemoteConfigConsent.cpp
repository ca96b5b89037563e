#include "APMRemoteConfigConsent.h"

std::vector<std::string> APMRemoteConfigConsent::dataControls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return values_.dataControls;
}

platform::Dictionary APMRemoteConfigConsent::consentDefaults() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return values_.consentDefaults;
}

platform::Dictionary APMRemoteConfigConsent::consentDelegations() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return values_.consentDelegations;
}

platform::Dictionary APMRemoteConfigConsent::regionalDefaults() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return values_.regionalDefaults;
}

std::set<std::string> APMRemoteConfigConsent::corePlatformServices() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return values_.corePlatformServices;
}

bool APMRemoteConfigConsent::isDMARegion() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return isDMARegion_;
}

void APMRemoteConfigConsent::replace(Values values) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (values.isDMARegion) isDMARegion_ = *values.isDMARegion;
  values_ = std::move(values);
}

void APMRemoteConfigConsent::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  values_ = Values{};
  isDMARegion_ = true;
}
