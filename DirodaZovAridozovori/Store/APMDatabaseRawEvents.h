#pragma once
// The part of the measurement database that keeps the raw events ("raw_events") and their metadata
// ("raw_events_metadata"), and what the upload schedule asks of them.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "APMDatabaseConnection.h"
#include "APMEvent.h"
#include "APMEncodedMessage.h"
#include "APMRawEventData.h"

class APMPBMeasurementBundle;

class APMDatabaseRawEvents {
 public:
  static constexpr int64_t kRawEventsPerQuery = 1000;

  explicit APMDatabaseRawEvents(std::shared_ptr<APMDatabaseConnection> connection)
      : connection_(connection), store_(connection->store()) {}

  // The fingerprint of encoded metadata: the low 64 bits of its MD5.
  static int64_t metadataFingerprint(const platform::Data& encodedMetadata);
  static int64_t metadataFingerprint(const APMPBMeasurementBundle& metadata);
  bool insertIfNotExistsRawEventMetadata(const APMPBMeasurementBundle& metadata, platform::Error* error);
  bool insertIfNotExistsRawEventMetadata(const platform::Data& encodedMetadata, platform::Error* error);
  // The same with its fingerprint (metadataFingerprint of the bytes) already made.
  bool insertIfNotExistsRawEventMetadata(const platform::Data& encodedMetadata, int64_t fingerprint,
                                         platform::Error* error);
  bool insertRawEvent(const APMEvent& event, int64_t metadataFingerprint, bool isRealtime, platform::Error* error);
  // Deletes the oldest rows beyond the stored-events limit; the number deleted.
  std::optional<int64_t> deleteRawEventsOverAbsoluteLimit(platform::Error* error);
  // How many more raw events may be inserted while deleteRawEventsOverAbsoluteLimit is sure to find
  // nothing to delete (negative when it may already find some). Holds while nothing but inserts
  // changes the table.
  std::optional<int64_t> rawEventsRoomBelowAbsoluteLimit(platform::Error* error);
  // The fingerprint of the oldest raw event (lowest row ID); none without error when there is none.
  std::optional<int64_t> nextMetadataFingerprintToProcess(platform::Error* error);
  // Offers the rows of the fingerprint (at most 1000, by row ID) to the filter with their position
  // and stops at the first refusal; the accepted rows. Here and in allRawEventsWithError, a row
  // whose stored event cannot be read is deleted (and logged) rather than offered: left in place it
  // would stop every later bundle.
  using RawEventFilter = std::function<bool(const APMSqliteStore::Record& row, size_t position)>;
  std::optional<std::vector<std::shared_ptr<APMRawEventData>>> rawEventsWithMetadataFingerprint(
      int64_t fingerprint, platform::Error* error, const RawEventFilter& eventFilter);
  std::optional<std::vector<std::shared_ptr<APMRawEventData>>> allRawEventsWithError(platform::Error* error);
  // Up to limit rows after rowID, by row ID, for a reader that takes the table in order. Nothing is
  // deleted: at the first row that cannot be read the reading stops and unreadable is set, with the
  // rows before it.
  std::optional<std::vector<std::shared_ptr<APMRawEventData>>> rawEventsAfterRowID(int64_t rowID, int64_t limit,
                                                                                   bool* unreadable,
                                                                                   platform::Error* error);
  bool updateRawEvent(const APMRawEventData& rawEvent, platform::Error* error);
  // Empty without error when the fingerprint has no metadata; stored bytes that do not decode are
  // an error (kAPMStoreErrorCorruptData).
  std::shared_ptr<APMPBMeasurementBundle> queryRawEventsMetadataWithFingerprint(int64_t fingerprint,
                                                                                platform::Error* error);
  // rowID, when given, gets the metadata row's row ID.
  std::optional<platform::Data> queryRawEventsMetadataDataWithFingerprint(int64_t fingerprint, platform::Error* error,
                                                                         int64_t* rowID = nullptr);
  // The same metadata as its encoding, read and changed field by field (bundling makes a bundle of
  // it); stored bytes not written the way the encoder writes them are decoded and encoded once.
  // Empty without error when the fingerprint has no metadata; bytes that do not decode are an
  // error (kAPMStoreErrorCorruptData).
  std::optional<APMEncodedMessage> queryRawEventsMetadataEncodingWithFingerprint(int64_t fingerprint,
                                                                                 platform::Error* error);
  // The encoding of stored metadata bytes, as the query above makes it (kAPMStoreErrorCorruptData
  // when they do not decode).
  static std::optional<APMEncodedMessage> metadataEncodingOf(platform::Data stored, platform::Error* error);
  // Up to limit metadata rows after rowID, by row ID, for a reader that takes the table in the order
  // its rows were stored (a purchase stores one with every event, just before the event's row).
  struct StoredMetadata {
    int64_t rowID = 0;
    int64_t fingerprint = 0;
    platform::Data metadata;
  };
  std::optional<std::vector<StoredMetadata>> rawEventMetadataAfterRowID(int64_t rowID, int64_t limit,
                                                                        platform::Error* error);
  bool deleteRawEventsWithMaxRowID(int64_t rowID, platform::Error* error);
  bool deleteRawEventsWithRowIDs(const std::vector<int64_t>& rowIDs, platform::Error* error);
  // The same, for rows whose newest time the caller knows: what is remembered of the table for the
  // upload schedule (its newest time, that it holds no real-time row) still holds unless these rows
  // may have held the newest time, so bundling does not make every schedule read the whole table.
  bool deleteRawEventsWithRowIDs(const std::vector<int64_t>& rowIDs, double newestDeletedTimestamp,
                                 platform::Error* error);
  // The raw events with row IDs from firstRowID to lastRowID, then deleteRawEventMetadataLeftUnused
  // for them: for a reader that took every row of that span (a bundling transaction's groups, taken
  // in row-ID order), at once instead of group by group. newestDeletedTimestamp as above.
  bool deleteRawEventSpanWithItsMetadata(int64_t firstRowID, int64_t lastRowID, double newestDeletedTimestamp,
                                         platform::Error* error);
  // After deletedRows raw events, whose fingerprints were these, were deleted: the metadata of those
  // fingerprints that no raw event points to any more. No index says which rows point to a
  // fingerprint, so finding out is a pass over the table, made once the rows deleted since the last
  // pass are as many as the row IDs left, from the oldest row to the newest (each pass is paid for
  // by the rows deleted before it, however long the table), or kMostFingerprintsPerPass
  // fingerprints wait, and at once when no row is left.
  // Until then a metadata row may outlive its last raw event; one that a raw event still points to
  // is never deleted, and metadata of other fingerprints is left alone.
  static constexpr size_t kMostFingerprintsPerPass = 32768;
  // What it was told follows the transaction it was told in: a scope that rolls back (a savepoint,
  // or the whole transaction) takes back what it added and the passes it ran, whose deletes it undid.
  bool deleteRawEventMetadataLeftUnused(const std::vector<int64_t>& fingerprints, int64_t deletedRows,
                                        platform::Error* error);
  // The rows of the fingerprint among the 1000 lowest row IDs from the oldest row on, by row ID,
  // for a reader that takes the oldest row's fingerprint and ends a group at the first gap: what
  // rawEventsWithMetadataFingerprint would give it, read without walking the whole table. An
  // unreadable row of the fingerprint among them is deleted (and logged), as there.
  std::optional<std::vector<std::shared_ptr<APMRawEventData>>> oldestRawEventsWithMetadataFingerprint(
      int64_t fingerprint, platform::Error* error);
  std::optional<bool> containsRawEventWithMetadataFingerprint(int64_t fingerprint, platform::Error* error);
  bool deleteRawEventMetadataWithMetadataFingerprint(int64_t fingerprint, platform::Error* error);
  // The fingerprint's metadata, unless a raw event still points to it, in one statement.
  bool deleteUnusedRawEventMetadata(int64_t fingerprint, platform::Error* error);
  double queryLatestRawEventTime(platform::Error* error);
  std::optional<bool> containsRealtimeRawEventsWithError(platform::Error* error);
  std::optional<bool> isRawEventsTableEmpty(platform::Error* error);
  // The database changed the table in a way these facts cannot follow.
  void forgetRawEventFacts() { rawEventFacts_.reset(); }
  // A transaction scope at depth (0 the outermost) ended, its changes kept or not.
  void scopeEnded(size_t depth, bool kept);

