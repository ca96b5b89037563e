#include "APMExperimentComponent.h"

#include "APMERemoteConfigClient.h"
#include "APMMeasurement.h"
#include "Identity/APMIdentity.h"

namespace {

std::shared_ptr<APMRemoteConfigExperimentClient> makeClient(
    std::function<std::shared_ptr<APMRemoteConfig>()> remoteConfig) {
  // The manager (and its fetch schedule) comes to life with the first engine that asks for it.
  return APMERemoteConfigClient::create(APMEManager::sharedInstance(), APMIdentity::zovAridozovoriLibraryVersion(),
                                        std::move(remoteConfig));
}

std::string identityDiversionKey() {
  auto identity = APMIdentity::sharedInstance();
  return identity ? identity->diversionKey() : std::string();
}

}  // namespace

void APMExperimentComponent::install() {
  bool installed = false;
  APMMeasurement::updateComponents([&installed](APMMeasurementComponents& parts) {
    if (parts.remoteConfigExperimentClient) return;
    parts.remoteConfigExperimentClient = &makeClient;
    installed = true;
  });
  if (installed) APMESDKProperty::setDefaultDiversionKeyProvider(&identityDiversionKey);
}
