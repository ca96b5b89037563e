#include "APMDatabaseRawEvents.h"

#include <algorithm>
#include <cstring>

#include "APMDatabaseRows.h"
#include "APMEventEncoding.h"
#include "APMDatabaseSchema.h"
#include "APMPBMessages.h"
#include "APMSqliteTransactions.h"
#include "APMStoreLog.h"
#include "Utilities/APMDataDigest.h"
#include "platform/Clock.h"

using platform::Object;

int64_t APMDatabaseRawEvents::metadataFingerprint(const platform::Data& encodedMetadata) {
  const uint64_t fingerprint = apm_64LSBMD5(encodedMetadata);
  int64_t result;
  std::memcpy(&result, &fingerprint, sizeof result);
  return result;
}

int64_t APMDatabaseRawEvents::metadataFingerprint(const APMPBMeasurementBundle& metadata) {
  return metadataFingerprint(metadata.protoBuffer());
}

bool APMDatabaseRawEvents::insertIfNotExistsRawEventMetadata(const APMPBMeasurementBundle& metadata,
                                                             platform::Error* error) {
  return insertIfNotExistsRawEventMetadata(metadata.protoBuffer(), error);
}

bool APMDatabaseRawEvents::insertIfNotExistsRawEventMetadata(const platform::Data& encodedMetadata,
                                                             platform::Error* error) {
  return insertIfNotExistsRawEventMetadata(encodedMetadata, metadataFingerprint(encodedMetadata), error);
}

bool APMDatabaseRawEvents::insertIfNotExistsRawEventMetadata(const platform::Data& encodedMetadata, int64_t fingerprint,
                                                             platform::Error* error) {
  if (!connection_->checkQueue("insertIfNotExistsRawEventMetadata", error)) return false;
  // With its raw-event row, all a purchase writes: neither needs a savepoint (see insertRow).
  // Bound where it lies: a purchase stores one of these with every event.
  using Value = APMSqliteBinding::BoundValue;
  return store_->insertRow(apm_schema::kRawEventsMetadata, insertMetadataStatement_,
                           {Value::of(fingerprint), Value::of(encodedMetadata)}, error);
}

bool APMDatabaseRawEvents::insertRawEvent(const APMEvent& event, int64_t metadataFingerprint, bool isRealtime,
                                          platform::Error* error) {
  if (!connection_->checkQueue("insertRawEvent", error)) return false;
  // Most events write nothing but this row: it needs no savepoint of its own (see insertRow).
  // Bound in place: the body the event kept, else one buffer the road keeps, so the road's
  // commonest write makes no copies.
  const platform::Data* body = event.storedBody();
  if (!body) {
    APMEventEncoding::encodeBody(event, encodedBody_);
    body = &encodedBody_;
  }
  using Value = APMSqliteBinding::BoundValue;
  const bool inserted = store_->insertRow(
      apm_schema::kRawEvents, insertRawEventStatement_,
      {Value::of(event.name()), Value::of(event.timestamp()), Value::of(metadataFingerprint), Value::of(*body),
       Value::of(int64_t{isRealtime ? 1 : 0})},
      error);
  if (inserted && rawEventFacts_) {
    if (auto& latest = rawEventFacts_->latestTime) {
      *latest = *latest ? std::max(**latest, event.timestamp()) : event.timestamp();
    }
    if (isRealtime) rawEventFacts_->hasRealtime = true;
  }
  return inserted;
}

// The row-ID span bounds the row count from above and costs two index look-ups; only a span over
// the limit needs the full count, so the event road stays cheap below the limit. A new row's ID is
// above every stored one, so each insert widens the span by one at most.
std::optional<int64_t> APMDatabaseRawEvents::rawEventRowIDSpan(platform::Error* error) {
  // Two sub-selects: SQLite answers a lone MIN or MAX from the b-tree edge, but scans for both at once.
  auto span = connection_->query(
      "SELECT (SELECT MIN(rowid) FROM raw_events) AS first, (SELECT MAX(rowid) FROM raw_events) AS last", {}, error);
  if (!span) return std::nullopt;
  if (span->empty() || !apm_rows::has(span->front(), "first")) return 0;
  return apm_rows::integer(span->front(), "last") - apm_rows::integer(span->front(), "first") + 1;
}

