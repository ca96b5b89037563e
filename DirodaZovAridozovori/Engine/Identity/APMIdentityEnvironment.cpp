#include "APMIdentityEnvironment.h"

#include "APMDefaultIdentitySupport.h"
#include "DirodaZovAridozovori/Configuration/Consent/APMConsentSettingsUtil.h"
#include "DirodaZovAridozovori/Configuration/RemoteConfig/APMRemoteConfig.h"
#include "DirodaZovAridozovori/Configuration/RemoteConfig/APMRemoteConfigSettings.h"

#include <mutex>

namespace {
std::mutex gRemoteConfigMutex;
// Never destroyed: the SDK's threads may read it until the process has ended. Guarded by gRemoteConfigMutex.
std::weak_ptr<APMRemoteConfig>& remoteConfigSlot() {
  static auto& instance = *new std::weak_ptr<APMRemoteConfig>;
  return instance;
}

std::shared_ptr<APMRemoteConfig> publishedRemoteConfig() {
  std::lock_guard<std::mutex> lock(gRemoteConfigMutex);
  return remoteConfigSlot().lock();
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
  remoteConfigSlot() = config;
}
