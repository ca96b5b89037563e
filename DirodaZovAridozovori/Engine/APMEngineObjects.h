#pragma once
// The objects the engine's first successful start makes: the identity, the measurement database
// and the remote configuration, which the worker queue uses, and the configuration and identity as
// other queues see them (published together once the database is open, under a mutex of their own).
#include <memory>
#include <mutex>

class APMDatabase;
class APMIdentity;
class APMRemoteConfig;

class APMEngineObjects {
 public:
  // Worker queue: empty before the start made them.
  const std::shared_ptr<APMDatabase>& database() const { return database_; }
  const std::shared_ptr<APMIdentity>& identity() const { return identity_; }
  const std::shared_ptr<APMRemoteConfig>& remoteConfig() const { return remoteConfig_; }
  // Worker queue: the identity comes first, since the start asks it before opening the database.
  void setIdentity(std::shared_ptr<APMIdentity> identity) { identity_ = std::move(identity); }
  // Worker queue: the open database and its configuration, published with the identity.
  void publish(std::shared_ptr<APMDatabase> database, std::shared_ptr<APMRemoteConfig> remoteConfig);

  // Any thread.
  std::shared_ptr<APMRemoteConfig> publishedRemoteConfig() const;
  std::shared_ptr<APMIdentity> publishedIdentity() const;

 private:
  std::shared_ptr<APMDatabase> database_;
  std::shared_ptr<APMIdentity> identity_;
  std::shared_ptr<APMRemoteConfig> remoteConfig_;
  // Guards the two below.
  mutable std::mutex publishMutex_;
  std::shared_ptr<APMRemoteConfig> publishedRemoteConfig_;
  std::shared_ptr<APMIdentity> publishedIdentity_;
};