std::optional<int64_t> APMDatabaseRawEvents::rawEventsRoomBelowAbsoluteLimit(platform::Error* error) {
  if (!connection_->checkQueue("rawEventsRoomBelowAbsoluteLimit", error)) return std::nullopt;
  auto spanCount = rawEventRowIDSpan(error);
  if (!spanCount) return std::nullopt;
  return std::max<int64_t>(0, connection_->limits().maxEventsStored) - *spanCount;
}

std::optional<int64_t> APMDatabaseRawEvents::deleteRawEventsOverAbsoluteLimit(platform::Error* error) {
  if (!connection_->checkQueue("deleteRawEventsOverAbsoluteLimit", error)) return std::nullopt;
  const int64_t limit = std::max<int64_t>(0, connection_->limits().maxEventsStored);
  auto spanCount = rawEventRowIDSpan(error);
  if (!spanCount) return std::nullopt;
  if (*spanCount <= limit) return 0;
  forgetRawEventFacts();
  auto total = connection_->count("SELECT COUNT(*) AS count FROM raw_events", {}, error);
  if (!total) return std::nullopt;
  if (*total <= limit) return 0;
  return connection_->execute(
      "DELETE FROM raw_events WHERE rowid IN (SELECT rowid FROM raw_events ORDER BY rowid ASC LIMIT ?)",
      {Object(*total - limit)}, error);
}

std::optional<int64_t> APMDatabaseRawEvents::nextMetadataFingerprintToProcess(platform::Error* error) {
  if (!connection_->checkQueue("nextMetadataFingerprintToProcess", error)) return std::nullopt;
  // Oldest means lowest row ID, so events leave in the order they were logged. Asked once per
  // group: read in place.
  std::optional<int64_t> fingerprint;
  if (!store_->forEachRowOfQuery("SELECT metadata_fingerprint FROM raw_events ORDER BY rowid ASC LIMIT 1", {},
                                 [&fingerprint](const APMSqliteRow& row) {
                                   fingerprint = row.integer(0);
                                   return false;
                                 },
                                 error)) {
    return std::nullopt;
  }
  return fingerprint;
}

namespace {

// The columns readableRawEvents reads, in this order.
constexpr const char* kRawEventColumns =
    "SELECT rowid, name, timestamp, metadata_fingerprint, data, realtime FROM raw_events";
enum RawEventColumn { kRowID, kName, kTimestamp, kFingerprint, kData };

std::shared_ptr<APMRawEventData> rawEventDataFromRow(const APMSqliteRow& row, platform::Error* error) {
  if (!row.has(kRowID) || !row.has(kName) || !row.has(kData)) {
    APMFail(error, kAPMStoreErrorCorruptData, "Raw event row is missing columns");
    return nullptr;
  }
  // Decoded in place: the body is not copied out of the row first.
  auto event = APMEventEncoding::decodeBody(row.text(kName), row.real(kTimestamp), row.bytes(kData));
  if (!event) {
    APMFail(error, kAPMStoreErrorCorruptData,
            "Raw event data is corrupted. RowID " + std::to_string(row.integer(kRowID)));
    return nullptr;
  }
  return std::make_shared<APMRawEventData>(std::move(event), row.integer(kRowID), row.integer(kFingerprint));
}

}  // namespace

