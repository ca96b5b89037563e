#include "APMRawEventMetadataLayout.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "APMNameTables.h"
#include "StoreTestSupport.h"

using platform::Object;

namespace {

using APMRawEventMetadataLayoutTest = APMDatabaseFixture;
using MetadataRows = std::vector<std::pair<int64_t, platform::Data>>;

// The table as earlier builds declared it, and as a new file declares it now.
constexpr const char* kFingerprintKeyTable =
    "CREATE TABLE \"raw_events_metadata\" (\"metadata_fingerprint\" INTEGER NOT NULL PRIMARY KEY, "
    "\"metadata\" BLOB NOT NULL)";
constexpr const char* kRowIDTable =
    "CREATE TABLE \"raw_events_metadata\" (\"metadata_fingerprint\" INTEGER NOT NULL UNIQUE, "
    "\"metadata\" BLOB NOT NULL)";
constexpr int64_t kNotMovedCode = 34009;

void run(APMSqliteStore& store, const std::string& sql) {
  platform::Error error;
  ASSERT_TRUE(store.executeStatement(sql, {}, &error)) << sql << ": " << error.description;
}

std::string declaration(APMSqliteStore& store) {
  platform::Error error;
  auto rows = store.recordsForQuery(
      "SELECT sql FROM sqlite_master WHERE type = 'table' AND name = 'raw_events_metadata'", {}, &error);
  if (!rows || rows->size() != 1) return "";
  return platform::find(rows->front(), "sql")->stringValue();
}

MetadataRows metadataRows(APMSqliteStore& store) {
  MetadataRows rows;
  platform::Error error;
  auto records = store.recordsForQuery(
      "SELECT metadata_fingerprint, metadata FROM raw_events_metadata ORDER BY metadata_fingerprint", {}, &error);
  EXPECT_TRUE(records) << error.description;
  for (const auto& record : records.value_or(APMSqliteStore::Records{})) {
    rows.emplace_back(platform::find(record, "metadata_fingerprint")->integerValue(),
                      platform::find(record, "metadata")->dataValue());
  }
  return rows;
}

// What an earlier build left: the same rows in a table keyed by the fingerprint.
void keyByFingerprint(APMSqliteStore& store) {
  run(store, "ALTER TABLE raw_events_metadata RENAME TO earlier");
  run(store, kFingerprintKeyTable);
  run(store, "INSERT INTO raw_events_metadata SELECT metadata_fingerprint, metadata FROM earlier");
  run(store, "DROP TABLE earlier");
}

// count rows of purchase-sized metadata under fingerprints no event uses.
void addUnusedMetadata(APMSqliteStore& store, int64_t count) {
  if (count <= 0) return;
  run(store, "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " + std::to_string(count) +
                 ") INSERT INTO raw_events_metadata SELECT i * 1000003 - 2000000000, randomblob(430) FROM n");
}

std::shared_ptr<APMEvent> makeEvent(const std::string& name, double timestamp) {
  return APMEvent::create("app", APMIsPublicName(name), name, timestamp, 0, APMParameters{});
}

TEST_F(APMRawEventMetadataLayoutTest, ANewFileAppendsMetadataUnderRowIDsWithTheFingerprintUnique) {
  const platform::Data first{1, 2, 3}, second{4, 5};
  onWorker([&] {
    ASSERT_TRUE(db_->rawEvents().insertIfNotExistsRawEventMetadata(first, &e)) << e.description;
    ASSERT_TRUE(db_->rawEvents().insertIfNotExistsRawEventMetadata(second, &e)) << e.description;
    ASSERT_TRUE(db_->rawEvents().insertIfNotExistsRawEventMetadata(first, &e)) << e.description;
  });
  auto store = rawStore();
  EXPECT_EQ(declaration(*store), kRowIDTable);
  auto indexes = store->recordsForQuery("PRAGMA index_list(raw_events_metadata)", {}, &e);
  ASSERT_TRUE(indexes && indexes->size() == 1u) << e.description;
  EXPECT_EQ(platform::find(indexes->front(), "unique")->integerValue(), 1);
  auto columns = store->recordsForQuery(
      "PRAGMA index_info(" + APMSqliteStore::quoteIdentifier(platform::find(indexes->front(), "name")->stringValue()) +
          ")",
      {}, &e);
  ASSERT_TRUE(columns && columns->size() == 1u) << e.description;
  EXPECT_EQ(platform::find(columns->front(), "name")->stringValue(), "metadata_fingerprint");

  // Rows in insertion order, the repeated metadata ignored.
  auto rows = store->recordsForQuery("SELECT rowid, metadata_fingerprint FROM raw_events_metadata ORDER BY rowid",
                                     {}, &e);
  ASSERT_TRUE(rows && rows->size() == 2u) << e.description;
  EXPECT_EQ(platform::find((*rows)[0], "rowid")->integerValue(), 1);
  EXPECT_EQ(platform::find((*rows)[0], "metadata_fingerprint")->integerValue(),
            APMDatabaseRawEvents::metadataFingerprint(first));
  EXPECT_EQ(platform::find((*rows)[1], "rowid")->integerValue(), 2);
  EXPECT_EQ(platform::find((*rows)[1], "metadata_fingerprint")->integerValue(),
            APMDatabaseRawEvents::metadataFingerprint(second));
}

// An earlier build's file of at most 4,000 metadata rows moves at open with every row and byte; a
// larger one stays as it is and keeps working, and moves at a start that finds it small enough.
TEST_F(APMRawEventMetadataLayoutTest, AnEarlierFileMovesAtOpenWhenSmallAndWorksAsItIsWhenLarge) {
  const struct {
    int64_t rows;
    bool moved;
  } cases[] = {{2, true}, {4000, true}, {4001, false}};
  const platform::Data first{1, 2, 3}, second(430, 0x5a), third{9};
  const int64_t firstPrint = APMDatabaseRawEvents::metadataFingerprint(first);
  const int64_t secondPrint = APMDatabaseRawEvents::metadataFingerprint(second);
  const int64_t thirdPrint = APMDatabaseRawEvents::metadataFingerprint(third);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rows);
    closeAndRemoveFiles();
    reopen();
    onWorker([&] {
      ASSERT_TRUE(db_->rawEvents().insertIfNotExistsRawEventMetadata(first, &e)) << e.description;
      ASSERT_TRUE(db_->rawEvents().insertIfNotExistsRawEventMetadata(second, &e)) << e.description;
      ASSERT_TRUE(db_->rawEvents().insertRawEvent(*makeEvent("a", 10), firstPrint, false, &e)) << e.description;
      ASSERT_TRUE(db_->rawEvents().insertRawEvent(*makeEvent("b", 11), secondPrint, false, &e)) << e.description;
      ASSERT_TRUE(db_->rawEvents().insertRawEvent(*makeEvent("c", 12), firstPrint, false, &e)) << e.description;
      db_.reset();
    });
    MetadataRows before;
    {
      auto store = rawStore();
      addUnusedMetadata(*store, c.rows - 2);
      keyByFingerprint(*store);
      ASSERT_EQ(declaration(*store), kFingerprintKeyTable);
      before = metadataRows(*store);
      ASSERT_EQ(before.size(), static_cast<size_t>(c.rows));
    }
    CapturedStoreLog log;
    reopen();
    EXPECT_FALSE(log.contains(kNotMovedCode));
    {
      auto store = rawStore();
      EXPECT_EQ(declaration(*store), c.moved ? kRowIDTable : kFingerprintKeyTable);
      EXPECT_EQ(metadataRows(*store), before);
    }

