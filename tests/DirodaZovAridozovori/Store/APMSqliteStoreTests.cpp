#include "APMSqliteStore.h"

#include <gtest/gtest.h>

#include <fstream>
#include <stdexcept>

#include "StoreTestSupport.h"

using platform::Object;

namespace {

class APMSqliteStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::Error error;
    store_ = APMSqliteStore::create(path_, &error);
    ASSERT_TRUE(store_) << error.description;
    ASSERT_TRUE(store_->ensureTableWithName("items", {{"name", "TEXT NOT NULL PRIMARY KEY"}, {"count", "INTEGER"}}, {},
                                            {}, &error));
  }
  bool put(const std::string& name, int64_t count) {
    return store_->upsertRecord({{"name", Object(name)}, {"count", Object(count)}}, "items", nullptr);
  }
  int64_t countOf(const std::string& name) {
    auto rows = store_->recordsForQuery("SELECT count FROM items WHERE name = ?", {Object(name)}, nullptr);
    return rows && !rows->empty() ? rows->front().at("count").integerValue() : -1;
  }

  testsupport::TempDir dir_;
  const std::string path_ = dir_.path() + "/store.sql";
  std::shared_ptr<APMSqliteStore> store_;
};

TEST_F(APMSqliteStoreTest, RowsKeepTheirKindsAndNullColumnsAreAbsent) {
  platform::Error error;
  ASSERT_TRUE(store_->ensureTableWithName("values_table", {{"k", "TEXT PRIMARY KEY"}, {"v", ""}}, {}, {}, &error));
  const std::vector<std::pair<std::string, Object>> cases = {
      {"integer", Object(int64_t{-9007199254740993})},
      {"double", Object(2.5)},
      {"text", Object("h\xC3\xA9llo")},
      {"blob", Object(platform::Data{0, 1, 2, 255})},
      {"empty blob", Object(platform::Data{})},
  };
  ASSERT_TRUE(store_->upsertRecord({{"k", Object("null")}, {"v", Object()}}, "values_table", &error));
  for (const auto& [key, value] : cases) {
    ASSERT_TRUE(store_->upsertRecord({{"k", Object(key)}, {"v", value}}, "values_table", &error)) << error.description;
    auto rows = store_->recordsForQuery("SELECT v FROM values_table WHERE k = ?", {Object(key)}, &error);
    ASSERT_TRUE(rows && rows->size() == 1) << key;
    EXPECT_EQ(rows->front().at("v").kind(), value.kind()) << key;
    EXPECT_EQ(rows->front().at("v"), value) << key;
  }
  auto nullRow = store_->recordsForQuery("SELECT k, v FROM values_table WHERE k = 'null'", {}, &error);
  ASSERT_TRUE(nullRow && nullRow->size() == 1 && nullRow->front().count("k"));
  EXPECT_EQ(nullRow->front().count("v"), 0u);
}

TEST_F(APMSqliteStoreTest, TransactionsCommitOnYesAndRollBackOnNoOrThrow) {
  platform::Error error;
  EXPECT_TRUE(store_->performTransactionWithError(&error, [&] { return put("kept", 1); }));
  EXPECT_FALSE(store_->performTransactionWithError(&error, [&] {
    put("refused", 1);
    return false;
  }));
  EXPECT_FALSE(error.empty()) << "a refused transaction must report an error";
  platform::Error thrownError;
  EXPECT_FALSE(store_->performTransactionWithError(&thrownError, [&]() -> bool {
    put("thrown", 1);
    throw std::runtime_error("boom");
  }));
  EXPECT_NE(thrownError.description.find("boom"), std::string::npos);
  EXPECT_EQ(countOf("kept"), 1);
  EXPECT_EQ(countOf("refused"), -1);
  EXPECT_EQ(countOf("thrown"), -1);
  EXPECT_FALSE(store_->inTransaction());
}

