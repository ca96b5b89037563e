#include "APMDatabaseBundleQueue.h"

#include <algorithm>

#include "APMDatabaseRows.h"
#include "APMDatabaseSchema.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "APMStoreLog.h"
#include "platform/Gzip.h"

using platform::Object;

namespace {

// Queued bundles are small protocol messages; anything inflating beyond this is not one of ours.
constexpr size_t kMaxInflatedBundleSize = 16u * 1024u * 1024u;

// A bundle this small (one event, as a purchase stream makes them) compresses by a few bytes at
// most, and building the Huffman tables for them cost a fifth of bundling it: it goes into its gzip
// stream stored as it is. A hundred such rows with the stream's 23 bytes around each, the default
// batch, still fit the default batch size, so batches are cut where they were. Larger bundles are
// compressed at the fast level: compressing them at the default level was a fifth of the upload
// worker's time, and for protocol messages of many similar events it saved nothing.
constexpr size_t kStoredBundleBelowBytes = 600;

// A row that can never be sent would block the queue forever: it is dropped, loudly.
void logUnreadableDeleted(int64_t rowID, const std::string& reason) {
  APMLog(APMLogLevel::kErrorSampled, APMStoreLogCode::kUnreadableQueuedBundleDeleted,
         "Deleting queued bundle that cannot be read. RowID, reason", {Object(rowID), Object(reason)});
}

void logUndecodableDeleted(int64_t rowID) {
  APMLog(APMLogLevel::kErrorSampled, APMStoreLogCode::kUndecodableQueuedBundleDeleted,
         "Deleting queued bundle that does not decode. RowID", {Object(rowID)});
}

constexpr const char* kQueuedRowsQuery = "SELECT rowid, data FROM queue ORDER BY rowid ASC LIMIT ?";

}  // namespace

bool APMQueuedBundleReading::take(std::span<const uint8_t> stored, int64_t rowID) {
  const auto storedSize = static_cast<int64_t>(stored.size());
  if (!bundles.empty() && bytes_ + storedSize > sizeLimit_) return false;
  std::string reason;
  auto inflated = platform::Gzip::inflate(stored.data(), stored.size(), kMaxInflatedBundleSize, &reason);
  if (!inflated) {
    uninflatable.emplace_back(rowID, std::move(reason));
    return true;
  }
  bytes_ += storedSize;
  bundles.push_back({std::move(*inflated), rowID});
  return true;
}

bool APMDatabaseBundleQueue::insertBundle(const platform::Data& encodedBundle, double endTimestamp, bool isRealtime,
                                          platform::Error* error) {
  if (!connection_->checkQueue("insertBundle", error)) return false;
  std::string reason;
  const auto compression = encodedBundle.size() < kStoredBundleBelowBytes ? platform::Gzip::Compression::kStored
                                                                           : platform::Gzip::Compression::kFast;
  auto compressed = platform::Gzip::deflate(encodedBundle, compression, &reason);
  if (!compressed) return APMFail(error, kAPMStoreErrorCorruptData, "Cannot compress bundle: " + reason);
  // A purchase stream queues a bundle per event, and its bundling group writes nothing else: a
  // kept statement, and a lone row that needs no savepoint of its group (see insertRow).
  using Value = APMSqliteBinding::BoundValue;
  return store_->insertRow(apm_schema::kQueue, insertBundleStatement_,
                           {Value::of(*compressed), Value::of(endTimestamp), Value::of(int64_t{isRealtime ? 1 : 0})},
                           error);
}

bool APMDatabaseBundleQueue::insertBundle(const APMPBMeasurementBundle& bundle, bool isRealtime,
                                          platform::Error* error) {
  const double endTimestamp =
      static_cast<double>(APMNanoGetInt64(bundle, APMPBMeasurementBundle::kEndTimestampMillis)) / 1000.0;
  return insertBundle(bundle.protoBuffer(), endTimestamp, isRealtime, error);
}