    onWorker([&] {
      // The stored events find their metadata, as a bundle reads it.
      for (const auto& [print, bytes, events] :
           {std::tuple{firstPrint, first, 2u}, std::tuple{secondPrint, second, 1u}}) {
        auto rows = db_->rawEvents().rawEventsWithMetadataFingerprint(print, &e, nullptr);
        ASSERT_TRUE(rows) << e.description;
        EXPECT_EQ(rows->size(), events);
        EXPECT_EQ(db_->rawEvents().queryRawEventsMetadataDataWithFingerprint(print, &e), bytes);
      }
      // Writes, reads and deletes by fingerprint.
      ASSERT_TRUE(db_->rawEvents().insertIfNotExistsRawEventMetadata(third, &e)) << e.description;
      ASSERT_TRUE(db_->rawEvents().insertIfNotExistsRawEventMetadata(first, &e)) << e.description;
      EXPECT_EQ(db_->rawEvents().queryRawEventsMetadataDataWithFingerprint(thirdPrint, &e), third);
      EXPECT_EQ(db_->rawEvents().queryRawEventsMetadataDataWithFingerprint(firstPrint, &e), first);
      ASSERT_TRUE(db_->rawEvents().deleteUnusedRawEventMetadata(firstPrint, &e)) << e.description;
      ASSERT_TRUE(db_->rawEvents().deleteUnusedRawEventMetadata(thirdPrint, &e)) << e.description;
      ASSERT_TRUE(db_->rawEvents().deleteRawEventMetadataWithMetadataFingerprint(secondPrint, &e)) << e.description;
      EXPECT_EQ(db_->rawEvents().queryRawEventsMetadataDataWithFingerprint(firstPrint, &e), first)
          << "events still use it";
      EXPECT_FALSE(db_->rawEvents().queryRawEventsMetadataDataWithFingerprint(thirdPrint, &e));
      EXPECT_FALSE(db_->rawEvents().queryRawEventsMetadataDataWithFingerprint(secondPrint, &e));
    });
    MetadataRows after = before;
    std::erase_if(after, [&](const auto& row) { return row.first == secondPrint; });
    EXPECT_EQ(metadataRows(*rawStore()), after);
    if (c.moved) continue;

