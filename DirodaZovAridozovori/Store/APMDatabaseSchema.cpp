#include "APMDatabaseSchema.h"

namespace apm_schema {

namespace {

// Aggregates and their snapshot share one layout, so the snapshot can be copied back verbatim.
APMSqliteStore::ColumnInfo eventColumns() {
  return {
      {"name", "TEXT NOT NULL PRIMARY KEY"},
      {"lifetime_count", "INTEGER NOT NULL DEFAULT 0"},
      {"current_bundle_count", "INTEGER NOT NULL DEFAULT 0"},
      {"current_session_count", "INTEGER NOT NULL DEFAULT 0"},
      {"last_fire_timestamp", "REAL NOT NULL DEFAULT 0"},
  };
}

APMSqliteStore::ColumnInfo eventSamplingColumns() {
  return {
      {"last_bundled_timestamp", "REAL NOT NULL DEFAULT 0"},
      {"last_bundled_day", "INTEGER NOT NULL DEFAULT 0"},
      {"last_sampling_rate", "INTEGER NOT NULL DEFAULT 0"},
      {"last_sampled_complex_event_id", "INTEGER"},
      {"last_exempt_from_sampling", "INTEGER NOT NULL DEFAULT 0"},
  };
}

std::vector<APMTableDefinition> makeTables() {
  return {
      // Kept lean: the event road writes one row per event. Name and time have columns of their
      // own; origin, flags and parameters travel in the compact body (see APMEventEncoding::encodedBody).
      {kRawEvents,
       {{"name", "TEXT NOT NULL"},
        {"timestamp", "REAL NOT NULL"},
        {"metadata_fingerprint", "INTEGER NOT NULL"},
        {"data", "BLOB NOT NULL"},
        {"realtime", "INTEGER NOT NULL DEFAULT 0"}},
       {},
       // No index on metadata_fingerprint (see retiredIndexes): every statement on the table walks
       // it by row ID.
       {}},
      // Row IDs in insertion order, the fingerprint UNIQUE beside them: a purchase stores a new row
      // with every event, and appended rows fill one leaf page after another where rows keyed by the
      // fingerprint went to a random page each (see APMRawEventMetadataLayout.h).
      {kRawEventsMetadata,
       {{"metadata_fingerprint", "INTEGER NOT NULL UNIQUE"}, {"metadata", "BLOB NOT NULL"}},
       {},
       {}},
      {kUserAttributes,
       {{"name", "TEXT NOT NULL PRIMARY KEY"},
        {"origin", "TEXT NOT NULL"},
        {"set_timestamp", "REAL NOT NULL"},
        // No declared type: integers, doubles and strings keep their kind.
        {"value", "NOT NULL"}},
       {},
       {}},
      {kEvents, eventColumns(), eventSamplingColumns(), {}},
      {kEventsSnapshot, eventColumns(), eventSamplingColumns(), {}},
      {kAppMetadata,
       {{"id", "INTEGER NOT NULL PRIMARY KEY"},
        {"day", "INTEGER NOT NULL DEFAULT 0"},
        {"conversions_count", "INTEGER NOT NULL DEFAULT 0"},
        {"all_events_count", "INTEGER NOT NULL DEFAULT 0"},
        {"public_events_count", "INTEGER NOT NULL DEFAULT 0"},
        {"error_events_count", "INTEGER NOT NULL DEFAULT 0"},
        {"realtime_count", "INTEGER NOT NULL DEFAULT 0"},
        {"dcu_realtime_count", "INTEGER NOT NULL DEFAULT 0"},
        {"last_bundle_index", "INTEGER NOT NULL DEFAULT 0"},
        {"last_delivery_index", "INTEGER NOT NULL DEFAULT 0"},
        {"last_bundle_start_timestamp", "REAL NOT NULL DEFAULT 0"},
        {"last_bundle_end_timestamp", "REAL NOT NULL DEFAULT 0"},
        {"remote_config_data", "BLOB"},
        {"remote_config_timestamp", "REAL NOT NULL DEFAULT 0"}},
       {},
       {}},
      // The upload queue: gzip of each encoded bundle.
      {kQueue,
       {{"data", "BLOB NOT NULL"},
        {"end_timestamp", "REAL NOT NULL"},
        {"realtime", "INTEGER NOT NULL DEFAULT 0"},
        {"retry_count", "INTEGER NOT NULL DEFAULT 0"}},
       {},
       {}},
      {kPurchaseTransactions,
       {{"fingerprint", "TEXT NOT NULL PRIMARY KEY"}, {"created_timestamp", "REAL NOT NULL"}},
       {},
       {}},
      {kSubscriptions,
       {{"subscription_id", "TEXT NOT NULL PRIMARY KEY"}, {"created_timestamp", "REAL NOT NULL"}},
       {},
       {}},
      {kODMValues,
       {{"name", "TEXT NOT NULL PRIMARY KEY"}, {"value", "TEXT NOT NULL"}, {"set_timestamp", "REAL NOT NULL"}},
       {},
       {}},
      {kEventFilters,
       {{"audience_id", "INTEGER NOT NULL"},
        {"filter_id", "INTEGER NOT NULL"},
        {"event_name", "TEXT NOT NULL"},
        {"data", "BLOB NOT NULL"},
        {"session_scoped", "INTEGER NOT NULL DEFAULT 0"}},
       {},
       {"CREATE UNIQUE INDEX IF NOT EXISTS event_filters_key ON event_filters (audience_id, filter_id)",
        "CREATE INDEX IF NOT EXISTS event_filters_event_name ON event_filters (event_name)"}},
      {kPropertyFilters,
       {{"audience_id", "INTEGER NOT NULL"},
        {"filter_id", "INTEGER NOT NULL"},
        {"property_name", "TEXT NOT NULL"},
        {"data", "BLOB NOT NULL"},
        {"session_scoped", "INTEGER NOT NULL DEFAULT 0"}},
       {},
       {"CREATE UNIQUE INDEX IF NOT EXISTS property_filters_key ON property_filters (audience_id, filter_id)",
        "CREATE INDEX IF NOT EXISTS property_filters_property_name ON property_filters (property_name)"}},
      {kAudienceFilterValues,
       {{"audience_id", "INTEGER NOT NULL PRIMARY KEY"},
        {"current_results", "BLOB"},
        {"previous_results", "BLOB"}},
       {},
       {}},
      {kConditionalProperties,
       {{"name", "TEXT NOT NULL PRIMARY KEY"},
        {"origin", "TEXT NOT NULL"},
        {"value", ""},
        {"trigger_event_name", "TEXT"},
        {"trigger_timeout", "REAL NOT NULL DEFAULT 0"},
        {"time_to_live", "REAL NOT NULL DEFAULT 0"},
        {"triggered_event", "BLOB"},
        {"timed_out_event", "BLOB"},
        {"expired_event", "BLOB"},
        {"creation_timestamp", "REAL NOT NULL DEFAULT 0"},
        {"active", "INTEGER NOT NULL DEFAULT 0"},
        {"triggered_timestamp", "REAL NOT NULL DEFAULT 0"}},
       {},
       {}},
  };
}

}  // namespace

const std::vector<std::string>& retiredIndexes() {
  // "raw_events_metadata_fingerprint" on raw_events (metadata_fingerprint): kept up to date it cost
  // the event road as much as the raw row itself, and bundling, which takes the rows in row-ID
  // order, reads nothing through it (see APMDatabaseRawEvents::deleteRawEventMetadataLeftUnused).
  // An earlier build that opens the file creates it again.
  static const auto& kIndexes = *new std::vector<std::string>{"raw_events_metadata_fingerprint"};
  return kIndexes;
}

const std::vector<APMTableDefinition>& tables() {
  // Never destroyed: the SDK's threads may read it until the process has ended.
  static const auto& kTables = *new std::vector<APMTableDefinition>(makeTables());
  return kTables;
}

}  // namespace apm_schema
