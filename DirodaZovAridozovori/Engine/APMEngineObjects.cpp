#include "APMEngineObjects.h"

void APMEngineObjects::publish(std::shared_ptr<APMDatabase> database, std::shared_ptr<APMRemoteConfig> remoteConfig) {
  database_ = std::move(database);
  remoteConfig_ = std::move(remoteConfig);
  std::lock_guard<std::mutex> lock(publishMutex_);
  publishedRemoteConfig_ = remoteConfig_;
  publishedIdentity_ = identity_;
}

std::shared_ptr<APMRemoteConfig> APMEngineObjects::publishedRemoteConfig() const {
  std::lock_guard<std::mutex> lock(publishMutex_);
  return publishedRemoteConfig_;
}

std::shared_ptr<APMIdentity> APMEngineObjects::publishedIdentity() const {
  std::lock_guard<std::mutex> lock(publishMutex_);
  return publishedIdentity_;
}
