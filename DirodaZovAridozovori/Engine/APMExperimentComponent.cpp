#include "APMExperimentComponent.h"

#include "APMERemoteConfigClient.h"
#include "Identity/APMIdentity.h"

namespace {

std::string identityDiversionKey() {
  auto identity = APMIdentity::sharedInstance();
  return identity ? identity->diversionKey() : std::string();
}

}  // namespace

std::shared_ptr<APMRemoteConfigExperimentClient> APMExperimentComponent::experimentClientForRemoteConfig(
    const std::function<std::shared_ptr<APMRemoteConfig>()>& servedConfig) {
  APMESDKProperty::setDefaultDiversionKeyProvider(&identityDiversionKey);
  // The manager (and its fetch schedule) comes to life with the first engine that asks for it.
  return APMERemoteConfigClient::create(APMEManager::sharedInstance(), APMIdentity::zovAridozovoriLibraryVersion(),
                                        servedConfig);
}
