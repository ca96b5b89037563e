#pragma once
// Joins experimentation to the engine: the configuration of each engine registers the SDK
// "app_measurement" with the process-wide experiment manager, and SDKs without a diversion key of
// their own divert by the measurement identity's.

#include "APMEngineComponent.h"

class APMExperimentComponent final : public APMEngineComponent {
 public:
  std::shared_ptr<APMRemoteConfigExperimentClient> experimentClientForRemoteConfig(
      const std::function<std::shared_ptr<APMRemoteConfig>()>& servedConfig) override;
};