TEST_F(APMSqliteStoreTest, NestedTransactionRollsBackOnlyItsOwnChangesAndOuterRollbackUndoesAll) {
  platform::Error error;
  const bool committed = store_->performTransactionWithError(&error, [&] {
    put("outer", 1);
    platform::Error innerError;
    EXPECT_FALSE(store_->performTransactionWithError(&innerError, [&] {
      put("inner-refused", 1);
      store_->executeStatement("UPDATE items SET count = 99 WHERE name = 'outer'", {}, nullptr);
      return false;
    }));
    EXPECT_TRUE(store_->performTransactionWithError(&innerError, [&] { return put("inner-kept", 2); }));
    return true;
  });
  ASSERT_TRUE(committed) << error.description;
  EXPECT_EQ(countOf("outer"), 1);
  EXPECT_EQ(countOf("inner-refused"), -1);
  EXPECT_EQ(countOf("inner-kept"), 2);

  // An outer rollback undoes even the inner savepoints that committed.
  EXPECT_FALSE(store_->performTransactionWithError(&error, [&] {
    EXPECT_TRUE(store_->performTransactionWithError(nullptr, [&] { return put("inner", 1); }));
    return false;
  }));
  EXPECT_EQ(countOf("inner"), -1);
}

TEST_F(APMSqliteStoreTest, NothingRunsOutsideATransactionTheDatabaseAlreadyEnded) {
  platform::Error error;
  EXPECT_FALSE(store_->performTransactionWithError(&error, [&] {
    put("before", 1);
    // Stands in for SQLite rolling back on its own after an I/O error.
    store_->executeStatement("ROLLBACK", {}, nullptr);
    platform::Error afterError;
    EXPECT_FALSE(store_->upsertRecord({{"name", Object("after")}, {"count", Object(1)}}, "items", &afterError));
    EXPECT_FALSE(afterError.empty());
    return true;
  }));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(countOf("before"), -1);
  EXPECT_EQ(countOf("after"), -1) << "a write after the rollback must not be committed on its own";
  EXPECT_TRUE(store_->performTransactionWithError(&error, [&] { return put("next", 1); }));
  EXPECT_EQ(countOf("next"), 1);
}

TEST_F(APMSqliteStoreTest, FileThatIsNotADatabaseFailsTheIntegrityCheck) {
  const std::string path = dir_.path() + "/garbage.sql";
  std::ofstream(path, std::ios::binary) << std::string(8192, 'x');
  platform::Error error;
  EXPECT_FALSE(APMSqliteStore::create(path, &error));
  EXPECT_EQ(error.code, kAPMStoreErrorCorruptData);
}

TEST_F(APMSqliteStoreTest, IdentifiersAreQuotedSoOddNamesStayNames) {
  EXPECT_EQ(APMSqliteStore::quoteIdentifier("plain"), "\"plain\"");
  EXPECT_EQ(APMSqliteStore::quoteIdentifier("we\"ird"), "\"we\"\"ird\"");
  platform::Error error;
  ASSERT_TRUE(store_->ensureTableWithName("t; DROP TABLE x", {{"a\"b", "TEXT"}}, {}, {}, &error)) << error.description;
  EXPECT_TRUE(store_->upsertRecord({{"a\"b", Object("v")}}, "t; DROP TABLE x", &error)) << error.description;
}

TEST(APMFileUtilitiesTest, DeleteFileReportsEveryFailure) {
  testsupport::TempDir dir;
  const std::string path = dir.path() + "/file";
  std::ofstream(path) << "x";
  platform::Error error, empty;
  EXPECT_TRUE(APMDeleteFile(path, &error));
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_FALSE(APMDeleteFile(path, &error)) << "a missing file is not deleted";
  EXPECT_EQ(error.code, kAPMStoreErrorFileSystem);
  EXPECT_FALSE(APMDeleteFile("", &empty));
  EXPECT_EQ(empty.code, 1);
  EXPECT_EQ(empty.description, "Received empty path for deleting file");
}

}  // namespace
