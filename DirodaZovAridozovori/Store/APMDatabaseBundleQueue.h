#pragma once
// The part of the measurement database that keeps the upload queue ("queue"): bundles waiting to
// be sent, stored gzip-compressed, oldest first.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "APMDatabaseConnection.h"

class APMPBMeasurementBundle;

// One queued bundle: its row ID and the encoded bundle (inflated).
struct APMQueuedBundle {
  platform::Data bundle;
  int64_t rowID = 0;
};
using APMQueuedBundleMessage = std::pair<std::shared_ptr<APMPBMeasurementBundle>, int64_t>;

// One queued row as stored (gzip-compressed), read for a batch to be inflated elsewhere.
struct APMStoredQueuedBundle {
  platform::Data stored;
  int64_t rowID = 0;
};

// A row read for a batch that can never be sent: as it was read, and why it could not be inflated
// (none when it inflated but does not decode).
struct APMUnreadQueuedBundle {
  APMStoredQueuedBundle row;
  std::optional<std::string> inflateFailure;
};

// The bundles a batch takes from the queue's rows, handed in oldest first: the first row that
// inflates always, each later one while the stored bytes of those taken stay within sizeLimit. A
// row that does not inflate takes no room and is set aside. Any thread.
class APMQueuedBundleReading {
 public:
  explicit APMQueuedBundleReading(int64_t sizeLimit) : sizeLimit_(sizeLimit) {}
  // Inflates the row into bundles, or sets it aside; false when it does not fit, and no later row
  // will (it is left as it is).
  bool take(std::span<const uint8_t> stored, int64_t rowID);

  std::vector<APMQueuedBundle> bundles;
  // The row IDs of the rows that did not inflate, with the reason.
  std::vector<std::pair<int64_t, std::string>> uninflatable;

 private:
  int64_t sizeLimit_;
  int64_t bytes_ = 0;
};

class APMDatabaseBundleQueue {
 public:
  explicit APMDatabaseBundleQueue(std::shared_ptr<APMDatabaseConnection> connection)
      : connection_(connection), store_(connection->store()) {}

  // The end time comes from the bundle's end timestamp (milliseconds).
  bool insertBundle(const APMPBMeasurementBundle& bundle, bool isRealtime, platform::Error* error);
  bool insertBundle(const platform::Data& encodedBundle, double endTimestamp, bool isRealtime, platform::Error* error);
  // Oldest first, at most countLimit bundles and sizeLimit stored bytes, but always the oldest one so
  // a single oversized bundle cannot hold the queue up. Rows that no longer inflate or decode are
  // deleted (each logged), since they could never be sent.
  std::optional<std::vector<APMQueuedBundleMessage>> queryBundlesWithCountLimit(int64_t countLimit, int64_t sizeLimit,
                                                                                platform::Error* error);
  // The same bundles, inflated, each handed to read, which answers whether it could read it: one it
  // could not is deleted (and logged) like one that does not decode. Whether the queue was read.
  bool readQueuedBundles(int64_t countLimit, int64_t sizeLimit, const std::function<bool(const APMQueuedBundle&)>& read,
                         platform::Error* error);
  // The rows the same batch is taken from, as stored, for an APMQueuedBundleReading elsewhere: at most
  // countLimit, oldest first, up to and including the first that takes the stored bytes of all read
  // over sizeLimit. That last one joins the batch when a row before it does not inflate, as reading
  // them here would have had it; further rows read here could have joined too, but the batch falls
  // short of that by less than the bytes of the rows that do not inflate.
  std::optional<std::vector<APMStoredQueuedBundle>> readStoredBundlesForBatch(int64_t countLimit, int64_t sizeLimit,
                                                                               platform::Error* error);
  // Logs and deletes rows read for a batch that can never be sent, each only while it holds what was
  // read (its row ID may be another bundle's by now after a reset). Whether the deletion ran.
  bool deleteUnreadBundles(const std::vector<APMUnreadQueuedBundle>& unread, platform::Error* error);
  std::optional<std::vector<APMQueuedBundle>> queryBundleDataWithCountLimit(int64_t countLimit, int64_t sizeLimit,
                                                                            platform::Error* error);
  // Whether the oldest queued bundles already make a whole batch under these limits (countLimit of
  // them, or more stored bytes than sizeLimit before the last), so that no bundle queued later can
  // join the batch queryBundlesWithCountLimit would read. Reads the sizes only.
  std::optional<bool> queueHoldsFullBatch(int64_t countLimit, int64_t sizeLimit, platform::Error* error);
  // The same question asked again and again while bundles are being queued: the bundles already
  // counted are not read again, only those queued after the last one counted. Valid while the
  // counted bundles stay as they were (nothing deleted, no rollback of the bundles counted): start
  // a fresh reading otherwise.
  struct QueueReading {
    int64_t lastRowID = 0;
    int64_t bundles = 0;
    int64_t bytes = 0;
    bool full = false;
  };
  std::optional<bool> queueHoldsFullBatch(int64_t countLimit, int64_t sizeLimit, QueueReading& reading,
                                          platform::Error* error);
  bool deleteBundlesWithRowIDs(const std::vector<int64_t>& rowIDs, platform::Error* error);
  bool incrementRetryCounterForBundlesWithIDs(const std::vector<int64_t>& rowIDs, platform::Error* error);
  double queryLatestBundleTime(platform::Error* error);
  std::optional<bool> containsRealtimeBundlesWithError(platform::Error* error);
  std::optional<bool> isQueuedBundleTableEmpty(platform::Error* error);

  // How many times the queue lost rows to something other than an upload's own deletes (a reset of
  // the database, stale data removed). Row IDs read before such a loss may name other bundles by
  // now: SQLite hands an emptied table's row IDs out again from 1.
  uint64_t rowsRemovedElsewhereCount() const { return rowsRemovedElsewhere_; }
  void noteRowsRemovedElsewhere() { ++rowsRemovedElsewhere_; }

 private:
  std::shared_ptr<APMDatabaseConnection> connection_;
  std::shared_ptr<APMSqliteStore> store_;
  uint64_t rowsRemovedElsewhere_ = 0;
  APMSqliteStatementSlot insertBundleStatement_{
      "INSERT INTO queue (data, end_timestamp, realtime, retry_count) VALUES (?, ?, ?, 0)"};
};
