#pragma once
// Joins experimentation to the engine: the configuration of each engine registers the SDK
// "app_measurement" with the process-wide experiment manager, and SDKs without a diversion key of
// their own divert by the measurement identity's.

class APMExperimentComponent {
 public:
  // Fills the engine's experiment-client slot for the engines started from now on, unless an
  // experiment client is installed already.
  static void install();
};
