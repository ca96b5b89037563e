#include "APMDatabaseStoredConfig.h"

#include "APMDatabaseRows.h"
#include "APMDatabaseSchema.h"
#include "APMPBMessages.h"
#include "APMStoreLog.h"
#include "platform/Clock.h"

using platform::Object;

bool APMDatabaseStoredConfig::updateRemoteConfig(const APMPBMeasurementConfig& config, platform::Error* error) {
  return updateRemoteConfig(config.protoBuffer(), error);
}

bool APMDatabaseStoredConfig::updateRemoteConfig(const platform::Data& encodedConfig, platform::Error* error) {
  if (!connection_->checkQueue("updateRemoteConfig", error)) return false;
  return connection_
      ->execute("UPDATE app_metadata SET remote_config_data = ?, remote_config_timestamp = ? WHERE id = ?",
                {Object(encodedConfig), Object(platform::now()), Object(apm_schema::kAppMetadataRowID)}, error)
      .has_value();
}

std::shared_ptr<APMPBMeasurementConfig> APMDatabaseStoredConfig::queryDecodedMeasurementConfigWithError(
    platform::Error* error) {
  auto data = queryMeasurementConfigWithError(error);
  if (!data) return nullptr;
  auto config = APMPBMeasurementConfig::fromBuffer(*data);
  if (!config) APMFail(error, kAPMStoreErrorCorruptData, "Remote config data is corrupted");
  return config;
}

std::optional<platform::Data> APMDatabaseStoredConfig::queryMeasurementConfigWithError(platform::Error* error) {
  if (!connection_->checkQueue("queryMeasurementConfigWithError", error)) return std::nullopt;
  auto rows = connection_->query("SELECT remote_config_data FROM app_metadata WHERE id = ?",
                                 {Object(apm_schema::kAppMetadataRowID)}, error);
  if (!rows || rows->empty() || !apm_rows::has(rows->front(), "remote_config_data")) return std::nullopt;
  return apm_rows::data(rows->front(), "remote_config_data");
}

double APMDatabaseStoredConfig::lastRemoteConfigUpdateTimestamp(platform::Error* error) {
  if (!connection_->checkQueue("lastRemoteConfigUpdateTimestamp", error)) return 0;
  auto rows = connection_->query("SELECT remote_config_timestamp FROM app_metadata WHERE id = ?",
                                 {Object(apm_schema::kAppMetadataRowID)}, error);
  if (!rows || rows->empty()) return 0;
  return apm_rows::real(rows->front(), "remote_config_timestamp");
}

bool APMDatabaseStoredConfig::updateRemoteConfigSuccessfulTimestamp(double timestamp, platform::Error* error) {
  if (!connection_->checkQueue("updateRemoteConfigSuccessfulTimestamp", error)) return false;
  return connection_
      ->execute("UPDATE app_metadata SET remote_config_timestamp = ? WHERE id = ?",
                {Object(timestamp), Object(apm_schema::kAppMetadataRowID)}, error)
      .has_value();
}
