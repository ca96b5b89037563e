// The snapshot database: its schema, activation, automatic activation at start, expiry, and the
// file's life (reset, delete, corrupt files).

#include <gtest/gtest.h>

#include <fstream>

#include "APMEDatabase.h"
#include "APMFileUtilities.h"
#include "APMSqliteStore.h"
#include "ExperimentTestFixture.h"

using platform::Object;

namespace {

class APMEDatabaseTest : public ExperimentTest {
 protected:
  void SetUp() override {
    ExperimentTest::SetUp();
    path_ = APMApplicationSupportPath("diroda_experimentation_database.sql");
    database_ = APMEDatabase::create(path_);
    ASSERT_TRUE(database_);
  }
  void TearDown() override {
    database_.reset();
    ExperimentTest::TearDown();
  }

  // The rows of a table, read from the file by a connection of our own.
  APMSqliteStore::Records rows(const std::string& table) {
    auto store = APMSqliteStore::create(path_, nullptr);
    EXPECT_TRUE(store);
    if (!store) return {};
    auto records = store->recordsForQuery("SELECT * FROM " + table + " ORDER BY rowid", {}, nullptr);
    return records.value_or(APMSqliteStore::Records{});
  }
  void execute(const std::string& sql, const platform::Array& values = {}) {
    auto store = APMSqliteStore::create(path_, nullptr);
    ASSERT_TRUE(store);
    platform::Error error;
    ASSERT_TRUE(store->executeStatement(sql, values, &error)) << error.description;
  }
  std::map<std::string, std::shared_ptr<APMESnapshot>> bySDK(const std::optional<APMEDatabase::Snapshots>& list) {
    std::map<std::string, std::shared_ptr<APMESnapshot>> map;
    for (const auto& snapshot : list.value_or(APMEDatabase::Snapshots{})) map[snapshot->SDKName()] = snapshot;
    return map;
  }
  void storePending(const std::shared_ptr<APMESnapshot>& snapshot, std::optional<bool> manual, double timestamp) {
    ASSERT_TRUE(database_->upsertSnapshot(*snapshot->proto(), "pending_snapshot_table", timestamp, manual, nullptr));
  }

  std::string path_;
  std::shared_ptr<APMEDatabase> database_;
};

}  // namespace

TEST_F(APMEDatabaseTest, TablesHaveTheStoredColumns) {
  for (const char* table : {"pending_snapshot_table", "activated_snapshot_table", "launched_snapshot_table"}) {
    SCOPED_TRACE(table);
    auto store = APMSqliteStore::create(path_, nullptr);
    auto columns = store->recordsForQuery(std::string("PRAGMA table_info(") + table + ")", {}, nullptr);
    ASSERT_TRUE(columns);
    std::vector<std::pair<std::string, std::string>> found;
    for (const auto& column : *columns) {
      std::string declaration = column.at("type").stringValue();
      if (column.at("notnull").integerValue()) declaration += " NOT NULL";
      if (column.at("pk").integerValue()) declaration += " PRIMARY KEY";
      found.emplace_back(column.at("name").stringValue(), declaration);
    }
    EXPECT_EQ(found, (std::vector<std::pair<std::string, std::string>>{
                         {"sdk_name", "TEXT NOT NULL PRIMARY KEY"},
                         {"snapshotProto", "BLOB NOT NULL"},
                         {"timestamp", "REAL NOT NULL"},
                         {"manually_activated", "INTEGER"},
                     }));
  }
}

