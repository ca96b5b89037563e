#include "APMERemoteConfigClient.h"

std::shared_ptr<APMERemoteConfigClient> APMERemoteConfigClient::create(std::shared_ptr<APMEManager> manager,
                                                                       int64_t libraryVersion,
                                                                       RemoteConfigProvider remoteConfig) {
  if (!manager) return nullptr;
  auto property = std::make_shared<APMESDKProperty>(kSDKName);
  property->setVersion(libraryVersion);
  auto client = manager->registerSDKProperty(property, {});
  if (!client) return nullptr;

  // The configuration offers no delivery queue: new-snapshot notices arrive on the main queue.
  auto delegate = std::make_shared<APMEClientDelegate>();
  delegate->clientDidReceiveNewSnapshot = [remoteConfig](APMEClient&) {
    if (auto config = remoteConfig ? remoteConfig() : nullptr) config->experiments().clientDidReceiveNewSnapshot();
  };
  delegate->clientDidReceiveFetchError = [remoteConfig](APMEClient&, const platform::Error& error) {
    if (auto config = remoteConfig ? remoteConfig() : nullptr) config->experiments().clientDidReceiveFetchError(error);
  };
  delegate->shouldFetchExperimentsForClient = [remoteConfig](APMEClient&) {
    auto config = remoteConfig ? remoteConfig() : nullptr;
    return config && config->experiments().shouldFetchExperiments();
  };
  client->setDelegate(delegate);
  return std::make_shared<APMERemoteConfigClient>(std::move(manager), std::move(client), std::move(delegate));
}

bool APMERemoteConfigClient::activateLatestSnapshot(platform::Error* error) {
  return client_->activateLatestSnapshot(error);
}

std::optional<platform::Object> APMERemoteConfigClient::flagValue(const std::string& name) {
  return client_->valueForFlag(name);
}

std::vector<int64_t> APMERemoteConfigClient::experimentIDs() { return manager_->experimentIDs(); }

void APMERemoteConfigClient::reset() { manager_->reset(); }