std::optional<std::vector<std::shared_ptr<APMRawEventData>>> APMDatabaseRawEvents::readableRawEvents(
    const std::string& condition, const platform::Array& values, const RawEventFilter& eventFilter,
    platform::Error* error) {
  std::vector<std::shared_ptr<APMRawEventData>> accepted;
  std::vector<int64_t> unreadable;
  size_t position = 0;
  // Read in place: a group's thousand rows are not first copied into dictionaries.
  const bool read = store_->forEachRowOfQuery(
      std::string(kRawEventColumns) + condition, values,
      [&](const APMSqliteRow& row) {
        platform::Error rowError;
        auto data = rawEventDataFromRow(row, &rowError);
        if (!data) {
          // A row that can never be read would stop every later bundle: drop it, loudly.
          APMLog(APMLogLevel::kErrorSampled, APMStoreLogCode::kUnreadableRawEventDeleted,
                 "Deleting raw event that cannot be read. RowID, error", {Object(row.integer(kRowID)), rowError});
          unreadable.push_back(row.integer(kRowID));
          return true;
        }
        if (eventFilter && !eventFilter(row.record(), position)) return false;
        ++position;
        accepted.push_back(std::move(data));
        return true;
      },
      error);
  if (!read) return std::nullopt;
  if (!unreadable.empty()) forgetRawEventFacts();
  if (!connection_->deleteRowIDs(apm_schema::kRawEvents, unreadable, error)) return std::nullopt;
  return accepted;
}

std::optional<std::vector<std::shared_ptr<APMRawEventData>>> APMDatabaseRawEvents::rawEventsWithMetadataFingerprint(
    int64_t fingerprint, platform::Error* error, const RawEventFilter& eventFilter) {
  if (!connection_->checkQueue("rawEventsWithMetadataFingerprint", error)) return std::nullopt;
  return readableRawEvents(" WHERE metadata_fingerprint = ? ORDER BY rowid ASC LIMIT ?",
                           {Object(fingerprint), Object(kRawEventsPerQuery)}, eventFilter, error);
}

std::optional<std::vector<std::shared_ptr<APMRawEventData>>> APMDatabaseRawEvents::oldestRawEventsWithMetadataFingerprint(
    int64_t fingerprint, platform::Error* error) {
  if (!connection_->checkQueue("oldestRawEventsWithMetadataFingerprint", error)) return std::nullopt;
  // A range of row IDs: SQLite reads no row outside it.
  return readableRawEvents(
      " WHERE rowid BETWEEN (SELECT MIN(rowid) FROM raw_events) AND (SELECT MIN(rowid) FROM raw_events) + ?1 - 1"
      " AND metadata_fingerprint = ?2 ORDER BY rowid ASC",
      {Object(kRawEventsPerQuery), Object(fingerprint)}, nullptr, error);
}

std::optional<std::vector<std::shared_ptr<APMRawEventData>>> APMDatabaseRawEvents::rawEventsAfterRowID(
    int64_t rowID, int64_t limit, bool* unreadable, platform::Error* error) {
  if (!connection_->checkQueue("rawEventsAfterRowID", error)) return std::nullopt;
  std::vector<std::shared_ptr<APMRawEventData>> rows;
  bool stopped = false;
  const bool read = store_->forEachRowOfQuery(
      std::string(kRawEventColumns) + " WHERE rowid > ? ORDER BY rowid ASC LIMIT ?", {Object(rowID), Object(limit)},
      [&](const APMSqliteRow& row) {
        auto data = rawEventDataFromRow(row, nullptr);
        if (!data) {
          stopped = true;
          return false;
        }
        rows.push_back(std::move(data));
        return true;
      },
      error);
  if (!read) return std::nullopt;
  if (unreadable) *unreadable = stopped;
  return rows;
}

std::optional<std::vector<std::shared_ptr<APMRawEventData>>> APMDatabaseRawEvents::allRawEventsWithError(
    platform::Error* error) {
  if (!connection_->checkQueue("allRawEventsWithError", error)) return std::nullopt;
  return readableRawEvents(" ORDER BY rowid ASC", {}, nullptr, error);
}