std::optional<std::vector<APMQueuedBundleMessage>> APMDatabaseBundleQueue::queryBundlesWithCountLimit(
    int64_t countLimit, int64_t sizeLimit, platform::Error* error) {
  if (!connection_->checkQueue("queryBundlesWithCountLimit", error)) return std::nullopt;
  std::vector<APMQueuedBundleMessage> bundles;
  const bool read = readQueuedBundles(
      countLimit, sizeLimit,
      [&bundles](const APMQueuedBundle& entry) {
        auto bundle = APMPBMeasurementBundle::fromBuffer(entry.bundle);
        if (!bundle) return false;
        bundles.emplace_back(std::move(bundle), entry.rowID);
        return true;
      },
      error);
  if (!read) return std::nullopt;
  return bundles;
}

bool APMDatabaseBundleQueue::readQueuedBundles(int64_t countLimit, int64_t sizeLimit,
                                               const std::function<bool(const APMQueuedBundle&)>& read,
                                               platform::Error* error) {
  auto stored = queryBundleDataWithCountLimit(countLimit, sizeLimit, error);
  if (!stored) return false;
  std::vector<int64_t> undecodable;
  for (const APMQueuedBundle& entry : *stored) {
    if (read(entry)) continue;
    logUndecodableDeleted(entry.rowID);
    undecodable.push_back(entry.rowID);
  }
  return connection_->deleteRowIDs(apm_schema::kQueue, undecodable, error);
}

std::optional<std::vector<APMQueuedBundle>> APMDatabaseBundleQueue::queryBundleDataWithCountLimit(
    int64_t countLimit, int64_t sizeLimit, platform::Error* error) {
  if (!connection_->checkQueue("queryBundleDataWithCountLimit", error)) return std::nullopt;
  if (countLimit <= 0) return std::vector<APMQueuedBundle>{};
  APMQueuedBundleReading reading(sizeLimit);
  if (!store_->forEachRowOfQuery(
          kQueuedRowsQuery, {Object(countLimit)},
          [&reading](const APMSqliteRow& row) { return reading.take(row.bytes(1), row.integer(0)); }, error)) {
    return std::nullopt;
  }
  std::vector<int64_t> unreadable;
  for (const auto& [rowID, reason] : reading.uninflatable) {
    logUnreadableDeleted(rowID, reason);
    unreadable.push_back(rowID);
  }
  if (!unreadable.empty() && !connection_->deleteRowIDs(apm_schema::kQueue, unreadable, error)) return std::nullopt;
  return std::move(reading.bundles);
}

std::optional<std::vector<APMStoredQueuedBundle>> APMDatabaseBundleQueue::readStoredBundlesForBatch(
    int64_t countLimit, int64_t sizeLimit, platform::Error* error) {
  if (!connection_->checkQueue("readStoredBundlesForBatch", error)) return std::nullopt;
  std::vector<APMStoredQueuedBundle> rows;
  if (countLimit <= 0) return rows;
  int64_t bytes = 0;
  const bool read = store_->forEachRowOfQuery(
      kQueuedRowsQuery, {Object(countLimit)},
      [&](const APMSqliteRow& row) {
        const std::span<const uint8_t> stored = row.bytes(1);
        const auto size = static_cast<int64_t>(stored.size());
        rows.push_back({platform::Data(stored.begin(), stored.end()), row.integer(0)});
        if (rows.size() > 1 && bytes + size > sizeLimit) return false;
        bytes += size;
        return true;
      },
      error);
  if (!read) return std::nullopt;
  return rows;
}

