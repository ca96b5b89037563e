#pragma once
// The measurement configuration's experiment client: registers the SDK "app_measurement" with the
// experiment manager (no default flags) and serves the configuration's flag reads, activations and
// experiment IDs, while the client's notices (new snapshot, fetch error, whether to fetch) go to
// the configuration of the moment.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "APMEClient.h"
#include "APMEManager.h"
#include "RemoteConfig/APMRemoteConfig.h"

class APMERemoteConfigClient final : public APMRemoteConfigExperimentClient {
 public:
  static constexpr const char* kSDKName = "app_measurement";

  // The configuration a notice is for; nullptr when there is none (any more).
  using RemoteConfigProvider = std::function<std::shared_ptr<APMRemoteConfig>()>;

  // Registers "app_measurement" of the given library version; nullptr when the manager refuses.
  static std::shared_ptr<APMERemoteConfigClient> create(std::shared_ptr<APMEManager> manager, int64_t libraryVersion,
                                                        RemoteConfigProvider remoteConfig);

  bool activateLatestSnapshot(platform::Error* error) override;
  std::optional<platform::Object> flagValue(const std::string& name) override;
  std::vector<int64_t> experimentIDs() override;
  void reset() override;

  const std::shared_ptr<APMEClient>& client() const { return client_; }

  APMERemoteConfigClient(std::shared_ptr<APMEManager> manager, std::shared_ptr<APMEClient> client,
                         std::shared_ptr<APMEClientDelegate> delegate)
      : manager_(std::move(manager)), client_(std::move(client)), delegate_(std::move(delegate)) {}

 private:
  std::shared_ptr<APMEManager> manager_;
  std::shared_ptr<APMEClient> client_;
  // Owned here: the client holds its delegate weakly.
  std::shared_ptr<APMEClientDelegate> delegate_;
};