bool APMDatabaseRawEvents::updateRawEvent(const APMRawEventData& rawEvent, platform::Error* error) {
  if (!connection_->checkQueue("updateRawEvent", error)) return false;
  if (!rawEvent.rawEvent()) return APMFail(error, kAPMStoreErrorInvalidArgument, "Received raw event without event");
  const APMEvent& event = *rawEvent.rawEvent();
  platform::Data body = APMEventEncoding::encodedBody(event);
  if (rawEventFacts_) {
    // A row that keeps its time leaves the latest time and the real-time rows as they were (the
    // real-time flag is never rewritten here), so what the schedule knows stays true.
    auto kept = connection_->execute(
        "UPDATE raw_events SET name = ?, data = ? WHERE rowid = ? AND timestamp = ?",
        {Object(event.name()), Object(body), Object(rawEvent.rowID()), Object(event.timestamp())}, error);
    if (!kept) return false;
    if (*kept == 1) return true;
  }
  forgetRawEventFacts();
  auto changed = connection_->execute(
      "UPDATE raw_events SET name = ?, timestamp = ?, data = ? WHERE rowid = ?",
      {Object(event.name()), Object(event.timestamp()), Object(std::move(body)), Object(rawEvent.rowID())}, error);
  if (!changed) return false;
  if (*changed == 0) {
    return APMFail(error, kAPMStoreErrorInvalidArgument,
                   "No raw event with row ID " + std::to_string(rawEvent.rowID()) + " to update");
  }
  return true;
}

std::shared_ptr<APMPBMeasurementBundle> APMDatabaseRawEvents::queryRawEventsMetadataWithFingerprint(
    int64_t fingerprint, platform::Error* error) {
  if (!connection_->checkQueue("queryRawEventsMetadataWithFingerprint", error)) return nullptr;
  auto data = queryRawEventsMetadataDataWithFingerprint(fingerprint, error);
  if (!data) return nullptr;
  auto metadata = APMPBMeasurementBundle::fromBuffer(*data);
  if (!metadata) APMFail(error, kAPMStoreErrorCorruptData, "Raw event metadata is corrupted");
  return metadata;
}

std::optional<APMEncodedMessage> APMDatabaseRawEvents::queryRawEventsMetadataEncodingWithFingerprint(
    int64_t fingerprint, platform::Error* error) {
  if (!connection_->checkQueue("queryRawEventsMetadataEncodingWithFingerprint", error)) return std::nullopt;
  auto data = queryRawEventsMetadataDataWithFingerprint(fingerprint, error);
  if (!data) return std::nullopt;
  return metadataEncodingOf(std::move(*data), error);
}

std::optional<APMEncodedMessage> APMDatabaseRawEvents::metadataEncodingOf(platform::Data stored, platform::Error* error) {
  if (auto encoded = APMEncodedMessage::fromCanonicalEncoding(APMPBMeasurementBundle::messageInfo(), std::move(stored))) {
    return encoded;
  }
  // A failed canonical read leaves the bytes where they were.
  auto metadata = APMPBMeasurementBundle::fromBuffer(stored);
  if (!metadata) {
    APMFail(error, kAPMStoreErrorCorruptData, "Raw event metadata is corrupted");
    return std::nullopt;
  }
  return APMEncodedMessage::fromMessage(*metadata);
}

std::optional<platform::Data> APMDatabaseRawEvents::queryRawEventsMetadataDataWithFingerprint(int64_t fingerprint,
                                                                                              platform::Error* error,
                                                                                              int64_t* rowID) {
  if (!connection_->checkQueue("queryRawEventsMetadataDataWithFingerprint", error)) return std::nullopt;
  std::optional<platform::Data> metadata;
  // The row ID comes with the fingerprint's index entry.
  if (!store_->forEachRowOfQuery(
          "SELECT metadata, rowid FROM raw_events_metadata WHERE metadata_fingerprint = ?", {Object(fingerprint)},
          [&](const APMSqliteRow& row) {
            const auto bytes = row.bytes(0);
            metadata.emplace(bytes.begin(), bytes.end());
            if (rowID) *rowID = row.integer(1);
            return false;
          },
          error)) {
    return std::nullopt;
  }
  return metadata;
}

