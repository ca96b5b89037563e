#include "APMRawEventMetadataLayout.h"

#include "APMDatabaseRows.h"
#include "APMDatabaseSchema.h"
#include "APMStoreLog.h"

using platform::Object;

namespace apm_metadata_layout {

namespace {

// Lives only inside the move's transaction.
constexpr const char* kMovingTable = "raw_events_metadata_moving";

const APMTableDefinition* metadataDefinition() {
  for (const APMTableDefinition& table : apm_schema::tables()) {
    if (table.name == apm_schema::kRawEventsMetadata) return &table;
  }
  return nullptr;
}

// Stops counting at limit: a table too large to move is not read whole at every start.
std::optional<int64_t> rowsUpTo(APMSqliteStore& store, int64_t limit, platform::Error* error) {
  auto rows = store.recordsForQuery("SELECT COUNT(*) AS count FROM (SELECT 1 FROM raw_events_metadata LIMIT ?)",
                                    {Object(limit)}, error);
  if (!rows || rows->empty()) return std::nullopt;
  return apm_rows::integer(rows->front(), "count");
}

bool moveRows(APMSqliteStore& store, platform::Error* error) {
  const APMTableDefinition* definition = metadataDefinition();
  if (!definition) return APMFail(error, kAPMStoreErrorInvalidArgument, "No definition for raw event metadata");
  const std::string moving = APMSqliteStore::quoteIdentifier(kMovingTable);
  // Declared through the same call that creates the table in a new file, so a moved file's table
  // reads the same as a new one's.
  return store.executeStatement("DROP TABLE IF EXISTS " + moving, {}, error) &&
         store.ensureTableWithName(kMovingTable, definition->elementaryColumns, definition->addOnColumns, {}, error) &&
         store.executeStatement("INSERT INTO " + moving +
                                    " (metadata_fingerprint, metadata) "
                                    "SELECT metadata_fingerprint, metadata FROM raw_events_metadata ORDER BY rowid",
                                {}, error) &&
         store.executeStatement("DROP TABLE raw_events_metadata", {}, error) &&
         store.executeStatement("ALTER TABLE " + moving + " RENAME TO raw_events_metadata", {}, error);
}

}  // namespace

std::optional<APMRawEventMetadataLayout> layoutOf(APMSqliteStore& store, platform::Error* error) {
  auto columns = store.recordsForQuery("PRAGMA table_info(raw_events_metadata)", {}, error);
  if (!columns) return std::nullopt;
  for (const auto& column : *columns) {
    if (apm_rows::text(column, "name") != "metadata_fingerprint") continue;
    // An INTEGER PRIMARY KEY is the row ID itself.
    return apm_rows::integer(column, "pk") != 0 ? APMRawEventMetadataLayout::kFingerprintKey
                                                 : APMRawEventMetadataLayout::kRowIDs;
  }
  APMFail(error, kAPMStoreErrorInvalidArgument, "Raw event metadata has no fingerprint column");
  return std::nullopt;
}

MoveOutcome moveToRowIDs(APMSqliteStore& store, int64_t mostRows, platform::Error* error) {
  MoveOutcome outcome = MoveOutcome::kFailed;
  const bool kept = store.transactions().performTransactionWithError(error, [&] {
    auto layout = layoutOf(store, error);
    if (!layout) return false;
    if (*layout == APMRawEventMetadataLayout::kRowIDs) {
      outcome = MoveOutcome::kNothingToMove;
      return true;
    }
    auto rows = rowsUpTo(store, mostRows + 1, error);
    if (!rows) return false;
    if (*rows > mostRows) {
      outcome = MoveOutcome::kLeftInPlace;
      return true;
    }
    if (!moveRows(store, error)) return false;
    outcome = MoveOutcome::kMoved;
    return true;
  });
  return kept ? outcome : MoveOutcome::kFailed;
}

}  // namespace apm_metadata_layout