    // Once uploads have emptied it below the bound, the next start moves it.
    onWorker([&] { db_.reset(); });
    run(*rawStore(), "DELETE FROM raw_events_metadata WHERE metadata_fingerprint = -2000000000 + 1000003");
    after = metadataRows(*rawStore());
    ASSERT_EQ(after.size(), 3999u);
    reopen();
    auto store = rawStore();
    EXPECT_EQ(declaration(*store), kRowIDTable);
    EXPECT_EQ(metadataRows(*store), after);
  }
}

// An older build opens a moved file with its own schema check and statements: the table keeps its
// declaration and rows, and a repeated fingerprint is still ignored.
TEST_F(APMRawEventMetadataLayoutTest, AnOlderBuildOpeningAMovedFileKeepsItsRows) {
  onWorker([&] {
    ASSERT_TRUE(db_->rawEvents().insertIfNotExistsRawEventMetadata(platform::Data{7}, &e)) << e.description;
    db_.reset();
  });
  keyByFingerprint(*rawStore());
  reopen();
  onWorker([&] { db_.reset(); });
  auto store = rawStore();
  ASSERT_EQ(declaration(*store), kRowIDTable);
  const MetadataRows before = metadataRows(*store);
  ASSERT_TRUE(store->ensureTableWithName("raw_events_metadata",
                                         {{"metadata_fingerprint", "INTEGER NOT NULL PRIMARY KEY"},
                                          {"metadata", "BLOB NOT NULL"}},
                                         {}, {}, &e))
      << e.description;
  EXPECT_EQ(declaration(*store), kRowIDTable);
  EXPECT_EQ(metadataRows(*store), before);
  const std::string insert = "INSERT OR IGNORE INTO raw_events_metadata (metadata_fingerprint, metadata) VALUES (?, ?)";
  EXPECT_EQ(store->executeStatement(insert, {Object(before.front().first), Object(platform::Data{8})}, &e), 0);
  EXPECT_EQ(store->executeStatement(insert, {Object(int64_t{5}), Object(platform::Data{8})}, &e), 1);
}

// A move that fails anywhere, even at its last step, rolls back whole: the earlier layout and every
// row stay, the failure is logged once, and the database works on.
TEST_F(APMRawEventMetadataLayoutTest, AFailedMoveLeavesTheEarlierTableWithItsRows) {
  const platform::Data kept{1, 2, 3}, later{4};
  onWorker([&] {
    ASSERT_TRUE(db_->rawEvents().insertIfNotExistsRawEventMetadata(kept, &e)) << e.description;
    db_.reset();
  });
  MetadataRows before;
  {
    auto store = rawStore();
    addUnusedMetadata(*store, 20);
    keyByFingerprint(*store);
    // Renaming the new table fails while a view names a table that is gone.
    run(*store, "CREATE VIEW metadata_sizes AS SELECT length(metadata) AS size FROM raw_events_metadata");
    before = metadataRows(*store);
  }
  CapturedStoreLog log;
  reopen();
  EXPECT_EQ(log.count(kNotMovedCode), 1u);
  {
    auto store = rawStore();
    EXPECT_EQ(declaration(*store), kFingerprintKeyTable);
    EXPECT_EQ(metadataRows(*store), before);
    auto tables = store->recordsForQuery("SELECT name FROM sqlite_master WHERE name LIKE '%moving%'", {}, &e);
    ASSERT_TRUE(tables) << e.description;
    EXPECT_TRUE(tables->empty());
  }
  onWorker([&] {
    ASSERT_TRUE(db_->rawEvents().insertIfNotExistsRawEventMetadata(later, &e)) << e.description;
    EXPECT_EQ(db_->rawEvents().queryRawEventsMetadataDataWithFingerprint(
                  APMDatabaseRawEvents::metadataFingerprint(later), &e),
              later);
    EXPECT_EQ(db_->rawEvents().queryRawEventsMetadataDataWithFingerprint(
                  APMDatabaseRawEvents::metadataFingerprint(kept), &e),
              kept);
  });
}

}  // namespace
