#include "APMIdentityEnvironment.h"

#include "APMDefaultIdentitySupport.h"
#include "DirodaZovAridozovori/Configuration/Consent/APMConsentSettingsUtil.h"
#include "DirodaZovAridozovori/Configuration/RemoteConfig/APMRemoteConfigSettings.h"

APMIdentityEnvironment APMIdentityEnvironment::standard() {
  APMIdentityEnvironment environment;
  environment.support = APMDefaultIdentitySupport::sharedInstance();
  environment.isAnalyticsStorageDenied = [] { return APMConsentSettingsUtil::isAnalyticsStorageDenied(); };
  environment.isAdStorageDenied = [] { return APMConsentSettingsUtil::isAdStorageDenied(); };
  environment.adIDCacheTime = APMIdentityRemoteAdIDCacheTime;
  environment.gateIDFAOnATTMASEnabled = APMIdentityRemoteGateIDFAOnATTMASEnabled;
  return environment;
}

double APMIdentityRemoteAdIDCacheTime() { return APMSettings::kAdIDCacheTime.defaultValue; }

bool APMIdentityRemoteGateIDFAOnATTMASEnabled() { return APMSettings::kGateIDFAOnATTMASEnabled.defaultValue != 0; }
