#pragma once
// Joins audience evaluation to the engine: the audiences of a fetched configuration are stored,
// and every bundle evaluates its events and user properties and reports the audiences' results.

#include <memory>
#include <vector>

#include "APMEngineComponent.h"

class APMAudienceComponent final : public APMEngineComponent {
 public:
  // No start without a database to keep the audiences in.
  bool startUpDidOpenDatabase(const std::shared_ptr<APMDatabase>& database) override { return database != nullptr; }
  bool storeAudiences(APMDatabase& database, APMRemoteConfig& remoteConfig,
                      const std::vector<std::shared_ptr<APMPBAudience>>& audiences) override;
  // The audience evaluation hooks of bundling over the database.
  void addBundlingHooks(const std::shared_ptr<APMDatabase>& database, APMBundlingHooks& hooks) override;
};