TEST_F(APMEDatabaseTest, ActivationSplitsLaunchedAndActivatedExperimentsAndDropsThePendingRow) {
  struct Row {
    std::string name;
    std::vector<int64_t> pending;
    std::vector<int64_t> activated;  // after activation
    std::vector<int64_t> launched;
  } cases[] = {
      {"mixed", {0, 5, 7}, {5, 7}, {0}},
      // An activation that ends every experiment ends them on disk too.
      {"launch only", {0}, {}, {0}},
      // Without experiment 0 the launched row stays as it was.
      {"experiments only", {9}, {9}, {1000}},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.name);
    const std::string sdk = "sdk " + row.name;
    ASSERT_TRUE(database_->upsertSnapshot(*snapshot(sdk, {experiment(3, {}), experiment(1000, {})})->proto(),
                                          "activated_snapshot_table", 1, std::nullopt, nullptr));
    ASSERT_TRUE(database_->upsertSnapshot(*snapshot(sdk, {experiment(1000, {})})->proto(), "launched_snapshot_table",
                                          1, std::nullopt, nullptr));
    std::vector<std::shared_ptr<APMEExperiment>> experiments;
    for (int64_t id : row.pending) experiments.push_back(experiment(id, {{"f" + std::to_string(id), Object(id)}}));
    auto pending = snapshot(sdk, experiments);
    storePending(pending, false, 1699999000);

    platform::Error error;
    ASSERT_TRUE(database_->activateSnapshot(pending, 1700000000, &error)) << error.description;
    auto activated = bySDK(database_->fetchAllActivatedSnapshots(nullptr))[sdk];
    auto launched = bySDK(database_->fetchAllLaunchedSnapshots(nullptr))[sdk];
    ASSERT_TRUE(activated);
    ASSERT_TRUE(launched);
    EXPECT_EQ(idsOf(activated), row.activated);
    EXPECT_EQ(activated->timestamp(), 1700000000);
    EXPECT_EQ(idsOf(launched), row.launched);
    EXPECT_EQ(bySDK(database_->fetchAllPendingSnapshots(nullptr)).count(sdk), 0u);
  }
  for (const auto& row : rows("activated_snapshot_table")) {
    EXPECT_FALSE(row.count("manually_activated")) << "activated rows carry no manual mark";
  }
  platform::Error error;
  EXPECT_FALSE(database_->activateSnapshot(nullptr, 1, &error));
  EXPECT_EQ(error.code, 1);
  EXPECT_EQ(error.description, "Received nil pending snapshot");
}

TEST_F(APMEDatabaseTest, ActivationKeepsAPendingRowNewerThanTheActivation) {
  auto older = snapshot("sdk", {experiment(5, {})});
  storePending(older, true, 1700000100);
  ASSERT_TRUE(database_->activateSnapshot(older, 1700000000, nullptr));
  EXPECT_EQ(rows("pending_snapshot_table").size(), 1u);
  ASSERT_TRUE(database_->activateSnapshot(older, 1700000100, nullptr));
  EXPECT_TRUE(rows("pending_snapshot_table").empty());
}

TEST_F(APMEDatabaseTest, StartActivatesOnlyPendingRowsTheirSDKDoesNotActivateItself) {
  storePending(snapshot("automatic", {experiment(0, {}), experiment(4, {})}), false, 1699990000);
  storePending(snapshot("manual", {experiment(5, {})}), true, 1699990000);
  storePending(snapshot("unmarked", {experiment(6, {})}), std::nullopt, 1699990000);

  platform::Error error;
  ASSERT_TRUE(database_->activatePendingSnapshotsAutomatically(&error)) << error.description;
  auto pending = bySDK(database_->fetchAllPendingSnapshots(nullptr));
  EXPECT_EQ(pending.size(), 2u);
  EXPECT_TRUE(pending.count("manual"));
  EXPECT_TRUE(pending["manual"]->manuallyActivated());
  EXPECT_TRUE(pending.count("unmarked")) << "a NULL mark does not match the condition";
  auto activated = bySDK(database_->fetchAllActivatedSnapshots(nullptr));
  ASSERT_EQ(activated.size(), 1u);
  EXPECT_EQ(idsOf(activated["automatic"]), std::vector<int64_t>{4});
  EXPECT_EQ(activated["automatic"]->timestamp(), 1699990000) << "stamped with the pending row's time";
  EXPECT_EQ(idsOf(bySDK(database_->fetchAllLaunchedSnapshots(nullptr))["automatic"]), std::vector<int64_t>{0});
}

TEST_F(APMEDatabaseTest, AnUnreadablePendingRowIsDeletedAndTheOthersStillActivate) {
  execute("INSERT INTO pending_snapshot_table (sdk_name, snapshotProto, timestamp, manually_activated) "
          "VALUES ('broken', ?, 1, 0)",
          {Object(platform::Data{0xff, 0xff, 0xff})});
  storePending(snapshot("fine", {experiment(4, {})}), false, 1699990000);

  platform::Error error;
  ASSERT_TRUE(database_->activatePendingSnapshotsAutomatically(&error)) << error.description;
  EXPECT_TRUE(logged(4, 810008, "Deleted a pending snapshot that cannot be read. SDK name"));
  EXPECT_TRUE(rows("pending_snapshot_table").empty());
  EXPECT_EQ(idsOf(bySDK(database_->fetchAllActivatedSnapshots(nullptr))["fine"]), std::vector<int64_t>{4});
}

