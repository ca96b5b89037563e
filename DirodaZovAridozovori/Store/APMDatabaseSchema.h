#pragma once
// Every table, column and index of the measurement database, in one place.

#include <string>
#include <vector>

#include "APMSqliteStore.h"

struct APMTableDefinition {
  std::string name;
  APMSqliteStore::ColumnInfo elementaryColumns;
  // Columns added after the first release; an older file gains them on open.
  APMSqliteStore::ColumnInfo addOnColumns;
  // "CREATE … INDEX IF NOT EXISTS" statements for the table.
  std::vector<std::string> indexes;
};

namespace apm_schema {

inline constexpr const char* kRawEvents = "raw_events";
inline constexpr const char* kRawEventsMetadata = "raw_events_metadata";
inline constexpr const char* kUserAttributes = "user_attributes";
inline constexpr const char* kEvents = "events";
inline constexpr const char* kEventsSnapshot = "events_snapshot";
inline constexpr const char* kAppMetadata = "app_metadata";
inline constexpr const char* kQueue = "queue";
inline constexpr const char* kPurchaseTransactions = "purchase_transactions";
inline constexpr const char* kSubscriptions = "subscriptions";
inline constexpr const char* kODMValues = "odm_values";
inline constexpr const char* kEventFilters = "event_filters";
inline constexpr const char* kPropertyFilters = "property_filters";
inline constexpr const char* kAudienceFilterValues = "audience_filter_values";
inline constexpr const char* kConditionalProperties = "conditional_properties";

// The one app-metadata row.
inline constexpr int64_t kAppMetadataRowID = 1;

const std::vector<APMTableDefinition>& tables();
// Indexes earlier builds made and this one drops when it opens their file.
const std::vector<std::string>& retiredIndexes();

}  // namespace apm_schema
