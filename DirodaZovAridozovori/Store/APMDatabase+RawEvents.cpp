// Raw events, their metadata, the upload queue and purchase de-duplication.

#include <algorithm>
#include <cstring>

#include "APMDatabase.h"
#include "APMDatabaseRows.h"
#include "APMDatabaseSchema.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "APMStoreLog.h"
#include "Utilities/APMDataDigest.h"
#include "platform/Clock.h"
#include "platform/Gzip.h"

using platform::Object;

namespace {

// Queued bundles are small protocol messages; anything inflating beyond this is not one of ours.
constexpr size_t kMaxInflatedBundleSize = 16u * 1024u * 1024u;

}  // namespace

int64_t APMDatabase::metadataFingerprint(const platform::Data& encodedMetadata) {
  const uint64_t fingerprint = apm_64LSBMD5(encodedMetadata);
  int64_t result;
  std::memcpy(&result, &fingerprint, sizeof result);
  return result;
}

int64_t APMDatabase::metadataFingerprint(const APMPBMeasurementBundle& metadata) {
  return metadataFingerprint(metadata.protoBuffer());
}

bool APMDatabase::insertIfNotExistsRawEventMetadata(const APMPBMeasurementBundle& metadata, platform::Error* error) {
  return insertIfNotExistsRawEventMetadata(metadata.protoBuffer(), error);
}

bool APMDatabase::insertIfNotExistsRawEventMetadata(const platform::Data& encodedMetadata, platform::Error* error) {
  return insertIfNotExistsRawEventMetadata(encodedMetadata, metadataFingerprint(encodedMetadata), error);
}

bool APMDatabase::insertIfNotExistsRawEventMetadata(const platform::Data& encodedMetadata, int64_t fingerprint,
                                                    platform::Error* error) {
  if (!checkQueue("insertIfNotExistsRawEventMetadata", error)) return false;
  // With its raw-event row, all a purchase writes: neither needs a savepoint (see insertRow).
  return store_->insertRow(apm_schema::kRawEventsMetadata,
                           "INSERT OR IGNORE INTO raw_events_metadata (metadata_fingerprint, metadata) VALUES (?, ?)",
                           {Object(fingerprint), Object(encodedMetadata)}, error);
}

