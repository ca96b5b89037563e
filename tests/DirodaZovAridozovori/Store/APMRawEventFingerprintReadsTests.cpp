// The raw events carry no index on their metadata fingerprint: a file of an earlier build loses
// it at open, and what reads the table by fingerprint reads it by row ID instead.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "APMNameTables.h"
#include "StoreTestSupport.h"

namespace {

using APMRawEventFingerprintReadsTest = APMDatabaseFixture;

std::vector<std::string> column(APMSqliteStore& store, const std::string& sql, const std::string& name) {
  platform::Error error;
  auto rows = store.recordsForQuery(sql, {}, &error);
  EXPECT_TRUE(rows) << sql << ": " << error.description;
  std::vector<std::string> values;
  for (const auto& row : rows.value_or(APMSqliteStore::Records{})) {
    const platform::Object* value = platform::find(row, name);
    values.push_back(!value ? "?" : value->isString() ? value->stringValue() : std::to_string(value->integerValue()));
  }
  return values;
}

TEST_F(APMRawEventFingerprintReadsTest, AnEarlierFilesIndexIsDroppedAtOpenAndItsRowsStayAsTheyWere) {
  const std::string columns = "SELECT name FROM pragma_table_info('raw_events')";
  const std::string indexes = "SELECT name FROM pragma_index_list('raw_events')";
  EXPECT_EQ(column(*rawStore(), indexes, "name"), std::vector<std::string>{}) << "a new file makes none";
  EXPECT_EQ(column(*rawStore(), columns, "name"),
            (std::vector<std::string>{"name", "timestamp", "metadata_fingerprint", "data", "realtime"}));
  const platform::Data metadata{1, 2, 3};
  const int64_t print = APMDatabaseRawEvents::metadataFingerprint(metadata);
  onWorker([&] {
    ASSERT_TRUE(db_->rawEvents().insertIfNotExistsRawEventMetadata(metadata, &e)) << e.description;
    auto event = APMEvent::create("app", true, "tap", 1700000000.0, 0, APMParameters{});
    ASSERT_TRUE(db_->rawEvents().insertRawEvent(*event, print, false, &e)) << e.description;
  });
  // What an earlier build made, and makes again whenever it opens the file.
  ASSERT_TRUE(rawStore()->executeStatement(
      "CREATE INDEX IF NOT EXISTS raw_events_metadata_fingerprint ON raw_events (metadata_fingerprint)", {}, &e));
  ASSERT_EQ(column(*rawStore(), indexes, "name"), std::vector<std::string>{"raw_events_metadata_fingerprint"});
  reopen();
  EXPECT_EQ(column(*rawStore(), indexes, "name"), std::vector<std::string>{});
  EXPECT_EQ(column(*rawStore(), columns, "name"),
            (std::vector<std::string>{"name", "timestamp", "metadata_fingerprint", "data", "realtime"}));
  onWorker([&] {
    auto rows = db_->rawEvents().rawEventsWithMetadataFingerprint(print, &e, nullptr);
    ASSERT_TRUE(rows && rows->size() == 1u) << e.description;
    EXPECT_EQ(rows->front()->rawEvent()->name(), "tap");
    EXPECT_EQ(db_->rawEvents().queryRawEventsMetadataDataWithFingerprint(print, &e), metadata);
  });
}

// The oldest row's fingerprint, read among the 1000 row IDs from the oldest row on: the rows of
// that fingerprint in that range (and no others), an unreadable one deleted on the way.
TEST_F(APMRawEventFingerprintReadsTest, TheOldestRowsOfAFingerprintAreReadWithinAThousandRowIDs) {
  onWorker([&] {
    int64_t row = 0;
    for (const int64_t print : {7, 7, 8, 7, 7}) {
      ++row;
      auto event = APMEvent::create("app", true, "e" + std::to_string(row), 1700000000.0 + row, 0, APMParameters{});
      ASSERT_TRUE(db_->rawEvents().insertRawEvent(*event, print, false, &e)) << e.description;
    }
  });
  auto store = rawStore();
  // Rows of fingerprint 7 at the last row ID of the range and at the first beyond it, then one that
  // cannot be read within it; the oldest row (row ID 1) goes, so the range starts at row ID 2.
  for (const char* sql :
       {"INSERT INTO raw_events (rowid, name, timestamp, metadata_fingerprint, data, realtime) "
        "SELECT 1001, 'last_in_range', timestamp, 7, data, 0 FROM raw_events WHERE rowid = 2",
        "INSERT INTO raw_events (rowid, name, timestamp, metadata_fingerprint, data, realtime) "
        "SELECT 1002, 'beyond_range', timestamp, 7, data, 0 FROM raw_events WHERE rowid = 2",
        "UPDATE raw_events SET data = x'ff00ff00ff' WHERE rowid = 4", "DELETE FROM raw_events WHERE rowid = 1"}) {
    ASSERT_TRUE(store->executeStatement(sql, {}, &e)) << sql << ": " << e.description;
  }
  CapturedStoreLog log;
  onWorker([&] {
    auto rows = db_->rawEvents().oldestRawEventsWithMetadataFingerprint(7, &e);
    ASSERT_TRUE(rows) << e.description;
    std::vector<std::string> names;
    for (const auto& row : *rows) names.push_back(row->rawEvent()->name());
    EXPECT_EQ(names, (std::vector<std::string>{"e2", "e5", "last_in_range"}));
  });
  EXPECT_EQ(column(*store, "SELECT rowid FROM raw_events ORDER BY rowid", "rowid"),
            (std::vector<std::string>{"2", "3", "5", "1001", "1002"}))
      << "the unreadable row is deleted";
}

}  // namespace
