#include "APMDatabase.h"

#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <functional>

#include "APMNameTables.h"
#include "platform/Gzip.h"
#include "StoreTestSupport.h"

using platform::Object;

namespace {

using APMDatabaseTest = APMDatabaseFixture;

std::shared_ptr<APMEvent> makeEvent(const std::string& name, double timestamp) {
  return APMEvent::create("app", APMIsPublicName(name), name, timestamp, 0, APMParameters{});
}

TEST_F(APMDatabaseTest, OperationsOffTheWorkerQueueAreRefusedWithoutTouchingTheFile) {
  CapturedStoreLog log;
  platform::Error error, readError, transactionError;
  EXPECT_FALSE(db_->userProperties().updateUserAttribute(APMUserAttribute("app", "color", APMValue("red"), 1), &error));
  EXPECT_EQ(error.code, kAPMStoreErrorWrongQueue);
  EXPECT_FALSE(db_->userProperties().userAttributeWithName("color", &readError));
  EXPECT_EQ(readError.code, kAPMStoreErrorWrongQueue) << "a refused read must not look like 'none stored'";
  bool ran = false;
  EXPECT_FALSE(db_->performTransaction([&] { return ran = true; }, &transactionError));
  EXPECT_FALSE(ran);
  EXPECT_TRUE(log.contains(34003));
  onWorker([&] { EXPECT_FALSE(db_->userProperties().userAttributeWithName("color", nullptr)); });
}

// A refusal names the operation that was called, so that the log leads to the caller; closing and
// deleting off the queue leaves the file and the connection as they were.
TEST_F(APMDatabaseTest, EachOperationOffTheWorkerQueueIsRefusedUnderItsOwnName) {
  const struct {
    const char* name;
    std::function<bool(platform::Error*)> call;
  } cases[] = {
      {"queryRawEventsMetadataDataWithFingerprint",
       [&](platform::Error* error) { return db_->rawEvents().queryRawEventsMetadataDataWithFingerprint(1, error).has_value(); }},
      {"queryRawEventsMetadataWithFingerprint",
       [&](platform::Error* error) { return db_->rawEvents().queryRawEventsMetadataWithFingerprint(1, error) != nullptr; }},
      {"queryBundleDataWithCountLimit",
       [&](platform::Error* error) { return db_->bundleQueue().queryBundleDataWithCountLimit(1, 1, error).has_value(); }},
      {"queryBundlesWithCountLimit",
       [&](platform::Error* error) { return db_->bundleQueue().queryBundlesWithCountLimit(1, 1, error).has_value(); }},
  };
  for (const auto& c : cases) {
    platform::Error error;
    EXPECT_FALSE(c.call(&error)) << c.name;
    EXPECT_EQ(error.code, kAPMStoreErrorWrongQueue) << c.name;
    EXPECT_EQ(error.description, std::string("Database operation ") + c.name + " must run on the worker queue");
  }
  const std::string path = APMApplicationSupportPath(APMDatabase::kDatabaseName);
  CapturedStoreLog log;
  EXPECT_FALSE(db_->closeAndDeleteDatabase());
  EXPECT_TRUE(log.contains(34003));
  EXPECT_TRUE(std::filesystem::exists(path));
  onWorker([&] { EXPECT_TRUE(db_->appMetadata().dailyCounts(&e)) << e.description; });
}

TEST_F(APMDatabaseTest, UserPropertiesKeepTheirValueKindsAndSurviveRestart) {
  onWorker([&] {
    ASSERT_TRUE(db_->userProperties().updateUserAttribute(APMUserAttribute("app", "color", APMValue("red"), 10), &e));
    ASSERT_TRUE(
        db_->userProperties().updateUserAttribute(APMUserAttribute("app", "level", APMValue(int64_t{7}), 11), &e));
    ASSERT_TRUE(db_->userProperties().updateUserAttribute(APMUserAttribute("auto", "_lte", APMValue(2.0), 12), &e));
    ASSERT_TRUE(
        db_->userProperties().updateUserAttribute(APMUserAttribute("auto", "_ltv_EUR", APMValue(int64_t{5}), 13), &e));
    ASSERT_TRUE(
        db_->userProperties().updateUserAttribute(APMUserAttribute("iap", "_ltv_USD", APMValue(int64_t{6}), 20), &e));
    ASSERT_TRUE(
        db_->userProperties().updateUserAttribute(APMUserAttribute("auto", "_ltvX", APMValue(int64_t{6}), 30), &e));
    ASSERT_TRUE(db_->userProperties().updateUserAttribute(APMUserAttribute("app", "color", APMValue("blue"), 14), &e));
    platform::Error refused;
    EXPECT_FALSE(db_->userProperties().updateUserAttribute(
        APMUserAttribute("app", "items", APMValue(std::vector<APMParameters>{}), 1), &refused));
    EXPECT_FALSE(refused.empty());
  });
  reopen();
  onWorker([&] {
    EXPECT_EQ(*db_->userProperties().userAttributeWithName("color", &e),
              APMUserAttribute("app", "color", APMValue("blue"), 14));
    EXPECT_TRUE(db_->userProperties().userAttributeWithName("_lte", &e)->value().isDouble())
        << "2.0 must stay a double";
    EXPECT_TRUE(db_->userProperties().userAttributeWithName("level", &e)->value().isInt64());
    EXPECT_EQ(db_->userProperties().publicUserAttributeCount(&e), 2);
    EXPECT_EQ(db_->userProperties().userAttributeCountForOrigin("auto", &e), 3);
    EXPECT_EQ(db_->userProperties().userAttributesIncludingInternal(true, &e)->size(), 6u);
    auto ltv = db_->userProperties().allLifetimeValueUserAttributes(&e);
    ASSERT_TRUE(ltv);
    ASSERT_EQ(ltv->size(), 2u) << "\"_ltvX\" must not match the literal prefix \"_ltv_\"";
    EXPECT_EQ(ltv->at(0)->name(), "_ltv_USD");
    EXPECT_EQ(ltv->at(1)->name(), "_ltv_EUR");
    EXPECT_TRUE(db_->userProperties().deleteUserAttributeWithName("color", &e));
    EXPECT_FALSE(db_->userProperties().userAttributeWithName("color", &e));
    EXPECT_TRUE(e.empty());
  });
}

TEST_F(APMDatabaseTest, DamagedRowsAreReportedAndSkippedSoWorkCanGoOn) {
  onWorker([&] {
    ASSERT_TRUE(db_->userProperties().updateUserAttribute(APMUserAttribute("app", "good", APMValue("g"), 1), nullptr));
    ASSERT_TRUE(db_->userProperties().updateUserAttribute(APMUserAttribute("app", "bad", APMValue("b"), 1), nullptr));
    for (int i = 0; i < 3; ++i) {
      ASSERT_TRUE(db_->rawEvents().insertRawEvent(*makeEvent("e" + std::to_string(i), i), 5, false, nullptr));
    }
    ASSERT_TRUE(db_->bundleQueue().insertBundle(platform::Data{1}, 1, false, nullptr));
    ASSERT_TRUE(db_->bundleQueue().insertBundle(platform::Data{2}, 2, false, nullptr));
  });
  auto store = rawStore();
  for (const auto& [sql, data] : std::vector<std::pair<const char*, platform::Data>>{
           {"UPDATE user_attributes SET value = ? WHERE name = 'bad'", {1, 2}},
           {"UPDATE raw_events SET data = ? WHERE name = 'e0'", {0xde, 0xad}},
           {"UPDATE queue SET data = ? WHERE rowid = (SELECT MIN(rowid) FROM queue)", {0x1f, 0x8b, 0}}}) {
    ASSERT_TRUE(store->executeStatement(sql, {Object(data)}, nullptr)) << sql;
  }
  CapturedStoreLog log;
  onWorker([&] {
    platform::Error listError;
    EXPECT_FALSE(db_->userProperties().userAttributeWithName("bad", &e));
    EXPECT_EQ(e.code, kAPMStoreErrorCorruptData) << "a damaged row must not read as 'not stored'";
    auto all = db_->userProperties().userAttributesIncludingInternal(true, &listError);
    ASSERT_TRUE(all && all->size() == 1u);
    EXPECT_EQ(all->front()->name(), "good");

    std::vector<size_t> positions;
    auto group = db_->rawEvents().rawEventsWithMetadataFingerprint(5, &listError,
                                                                   [&](const APMSqliteStore::Record&, size_t position) {
                                                                     positions.push_back(position);
                                                                     return true;
                                                                   });
    ASSERT_TRUE(group && group->size() == 2u) << listError.description;
    EXPECT_EQ(group->front()->rawEvent()->name(), "e1");
    EXPECT_EQ(positions, (std::vector<size_t>{0, 1})) << "positions count the rows offered";
    EXPECT_EQ(db_->rawEvents().allRawEventsWithError(&listError)->size(), 2u)
        << "the unreadable event is gone for good";

    auto bundles = db_->bundleQueue().queryBundleDataWithCountLimit(10, 1000, &listError);
    ASSERT_TRUE(bundles && bundles->size() == 1u) << "an unreadable bundle must not block the queue";
    EXPECT_EQ(bundles->front().bundle, (platform::Data{2}));
  });
  for (int64_t code : {34007, 34006, 34004}) EXPECT_TRUE(log.contains(code)) << code;
}

TEST_F(APMDatabaseTest, EventsSnapshotRestoresTheAggregatesOfTheMomentItWasTaken) {
  onWorker([&] {
    ASSERT_TRUE(db_->eventAggregates().updateEventAggregates(APMEventAggregates("a", 1, 1, 1, 1), &e));
    ASSERT_TRUE(db_->eventAggregates().createEventsSnapshotTable(&e));
    ASSERT_TRUE(db_->eventAggregates().updateEventAggregates(APMEventAggregates("a", 9, 9, 9, 9), &e));
    ASSERT_TRUE(db_->eventAggregates().updateEventAggregates(APMEventAggregates("b", 1, 1, 1, 1), &e));
    ASSERT_TRUE(db_->eventAggregates().restoreFromEventsSnapshotTable(&e)) << e.description;
    EXPECT_EQ(db_->eventAggregates().eventAggregatesWithName("a", &e)->lifetimeCount(), 1);
    EXPECT_FALSE(db_->eventAggregates().eventAggregatesWithName("b", &e));
  });
}

// Every stored column reads back into its own field (each field holds a value no other has), for
// one name and for all names, with and without a sampled complex event ID; the daily counts and
// the app metadata likewise.
TEST_F(APMDatabaseTest, EveryAggregateCountAndMetadataFieldReadsBackIntoItsOwnField) {
  APMEventAggregates sampled("a_sampled", 11, 12, 13, 14.5);
  sampled.setLastBundledTimestamp(15.5);
  sampled.setLastBundledDay(16);
  sampled.setLastSamplingRate(17);
  sampled.setLastSampledComplexEventID(18);
  sampled.setLastExemptFromSampling(true);
  APMEventAggregates plain("b_plain", 21, 22, 23, 24.5);
  plain.setLastBundledTimestamp(25.5);
  plain.setLastBundledDay(26);
  plain.setLastSamplingRate(27);
  APMDailyCounts counts;
  counts.day = 31;
  counts.conversionsCount = 32;
  counts.allEventsCount = 33;
  counts.publicEventsCount = 34;
  counts.errorEventsCount = 35;
  counts.realtimeCount = 36;
  counts.dcuRealtimeCount = 37;
  APMAppMetadata metadata;
  metadata.lastBundleIndex = 41;
  metadata.lastDeliveryIndex = 42;
  metadata.lastBundleStartTimestamp = 43.5;
  metadata.lastBundleEndTimestamp = 44.5;
  onWorker([&] {
    for (const auto* aggregates : {&sampled, &plain}) {
      ASSERT_TRUE(db_->eventAggregates().updateEventAggregates(*aggregates, &e));
    }
    ASSERT_TRUE(db_->appMetadata().updateDailyCounts(counts, &e));
    ASSERT_TRUE(db_->appMetadata().updateAppMetadata(metadata, &e));
  });
  reopen();
  onWorker([&] {
    for (const auto* aggregates : {&sampled, &plain}) {
      SCOPED_TRACE(aggregates->name());
      auto read = db_->eventAggregates().eventAggregatesWithName(aggregates->name(), &e);
      ASSERT_TRUE(read) << e.description;
      EXPECT_EQ(*read, *aggregates);
    }
    auto all = db_->eventAggregates().allEventAggregates(&e);
    ASSERT_TRUE(all && all->size() == 2u) << e.description;
    EXPECT_EQ(*all->at(0), sampled);
    EXPECT_EQ(*all->at(1), plain);
    auto readCounts = db_->appMetadata().dailyCounts(&e);
    ASSERT_TRUE(readCounts);
    EXPECT_EQ((std::array{readCounts->day, readCounts->conversionsCount, readCounts->allEventsCount,
                          readCounts->publicEventsCount, readCounts->errorEventsCount, readCounts->realtimeCount,
                          readCounts->dcuRealtimeCount}),
              (std::array{31, 32, 33, 34, 35, 36, 37}));
    auto readMetadata = db_->appMetadata().queryAppMetadata(&e);
    ASSERT_TRUE(readMetadata);
    EXPECT_EQ(*readMetadata, metadata);
  });
}

TEST_F(APMDatabaseTest, DailyCountsAppMetadataAndConfigShareARowWithoutClobbering) {
  clock_->setNow(1700000100);
  onWorker([&] {
    EXPECT_FALSE(db_->storedConfig().queryDecodedMeasurementConfigWithError(&e));
    EXPECT_TRUE(e.empty()) << "nothing stored is not an error";
    APMDailyCounts counts;
    counts.resetWithNewDay(19700);
    counts.incrementCountsForCurrentDay(19700, true, true, 4);
    ASSERT_TRUE(db_->appMetadata().updateDailyCounts(counts, &e));
    APMAppMetadata metadata;
    metadata.increaseLastBundleIndex(12);
    metadata.lastBundleEndTimestamp = 2000.25;
    ASSERT_TRUE(db_->appMetadata().updateAppMetadata(metadata, &e));
    ASSERT_TRUE(db_->storedConfig().updateRemoteConfig(platform::Data{0xff, 0xff, 0xff}, &e));
    EXPECT_EQ(db_->storedConfig().lastRemoteConfigUpdateTimestamp(&e), 1700000100);
    ASSERT_TRUE(db_->storedConfig().updateRemoteConfigSuccessfulTimestamp(1700000500, &e));
  });
  reopen();
  onWorker([&] {
    EXPECT_EQ(db_->appMetadata().dailyCounts(&e)->allEventsCount, 4);
    EXPECT_EQ(db_->appMetadata().queryAppMetadata(&e)->lastBundleIndex, 12);
    EXPECT_EQ(db_->appMetadata().queryAppMetadata(&e)->lastBundleEndTimestamp, 2000.25);
    EXPECT_EQ(db_->storedConfig().queryMeasurementConfigWithError(&e), (platform::Data{0xff, 0xff, 0xff}));
    EXPECT_EQ(db_->storedConfig().lastRemoteConfigUpdateTimestamp(&e), 1700000500);
    platform::Error corrupt;
    EXPECT_FALSE(db_->storedConfig().queryDecodedMeasurementConfigWithError(&corrupt));
    EXPECT_EQ(corrupt.code, 2);
    EXPECT_EQ(corrupt.description, "Remote config data is corrupted");
  });
}

TEST_F(APMDatabaseTest, OldestRawEventIsTheLowestRowIDSoGroupDeletionSparesOtherFingerprints) {
  onWorker([&] {
    const platform::Data metadataA{1}, metadataB{2};
    const int64_t a = APMDatabaseRawEvents::metadataFingerprint(metadataA);
    const int64_t b = APMDatabaseRawEvents::metadataFingerprint(metadataB);
    ASSERT_NE(a, b);
    ASSERT_TRUE(db_->rawEvents().insertIfNotExistsRawEventMetadata(metadataA, &e));
    ASSERT_TRUE(db_->rawEvents().insertIfNotExistsRawEventMetadata(metadataA, &e))
        << "a known fingerprint is not an error";
    ASSERT_TRUE(db_->rawEvents().insertIfNotExistsRawEventMetadata(metadataB, &e));
    // B's event carries the oldest clock time but was written second.
    ASSERT_TRUE(db_->rawEvents().insertRawEvent(*makeEvent("first", 200), a, false, &e));
    ASSERT_TRUE(db_->rawEvents().insertRawEvent(*makeEvent("second", 100), b, false, &e));
    ASSERT_TRUE(db_->rawEvents().insertRawEvent(*makeEvent("third", 300), a, true, &e));
    EXPECT_EQ(db_->rawEvents().nextMetadataFingerprintToProcess(&e), a);
    std::vector<size_t> positions;
    int64_t previousRowID = 0;
    auto group = db_->rawEvents().rawEventsWithMetadataFingerprint(
        a, &e, [&](const APMSqliteStore::Record& row, size_t position) {
          positions.push_back(position);
          const int64_t rowID = row.at("rowid").integerValue();
          const bool consecutive = position == 0 || rowID == previousRowID + 1;
          previousRowID = rowID;
          return consecutive;
        });
    ASSERT_TRUE(group && group->size() == 1u);
    EXPECT_EQ(positions, (std::vector<size_t>{0, 1}));
    EXPECT_EQ(group->front()->rawEvent()->name(), "first");
    ASSERT_TRUE(db_->rawEvents().deleteRawEventsWithMaxRowID(group->back()->rowID(), &e));
    EXPECT_EQ(db_->rawEvents().nextMetadataFingerprintToProcess(&e), b);
    EXPECT_EQ(db_->rawEvents().allRawEventsWithError(&e)->size(), 2u);
    EXPECT_EQ(db_->rawEvents().queryRawEventsMetadataDataWithFingerprint(b, &e), metadataB);
  });
}

TEST_F(APMDatabaseTest, QueuedBundlesComeOldestFirstWithinLimitsButNeverStall) {
  const platform::Data small(20, 1);
  platform::Data large(5000);
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<uint8_t>((i * 2654435761u) >> 13);
  onWorker([&] {
    ASSERT_TRUE(db_->bundleQueue().insertBundle(large, 1700000010, false, &e));
    ASSERT_TRUE(db_->bundleQueue().insertBundle(small, 1700000020, true, &e));
    ASSERT_TRUE(db_->bundleQueue().insertBundle(small, 1700000030, false, &e));
    auto oversized = db_->bundleQueue().queryBundleDataWithCountLimit(10, 100, &e);
    ASSERT_TRUE(oversized && oversized->size() == 1u) << "the oldest bundle goes out even when it alone is too big";
    EXPECT_EQ(oversized->front().bundle, large);
    auto counted = db_->bundleQueue().queryBundleDataWithCountLimit(2, 1 << 20, &e);
    ASSERT_EQ(counted->size(), 2u);
    EXPECT_EQ(counted->at(1).bundle, small);
    ASSERT_TRUE(
        db_->bundleQueue().incrementRetryCounterForBundlesWithIDs({counted->at(0).rowID, counted->at(1).rowID}, &e));
    ASSERT_TRUE(db_->bundleQueue().incrementRetryCounterForBundlesWithIDs({counted->at(0).rowID}, &e));
    ASSERT_TRUE(db_->bundleQueue().deleteBundlesWithRowIDs({counted->at(1).rowID}, &e));
  });
  auto retries = rawStore()->recordsForQuery("SELECT retry_count FROM queue ORDER BY rowid", {}, nullptr);
  ASSERT_TRUE(retries && retries->size() == 2);
  EXPECT_EQ(retries->at(0).at("retry_count"), Object(2));
  EXPECT_EQ(retries->at(1).at("retry_count"), Object(0));
}

// A batch's rows are read as stored on the worker queue and inflated elsewhere. A row that does not
// inflate takes no room, so the row after the limit joins, as with the queue's own reading; one
// larger than the limit at the front still leaves the next row its place at the front of the batch
// (the batch falls short of the queue's own reading by less than that row's bytes).
TEST_F(APMDatabaseTest, RowsReadForABatchAndInflatedElsewhereMakeTheQueuesOwnBatch) {
  const platform::Data bundle(20, 1);
  const struct {
    const char* name;
    size_t unreadableBytes;
    size_t batchBundles;
  } cases[] = {{"as large as a bundle", 0, 2}, {"larger than the limit", 200, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(rawStore()->executeStatement("DELETE FROM queue", {}, nullptr));
    onWorker([&] {
      for (int i = 0; i < 3; ++i) ASSERT_TRUE(db_->bundleQueue().insertBundle(bundle, 1700000000 + i, false, &e));
    });
    auto rows = rawStore()->recordsForQuery("SELECT rowid, length(data) AS size FROM queue ORDER BY rowid", {}, nullptr);
    ASSERT_TRUE(rows && rows->size() == 3u);
    const int64_t storedSize = rows->at(1).at("size").integerValue();
    const platform::Data unreadable(c.unreadableBytes ? c.unreadableBytes : static_cast<size_t>(storedSize), 0);
    ASSERT_TRUE(rawStore()->executeStatement("UPDATE queue SET data = ? WHERE rowid = (SELECT MIN(rowid) FROM queue)",
                                             {Object(unreadable)}, nullptr));
    const int64_t limit = 2 * storedSize;
    std::optional<std::vector<APMStoredQueuedBundle>> stored;
    onWorker([&] { stored = db_->bundleQueue().readStoredBundlesForBatch(10, limit, &e); });
    ASSERT_TRUE(stored) << e.description;
    APMQueuedBundleReading reading(limit);
    for (const auto& row : *stored) {
      if (!reading.take(row.stored, row.rowID)) break;
    }
    std::vector<int64_t> batch;
    for (const auto& taken : reading.bundles) batch.push_back(taken.rowID);
    const std::vector<int64_t> later = {rows->at(1).at("rowid").integerValue(), rows->at(2).at("rowid").integerValue()};
    EXPECT_EQ(batch, std::vector<int64_t>(later.begin(), later.begin() + static_cast<std::ptrdiff_t>(c.batchBundles)));
    ASSERT_EQ(reading.uninflatable.size(), 1u);
    EXPECT_EQ(reading.uninflatable[0].first, rows->at(0).at("rowid").integerValue());
    onWorker([&] {
      auto own = db_->bundleQueue().queryBundleDataWithCountLimit(10, limit, &e);
      ASSERT_TRUE(own && own->size() == 2u) << "the queue's own reading skips the row in the same way";
    });
  }
}

// A bundle below 600 bytes is kept in a stored gzip stream (its 23 bytes of framing around it),
// larger ones compressed; either reads back as it went in.
TEST_F(APMDatabaseTest, SmallBundlesAreQueuedStoredAndLargerOnesCompressed) {
  const struct {
    size_t size;
    bool stored;
  } cases[] = {{1, true}, {300, true}, {599, true}, {600, false}, {5000, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    // Text that compresses to a fraction of its size.
    platform::Data bundle(c.size);
    for (size_t i = 0; i < bundle.size(); ++i) bundle[i] = static_cast<uint8_t>('a' + i % 4);
    onWorker([&] {
      ASSERT_TRUE(db_->bundleQueue().insertBundle(bundle, 1700000000, false, &e));
      auto read = db_->bundleQueue().queryBundleDataWithCountLimit(1, 1 << 20, &e);
      ASSERT_TRUE(read && read->size() == 1u);
      EXPECT_EQ(read->front().bundle, bundle);
    });
    auto sizes = rawStore()->recordsForQuery("SELECT length(data) AS size FROM queue", {}, nullptr);
    ASSERT_TRUE(sizes && sizes->size() == 1u);
    const auto stored = static_cast<size_t>(sizes->front().at("size").integerValue());
    if (c.stored) {
      EXPECT_EQ(stored, c.size + 23);
    } else {
      EXPECT_LT(stored, c.size / 4);
    }
    ASSERT_TRUE(rawStore()->executeStatement("DELETE FROM queue", {}, nullptr));
  }
  // A bundle of many similar events goes in at zlib's fast level, not the default one: compressing
  // them was a fifth of the upload worker's time.
  std::string events;
  for (int i = 0; events.size() < 20000; ++i) {
    events += "\x12\x21\x0a\x0blevel_start\x12\x0e\x0a\x05level\x18" + std::to_string(i % 50) + "\x20" +
              std::to_string(1700000000000LL + i * 50);
  }
  const platform::Data bundle(events.begin(), events.end());
  onWorker([&] { ASSERT_TRUE(db_->bundleQueue().insertBundle(bundle, 1700000000, false, &e)); });
  auto rows = rawStore()->recordsForQuery("SELECT data FROM queue", {}, nullptr);
  ASSERT_TRUE(rows && rows->size() == 1u);
  const auto& queued = rows->front().at("data").dataValue();
  EXPECT_EQ(queued, *platform::Gzip::deflate(bundle, platform::Gzip::Compression::kFast));
  EXPECT_NE(queued, *platform::Gzip::deflate(bundle));
  EXPECT_EQ(platform::Gzip::inflate(queued), std::optional<platform::Data>(bundle));
}

// Deleting by row IDs takes exactly the rows listed, whether they form one run of consecutive IDs
// (deleted as a range) or not.
TEST_F(APMDatabaseTest, DeletingQueuedBundlesTakesExactlyTheListedRows) {
  const struct {
    const char* name;
    std::vector<int64_t> deleted;
    std::vector<int64_t> left;
  } cases[] = {
      {"a run inside the table", {2, 3, 4}, {1, 5, 6}},
      {"a run at the ends", {1, 2}, {3, 4, 5, 6}},
      {"one row", {5}, {1, 2, 3, 4, 6}},
      {"a gap", {1, 3}, {2, 4, 5, 6}},
      {"descending", {4, 3}, {1, 2, 5, 6}},
      {"a run past the last row", {5, 6, 7}, {1, 2, 3, 4}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto store = rawStore();
    ASSERT_TRUE(store->executeStatement("DELETE FROM queue", {}, nullptr));
    for (int64_t rowID = 1; rowID <= 6; ++rowID) {
      ASSERT_TRUE(store->executeStatement(
          "INSERT INTO queue (rowid, data, end_timestamp, realtime, retry_count) VALUES (?, x'00', 0, 0, 0)",
          {Object(rowID)}, nullptr));
    }
    store.reset();
    onWorker([&] { ASSERT_TRUE(db_->bundleQueue().deleteBundlesWithRowIDs(c.deleted, &e)) << e.description; });
    auto rows = rawStore()->recordsForQuery("SELECT rowid FROM queue ORDER BY rowid", {}, nullptr);
    ASSERT_TRUE(rows);
    std::vector<int64_t> left;
    for (const auto& row : *rows) left.push_back(row.at("rowid").integerValue());
    EXPECT_EQ(left, c.left);
  }
}

// Whether bundles queued from now on could still join the next batch: not once the oldest ones
// reach the count limit, or a bundle after the first would take the stored bytes over the limit.
TEST_F(APMDatabaseTest, TheQueueHoldsAWholeBatchOnceNoLaterBundleCouldJoinIt) {
  const struct {
    const char* name;
    std::vector<size_t> sizes;
    int64_t countLimit, sizeLimit;
    bool whole;
  } cases[] = {
      {"empty", {}, 100, 65536, false},
      {"the count reached", {30, 30, 30}, 3, 1000, true},
      {"below the count", {30, 30, 30}, 4, 1000, false},
      {"the bytes exactly at the limit", {30, 30, 30}, 4, 90, false},
      {"one bundle more than the bytes allow", {30, 30, 30}, 4, 89, true},
      {"the first alone is over the limit", {30}, 4, 10, false},
      {"the second does not fit beside the first", {30, 30}, 4, 40, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto store = rawStore();
    ASSERT_TRUE(store->executeStatement("DELETE FROM queue", {}, nullptr));
    for (size_t size : c.sizes) {
      ASSERT_TRUE(store->executeStatement("INSERT INTO queue (data, end_timestamp, realtime, retry_count) VALUES (?, 0, 0, 0)",
                                          {Object(platform::Data(size, 7))}, nullptr));
    }
    store.reset();
    onWorker([&] {
      auto whole = db_->bundleQueue().queueHoldsFullBatch(c.countLimit, c.sizeLimit, &e);
      ASSERT_TRUE(whole) << e.description;
      EXPECT_EQ(*whole, c.whole);
    });
  }
}

// A reading carried from one question to the next, with bundles queued in between, answers as a
// fresh reading of the whole queue would: counts and bytes add up over the questions, and each
// bundle is counted once.
TEST_F(APMDatabaseTest, AQueueReadingCarriedOverBundlesQueuedSinceAnswersAsAFreshOne) {
  const struct {
    const char* name;
    std::vector<std::vector<size_t>> queuedBetween;  // the sizes queued before each question
    int64_t countLimit, sizeLimit;
    std::vector<bool> whole;
  } cases[] = {
      {"the count reached one at a time", {{30}, {30}, {30}}, 3, 1000, {false, false, true}},
      {"the count reached by several at once", {{30}, {30, 30, 30}}, 3, 1000, {false, true}},
      {"bytes adding up over three questions", {{30}, {30}, {30}}, 10, 89, {false, false, true}},
      {"bytes exactly at the limit", {{30}, {30}, {30}}, 10, 90, {false, false, false}},
      {"nothing queued in between", {{30}, {}, {30}}, 2, 1000, {false, false, true}},
      {"whole stays whole", {{30, 30}, {30}}, 2, 1000, {true, true}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto store = rawStore();
    ASSERT_TRUE(store->executeStatement("DELETE FROM queue", {}, nullptr));
    APMDatabaseBundleQueue::QueueReading reading;
    for (size_t question = 0; question < c.queuedBetween.size(); ++question) {
      SCOPED_TRACE(question);
      for (size_t size : c.queuedBetween[question]) {
        ASSERT_TRUE(store->executeStatement(
            "INSERT INTO queue (data, end_timestamp, realtime, retry_count) VALUES (?, 0, 0, 0)",
            {Object(platform::Data(size, 7))}, nullptr));
      }
      onWorker([&] {
        auto carried = db_->bundleQueue().queueHoldsFullBatch(c.countLimit, c.sizeLimit, reading, &e);
        auto fresh = db_->bundleQueue().queueHoldsFullBatch(c.countLimit, c.sizeLimit, &e);
        ASSERT_TRUE(carried && fresh) << e.description;
        EXPECT_EQ(*carried, c.whole[question]);
        EXPECT_EQ(*fresh, c.whole[question]);
      });
    }
  }
}

// The size limit of a batch counts every bundle taken so far, not only the last one.
TEST_F(APMDatabaseTest, TheBatchSizeLimitAddsUpOverSeveralBundles) {
  onWorker([&] {
    for (double end : {1700000010.0, 1700000020.0, 1700000030.0}) {
      ASSERT_TRUE(db_->bundleQueue().insertBundle(platform::Data(20, 1), end, false, &e));
    }
  });
  auto sizes = rawStore()->recordsForQuery("SELECT length(data) AS size FROM queue", {}, nullptr);
  ASSERT_TRUE(sizes && sizes->size() == 3u);
  const int64_t size = sizes->at(0).at("size").integerValue();
  const std::pair<int64_t, size_t> cases[] = {
      {3 * size, 3}, {3 * size - 1, 2}, {2 * size, 2}, {2 * size - 1, 1}, {0, 1},
  };
  for (const auto& [limit, expected] : cases) {
    SCOPED_TRACE(limit);
    onWorker([&] {
      auto bundles = db_->bundleQueue().queryBundleDataWithCountLimit(10, limit, &e);
      ASSERT_TRUE(bundles) << e.description;
      EXPECT_EQ(bundles->size(), expected);
    });
  }
}

TEST_F(APMDatabaseTest, CorruptDatabaseFileIsSetAsideAndReplaced) {
  const std::string path = closeAndRemoveFiles();
  std::ofstream(path, std::ios::binary | std::ios::trunc) << std::string(4096, '\x7f');
  CapturedStoreLog log;
  reopen();
  EXPECT_TRUE(log.contains(34001));
  EXPECT_TRUE(std::filesystem::exists(path + ".corrupt"));
  onWorker([&] {
    EXPECT_TRUE(db_->userProperties().updateUserAttribute(APMUserAttribute("app", "a", APMValue("fresh"), 2), &e))
        << e.description;
  });
}

TEST_F(APMDatabaseTest, ResetEmptiesEveryTableAndLeavesAWorkingDatabaseThatCloseAndDeleteRemoves) {
  onWorker([&] {
    ASSERT_TRUE(db_->userProperties().updateUserAttribute(APMUserAttribute("app", "a", APMValue("b"), 1), &e));
    ASSERT_TRUE(db_->eventAggregates().updateEventAggregates(APMEventAggregates("x", 1, 1, 1, 1), &e));
    ASSERT_TRUE(db_->rawEvents().insertRawEvent(*makeEvent("x", 1), 1, false, &e));
    ASSERT_TRUE(db_->bundleQueue().insertBundle(platform::Data{1}, 1, false, &e));
    ASSERT_TRUE(db_->reset(&e)) << e.description;
    EXPECT_FALSE(db_->userProperties().userAttributeWithName("a", &e));
    EXPECT_EQ(db_->eventAggregates().allEventAggregates(&e)->size(), 0u);
    EXPECT_EQ(db_->rawEvents().isRawEventsTableEmpty(&e), true);
    EXPECT_EQ(db_->bundleQueue().isQueuedBundleTableEmpty(&e), true);
    APMDailyCounts counts;
    counts.allEventsCount = 4;
    ASSERT_TRUE(db_->appMetadata().updateDailyCounts(counts, &e));
    EXPECT_EQ(db_->appMetadata().dailyCounts(&e)->allEventsCount, 4)
        << "the metadata row must exist again after a reset";
  });
  const std::string path = APMApplicationSupportPath(APMDatabase::kDatabaseName);
  ASSERT_TRUE(std::filesystem::exists(path));
  onWorker([&] { EXPECT_TRUE(db_->closeAndDeleteDatabase()); });
  EXPECT_FALSE(std::filesystem::exists(path));
}

// A trickle of groups leaves its WAL to the quiet checkpoint until 1000 pages wait, as SQLite
// itself would checkpoint; a burst's WAL may grow to 40000 pages, and a restart keeps that file.
// Off the worker queue the quiet checkpoint is refused.
TEST_F(APMDatabaseTest, TheQuietCheckpointWaitsForAThousandPagesAndTheWorkerQueue) {
  std::shared_ptr<APMSqliteStore> store;
  auto writeUntil = [&](int64_t pages) {
    onWorker([&] {
      ASSERT_TRUE(store->ensureTableWithName("trickle", {{"n", "INTEGER"}}, {}, {}, &e)) << e.description;
      for (int64_t n = 0; store->checkpoints().uncheckpointedPages() < pages; ++n) {
        ASSERT_TRUE(store->executeStatement("INSERT INTO trickle (n) VALUES (?)", {Object(n)}, &e)) << e.description;
      }
    });
  };
  onWorker([&] {
    store = db_->connection().store();
    auto pageSize = store->recordsForQuery("PRAGMA page_size", {}, &e);
    auto limit = store->recordsForQuery("PRAGMA journal_size_limit", {}, &e);
    ASSERT_TRUE(pageSize && limit) << e.description;
    const int64_t page = platform::find(pageSize->front(), "page_size")->integerValue();
    EXPECT_EQ(platform::find(limit->front(), "journal_size_limit")->integerValue(), 2 * 40000 * (page + 24));
  });
  // Each small row's commit adds a page or two, so this stops short of 1000.
  writeUntil(995);
  onWorker([&] {
    ASSERT_LT(store->checkpoints().uncheckpointedPages(), 1000);
    EXPECT_FALSE(db_->connection().checkpointWhenQuiet());
  });
  writeUntil(1000);
  EXPECT_FALSE(db_->connection().checkpointWhenQuiet()) << "off the worker queue";
  onWorker([&] {
    EXPECT_GE(store->checkpoints().uncheckpointedPages(), 1000);
    EXPECT_TRUE(db_->connection().checkpointWhenQuiet());
    EXPECT_EQ(store->checkpoints().uncheckpointedPages(), 0);
  });
}

TEST_F(APMDatabaseTest, RowsOverTheAgeOrCountLimitsGoOldestFirstWithOrphanMetadata) {
  const double now = 1700000000;
  db_->setLimitsProvider([] {
    APMDatabaseLimits limits;
    limits.maxQueueTime = 1000;
    limits.maxEventsStored = 3;
    return limits;
  });
  onWorker([&] {
    const platform::Data usedMetadata{1}, orphanMetadata{2};
    ASSERT_TRUE(db_->rawEvents().insertIfNotExistsRawEventMetadata(usedMetadata, &e));
    ASSERT_TRUE(db_->rawEvents().insertIfNotExistsRawEventMetadata(orphanMetadata, &e));
    const int64_t used = APMDatabaseRawEvents::metadataFingerprint(usedMetadata);
    ASSERT_TRUE(db_->rawEvents().insertRawEvent(*makeEvent("old", now - 2000), used, false, &e));
    ASSERT_TRUE(db_->rawEvents().insertRawEvent(*makeEvent("new", now - 10), used, false, &e));
    ASSERT_TRUE(db_->bundleQueue().insertBundle(platform::Data{1}, now - 5000, false, &e));
    ASSERT_TRUE(db_->bundleQueue().insertBundle(platform::Data{2}, now, false, &e));
    const uint64_t removedElsewhere = db_->bundleQueue().rowsRemovedElsewhereCount();
    EXPECT_EQ(db_->maybeDeleteStaleData(&e), 3);
    EXPECT_EQ(db_->bundleQueue().rowsRemovedElsewhereCount(), removedElsewhere + 1)
        << "an upload holding row IDs read before must learn that the queue lost a row";
    EXPECT_EQ(db_->rawEvents().allRawEventsWithError(&e)->size(), 1u);
    EXPECT_EQ(db_->bundleQueue().queryBundleDataWithCountLimit(10, 100, &e)->size(), 1u);
    EXPECT_TRUE(db_->rawEvents().queryRawEventsMetadataDataWithFingerprint(used, &e));
    EXPECT_FALSE(db_->rawEvents().queryRawEventsMetadataDataWithFingerprint(
        APMDatabaseRawEvents::metadataFingerprint(orphanMetadata), &e));

    for (int i = 0; i < 5; ++i) {
      ASSERT_TRUE(db_->rawEvents().insertRawEvent(*makeEvent("e" + std::to_string(i), now), used, false, &e));
    }
    EXPECT_EQ(db_->rawEvents().deleteRawEventsOverAbsoluteLimit(&e), 3);
    auto rows = db_->rawEvents().allRawEventsWithError(&e);
    ASSERT_EQ(rows->size(), 3u);
    EXPECT_EQ(rows->front()->rawEvent()->name(), "e2");
    EXPECT_EQ(db_->rawEvents().deleteRawEventsOverAbsoluteLimit(&e), 0);
  });
}

// The room below the stored-events limit is a promise: for exactly that many inserts the limit
// check deletes nothing, and the insert after them may need it. Gaps left by deletions only widen it.
TEST_F(APMDatabaseTest, RawEventRoomIsWhatTheLimitCheckLeavesAlone) {
  db_->setLimitsProvider([] {
    APMDatabaseLimits limits;
    limits.maxEventsStored = 5;
    return limits;
  });
  onWorker([&] {
    EXPECT_EQ(db_->rawEvents().rawEventsRoomBelowAbsoluteLimit(&e), 5) << "an empty table";
    for (int i = 0; i < 3; ++i) {
      ASSERT_TRUE(db_->rawEvents().insertRawEvent(*makeEvent("e" + std::to_string(i), 1), 1, false, &e));
    }
    EXPECT_EQ(db_->rawEvents().rawEventsRoomBelowAbsoluteLimit(&e), 2);
    auto rows = db_->rawEvents().allRawEventsWithError(&e);
    ASSERT_TRUE(db_->rawEvents().deleteRawEventsWithRowIDs({rows->front()->rowID()}, &e));
    const int64_t room = db_->rawEvents().rawEventsRoomBelowAbsoluteLimit(&e).value_or(-1);
    EXPECT_EQ(room, 3);
    for (int64_t i = 0; i < room; ++i) {
      EXPECT_EQ(db_->rawEvents().deleteRawEventsOverAbsoluteLimit(&e), 0) << i;
      ASSERT_TRUE(db_->rawEvents().insertRawEvent(*makeEvent("more", 2), 1, false, &e));
    }
    EXPECT_EQ(db_->rawEvents().rawEventsRoomBelowAbsoluteLimit(&e), 0);
    ASSERT_TRUE(db_->rawEvents().insertRawEvent(*makeEvent("over", 3), 1, false, &e));
    EXPECT_EQ(db_->rawEvents().rawEventsRoomBelowAbsoluteLimit(&e), -1);
    EXPECT_EQ(db_->rawEvents().deleteRawEventsOverAbsoluteLimit(&e), 1);
  });
}

// The latest raw-event time and whether any row is real-time are remembered between questions;
// every step below changes the answers or must not, whether the change came through this
// connection, a rollback or another process.
TEST_F(APMDatabaseTest, RawEventFactsFollowEveryChangeToTheTable) {
  auto other = rawStore();
  auto insert = [&](const std::string& name, double time, bool realtime) {
    db_->rawEvents().insertRawEvent(*makeEvent(name, time), 1, realtime, &e);
  };
  auto deleteNamed = [&](const std::string& name) {
    auto rows = db_->rawEvents().allRawEventsWithError(&e);
    for (const auto& row : *rows) {
      if (row->rawEvent()->name() == name) db_->rawEvents().deleteRawEventsWithRowIDs({row->rowID()}, &e);
    }
  };
  // As bundling deletes its rows: telling their newest time.
  auto deleteNamedKnowingItsTime = [&](const std::string& name) {
    auto rows = db_->rawEvents().allRawEventsWithError(&e);
    for (const auto& row : *rows) {
      if (row->rawEvent()->name() == name) {
        db_->rawEvents().deleteRawEventsWithRowIDs({row->rowID()}, row->rawEvent()->timestamp(), &e);
      }
    }
  };
  struct Step {
    const char* name;
    std::function<void()> change;
    double latest;
    bool realtime;
  };
  const Step steps[] = {
      {"first row", [&] { insert("a", 100, false); }, 100, false},
      {"a later row", [&] { insert("b", 300, false); }, 300, false},
      {"an earlier real-time row", [&] { insert("c", 200, true); }, 300, true},
      {"the real-time row deleted", [&] { deleteNamed("c"); }, 300, false},
      {"a later real-time row rolled back",
       [&] {
         db_->performTransaction([&] {
           insert("d", 900, true);
           return false;
         });
       },
       300, false},
      {"the latest row deleted", [&] { deleteNamed("b"); }, 100, false},
      {"a row moved later",
       [&] {
         auto rows = db_->rawEvents().allRawEventsWithError(&e);
         db_->rawEvents().updateRawEvent(APMRawEventData(makeEvent("a", 250), rows->front()->rowID(), 1), &e);
       },
       250, false},
      {"the latest row rewritten at its own time",
       [&] {
         auto rows = db_->rawEvents().allRawEventsWithError(&e);
         EXPECT_TRUE(db_->rawEvents().updateRawEvent(APMRawEventData(makeEvent("a2", 250), rows->front()->rowID(), 1), &e));
         rows = db_->rawEvents().allRawEventsWithError(&e);
         ASSERT_EQ(rows->size(), 1u);
         EXPECT_EQ(rows->front()->rawEvent()->name(), "a2");
         EXPECT_EQ(rows->front()->rawEvent()->timestamp(), 250);
         EXPECT_FALSE(db_->rawEvents().updateRawEvent(APMRawEventData(makeEvent("z", 250), rows->front()->rowID() + 7, 1), &e));
       },
       250, false},
      {"an earlier real-time row again", [&] { insert("f", 120, true); }, 250, true},
      {"that row deleted, its time known", [&] { deleteNamedKnowingItsTime("f"); }, 250, false},
      {"a row between", [&] { insert("g", 180, false); }, 250, false},
      {"the latest row deleted, its time known", [&] { deleteNamedKnowingItsTime("a2"); }, 180, false},
      {"another process adds a later real-time row",
       [&] {
         other->executeStatement("INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data, realtime) "
                                 "VALUES ('x', 500, 1, x'00', 1)",
                                 {}, nullptr);
       },
       500, true},
      {"reset", [&] { db_->reset(&e); }, 0, false},
  };
  onWorker([&] {
    EXPECT_EQ(db_->rawEvents().queryLatestRawEventTime(&e), 0);
    EXPECT_EQ(db_->rawEvents().containsRealtimeRawEventsWithError(&e), false);
    for (const Step& step : steps) {
      step.change();
      for (const char* round : {"asked", "asked again"}) {
        EXPECT_EQ(db_->rawEvents().queryLatestRawEventTime(&e), step.latest) << step.name << ", " << round;
        EXPECT_EQ(db_->rawEvents().containsRealtimeRawEventsWithError(&e), step.realtime) << step.name << ", " << round;
      }
    }
  });
}

// The metadata sources version moves with every write metadata is read from, and with every
// rollback (what was read inside may be gone); raw events and reads leave it alone. A user
// property's own version moves with what changes that property only; removing what is not there
// moves nothing.
TEST_F(APMDatabaseTest, MetadataSourcesVersionFollowsUserPropertiesOnDeviceValuesAndRollbacks) {
  struct Case {
    const char* name;
    std::function<void()> action;
    bool moves;
    bool colorMoves;
    bool sizeMoves;
  };
  const Case cases[] = {
      {"user property set",
       [&] { db_->userProperties().updateUserAttribute(APMUserAttribute("app", "color", APMValue("red"), 1), &e); },
       true, true, false},
      {"user property read", [&] { db_->userProperties().userAttributesIncludingInternal(true, &e); }, false, false,
       false},
      {"another user property set",
       [&] { db_->userProperties().updateUserAttribute(APMUserAttribute("app", "size", APMValue("xl"), 1), &e); }, true,
       false, true},
      {"user property removed", [&] { db_->userProperties().deleteUserAttributeWithName("color", &e); }, true, true,
       false},
      {"missing user property removed", [&] { db_->userProperties().deleteUserAttributeWithName("color", &e); }, false,
       false, false},
      {"on-device value set", [&] { db_->onDeviceValues().updateODMValue("v", "odm1_value", 1, &e); }, true, false,
       false},
      {"on-device value read", [&] { db_->onDeviceValues().ODMValueWithName("odm1_value", &e); }, false, false, false},
      {"on-device value removed", [&] { db_->onDeviceValues().deleteODMValueWithName("odm1_value", &e); }, true, false,
       false},
      {"raw event stored", [&] { db_->rawEvents().insertRawEvent(*makeEvent("e", 1), 1, false, &e); }, false, false,
       false},
      {"raw event kept in a transaction",
       [&] {
         db_->performTransaction([&] { return db_->rawEvents().insertRawEvent(*makeEvent("e", 1), 1, false, &e); });
       },
       false, false, false},
      {"raw event rolled back",
       [&] {
         db_->performTransaction([&] {
           db_->rawEvents().insertRawEvent(*makeEvent("e", 1), 1, false, &e);
           return false;
         });
       },
       true, true, true},
      {"reset", [&] { db_->reset(&e); }, true, true, true},
  };
  onWorker([&] {
    for (const Case& c : cases) {
      const uint64_t before = db_->metadataSourcesVersion();
      const auto colorBefore = db_->userProperties().userAttributeVersion("color");
      const auto sizeBefore = db_->userProperties().userAttributeVersion("size");
      c.action();
      EXPECT_EQ(db_->metadataSourcesVersion() != before, c.moves) << c.name;
      EXPECT_EQ(!(db_->userProperties().userAttributeVersion("color") == colorBefore), c.colorMoves) << c.name;
      EXPECT_EQ(!(db_->userProperties().userAttributeVersion("size") == sizeBefore), c.sizeMoves) << c.name;
    }
  });
}

// Lifetime values written at commit read as if written at once, leave with the scope that made
// them, and reach the file once, in the order they were made ("_ltv_GBP" 7, set at 5, is stored
// before each case).
TEST_F(APMDatabaseTest, ChangesWaitingForTheCommitReadAsWrittenAndFollowTheirScopes) {
  using Totals = std::vector<std::pair<std::string, int64_t>>;  // newest first
  auto totals = [&] {
    Totals result;
    auto stored = db_->userProperties().allLifetimeValueUserAttributes(&e);
    EXPECT_TRUE(stored) << e.description;
    for (const auto& property : stored.value_or(std::vector<std::shared_ptr<APMUserAttribute>>{})) {
      result.emplace_back(property->name(), property->value().int64Value());
    }
    return result;
  };
  auto wait = [&](const char* name, int64_t value, double at) {
    EXPECT_TRUE(
        db_->userProperties().updateUserAttributeAtCommit(APMUserAttribute("auto", name, APMValue(value), at), &e));
  };
  auto scope = [&](bool keep, const std::function<void()>& body) {
    ASSERT_TRUE(db_->beginTransaction(&e));
    body();
    platform::Error ignored;
    db_->endTransaction(keep, &ignored);
  };
  struct Case {
    const char* name;
    std::function<void()> inTransaction;
    Totals inside;
    bool commit;
    Totals stored;
  };
  const Case cases[] = {
      {"set at one time: stored rows first, then in the order changed",
       [&] {
         wait("_ltv_USD", 1, 5);
         wait("_ltv_EUR", 2, 5);
         wait("_ltv_CHF", 3, 5);
         wait("_ltv_USD", 4, 5);
       },
       {{"_ltv_GBP", 7}, {"_ltv_EUR", 2}, {"_ltv_CHF", 3}, {"_ltv_USD", 4}},
       true,
       {{"_ltv_GBP", 7}, {"_ltv_EUR", 2}, {"_ltv_CHF", 3}, {"_ltv_USD", 4}}},
      {"a rolled-back scope takes its changes",
       [&] {
         wait("_ltv_USD", 1, 6);
         uint64_t beforeRollback = 0;
         scope(false, [&] {
           wait("_ltv_USD", 5, 7);
           wait("_ltv_EUR", 2, 7);
           beforeRollback = db_->metadataSourcesVersion();
         });
         EXPECT_NE(db_->metadataSourcesVersion(), beforeRollback) << "what metadata is read from changed back";
       },
       {{"_ltv_USD", 1}, {"_ltv_GBP", 7}},
       true,
       {{"_ltv_USD", 1}, {"_ltv_GBP", 7}}},
      {"a kept scope inside a rolled-back one",
       [&] { scope(false, [&] { scope(true, [&] { wait("_ltv_USD", 4, 6); }); }); },
       {{"_ltv_GBP", 7}},
       true,
       {{"_ltv_GBP", 7}}},
      {"a deletion waits too",
       [&] {
         wait("_ltv_USD", 1, 6);
         EXPECT_TRUE(db_->userProperties().deleteUserAttributeAtCommit("_ltv_GBP", &e));
       },
       {{"_ltv_USD", 1}},
       true,
       {{"_ltv_USD", 1}}},
      {"a count writes what waits; rolled back, it waits again",
       [&] {
         wait("_ltv_USD", 1, 6);
         scope(false, [&] { EXPECT_EQ(db_->userProperties().userAttributeCountForOrigin("auto", &e), 2); });
       },
       {{"_ltv_USD", 1}, {"_ltv_GBP", 7}},
       true,
       {{"_ltv_USD", 1}, {"_ltv_GBP", 7}}},
      {"a direct write wins over what waits",
       [&] {
         wait("_ltv_USD", 1, 6);
         EXPECT_TRUE(db_->userProperties().updateUserAttribute(
             APMUserAttribute("auto", "_ltv_USD", APMValue(int64_t{2}), 6), &e));
       },
       {{"_ltv_USD", 2}, {"_ltv_GBP", 7}},
       true,
       {{"_ltv_USD", 2}, {"_ltv_GBP", 7}}},
      {"the transaction rolled back",
       [&] { wait("_ltv_USD", 9, 6); },
       {{"_ltv_USD", 9}, {"_ltv_GBP", 7}},
       false,
       {{"_ltv_GBP", 7}}},
  };
  onWorker([&] {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      ASSERT_TRUE(db_->reset(&e));
      ASSERT_TRUE(
          db_->userProperties().updateUserAttribute(APMUserAttribute("auto", "_ltv_GBP", APMValue(int64_t{7}), 5), &e));
      ASSERT_TRUE(db_->beginTransaction(&e));
      c.inTransaction();
      EXPECT_EQ(totals(), c.inside);
      for (const auto& [name, value] : c.inside) {
        auto property = db_->userProperties().userAttributeWithName(name, &e);
        EXPECT_TRUE(property && property->value().int64Value() == value) << name;
      }
      EXPECT_EQ(db_->userProperties().userAttributesIncludingInternal(true, &e)->size(), c.inside.size());
      platform::Error endError;
      EXPECT_EQ(db_->endTransaction(c.commit, &endError), c.commit) << endError.description;
      EXPECT_EQ(totals(), c.stored) << "as the file holds them";
    }
  });
}

// Inside a transaction the stored user properties are read once and kept through the writes made
// here: whatever the writes and scopes, what is read equals what reading the file again gives (the
// values, and the order of lifetime values set at one time, which follows their row IDs).
TEST_F(APMDatabaseTest, KeptUserPropertiesFollowTheWritesAndScopesOfTheirTransaction) {
  auto& properties = db_->userProperties();
  auto set = [&](const char* name, APMValue value, double at) {
    EXPECT_TRUE(properties.updateUserAttribute(APMUserAttribute("auto", name, std::move(value), at), &e));
  };
  auto remove = [&](const char* name) { EXPECT_TRUE(properties.deleteUserAttributeWithName(name, &e)); };
  auto scope = [&](bool keep, const std::function<void()>& body) {
    ASSERT_TRUE(db_->beginTransaction(&e));
    body();
    platform::Error ignored;
    db_->endTransaction(keep, &ignored);
  };
  // Every property as read, then the lifetime values in their order.
  auto read = [&] {
    std::vector<std::string> seen;
    for (const auto& attribute : properties.userAttributesIncludingInternal(true, &e).value_or(
             std::vector<std::shared_ptr<APMUserAttribute>>{})) {
      seen.push_back(attribute->name() + "=" + attribute->value().description() + "@" +
                     std::to_string(attribute->lastSetTimestamp()));
    }
    seen.push_back("|");
    for (const auto& attribute : properties.allLifetimeValueUserAttributes(&e).value_or(
             std::vector<std::shared_ptr<APMUserAttribute>>{})) {
      seen.push_back(attribute->name());
    }
    return seen;
  };
  struct Case {
    const char* name;
    std::function<void()> steps;
  };
  const Case cases[] = {
      {"a new property", [&] { set("color", APMValue("red"), 3); }},
      {"a changed value", [&] { set("_ltv_EUR", APMValue(int64_t{9}), 2); }},
      {"rewritten, a lifetime value set at the same time as another goes after it",
       [&] { set("_ltv_USD", APMValue(int64_t{3}), 2); }},
      {"changed and changed back",
       [&] {
         set("color", APMValue("red"), 3);
         set("color", APMValue("blue"), 4);
         set("color", APMValue("red"), 3);
       }},
      {"removed, and a removal of what is not there", [&] {
         remove("_ltv_USD");
         remove("absent");
       }},
      {"removed and set again", [&] {
         remove("_ltv_EUR");
         set("_ltv_EUR", APMValue(2.5), 2);
       }},
      {"a rolled-back scope", [&] {
         set("color", APMValue("red"), 3);
         scope(false, [&] {
           set("color", APMValue("green"), 5);
           remove("_ltv_USD");
           set("size", APMValue(int64_t{4}), 5);
         });
       }},
      {"a kept scope inside a rolled-back one",
       [&] { scope(false, [&] { scope(true, [&] { set("_ltv_USD", APMValue(int64_t{8}), 2); }); }); }},
  };
  onWorker([&] {
    for (const Case& c : cases) {
      for (bool commit : {true, false}) {
        SCOPED_TRACE(std::string(c.name) + (commit ? ", committed" : ", rolled back"));
        ASSERT_TRUE(db_->reset(&e));
        set("_ltv_USD", APMValue(int64_t{1}), 2);
        set("_ltv_EUR", APMValue(int64_t{2}), 2);
        set("_ltv_GBP", APMValue(int64_t{5}), 1);
        ASSERT_TRUE(db_->beginTransaction(&e));
        read();  // kept from here on
        c.steps();
        const auto kept = read();
        properties.forgetStoredUserAttributes();
        EXPECT_EQ(kept, read()) << "as the file holds them";
        db_->endTransaction(commit, nullptr);
        ASSERT_TRUE(db_->beginTransaction(&e));
        const auto next = read();
        properties.forgetStoredUserAttributes();
        EXPECT_EQ(next, read()) << "the next transaction";
        db_->endTransaction(false, nullptr);
      }
    }
  });
}

TEST_F(APMDatabaseTest, AnOlderFileGainsTheNewColumnsAndKeepsItsRows) {
  const std::string path = closeAndRemoveFiles();
  {
    platform::Error error;
    auto old = APMSqliteStore::create(path, &error);
    ASSERT_TRUE(old) << error.description;
    ASSERT_TRUE(old->ensureTableWithName("events",
                                         {{"name", "TEXT NOT NULL PRIMARY KEY"},
                                          {"lifetime_count", "INTEGER NOT NULL DEFAULT 0"},
                                          {"current_bundle_count", "INTEGER NOT NULL DEFAULT 0"},
                                          {"current_session_count", "INTEGER NOT NULL DEFAULT 0"},
                                          {"last_fire_timestamp", "REAL NOT NULL DEFAULT 0"}},
                                         {}, {}, &error));
    ASSERT_TRUE(old->upsertRecord({{"name", Object("kept")}, {"lifetime_count", Object(8)}}, "events", &error));
  }
  reopen();
  onWorker([&] {
    auto kept = db_->eventAggregates().eventAggregatesWithName("kept", &e);
    ASSERT_TRUE(kept) << e.description;
    EXPECT_EQ(kept->lifetimeCount(), 8);
    APMEventAggregates sampled("sampled", 1, 1, 1, 1);
    sampled.setLastSamplingRate(5);
    ASSERT_TRUE(db_->eventAggregates().updateEventAggregates(sampled, &e)) << e.description;
    EXPECT_EQ(db_->eventAggregates().eventAggregatesWithName("sampled", &e)->lastSamplingRate(), 5);
    ASSERT_TRUE(db_->eventAggregates().createEventsSnapshotTable(&e)) << e.description;
  });
}

}  // namespace