 private:
  // What the upload schedule asks of the raw events after every group of events, kept between
  // questions (each answer otherwise reads the whole table): this connection's inserts keep it up
  // to date; it is forgotten when anything else changes the table here, on any rollback, and when
  // another connection (another process) has committed.
  struct RawEventFacts {
    uint64_t rollbacks = 0;
    int64_t dataVersion = 0;
    std::optional<std::optional<double>> latestTime;  // when known: the latest time, none without rows
    std::optional<bool> hasRealtime;
  };
  std::optional<RawEventFacts> rawEventFacts_;
  std::optional<int64_t> rawEventRowIDSpan(platform::Error* error);
  // The raw events a condition (" WHERE …", " ORDER BY …") selects.
  std::optional<std::vector<std::shared_ptr<APMRawEventData>>> readableRawEvents(const std::string& condition,
                                                                                 const platform::Array& values,
                                                                                 const RawEventFilter& eventFilter,
                                                                                 platform::Error* error);
  // The facts as still known (a fresh, empty set when they may have changed); null when SQLite
  // cannot say whether another connection wrote.
  RawEventFacts* currentRawEventFacts();
  // Rows up to newestDeletedTimestamp are about to be deleted: what the facts may no longer know.
  void rawEventsWillBeDeleted(double newestDeletedTimestamp);