bool APMDatabase::insertRawEvent(const APMEvent& event, int64_t metadataFingerprint, bool isRealtime,
                                 platform::Error* error) {
  if (!checkQueue("insertRawEvent", error)) return false;
  // Most events write nothing but this row: it needs no savepoint of its own (see insertRow).
  // Bound in place from one buffer the road keeps: the road's commonest write makes no copies.
  event.encodeBody(encodedBody_);
  using Value = APMSqliteStore::BoundValue;
  const bool inserted = store_->insertRow(
      apm_schema::kRawEvents,
      "INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data, realtime) VALUES (?, ?, ?, ?, ?)",
      {Value::of(event.name()), Value::of(event.timestamp()), Value::of(metadataFingerprint), Value::of(encodedBody_),
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
std::optional<int64_t> APMDatabase::rawEventRowIDSpan(platform::Error* error) {
  // Two sub-selects: SQLite answers a lone MIN or MAX from the b-tree edge, but scans for both at once.
  auto span = query("SELECT (SELECT MIN(rowid) FROM raw_events) AS first, (SELECT MAX(rowid) FROM raw_events) AS last",
                    {}, error);
  if (!span) return std::nullopt;
  if (span->empty() || !apm_rows::has(span->front(), "first")) return 0;
  return apm_rows::integer(span->front(), "last") - apm_rows::integer(span->front(), "first") + 1;
}

std::optional<int64_t> APMDatabase::rawEventsRoomBelowAbsoluteLimit(platform::Error* error) {
  if (!checkQueue("rawEventsRoomBelowAbsoluteLimit", error)) return std::nullopt;
  auto spanCount = rawEventRowIDSpan(error);
  if (!spanCount) return std::nullopt;
  return std::max<int64_t>(0, limits().maxEventsStored) - *spanCount;
}

std::optional<int64_t> APMDatabase::deleteRawEventsOverAbsoluteLimit(platform::Error* error) {
  if (!checkQueue("deleteRawEventsOverAbsoluteLimit", error)) return std::nullopt;
  const int64_t limit = std::max<int64_t>(0, limits().maxEventsStored);
  auto spanCount = rawEventRowIDSpan(error);
  if (!spanCount) return std::nullopt;
  if (*spanCount <= limit) return 0;
  forgetRawEventFacts();
  auto total = count("SELECT COUNT(*) AS count FROM raw_events", {}, error);
  if (!total) return std::nullopt;
  if (*total <= limit) return 0;
  return execute("DELETE FROM raw_events WHERE rowid IN (SELECT rowid FROM raw_events ORDER BY rowid ASC LIMIT ?)",
                 {Object(*total - limit)}, error);
}

std::optional<int64_t> APMDatabase::nextMetadataFingerprintToProcess(platform::Error* error) {
  if (!checkQueue("nextMetadataFingerprintToProcess", error)) return std::nullopt;
  // Oldest means lowest row ID, so events leave in the order they were logged.
  auto rows = query("SELECT metadata_fingerprint FROM raw_events ORDER BY rowid ASC LIMIT 1", {}, error);
  if (!rows || rows->empty()) return std::nullopt;
  return apm_rows::integer(rows->front(), "metadata_fingerprint");
}

namespace {

// The columns readableRawEvents reads, in this order.
constexpr const char* kRawEventColumns = "SELECT rowid, name, timestamp, metadata_fingerprint, data, realtime FROM raw_events";
enum RawEventColumn { kRowID, kName, kTimestamp, kFingerprint, kData };

std::shared_ptr<APMRawEventData> rawEventDataFromRow(const APMSqliteStore::Row& row, platform::Error* error) {
  if (!row.has(kRowID) || !row.has(kName) || !row.has(kData)) {
    APMFail(error, kAPMStoreErrorCorruptData, "Raw event row is missing columns");
    return nullptr;
  }
  const auto body = row.bytes(kData);
  auto event = APMEvent::decodeBody(row.text(kName), row.real(kTimestamp), platform::Data(body.begin(), body.end()));
  if (!event) {
    APMFail(error, kAPMStoreErrorCorruptData, "Raw event data is corrupted. RowID " + std::to_string(row.integer(kRowID)));
    return nullptr;
  }
  return std::make_shared<APMRawEventData>(std::move(event), row.integer(kRowID), row.integer(kFingerprint));
}

}  // namespace

std::optional<std::vector<std::shared_ptr<APMRawEventData>>> APMDatabase::readableRawEvents(
    const std::string& condition, const platform::Array& values, const RawEventFilter& eventFilter,
    platform::Error* error) {
  std::vector<std::shared_ptr<APMRawEventData>> accepted;
  std::vector<int64_t> unreadable;
  size_t position = 0;
  // Read in place: a group's thousand rows are not first copied into dictionaries.
  const bool read = store_->forEachRowOfQuery(
      std::string(kRawEventColumns) + condition, values,
      [&](const APMSqliteStore::Row& row) {
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
  if (!deleteRowIDs(apm_schema::kRawEvents, unreadable, error)) return std::nullopt;
  return accepted;
}

std::optional<std::vector<std::shared_ptr<APMRawEventData>>> APMDatabase::rawEventsWithMetadataFingerprint(
    int64_t fingerprint, platform::Error* error, const RawEventFilter& eventFilter) {
  if (!checkQueue("rawEventsWithMetadataFingerprint", error)) return std::nullopt;
  return readableRawEvents(" WHERE metadata_fingerprint = ? ORDER BY rowid ASC LIMIT ?",
                           {Object(fingerprint), Object(kRawEventsPerQuery)}, eventFilter, error);
}

std::optional<std::vector<std::shared_ptr<APMRawEventData>>> APMDatabase::allRawEventsWithError(platform::Error* error) {
  if (!checkQueue("allRawEventsWithError", error)) return std::nullopt;
  return readableRawEvents(" ORDER BY rowid ASC", {}, nullptr, error);
}

bool APMDatabase::updateRawEvent(const APMRawEventData& rawEvent, platform::Error* error) {
  if (!checkQueue("updateRawEvent", error)) return false;
  if (!rawEvent.rawEvent()) return APMFail(error, kAPMStoreErrorInvalidArgument, "Received raw event without event");
  const APMEvent& event = *rawEvent.rawEvent();
  forgetRawEventFacts();
  auto changed = execute("UPDATE raw_events SET name = ?, timestamp = ?, data = ? WHERE rowid = ?",
                         {Object(event.name()), Object(event.timestamp()), Object(event.encodedBody()),
                          Object(rawEvent.rowID())},
                         error);
  if (!changed) return false;
  if (*changed == 0) {
    return APMFail(error, kAPMStoreErrorInvalidArgument,
                   "No raw event with row ID " + std::to_string(rawEvent.rowID()) + " to update");
  }
  return true;
}

std::shared_ptr<APMPBMeasurementBundle> APMDatabase::queryRawEventsMetadataWithFingerprint(int64_t fingerprint,
                                                                                           platform::Error* error) {
  auto data = queryRawEventsMetadataDataWithFingerprint(fingerprint, error);
  if (!data) return nullptr;
  auto metadata = APMPBMeasurementBundle::fromBuffer(*data);
  if (!metadata) APMFail(error, kAPMStoreErrorCorruptData, "Raw event metadata is corrupted");
  return metadata;
}

std::optional<platform::Data> APMDatabase::queryRawEventsMetadataDataWithFingerprint(int64_t fingerprint,
                                                                                     platform::Error* error) {
  if (!checkQueue("queryRawEventsMetadataWithFingerprint", error)) return std::nullopt;
  std::optional<platform::Data> metadata;
  if (!store_->forEachRowOfQuery("SELECT metadata FROM raw_events_metadata WHERE metadata_fingerprint = ?",
                                 {Object(fingerprint)},
                                 [&metadata](const APMSqliteStore::Row& row) {
                                   const auto bytes = row.bytes(0);
                                   metadata.emplace(bytes.begin(), bytes.end());
                                   return false;
                                 },
                                 error)) {
    return std::nullopt;
  }
  return metadata;
}

bool APMDatabase::deleteRawEventsWithMaxRowID(int64_t rowID, platform::Error* error) {
  if (!checkQueue("deleteRawEventsWithMaxRowID", error)) return false;
  forgetRawEventFacts();
  return store_->deleteRecordsFromTableWithName(apm_schema::kRawEvents, "rowid <= ?", {Object(rowID)}, error).has_value();
}

bool APMDatabase::deleteRawEventsWithRowIDs(const std::vector<int64_t>& rowIDs, platform::Error* error) {
  if (!checkQueue("deleteRawEventsWithRowIDs", error)) return false;
  forgetRawEventFacts();
  return deleteRowIDs(apm_schema::kRawEvents, rowIDs, error);
}

bool APMDatabase::deleteRawEventsWithRowIDs(const std::vector<int64_t>& rowIDs, double newestDeletedTimestamp,
                                            platform::Error* error) {
  if (!checkQueue("deleteRawEventsWithRowIDs", error)) return false;
  if (rawEventFacts_) {
    // Deleting rows adds neither a later time nor a real-time row; a row as new as the newest
    // known time may have been the one that held it.
    auto& latest = rawEventFacts_->latestTime;
    if (latest && (!*latest || **latest <= newestDeletedTimestamp)) latest.reset();
    if (rawEventFacts_->hasRealtime.value_or(false)) rawEventFacts_->hasRealtime.reset();
  }
  return deleteRowIDs(apm_schema::kRawEvents, rowIDs, error);
}

std::optional<bool> APMDatabase::containsRawEventWithMetadataFingerprint(int64_t fingerprint, platform::Error* error) {
  if (!checkQueue("containsRawEventWithMetadataFingerprint", error)) return std::nullopt;
  return exists("SELECT 1 FROM raw_events WHERE metadata_fingerprint = ? LIMIT 1", {Object(fingerprint)}, error);
}

bool APMDatabase::deleteRawEventMetadataWithMetadataFingerprint(int64_t fingerprint, platform::Error* error) {
  if (!checkQueue("deleteRawEventMetadataWithMetadataFingerprint", error)) return false;
  return store_->deleteRecordFromTableWithName(apm_schema::kRawEventsMetadata, "metadata_fingerprint",
                                               Object(fingerprint), error);
}

APMDatabase::RawEventFacts* APMDatabase::currentRawEventFacts() {
  const auto dataVersion = store_->dataVersion();
  if (!dataVersion) {
    rawEventFacts_.reset();
    return nullptr;
  }
  const uint64_t rollbacks = store_->rollbackCount();
  if (!rawEventFacts_ || rawEventFacts_->dataVersion != *dataVersion || rawEventFacts_->rollbacks != rollbacks) {
    rawEventFacts_ = RawEventFacts{rollbacks, *dataVersion, std::nullopt, std::nullopt};
  }
  return &*rawEventFacts_;
}

double APMDatabase::queryLatestRawEventTime(platform::Error* error) {
  if (!checkQueue("queryLatestRawEventTime", error)) return 0;
  RawEventFacts* facts = currentRawEventFacts();
  if (facts && facts->latestTime) return facts->latestTime->value_or(0);
  auto rows = query("SELECT MAX(timestamp) AS latest FROM raw_events", {}, error);
  if (!rows) return 0;
  std::optional<double> latest;
  if (!rows->empty() && apm_rows::has(rows->front(), "latest")) latest = apm_rows::real(rows->front(), "latest");
  if (facts) facts->latestTime = latest;
  return latest.value_or(0);
}

std::optional<bool> APMDatabase::containsRealtimeRawEventsWithError(platform::Error* error) {
  if (!checkQueue("containsRealtimeRawEventsWithError", error)) return std::nullopt;
  RawEventFacts* facts = currentRawEventFacts();
  if (facts && facts->hasRealtime) return facts->hasRealtime;
  auto any = exists("SELECT 1 FROM raw_events WHERE realtime = 1 LIMIT 1", {}, error);
  if (any && facts) facts->hasRealtime = any;
  return any;
}

std::optional<bool> APMDatabase::isRawEventsTableEmpty(platform::Error* error) {
  if (!checkQueue("isRawEventsTableEmpty", error)) return std::nullopt;
  auto any = exists("SELECT 1 FROM raw_events LIMIT 1", {}, error);
  if (!any) return std::nullopt;
  return !*any;
}

// The upload queue.

bool APMDatabase::insertBundle(const platform::Data& encodedBundle, double endTimestamp, bool isRealtime,
                               platform::Error* error) {
  if (!checkQueue("insertBundle", error)) return false;
  std::string reason;
  auto compressed = platform::Gzip::deflate(encodedBundle, &reason);
  if (!compressed) return APMFail(error, kAPMStoreErrorCorruptData, "Cannot compress bundle: " + reason);
  return execute("INSERT INTO queue (data, end_timestamp, realtime, retry_count) VALUES (?, ?, ?, 0)",
                 {Object(std::move(*compressed)), Object(endTimestamp), Object(isRealtime ? 1 : 0)}, error)
      .has_value();
}

bool APMDatabase::insertBundle(const APMPBMeasurementBundle& bundle, bool isRealtime, platform::Error* error) {
  const double endTimestamp =
      static_cast<double>(APMNanoGetInt64(bundle, APMPBMeasurementBundle::kEndTimestampMillis)) / 1000.0;
  return insertBundle(bundle.protoBuffer(), endTimestamp, isRealtime, error);
}

std::optional<std::vector<APMQueuedBundleMessage>> APMDatabase::queryBundlesWithCountLimit(int64_t countLimit,
                                                                                           int64_t sizeLimit,
                                                                                           platform::Error* error) {
  std::vector<APMQueuedBundleMessage> bundles;
  const bool read = readQueuedBundles(countLimit, sizeLimit, [&bundles](const APMQueuedBundle& entry) {
    auto bundle = APMPBMeasurementBundle::fromBuffer(entry.bundle);
    if (!bundle) return false;
    bundles.emplace_back(std::move(bundle), entry.rowID);
    return true;
  }, error);
  if (!read) return std::nullopt;
  return bundles;
}

bool APMDatabase::readQueuedBundles(int64_t countLimit, int64_t sizeLimit,
                                    const std::function<bool(const APMQueuedBundle&)>& read, platform::Error* error) {
  auto stored = queryBundleDataWithCountLimit(countLimit, sizeLimit, error);
  if (!stored) return false;
  std::vector<int64_t> undecodable;
  for (const APMQueuedBundle& entry : *stored) {
    if (read(entry)) continue;
    APMLog(APMLogLevel::kErrorSampled, APMStoreLogCode::kUndecodableQueuedBundleDeleted,
           "Deleting queued bundle that does not decode. RowID", {Object(entry.rowID)});
    undecodable.push_back(entry.rowID);
  }
  return deleteRowIDs(apm_schema::kQueue, undecodable, error);
}

std::optional<std::vector<APMQueuedBundle>> APMDatabase::queryBundleDataWithCountLimit(int64_t countLimit,
                                                                                       int64_t sizeLimit,
                                                                                       platform::Error* error) {
  if (!checkQueue("queryBundlesWithCountLimit", error)) return std::nullopt;
  std::vector<APMQueuedBundle> bundles;
  if (countLimit <= 0) return bundles;
  auto rows = query("SELECT rowid, data FROM queue ORDER BY rowid ASC LIMIT ?", {Object(countLimit)}, error);
  if (!rows) return std::nullopt;
  int64_t totalSize = 0;
  std::vector<int64_t> unreadable;
  for (const auto& row : *rows) {
    const platform::Data stored = apm_rows::data(row, "data");
    const auto storedSize = static_cast<int64_t>(stored.size());
    if (!bundles.empty() && totalSize + storedSize > sizeLimit) break;
    std::string reason;
    auto inflated = platform::Gzip::inflate(stored, kMaxInflatedBundleSize, &reason);
    if (!inflated) {
      // A row that can never be sent would block the queue forever: drop it, loudly.
      APMLog(APMLogLevel::kErrorSampled, APMStoreLogCode::kUnreadableQueuedBundleDeleted,
             "Deleting queued bundle that cannot be read. RowID, reason",
             {Object(apm_rows::integer(row, "rowid")), Object(reason)});
      unreadable.push_back(apm_rows::integer(row, "rowid"));
      continue;
    }
    totalSize += storedSize;
    bundles.push_back({std::move(*inflated), apm_rows::integer(row, "rowid")});
  }
  if (!unreadable.empty() && !deleteRowIDs(apm_schema::kQueue, unreadable, error)) return std::nullopt;
  return bundles;
}

std::optional<bool> APMDatabase::queueHoldsFullBatch(int64_t countLimit, int64_t sizeLimit, platform::Error* error) {
  QueueReading reading;
  return queueHoldsFullBatch(countLimit, sizeLimit, reading, error);
}

std::optional<bool> APMDatabase::queueHoldsFullBatch(int64_t countLimit, int64_t sizeLimit, QueueReading& reading,
                                                     platform::Error* error) {
  if (!checkQueue("queueHoldsFullBatch", error)) return std::nullopt;
  if (countLimit <= 0) return true;
  if (reading.full || reading.bundles >= countLimit) return true;
  // Asked after every group an attempt bundles: the sizes are read in place, not as dictionaries,
  // and only those of bundles queued since the last question.
  QueueReading next = reading;
  const bool read = store_->forEachRowOfQuery(
      "SELECT rowid, length(data) AS size FROM queue WHERE rowid > ? ORDER BY rowid ASC LIMIT ?",
      {Object(reading.lastRowID), Object(countLimit - reading.bundles)},
      [&](const APMSqliteStore::Row& row) {
        const int64_t size = row.integer(1);
        // As the batch reads them: the first always, each later one only while the total stays within the limit.
        next.full = next.bundles > 0 && next.bytes + size > sizeLimit;
        if (next.full) return false;
        next.lastRowID = row.integer(0);
        next.bytes += size;
        return ++next.bundles < countLimit;
      },
      error);
  if (!read) return std::nullopt;
  reading = next;
  return reading.full || reading.bundles >= countLimit;
}

bool APMDatabase::deleteBundlesWithRowIDs(const std::vector<int64_t>& rowIDs, platform::Error* error) {
  if (!checkQueue("deleteBundlesWithRowIDs", error)) return false;
  return deleteRowIDs(apm_schema::kQueue, rowIDs, error);
}

bool APMDatabase::incrementRetryCounterForBundlesWithIDs(const std::vector<int64_t>& rowIDs, platform::Error* error) {
  if (!checkQueue("incrementRetryCounterForBundlesWithIDs", error)) return false;
  if (rowIDs.empty()) return true;
  return execute("UPDATE queue SET retry_count = retry_count + 1 WHERE rowid IN (" +
                     apm_rows::placeholders(rowIDs.size()) + ")",
                 apm_rows::rowIDValues(rowIDs), error)
      .has_value();
}

double APMDatabase::queryLatestBundleTime(platform::Error* error) {
  if (!checkQueue("queryLatestBundleTime", error)) return 0;
  return latestTime("SELECT MAX(end_timestamp) AS latest FROM queue", error);
}

std::optional<bool> APMDatabase::containsRealtimeBundlesWithError(platform::Error* error) {
  if (!checkQueue("containsRealtimeBundlesWithError", error)) return std::nullopt;
  return exists("SELECT 1 FROM queue WHERE realtime = 1 LIMIT 1", {}, error);
}

std::optional<bool> APMDatabase::isQueuedBundleTableEmpty(platform::Error* error) {
  if (!checkQueue("isQueuedBundleTableEmpty", error)) return std::nullopt;
  auto any = exists("SELECT 1 FROM queue LIMIT 1", {}, error);
  if (!any) return std::nullopt;
  return !*any;
}

// Purchases and subscriptions.

std::optional<bool> APMDatabase::insertIfNotDuplicatePurchaseFingerprint(const std::string& fingerprint,
                                                                         platform::Error* error) {
  if (!checkQueue("insertIfNotDuplicatePurchaseFingerprint", error)) return std::nullopt;
  if (fingerprint.empty()) {
    APMFail(error, kAPMStoreErrorInvalidArgument, "Received empty purchase fingerprint");
    return std::nullopt;
  }
  auto inserted = execute("INSERT OR IGNORE INTO purchase_transactions (fingerprint, created_timestamp) VALUES (?, ?)",
                          {Object(fingerprint), Object(platform::now())}, error);
  if (!inserted) return std::nullopt;
  return *inserted > 0;
}

std::optional<bool> APMDatabase::insertIfNotDuplicateSubscriptionID(const std::string& subscriptionID,
                                                                    platform::Error* error) {
  if (!checkQueue("insertIfNotDuplicateSubscriptionID", error)) return std::nullopt;
  if (subscriptionID.empty()) {
    APMFail(error, kAPMStoreErrorInvalidArgument, "Received empty subscription ID");
    return std::nullopt;
  }
  auto inserted = execute("INSERT OR IGNORE INTO subscriptions (subscription_id, created_timestamp) VALUES (?, ?)",
                          {Object(subscriptionID), Object(platform::now())}, error);
  if (!inserted) return std::nullopt;
  return *inserted > 0;
}

std::optional<int64_t> APMDatabase::deleteSubscriptionsOverLimit(platform::Error* error) {
  if (!checkQueue("deleteSubscriptionsOverLimit", error)) return std::nullopt;
  const int64_t limit = std::max<int64_t>(0, limits().maxStoredSubscriptionIDs);
  return execute(
      "DELETE FROM subscriptions WHERE rowid NOT IN (SELECT rowid FROM subscriptions ORDER BY rowid DESC LIMIT ?)",
      {Object(limit)}, error);
}
