#include "APMDatabaseBundleQueue.h"

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

}  // namespace

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
    APMLog(APMLogLevel::kErrorSampled, APMStoreLogCode::kUndecodableQueuedBundleDeleted,
           "Deleting queued bundle that does not decode. RowID", {Object(entry.rowID)});
    undecodable.push_back(entry.rowID);
  }
  return connection_->deleteRowIDs(apm_schema::kQueue, undecodable, error);
}

std::optional<std::vector<APMQueuedBundle>> APMDatabaseBundleQueue::queryBundleDataWithCountLimit(
    int64_t countLimit, int64_t sizeLimit, platform::Error* error) {
  if (!connection_->checkQueue("queryBundleDataWithCountLimit", error)) return std::nullopt;
  std::vector<APMQueuedBundle> bundles;
  if (countLimit <= 0) return bundles;
  auto rows =
      connection_->query("SELECT rowid, data FROM queue ORDER BY rowid ASC LIMIT ?", {Object(countLimit)}, error);
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
  if (!unreadable.empty() && !connection_->deleteRowIDs(apm_schema::kQueue, unreadable, error)) return std::nullopt;
  return bundles;
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
