#pragma once
// The part of the measurement database that keeps the stored remote configuration (its encoding,
// in the app-metadata row) and the time it was stored or last confirmed.

#include <memory>
#include <optional>

#include "APMDatabaseConnection.h"

class APMPBMeasurementConfig;

class APMDatabaseStoredConfig {
 public:
  explicit APMDatabaseStoredConfig(std::shared_ptr<APMDatabaseConnection> connection)
      : connection_(std::move(connection)) {}

  bool updateRemoteConfig(const APMPBMeasurementConfig& config, platform::Error* error);
  bool updateRemoteConfig(const platform::Data& encodedConfig, platform::Error* error);
  // The stored encoding; none without error when nothing is stored.
  std::optional<platform::Data> queryMeasurementConfigWithError(platform::Error* error);
  // Decoded: empty without error when none is stored; code 2 "Remote config data is corrupted" when
  // the stored bytes do not decode.
  std::shared_ptr<APMPBMeasurementConfig> queryDecodedMeasurementConfigWithError(platform::Error* error);
  double lastRemoteConfigUpdateTimestamp(platform::Error* error);
  bool updateRemoteConfigSuccessfulTimestamp(double timestamp, platform::Error* error);

 private:
  std::shared_ptr<APMDatabaseConnection> connection_;
};