std::optional<std::vector<APMDatabaseRawEvents::StoredMetadata>> APMDatabaseRawEvents::rawEventMetadataAfterRowID(
    int64_t rowID, int64_t limit, platform::Error* error) {
  if (!connection_->checkQueue("rawEventMetadataAfterRowID", error)) return std::nullopt;
  std::vector<StoredMetadata> rows;
  const bool read = store_->forEachRowOfQuery(
      "SELECT rowid, metadata_fingerprint, metadata FROM raw_events_metadata WHERE rowid > ? ORDER BY rowid ASC LIMIT ?",
      {Object(rowID), Object(limit)},
      [&rows](const APMSqliteRow& row) {
        const auto bytes = row.bytes(2);
        rows.push_back(StoredMetadata{row.integer(0), row.integer(1), platform::Data(bytes.begin(), bytes.end())});
        return true;
      },
      error);
  if (!read) return std::nullopt;
  return rows;
}

bool APMDatabaseRawEvents::deleteRawEventsWithMaxRowID(int64_t rowID, platform::Error* error) {
  if (!connection_->checkQueue("deleteRawEventsWithMaxRowID", error)) return false;
  forgetRawEventFacts();
  return store_->deleteRecordsFromTableWithName(apm_schema::kRawEvents, "rowid <= ?", {Object(rowID)}, error)
      .has_value();
}

bool APMDatabaseRawEvents::deleteRawEventsWithRowIDs(const std::vector<int64_t>& rowIDs, platform::Error* error) {
  if (!connection_->checkQueue("deleteRawEventsWithRowIDs", error)) return false;
  forgetRawEventFacts();
  return connection_->deleteRowIDs(apm_schema::kRawEvents, rowIDs, error);
}

bool APMDatabaseRawEvents::deleteRawEventsWithRowIDs(const std::vector<int64_t>& rowIDs, double newestDeletedTimestamp,
                                                     platform::Error* error) {
  if (!connection_->checkQueue("deleteRawEventsWithRowIDs", error)) return false;
  rawEventsWillBeDeleted(newestDeletedTimestamp);
  return connection_->deleteRowIDs(apm_schema::kRawEvents, rowIDs, error);
}

void APMDatabaseRawEvents::rawEventsWillBeDeleted(double newestDeletedTimestamp) {
  if (!rawEventFacts_) return;
  // Deleting rows adds neither a later time nor a real-time row; a row as new as the newest known
  // time may have been the one that held it.
  auto& latest = rawEventFacts_->latestTime;
  if (latest && (!*latest || **latest <= newestDeletedTimestamp)) latest.reset();
  if (rawEventFacts_->hasRealtime.value_or(false)) rawEventFacts_->hasRealtime.reset();
}

bool APMDatabaseRawEvents::deleteRawEventSpanWithItsMetadata(int64_t firstRowID, int64_t lastRowID,
                                                             double newestDeletedTimestamp, platform::Error* error) {
  if (!connection_->checkQueue("deleteRawEventSpanWithItsMetadata", error)) return false;
  if (firstRowID > lastRowID) return true;
  rawEventsWillBeDeleted(newestDeletedTimestamp);
  std::vector<int64_t> fingerprints;
  if (!store_->forEachRowOfQuery("SELECT DISTINCT metadata_fingerprint FROM raw_events WHERE rowid BETWEEN ? AND ?",
                                 {Object(firstRowID), Object(lastRowID)},
                                 [&fingerprints](const APMSqliteRow& row) {
                                   fingerprints.push_back(row.integer(0));
                                   return true;
                                 },
                                 error)) {
    return false;
  }
  using Value = APMSqliteBinding::BoundValue;
  auto deleted = store_->executeStatement(deleteSpanStatement_, {Value::of(firstRowID), Value::of(lastRowID)}, error);
  return deleted && deleteRawEventMetadataLeftUnused(fingerprints, *deleted, error);
}