TEST_F(APMEDatabaseTest, ActivatedSnapshotsExpireAfterThreeDays) {
  struct Row {
    std::string sdk;
    double age;
    bool kept;
  } table[] = {
      {"two days", 172800, true},
      {"just under three days", 259199, true},
      {"three days", 259200, false},
      {"four days", 345600, false},
  };
  for (const auto& row : table) {
    ASSERT_TRUE(database_->upsertSnapshot(*snapshot(row.sdk, {experiment(1, {})})->proto(), "activated_snapshot_table",
                                          1700000000 - row.age, std::nullopt, nullptr));
  }
  ASSERT_TRUE(database_->deleteStaleActivatedSnapshots(nullptr));
  auto left = bySDK(database_->fetchAllActivatedSnapshots(nullptr));
  for (const auto& row : table) EXPECT_EQ(left.count(row.sdk), row.kept ? 1u : 0u) << row.sdk;
}

TEST_F(APMEDatabaseTest, OneUnreadableRowEmptiesTheWholeFetchOfItsTable) {
  ASSERT_TRUE(database_->upsertSnapshot(*snapshot("fine", {})->proto(), "launched_snapshot_table", 1, std::nullopt,
                                        nullptr));
  execute("INSERT INTO launched_snapshot_table (sdk_name, snapshotProto, timestamp) VALUES ('broken', ?, 1)",
          {Object(platform::Data{0x0a, 0x05})});
  platform::Error error;
  EXPECT_EQ(database_->fetchAllLaunchedSnapshots(&error), std::nullopt);
  EXPECT_EQ(error.code, 2);
  auto activated = database_->fetchAllActivatedSnapshots(nullptr);
  ASSERT_TRUE(activated);
  EXPECT_TRUE(activated->empty());
}

TEST_F(APMEDatabaseTest, ResetAfterTheFileWasDeletedStartsAnEmptyFileAtTheSamePath) {
  storePending(snapshot("sdk", {}), false, 1);
  ASSERT_TRUE(database_->closeAndDelete());
  EXPECT_FALSE(std::ifstream(path_).good());
  EXPECT_FALSE(database_->upsertPendingExperimentSnapshots({snapshot("sdk", {})}, nullptr)) << "closed";

  ASSERT_TRUE(database_->reset());
  EXPECT_TRUE(std::ifstream(path_).good());
  auto pending = database_->fetchAllPendingSnapshots(nullptr);
  ASSERT_TRUE(pending);
  EXPECT_TRUE(pending->empty());
  EXPECT_TRUE(database_->upsertPendingExperimentSnapshots({snapshot("sdk", {})}, nullptr));
}

TEST_F(APMEDatabaseTest, FilesThatCannotServeAreReplacedOrRefused) {
  database_.reset();
  // A file that is not a database is replaced by an empty one.
  { std::ofstream(path_, std::ios::trunc) << "not a database, not at all, just text that is long enough"; }
  database_ = APMEDatabase::create(path_);
  ASSERT_TRUE(database_);
  EXPECT_TRUE(database_->fetchAllPendingSnapshots(nullptr).has_value());
  database_.reset();

  // A file whose tables cannot be made right is deleted and refused.
  execute("DROP TABLE pending_snapshot_table");
  execute("CREATE VIEW pending_snapshot_table AS SELECT 1 AS other");
  forget();
  EXPECT_EQ(APMEDatabase::create(path_), nullptr);
  EXPECT_TRUE(logged(1, 810004, "Failed to ensure table. Table, error"));
  EXPECT_TRUE(logged(1, 810002, "Failed to create or validate required database tables (Init)"));
  EXPECT_FALSE(std::ifstream(path_).good());

  EXPECT_EQ(APMEDatabase::create(""), nullptr);
  EXPECT_TRUE(logged(1, 810000, "Cannot initialize the database with invalid path"));
}
