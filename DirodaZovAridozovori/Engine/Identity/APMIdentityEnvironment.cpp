#include "APMIdentityEnvironment.h"

#include "APMDefaultIdentitySupport.h"
#include "DirodaZovAridozovori/Configuration/Consent/APMConsentSettingsUtil.h"
#include "DirodaZovAridozovori/Configuration/RemoteConfig/APMRemoteConfig.h"
#include "DirodaZovAridozovori/Configuration/RemoteConfig/APMRemoteConfigSettings.h"

#include <mutex>

namespace {
std::mutex gRemoteConfigMutex;
std::weak_ptr<APMRemoteConfig> gRemoteConfig;  // guarded by gRemoteConfigMutex

std::shared_ptr<APMRemoteConfig> publishedRemoteConfig() {
  std::lock_guard<std::mutex> lock(gRemoteConfigMutex);
  return gRemoteConfig.lock();
}
}  // namespace

APMIdentityEnvironment APMIdentityEnvironment::standard() {
  APMIdentityEnvironment environment;
  environment.support = APMDefaultIdentitySupport::sharedInstance();
  environment.isAnalyticsStorageDenied = [] { return APMConsentSettingsUtil::isAnalyticsStorageDenied(); };
  environment.isAdStorageDenied = [] { return APMConsentSettingsUtil::isAdStorageDenied(); };
  environment.adIDCacheTime = APMIdentityRemoteAdIDCacheTime;
  environment.gateIDFAOnATTMASEnabled = APMIdentityRemoteGateIDFAOnATTMASEnabled;
  return environment;
}

double APMIdentityRemoteAdIDCacheTime() {
  auto config = publishedRemoteConfig();
  return config ? config->reporters().adIDCacheTime() : APMSettings::kAdIDCacheTime.defaultValue;
}

bool APMIdentityRemoteGateIDFAOnATTMASEnabled() {
  auto config = publishedRemoteConfig();
  return config ? config->features().gateIDFAOnATTMASEnabled() : APMSettings::kGateIDFAOnATTMASEnabled.defaultValue != 0;
}

void APMIdentitySetRemoteConfig(const std::shared_ptr<APMRemoteConfig>& config) {
  std::lock_guard<std::mutex> lock(gRemoteConfigMutex);
  gRemoteConfig = config;
}