bool APMDatabaseRawEvents::deleteRawEventMetadataLeftUnused(const std::vector<int64_t>& fingerprints,
                                                            int64_t deletedRows, platform::Error* error) {
  if (!connection_->checkQueue("deleteRawEventMetadataLeftUnused", error)) return false;
  if (fingerprints.empty() && deletedRows <= 0 && metadataPass_.fingerprintsOfDeletedRows.empty()) return true;
  metadataPassWillChange();
  auto& waiting = metadataPass_.fingerprintsOfDeletedRows;
  waiting.insert(waiting.end(), fingerprints.begin(), fingerprints.end());
  metadataPass_.rowsDeletedSince += std::max<int64_t>(0, deletedRows);
  // Most runs delete the rows of a fingerprint or two: kept unique, the list grows only with new ones.
  if (waiting.size() >= 2 * metadataPass_.unsortedFrom + 64) {
    std::sort(waiting.begin(), waiting.end());
    waiting.erase(std::unique(waiting.begin(), waiting.end()), waiting.end());
    metadataPass_.unsortedFrom = waiting.size();
  }
  if (waiting.empty()) return true;
  // The row-ID span stands for the rows left: two look-ups where counting them reads them all.
  auto left = rawEventRowIDSpan(error);
  if (!left) return false;
  if (*left > 0 && metadataPass_.rowsDeletedSince < *left && waiting.size() < kMostFingerprintsPerPass) return true;
  std::string list = "[";
  for (const int64_t fingerprint : waiting) {
    if (list.size() > 1) list += ',';
    list += std::to_string(fingerprint);
  }
  list += ']';
  using Value = APMSqliteBinding::BoundValue;
  // Without raw events none of them is in use.
  auto& statement = *left == 0 ? deleteMetadataStatement_ : deleteUnusedMetadataStatement_;
  if (!store_->executeStatement(statement, {Value::of(list)}, error)) return false;
  metadataPass_ = MetadataPass{};
  return true;
}

void APMDatabaseRawEvents::metadataPassWillChange() {
  const APMSqliteTransactions& transactions = store_->transactions();
  const size_t depth = transactions.scopeDepth();
  auto& before = metadataPassBeforeScope_;
  if (passScopesSerial_ != transactions.transactionSerial()) {
    // Copies an earlier transaction left (a closed connection ends one unannounced) are not this one's.
    before.clear();
    passScopesSerial_ = transactions.transactionSerial();
  }
  // Outside a transaction every statement is kept as it runs: nothing to put back. Inside one, the
  // scopes holding a copy are the outermost ones; those inside them have not changed it since they
  // began, so they all began with it as it is now.
  if (before.size() >= depth) return;
  auto now = std::make_shared<const MetadataPass>(metadataPass_);
  before.resize(depth, now);
}

void APMDatabaseRawEvents::scopeEnded(size_t depth, bool kept) {
  auto& before = metadataPassBeforeScope_;
  if (passScopesSerial_ != store_->transactions().transactionSerial()) {
    before.clear();
    return;
  }
  if (depth >= before.size()) return;  // the scope changed nothing
  // Kept, what it changed is the enclosing scope's to keep or undo, whose copy is older.
  if (!kept) metadataPass_ = *before[depth];
  before.resize(depth);
}

