#include "APMDatabaseAppMetadata.h"

#include "APMDatabaseRows.h"
#include "APMDatabaseSchema.h"
#include "APMStoreLog.h"

using platform::Object;

std::optional<APMDailyCounts> APMDatabaseAppMetadata::dailyCounts(platform::Error* error) {
  if (!connection_->checkQueue("dailyCounts", error)) return std::nullopt;
  // The counts' columns only, read in place: the row also holds the stored configuration.
  APMDailyCounts counts;
  const bool read = store_->forEachRowOfQuery(
      "SELECT day, conversions_count, all_events_count, public_events_count, error_events_count, realtime_count, "
      "dcu_realtime_count FROM app_metadata WHERE id = ?",
      {Object(apm_schema::kAppMetadataRowID)},
      [&counts](const APMSqliteRow& row) {
        counts.day = static_cast<int32_t>(row.integer(0));
        counts.conversionsCount = static_cast<int32_t>(row.integer(1));
        counts.allEventsCount = static_cast<int32_t>(row.integer(2));
        counts.publicEventsCount = static_cast<int32_t>(row.integer(3));
        counts.errorEventsCount = static_cast<int32_t>(row.integer(4));
        counts.realtimeCount = static_cast<int32_t>(row.integer(5));
        counts.dcuRealtimeCount = static_cast<int32_t>(row.integer(6));
        return false;
      },
      error);
  if (!read) return std::nullopt;
  return counts;
}

bool APMDatabaseAppMetadata::updateDailyCounts(const APMDailyCounts& counts, platform::Error* error) {
  if (!connection_->checkQueue("updateDailyCounts", error)) return false;
  return connection_
      ->execute(
          "UPDATE app_metadata SET day = ?, conversions_count = ?, all_events_count = ?, public_events_count = ?, "
          "error_events_count = ?, realtime_count = ?, dcu_realtime_count = ? WHERE id = ?",
          {Object(counts.day), Object(counts.conversionsCount), Object(counts.allEventsCount),
           Object(counts.publicEventsCount), Object(counts.errorEventsCount), Object(counts.realtimeCount),
           Object(counts.dcuRealtimeCount), Object(apm_schema::kAppMetadataRowID)},
          error)
      .has_value();
}

std::optional<APMAppMetadata> APMDatabaseAppMetadata::queryAppMetadata(platform::Error* error) {
  if (!connection_->checkQueue("queryAppMetadata", error)) return std::nullopt;
  APMAppMetadata metadata;
  const bool read = store_->forEachRowOfQuery(
      "SELECT last_bundle_index, last_delivery_index, last_bundle_start_timestamp, last_bundle_end_timestamp "
      "FROM app_metadata WHERE id = ?",
      {Object(apm_schema::kAppMetadataRowID)},
      [&metadata](const APMSqliteRow& row) {
        metadata.lastBundleIndex = row.integer(0);
        metadata.lastDeliveryIndex = row.integer(1);
        metadata.lastBundleStartTimestamp = row.real(2);
        metadata.lastBundleEndTimestamp = row.real(3);
        return false;
      },
      error);
  if (!read) return std::nullopt;
  return metadata;
}

bool APMDatabaseAppMetadata::updateAppMetadata(const APMAppMetadata& metadata, platform::Error* error) {
  if (!connection_->checkQueue("updateAppMetadata", error)) return false;
  return connection_
      ->execute(
          "UPDATE app_metadata SET last_bundle_index = ?, last_delivery_index = ?, last_bundle_start_timestamp = ?, "
          "last_bundle_end_timestamp = ? WHERE id = ?",
          {Object(metadata.lastBundleIndex), Object(metadata.lastDeliveryIndex),
           Object(metadata.lastBundleStartTimestamp), Object(metadata.lastBundleEndTimestamp),
           Object(apm_schema::kAppMetadataRowID)},
          error)
      .has_value();
}