bool APMDatabaseBundleQueue::deleteUnreadBundles(const std::vector<APMUnreadQueuedBundle>& unread,
                                                 platform::Error* error) {
  if (!connection_->checkQueue("deleteUnreadBundles", error)) return false;
  std::vector<int64_t> rowIDs;
  for (const APMUnreadQueuedBundle& entry : unread) {
    bool unchanged = false;
    const bool read = store_->forEachRowOfQuery(
        "SELECT data FROM queue WHERE rowid = ?", {Object(entry.row.rowID)},
        [&](const APMSqliteRow& row) {
          const std::span<const uint8_t> stored = row.bytes(0);
          unchanged = std::equal(stored.begin(), stored.end(), entry.row.stored.begin(), entry.row.stored.end());
          return false;
        },
        error);
    if (!read) return false;
    if (!unchanged) continue;
    if (entry.inflateFailure) {
      logUnreadableDeleted(entry.row.rowID, *entry.inflateFailure);
    } else {
      logUndecodableDeleted(entry.row.rowID);
    }
    rowIDs.push_back(entry.row.rowID);
  }
  return connection_->deleteRowIDs(apm_schema::kQueue, rowIDs, error);
}

std::optional<bool> APMDatabaseBundleQueue::queueHoldsFullBatch(int64_t countLimit, int64_t sizeLimit,
                                                                platform::Error* error) {
  QueueReading reading;
  return queueHoldsFullBatch(countLimit, sizeLimit, reading, error);
}

std::optional<bool> APMDatabaseBundleQueue::queueHoldsFullBatch(int64_t countLimit, int64_t sizeLimit,
                                                                QueueReading& reading, platform::Error* error) {
  if (!connection_->checkQueue("queueHoldsFullBatch", error)) return std::nullopt;
  if (countLimit <= 0) return true;
  if (reading.full || reading.bundles >= countLimit) return true;
  // Asked after every group an attempt bundles: the sizes are read in place, not as dictionaries,
  // and only those of bundles queued since the last question.
  QueueReading next = reading;
  const bool read = store_->forEachRowOfQuery(
      "SELECT rowid, length(data) AS size FROM queue WHERE rowid > ? ORDER BY rowid ASC LIMIT ?",
      {Object(reading.lastRowID), Object(countLimit - reading.bundles)},
      [&](const APMSqliteRow& row) {
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

bool APMDatabaseBundleQueue::deleteBundlesWithRowIDs(const std::vector<int64_t>& rowIDs, platform::Error* error) {
  if (!connection_->checkQueue("deleteBundlesWithRowIDs", error)) return false;
  return connection_->deleteRowIDs(apm_schema::kQueue, rowIDs, error);
}

bool APMDatabaseBundleQueue::incrementRetryCounterForBundlesWithIDs(const std::vector<int64_t>& rowIDs,
                                                                    platform::Error* error) {
  if (!connection_->checkQueue("incrementRetryCounterForBundlesWithIDs", error)) return false;
  if (rowIDs.empty()) return true;
  return connection_
      ->execute("UPDATE queue SET retry_count = retry_count + 1 WHERE rowid IN (" +
                    apm_rows::placeholders(rowIDs.size()) + ")",
                apm_rows::rowIDValues(rowIDs), error)
      .has_value();
}

double APMDatabaseBundleQueue::queryLatestBundleTime(platform::Error* error) {
  if (!connection_->checkQueue("queryLatestBundleTime", error)) return 0;
  return connection_->latestTime("SELECT MAX(end_timestamp) AS latest FROM queue", error);
}

std::optional<bool> APMDatabaseBundleQueue::containsRealtimeBundlesWithError(platform::Error* error) {
  if (!connection_->checkQueue("containsRealtimeBundlesWithError", error)) return std::nullopt;
  return connection_->exists("SELECT 1 FROM queue WHERE realtime = 1 LIMIT 1", {}, error);
}

std::optional<bool> APMDatabaseBundleQueue::isQueuedBundleTableEmpty(platform::Error* error) {
  if (!connection_->checkQueue("isQueuedBundleTableEmpty", error)) return std::nullopt;
  auto any = connection_->exists("SELECT 1 FROM queue LIMIT 1", {}, error);
  if (!any) return std::nullopt;
  return !*any;
}