std::optional<bool> APMDatabaseRawEvents::containsRawEventWithMetadataFingerprint(int64_t fingerprint,
                                                                                  platform::Error* error) {
  if (!connection_->checkQueue("containsRawEventWithMetadataFingerprint", error)) return std::nullopt;
  return connection_->exists("SELECT 1 FROM raw_events WHERE metadata_fingerprint = ? LIMIT 1", {Object(fingerprint)},
                             error);
}

bool APMDatabaseRawEvents::deleteUnusedRawEventMetadata(int64_t fingerprint, platform::Error* error) {
  if (!connection_->checkQueue("deleteUnusedRawEventMetadata", error)) return false;
  return connection_
      ->execute("DELETE FROM raw_events_metadata WHERE metadata_fingerprint = ? AND NOT EXISTS "
                "(SELECT 1 FROM raw_events WHERE metadata_fingerprint = ?)",
                {Object(fingerprint), Object(fingerprint)}, error)
      .has_value();
}

bool APMDatabaseRawEvents::deleteRawEventMetadataWithMetadataFingerprint(int64_t fingerprint, platform::Error* error) {
  if (!connection_->checkQueue("deleteRawEventMetadataWithMetadataFingerprint", error)) return false;
  return store_->deleteRecordFromTableWithName(apm_schema::kRawEventsMetadata, "metadata_fingerprint",
                                               Object(fingerprint), error);
}

APMDatabaseRawEvents::RawEventFacts* APMDatabaseRawEvents::currentRawEventFacts() {
  const auto dataVersion = store_->dataVersion();
  if (!dataVersion) {
    rawEventFacts_.reset();
    return nullptr;
  }
  const uint64_t rollbacks = store_->transactions().rollbackCount();
  if (!rawEventFacts_ || rawEventFacts_->dataVersion != *dataVersion || rawEventFacts_->rollbacks != rollbacks) {
    rawEventFacts_ = RawEventFacts{rollbacks, *dataVersion, std::nullopt, std::nullopt};
  }
  return &*rawEventFacts_;
}

double APMDatabaseRawEvents::queryLatestRawEventTime(platform::Error* error) {
  if (!connection_->checkQueue("queryLatestRawEventTime", error)) return 0;
  RawEventFacts* facts = currentRawEventFacts();
  if (facts && facts->latestTime) return facts->latestTime->value_or(0);
  // The schedule asks whether a real-time row waits right after this, and without one that answer
  // reads the whole table again: the one pass that finds the latest time answers it as well.
  auto rows = connection_->query("SELECT MAX(timestamp) AS latest, MAX(realtime = 1) AS realtime FROM raw_events",
                                 {}, error);
  if (!rows) return 0;
  std::optional<double> latest;
  bool realtime = false;
  if (!rows->empty()) {
    const auto& row = rows->front();
    if (apm_rows::has(row, "latest")) latest = apm_rows::real(row, "latest");
    realtime = apm_rows::has(row, "realtime") && apm_rows::integer(row, "realtime") == 1;
  }
  if (facts) {
    facts->latestTime = latest;
    facts->hasRealtime = realtime;
  }
  return latest.value_or(0);
}

std::optional<bool> APMDatabaseRawEvents::containsRealtimeRawEventsWithError(platform::Error* error) {
  if (!connection_->checkQueue("containsRealtimeRawEventsWithError", error)) return std::nullopt;
  RawEventFacts* facts = currentRawEventFacts();
  if (facts && facts->hasRealtime) return facts->hasRealtime;
  auto any = connection_->exists("SELECT 1 FROM raw_events WHERE realtime = 1 LIMIT 1", {}, error);
  if (any && facts) facts->hasRealtime = any;
  return any;
}

std::optional<bool> APMDatabaseRawEvents::isRawEventsTableEmpty(platform::Error* error) {
  if (!connection_->checkQueue("isRawEventsTableEmpty", error)) return std::nullopt;
  auto any = connection_->exists("SELECT 1 FROM raw_events LIMIT 1", {}, error);
  if (!any) return std::nullopt;
  return !*any;
}