  std::shared_ptr<APMDatabaseConnection> connection_;
  std::shared_ptr<APMSqliteStore> store_;
  // The last raw event's stored body: its room serves the next one.
  platform::Data encodedBody_;
  APMSqliteStatementSlot insertMetadataStatement_{
      "INSERT OR IGNORE INTO raw_events_metadata (metadata_fingerprint, metadata) VALUES (?, ?)"};
  APMSqliteStatementSlot insertRawEventStatement_{
      "INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data, realtime) VALUES (?, ?, ?, ?, ?)"};
  APMSqliteStatementSlot deleteSpanStatement_{"DELETE FROM raw_events WHERE rowid BETWEEN ? AND ?"};
  // What deleteRawEventMetadataLeftUnused was told since its last pass over the table: the rows
  // deleted, and their fingerprints (sorted and unique up to unsortedFrom).
  struct MetadataPass {
    int64_t rowsDeletedSince = 0;
    std::vector<int64_t> fingerprintsOfDeletedRows;
    size_t unsortedFrom = 0;
  };
  MetadataPass metadataPass_;
  // For each open scope of the transaction (by depth) that changed it, what it was as the scope
  // began, put back should the scope roll back; scopes that began with it unchanged share one copy.
  uint64_t passScopesSerial_ = 0;
  std::vector<std::shared_ptr<const MetadataPass>> metadataPassBeforeScope_;
  void metadataPassWillChange();
  // ?1 is a JSON array of fingerprints.
  APMSqliteStatementSlot deleteMetadataStatement_{
      "DELETE FROM raw_events_metadata WHERE metadata_fingerprint IN (SELECT value FROM json_each(?1))"};
  // One pass over the raw events, looking each row's fingerprint up among the few asked about:
  // SQLite keeps only those in memory, however many rows there are.
  APMSqliteStatementSlot deleteUnusedMetadataStatement_{
      "DELETE FROM raw_events_metadata WHERE metadata_fingerprint IN (SELECT value FROM json_each(?1) EXCEPT "
      "SELECT metadata_fingerprint FROM raw_events WHERE metadata_fingerprint IN (SELECT value FROM json_each(?1)))"};
};
