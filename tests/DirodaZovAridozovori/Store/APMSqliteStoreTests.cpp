#include "APMSqliteStore.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <thread>

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

  // One transaction of `rows` rows in the "pages" table, each of which fills about one page.
  void writePages(int rows) {
    platform::Error error;
    ASSERT_TRUE(store_->transactions().performTransactionWithError(&error, [&] {
      for (int i = 0; i < rows; ++i) {
        if (!store_->executeStatement("INSERT INTO pages (data) VALUES (?)", {Object(platform::Data(4000, 7))},
                                      &error)) {
          return false;
        }
      }
      return true;
    })) << error.description;
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

TEST_F(APMSqliteStoreTest, RowsReadInPlaceGiveEachKindOrTheNeutralValue) {
  platform::Error error;
  ASSERT_TRUE(store_->ensureTableWithName("values_table", {{"k", "TEXT PRIMARY KEY"}, {"v", ""}}, {}, {}, &error));
  struct Case {
    const char* key;
    Object value;
    bool has;
    int64_t integer;
    double real;
    std::string text;
    platform::Data bytes;
  };
  const std::vector<Case> cases = {
      {"integer", Object(int64_t{-9007199254740993}), true, -9007199254740993, -9007199254740992.0, "", {}},
      {"double", Object(2.5), true, 2, 2.5, "", {}},
      {"text", Object("42 h\xC3\xA9llo"), true, 0, 0, "42 h\xC3\xA9llo", {}},
      {"blob", Object(platform::Data{0, 1, 2, 255}), true, 0, 0, "", {0, 1, 2, 255}},
      {"null", Object(), false, 0, 0, "", {}},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(store_->upsertRecord({{"k", Object(c.key)}, {"v", c.value}}, "values_table", &error)) << c.key;
    int rows = 0;
    ASSERT_TRUE(store_->forEachRowOfQuery("SELECT v, k FROM values_table WHERE k = ?", {Object(c.key)},
                                          [&](const APMSqliteRow& row) {
                                            ++rows;
                                            EXPECT_EQ(row.has(0), c.has) << c.key;
                                            EXPECT_EQ(row.integer(0), c.integer) << c.key;
                                            EXPECT_EQ(row.real(0), c.real) << c.key;
                                            EXPECT_EQ(row.text(0), c.text) << c.key;
                                            const auto bytes = row.bytes(0);
                                            EXPECT_EQ(platform::Data(bytes.begin(), bytes.end()), c.bytes) << c.key;
                                            EXPECT_EQ(row.text(1), c.key) << "the second column, by its index";
                                            EXPECT_EQ(row.record(), (store_->recordsForQuery("SELECT v, k FROM values_table WHERE k = ?",
                                                                                             {Object(c.key)}, nullptr)
                                                                         ->front()))
                                                << c.key;
                                            return true;
                                          },
                                          &error))
        << error.description;
    EXPECT_EQ(rows, 1) << c.key;
  }
}

TEST_F(APMSqliteStoreTest, ARowReaderThatStopsOrThrowsLeavesNoQueryOpen) {
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(put("n" + std::to_string(i), i));
  const std::string query = "SELECT name, count FROM items ORDER BY count ASC";
  std::vector<int64_t> seen;
  ASSERT_TRUE(store_->forEachRowOfQuery(query, {}, [&](const APMSqliteRow& row) {
    seen.push_back(row.integer(1));
    return seen.size() < 2;
  }, nullptr));
  EXPECT_EQ(seen, (std::vector<int64_t>{0, 1})) << "false stops the query at that row";
  EXPECT_THROW(store_->forEachRowOfQuery(query, {}, [](const APMSqliteRow&) -> bool {
    throw std::runtime_error("reader failed");
  }, nullptr), std::runtime_error);
  // A statement still stepping would keep the table locked against this.
  platform::Error error;
  EXPECT_TRUE(store_->executeStatement("DROP TABLE items", {}, &error)) << error.description;
  platform::Error missing;
  EXPECT_FALSE(store_->forEachRowOfQuery("SELECT name FROM items", {}, [](const APMSqliteRow&) { return true; },
                                         &missing));
  EXPECT_FALSE(missing.empty()) << "a query that cannot run is a failure, not an empty result";
}

TEST_F(APMSqliteStoreTest, TransactionsCommitOnYesAndRollBackOnNoOrThrow) {
  platform::Error error;
  EXPECT_TRUE(store_->transactions().performTransactionWithError(&error, [&] { return put("kept", 1); }));
  EXPECT_FALSE(store_->transactions().performTransactionWithError(&error, [&] {
    put("refused", 1);
    return false;
  }));
  EXPECT_FALSE(error.empty()) << "a refused transaction must report an error";
  platform::Error thrownError;
  EXPECT_FALSE(store_->transactions().performTransactionWithError(&thrownError, [&]() -> bool {
    put("thrown", 1);
    throw std::runtime_error("boom");
  }));
  EXPECT_NE(thrownError.description.find("boom"), std::string::npos);
  EXPECT_EQ(countOf("kept"), 1);
  EXPECT_EQ(countOf("refused"), -1);
  EXPECT_EQ(countOf("thrown"), -1);
  EXPECT_FALSE(store_->transactions().inTransaction());
}

TEST_F(APMSqliteStoreTest, NestedTransactionRollsBackOnlyItsOwnChangesAndOuterRollbackUndoesAll) {
  platform::Error error;
  const bool committed = store_->transactions().performTransactionWithError(&error, [&] {
    put("outer", 1);
    platform::Error innerError;
    EXPECT_FALSE(store_->transactions().performTransactionWithError(&innerError, [&] {
      put("inner-refused", 1);
      store_->executeStatement("UPDATE items SET count = 99 WHERE name = 'outer'", {}, nullptr);
      return false;
    }));
    EXPECT_TRUE(store_->transactions().performTransactionWithError(&innerError, [&] { return put("inner-kept", 2); }));
    return true;
  });
  ASSERT_TRUE(committed) << error.description;
  EXPECT_EQ(countOf("outer"), 1);
  EXPECT_EQ(countOf("inner-refused"), -1);
  EXPECT_EQ(countOf("inner-kept"), 2);

  // An outer rollback undoes even the inner savepoints that committed.
  EXPECT_FALSE(store_->transactions().performTransactionWithError(&error, [&] {
    EXPECT_TRUE(store_->transactions().performTransactionWithError(nullptr, [&] { return put("inner", 1); }));
    return false;
  }));
  EXPECT_EQ(countOf("inner"), -1);
}

TEST_F(APMSqliteStoreTest, NothingRunsOutsideATransactionTheDatabaseAlreadyEnded) {
  platform::Error error;
  EXPECT_FALSE(store_->transactions().performTransactionWithError(&error, [&] {
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
  EXPECT_TRUE(store_->transactions().performTransactionWithError(&error, [&] { return put("next", 1); }));
  EXPECT_EQ(countOf("next"), 1);
}

// Scopes held by the caller behave as the block form; a savepoint waits for its first write, so a
// scope that only reads leaves no savepoint behind and one that writes undoes exactly its own rows.
TEST_F(APMSqliteStoreTest, HeldScopesKeepOrUndoTheirOwnWritesAndCountRollbacks) {
  struct Case {
    const char* name;
    bool writeOuter;
    bool writeInner;
    bool keepInner;
    bool keepOuter;
    int64_t outer;  // expected count of "outer" afterwards, -1 when absent
    int64_t inner;
    uint64_t rollbacks;
  };
  const Case cases[] = {
      {"both kept", true, true, true, true, 1, 2, 0},
      {"inner undone", true, true, false, true, 1, -1, 1},
      {"inner read only, undone", true, false, false, true, 1, -1, 0},
      {"outer undone", true, true, true, false, -1, -1, 1},
      {"inner undone then outer", true, true, false, false, -1, -1, 2},
      {"only the inner writes", false, true, true, true, -1, 2, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    store_->executeStatement("DELETE FROM items", {}, nullptr);
    const uint64_t rollbacksBefore = store_->transactions().rollbackCount();
    platform::Error error;
    ASSERT_TRUE(store_->transactions().beginTransaction(&error)) << error.description;
    if (c.writeOuter) {
      ASSERT_TRUE(put("outer", 1));
    }
    ASSERT_TRUE(store_->transactions().beginTransaction(&error));
    EXPECT_EQ(countOf("missing"), -1) << "reads inside a scope need no savepoint";
    if (c.writeInner) {
      ASSERT_TRUE(put("inner", 2));
    }
    platform::Error innerError;
    EXPECT_EQ(store_->transactions().endTransaction(c.keepInner, &innerError), c.keepInner);
    EXPECT_EQ(innerError.empty(), c.keepInner) << "an undone scope says so";
    platform::Error outerError;
    EXPECT_EQ(store_->transactions().endTransaction(c.keepOuter, &outerError), c.keepOuter) << outerError.description;
    EXPECT_FALSE(store_->transactions().inTransaction());
    EXPECT_EQ(countOf("outer"), c.outer);
    EXPECT_EQ(countOf("inner"), c.inner);
    EXPECT_EQ(store_->transactions().rollbackCount() - rollbacksBefore, c.rollbacks);
  }
  platform::Error error;
  EXPECT_FALSE(store_->transactions().endTransaction(true, &error)) << "no scope is open";
  EXPECT_FALSE(error.empty());
}

// Savepoints opened late still nest in order: a write three scopes deep opens all three, and
// undoing the middle one takes the deepest with it.
TEST_F(APMSqliteStoreTest, LateSavepointsOpenOutermostFirst) {
  platform::Error error;
  ASSERT_TRUE(store_->transactions().beginTransaction(&error));
  ASSERT_TRUE(store_->transactions().beginTransaction(&error));
  ASSERT_TRUE(store_->transactions().beginTransaction(&error));
  ASSERT_TRUE(store_->transactions().beginTransaction(&error));
  ASSERT_TRUE(put("deepest", 1)) << "opens every pending savepoint";
  EXPECT_TRUE(store_->transactions().endTransaction(true, &error)) << error.description;
  ASSERT_TRUE(put("third", 3));
  EXPECT_TRUE(store_->transactions().endTransaction(true, &error)) << error.description;
  EXPECT_FALSE(store_->transactions().endTransaction(false, &error));
  error = {};
  EXPECT_TRUE(store_->transactions().endTransaction(true, &error)) << error.description;
  EXPECT_EQ(countOf("deepest"), -1);
  EXPECT_EQ(countOf("third"), -1);
}

// A scope whose only write is one inserted row opens no savepoint, yet is undone like any other:
// the row goes when the scope (or an enclosing one) rolls back, together with whatever else the
// scope wrote after it.
TEST_F(APMSqliteStoreTest, ALoneInsertedRowNeedsNoSavepointAndIsStillUndone) {
  auto insert = [&](const std::string& name, int64_t count) {
    return store_->insertRow("items", "INSERT INTO items (name, count) VALUES (?, ?)", {Object(name), Object(count)},
                             nullptr);
  };
  auto insertOrIgnore = [&](const std::string& name, int64_t count) {
    return store_->insertRow("items", "INSERT OR IGNORE INTO items (name, count) VALUES (?, ?)",
                             {Object(name), Object(count)}, nullptr);
  };
  struct Case {
    const char* name;
    bool cStoredBefore;              // "c" holds 7 before the transaction
    std::function<void()> inScope;  // run inside the scope under test, two scopes deep
    bool keepScope;
    bool keepEnclosing;
    std::vector<int64_t> expected;  // counts of "a", "b", "c" afterwards, -1 when absent
    uint64_t savepoints;  // the enclosing scope's included: it opens before the row goes in
  };
  const Case cases[] = {
      {"lone row kept", false, [&] { insert("a", 1); }, true, true, {1, -1, -1}, 1},
      {"lone row undone", false, [&] { insert("a", 1); }, false, true, {-1, -1, -1}, 1},
      {"lone row undone with the enclosing scope", false, [&] { insert("a", 1); }, true, false, {-1, -1, -1}, 1},
      {"a second insert after it, undone", false,
       [&] {
         insert("a", 1);
         insert("b", 2);
       },
       false, true, {-1, -1, -1}, 1},
      {"a second insert after it, kept", false,
       [&] {
         insert("a", 1);
         insert("b", 2);
       },
       true, true, {1, 2, -1}, 1},
      {"an insert that found its row beside a new one, undone", true,
       [&] {
         insertOrIgnore("c", 9);
         insert("a", 1);
       },
       false, true, {-1, -1, 7}, 1},
      {"an insert after a nested scope's rows were kept, undone", false,
       [&] {
         store_->transactions().beginTransaction(nullptr);
         insert("a", 1);
         store_->transactions().endTransaction(true, nullptr);
         insert("b", 2);
       },
       false, true, {-1, -1, -1}, 2},
      {"an update after it, undone", false,
       [&] {
         insert("a", 1);
         put("c", 3);
       },
       false, true, {-1, -1, -1}, 2},
      {"a nested scope writing after it, kept, then the scope undone", false,
       [&] {
         insert("a", 1);
         store_->transactions().beginTransaction(nullptr);
         put("b", 2);
         store_->transactions().endTransaction(true, nullptr);
       },
       false, true, {-1, -1, -1}, 3},
      {"an update before the insert, kept", false, [&] {
         put("c", 3);
         insert("a", 1);
       },
       true, true, {1, -1, 3}, 2},
      {"a refused insert as the only write", true, [&] { insert("c", 9); }, true, true, {-1, -1, 7}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    store_->executeStatement("DELETE FROM items", {}, nullptr);
    if (c.cStoredBefore) {
      ASSERT_TRUE(put("c", 7));
    }
    const uint64_t savepointsBefore = store_->transactions().savepointsOpened();
    platform::Error error;
    ASSERT_TRUE(store_->transactions().beginTransaction(&error));
    ASSERT_TRUE(store_->transactions().beginTransaction(&error));
    ASSERT_TRUE(store_->transactions().beginTransaction(&error));
    c.inScope();
    platform::Error scopeError;
    EXPECT_EQ(store_->transactions().endTransaction(c.keepScope, &scopeError), c.keepScope) << scopeError.description;
    platform::Error enclosingError;
    EXPECT_EQ(store_->transactions().endTransaction(c.keepEnclosing, &enclosingError), c.keepEnclosing);
    EXPECT_TRUE(store_->transactions().endTransaction(true, &error)) << error.description;
    EXPECT_EQ((std::vector<int64_t>{countOf("a"), countOf("b"), countOf("c")}), c.expected);
    EXPECT_EQ(store_->transactions().savepointsOpened() - savepointsBefore, c.savepoints);
  }
}

// Should the row of a rolled-back scope refuse to go, the transaction must not commit it as if
// it had been undone.
TEST_F(APMSqliteStoreTest, ALoneRowThatCannotBeUndoneRollsTheTransactionBack) {
  platform::Error error;
  ASSERT_TRUE(store_->executeStatement(
      "CREATE TRIGGER keep_items BEFORE DELETE ON items BEGIN SELECT RAISE(ABORT, 'kept'); END", {}, &error))
      << error.description;
  ASSERT_TRUE(store_->transactions().beginTransaction(&error));
  ASSERT_TRUE(put("before", 1));
  ASSERT_TRUE(store_->transactions().beginTransaction(&error));
  ASSERT_TRUE(store_->insertRow("items", "INSERT INTO items (name, count) VALUES ('lone', 2)", {}, &error));
  EXPECT_FALSE(store_->transactions().endTransaction(false, &error));
  platform::Error commitError;
  EXPECT_FALSE(store_->transactions().endTransaction(true, &commitError)) << "reported as kept";
  EXPECT_FALSE(commitError.empty());
  EXPECT_EQ(countOf("lone"), -1);
  EXPECT_EQ(countOf("before"), -1);
  EXPECT_FALSE(store_->transactions().inTransaction());
  EXPECT_TRUE(put("after", 3)) << "the connection goes on";
  EXPECT_EQ(countOf("after"), 3);
}

// Under a policy the WAL is copied back when a commit brings it to the limit (SQLite alone would
// wait for 1000 pages) or when the owner asks with enough waiting, and an emptied WAL is cut back
// to the bytes the policy keeps.
TEST_F(APMSqliteStoreTest, CheckpointsFollowThePolicy) {
  platform::Error error;
  ASSERT_TRUE(store_->ensureTableWithName("pages", {{"data", "BLOB NOT NULL"}}, {}, {}, &error));
  ASSERT_TRUE(store_->checkpoints().setCheckpointPolicy({40, 16384}, &error)) << error.description;
  auto write = [&](int rows) { writePages(rows); };
  auto databaseBytes = [&] { return std::filesystem::file_size(path_); };
  auto walBytes = [&] { return std::filesystem::file_size(path_ + "-wal"); };
  write(1);
  ASSERT_TRUE(store_->checkpoints().checkpointIfWALHolds(1)) << "what the set-up wrote";

  const auto start = databaseBytes();
  write(10);
  write(10);
  write(10);
  EXPECT_EQ(databaseBytes(), start) << "checkpointed below the limit";
  EXPECT_FALSE(store_->checkpoints().checkpointIfWALHolds(1000));
  EXPECT_EQ(databaseBytes(), start);
  write(15);
  EXPECT_GT(databaseBytes(), start) << "not checkpointed at the limit";
  EXPECT_EQ(store_->checkpoints().uncheckpointedPages(), 0);

  const auto atLimit = databaseBytes();
  write(5);
  EXPECT_EQ(databaseBytes(), atLimit);
  EXPECT_TRUE(store_->checkpoints().checkpointIfWALHolds(5));
  EXPECT_GT(databaseBytes(), atLimit);
  EXPECT_FALSE(store_->checkpoints().checkpointIfWALHolds(1)) << "nothing left to copy";

  write(30);
  EXPECT_GT(walBytes(), 30u * 4096u);
  EXPECT_TRUE(store_->checkpoints().checkpointIfWALHolds(30));
  write(1);
  EXPECT_LE(walBytes(), 16384u) << "the emptied WAL keeps its size";
}

// A burst restarts the WAL from its beginning after each checkpoint without giving its file back
// (each restart would otherwise hand the blocks back and take them again); once writes fall quiet
// the file is cut to nothing, after a reader on another connection that still needed it has gone.
TEST_F(APMSqliteStoreTest, BurstKeepsTheWALFileAndQuietCutsIt) {
  platform::Error error;
  ASSERT_TRUE(store_->ensureTableWithName("pages", {{"data", "BLOB NOT NULL"}}, {}, {}, &error));
  ASSERT_TRUE(store_->checkpoints().setCheckpointPolicy({40, 16384}, &error)) << error.description;
  auto write = [&](int rows) { writePages(rows); };
  auto walBytes = [&] { return std::filesystem::file_size(path_ + "-wal"); };

  write(50);
  EXPECT_EQ(store_->checkpoints().uncheckpointedPages(), 0) << "checkpointed at the limit";
  write(1);
  EXPECT_GT(walBytes(), 40u * 4096u) << "restarted within the burst, the file kept its size";
  EXPECT_TRUE(store_->checkpoints().checkpointIfWALHolds(1000)) << "grown in a burst: cut however little it holds";
  EXPECT_EQ(walBytes(), 0u);
  EXPECT_FALSE(store_->checkpoints().checkpointIfWALHolds(1000)) << "nothing held, nothing grown";

  sqlite3* reader = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &reader), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(reader, "BEGIN; SELECT count(*) FROM pages;", nullptr, nullptr, nullptr), SQLITE_OK);
  write(30);
  EXPECT_TRUE(store_->checkpoints().checkpointIfWALHolds(1));
  EXPECT_GT(store_->checkpoints().uncheckpointedPages(), 0) << "what the reader's snapshot predates stays in the WAL";
  EXPECT_GT(walBytes(), 30u * 4096u);
  ASSERT_EQ(sqlite3_exec(reader, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(reader);
  EXPECT_TRUE(store_->checkpoints().checkpointIfWALHolds(1)) << "what the reader kept back is still owed";
  EXPECT_EQ(walBytes(), 0u);
  EXPECT_EQ(store_->checkpoints().uncheckpointedPages(), 0);
}

// With a thread of their own, a burst's checkpoints copy the WAL back while the writer goes on:
// a commit at the limit only asks for the copy; a writer that outruns it waits at twice the limit
// and copies the rest itself; a short rest left by a copy (here held back by a reader) is copied by
// the writer, a long one goes back to the thread; a WAL emptied by the thread starts again from its
// beginning; the quiet checkpoint still cuts the file.
TEST_F(APMSqliteStoreTest, BurstCheckpointsRunBehindTheWriter) {
  platform::Error error;
  ASSERT_TRUE(store_->ensureTableWithName("pages", {{"data", "BLOB NOT NULL"}}, {}, {}, &error));
  ASSERT_TRUE(store_->checkpoints().setCheckpointPolicy({80, 16384, true}, &error)) << error.description;
  APMSqliteCheckpointThread* thread = store_->checkpoints().threadForTesting();
  ASSERT_NE(thread, nullptr);
  auto databaseBytes = [&] { return std::filesystem::file_size(path_); };
  auto walBytes = [&] { return std::filesystem::file_size(path_ + "-wal"); };
  auto releaseSoon = [thread] {
    return std::thread([thread] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      thread->holdForTesting(false);
    });
  };
  writePages(1);
  ASSERT_TRUE(store_->checkpoints().checkpointIfWALHolds(1)) << "what the set-up wrote";

  const auto start = databaseBytes();
  thread->holdForTesting(true);
  writePages(60);
  EXPECT_FALSE(thread->isRunning()) << "asked below the limit";
  writePages(25);
  EXPECT_TRUE(thread->isRunning()) << "not asked at the limit";
  EXPECT_EQ(databaseBytes(), start) << "the writer copied instead of the thread";
  writePages(40);
  EXPECT_TRUE(thread->isRunning()) << "below twice the limit the writer goes on";
  std::thread release = releaseSoon();
  writePages(40);
  release.join();
  EXPECT_FALSE(thread->isRunning()) << "past twice the limit the writer did not wait for the copy";
  EXPECT_EQ(store_->checkpoints().uncheckpointedPages(), 0) << "nor copied the rest itself";
  EXPECT_GT(databaseBytes(), start);
  const auto burstWAL = walBytes();
  writePages(5);
  EXPECT_LE(walBytes(), burstWAL) << "the emptied WAL did not start again from its beginning";
  EXPECT_LT(store_->checkpoints().uncheckpointedPages(), 10) << "a restarted WAL holds only the new commit";

  // A reader's snapshot holds the copy back, so it leaves a rest.
  sqlite3* reader = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &reader), SQLITE_OK);
  auto rest = [&](int rows) {
    thread->holdForTesting(true);
    writePages(85);
    EXPECT_TRUE(thread->isRunning());
    EXPECT_EQ(sqlite3_exec(reader, "BEGIN; SELECT count(*) FROM pages;", nullptr, nullptr, nullptr), SQLITE_OK);
    writePages(rows);
    thread->holdForTesting(false);
    thread->waitUntilIdle();
    EXPECT_EQ(sqlite3_exec(reader, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    thread->holdForTesting(true);
    writePages(1);
  };
  rest(3);
  EXPECT_FALSE(thread->isRunning()) << "a short rest went back to the thread";
  EXPECT_EQ(store_->checkpoints().uncheckpointedPages(), 0) << "the writer did not copy the short rest";
  rest(30);
  EXPECT_TRUE(thread->isRunning()) << "the writer copied a long rest itself";
  EXPECT_GT(store_->checkpoints().uncheckpointedPages(), 10);
  sqlite3_close(reader);

  release = releaseSoon();
  EXPECT_TRUE(store_->checkpoints().checkpointIfWALHolds(1000)) << "grown in a burst: cut however little it holds";
  release.join();
  EXPECT_EQ(walBytes(), 0u) << "the quiet checkpoint did not cut the file";
  EXPECT_EQ(store_->checkpoints().uncheckpointedPages(), 0);
}

// A burst of commits each larger than the rest the writer copies itself, each finding the copy asked
// for at the last commit done, though only after its transaction began: the WAL did not start again
// from its beginning, and the writer still has to bring it back within twice the limit.
TEST_F(APMSqliteStoreTest, ALongBurstBehindTheWriterKeepsTheWALBounded) {
  platform::Error error;
  ASSERT_TRUE(store_->ensureTableWithName("pages", {{"data", "BLOB NOT NULL"}}, {}, {}, &error));
  ASSERT_TRUE(store_->checkpoints().setCheckpointPolicy({400, 16384, true}, &error)) << error.description;
  APMSqliteCheckpointThread* thread = store_->checkpoints().threadForTesting();
  ASSERT_NE(thread, nullptr);
  int64_t largestWAL = 0;
  int64_t largestOwed = 0;
  for (int i = 0; i < 150; ++i) {
    ASSERT_TRUE(store_->transactions().performTransactionWithError(&error, [&] {
      for (int row = 0; row < 60; ++row) {
        if (!store_->executeStatement("INSERT INTO pages (data) VALUES (?)", {Object(platform::Data(4000, 7))},
                                      &error)) {
          return false;
        }
      }
      // The copy asked for at the last commit ends inside this transaction, after it began.
      thread->waitUntilIdle();
      return true;
    })) << error.description;
    largestWAL = std::max<int64_t>(largestWAL, std::filesystem::file_size(path_ + "-wal"));
    largestOwed = std::max(largestOwed, store_->checkpoints().uncheckpointedPages());
  }
  // No more than what a copy is asked for at: the limit and the commit that crosses it.
  EXPECT_LE(largestOwed, 400 + 2 * 60) << "a copy that took everything was taken for a restart that did not happen";
  // Twice the limit, with the commit that crosses it (a row takes a little more than a page).
  EXPECT_LE(largestWAL, (2 * 400 + 2 * 60) * (4096 + 24)) << "the WAL never started again from its beginning";
}

// A close lets the copy running behind the writer finish, then closes the writer's connection last,
// which copies the whole WAL back and removes it; every committed row is there after the reopen.
TEST_F(APMSqliteStoreTest, ClosingWaitsForTheCopyBehindTheWriter) {
  platform::Error error;
  ASSERT_TRUE(store_->ensureTableWithName("pages", {{"data", "BLOB NOT NULL"}}, {}, {}, &error));
  ASSERT_TRUE(store_->checkpoints().setCheckpointPolicy({40, 16384, true}, &error)) << error.description;
  APMSqliteCheckpointThread* thread = store_->checkpoints().threadForTesting();
  ASSERT_NE(thread, nullptr);
  thread->holdForTesting(true);
  writePages(50);
  writePages(20);
  ASSERT_TRUE(thread->isRunning());
  store_->close();
  EXPECT_FALSE(std::filesystem::exists(path_ + "-wal")) << "the writer's connection was not the last to close";

  store_ = APMSqliteStore::create(path_, &error);
  ASSERT_TRUE(store_) << error.description;
  auto rows = store_->recordsForQuery("SELECT count(*) AS count FROM pages", {}, &error);
  ASSERT_TRUE(rows && rows->size() == 1) << error.description;
  EXPECT_EQ(rows->front().at("count").integerValue(), 70);
}

// Values bound must match the statement's placeholders one for one, whichever way they are given:
// a short list would store NULL in the missing columns and a long one would drop values unseen.
TEST_F(APMSqliteStoreTest, ABindingOfTheWrongCountRunsNothing) {
  using Value = APMSqliteBinding::BoundValue;
  const std::string sql = "INSERT INTO items (name, count) VALUES (?, ?)";
  const std::string one = "one", two = "two", three = "three";
  struct Case {
    const char* what;
    std::function<bool(platform::Error*)> run;
    bool runs;
  };
  const Case cases[] = {
      {"host values, too few", [&](platform::Error* e) { return store_->executeStatement(sql, {Object(one)}, e).has_value(); },
       false},
      {"host values, too many",
       [&](platform::Error* e) {
         return store_->executeStatement(sql, {Object(one), Object(int64_t{1}), Object(int64_t{9})}, e).has_value();
       },
       false},
      {"values in place, too few", [&](platform::Error* e) { return store_->insertRow("items", sql, {Value::of(two)}, e); },
       false},
      {"values in place, too many",
       [&](platform::Error* e) {
         return store_->insertRow("items", sql, {Value::of(two), Value::of(int64_t{2}), Value::of(int64_t{9})}, e);
       },
       false},
      {"host values, exact", [&](platform::Error* e) {
         return store_->executeStatement(sql, {Object(three), Object(int64_t{3})}, e).has_value();
       },
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    platform::Error error;
    EXPECT_EQ(c.run(&error), c.runs) << error.description;
    if (!c.runs) {
      EXPECT_EQ(error.code, kAPMStoreErrorInvalidArgument);
    }
  }
  EXPECT_EQ(countOf("one"), -1);
  EXPECT_EQ(countOf("two"), -1);
  EXPECT_EQ(countOf("three"), 3);
}

// A statement slot keeps an insert's statement while the store it came from is open: each use
// writes through the store it is used with, a rolled-back scope still takes its row away, and once
// that store has closed the slot fails as the closed store does instead of touching what it held.
TEST_F(APMSqliteStoreTest, AStatementSlotWritesThroughTheStoreItIsUsedWith) {
  APMSqliteStatementSlot slot("INSERT INTO items (name, count) VALUES (?, ?)");
  using Value = APMSqliteBinding::BoundValue;
  auto insert = [&](APMSqliteStore& store, const std::string& name, int64_t count, platform::Error* error) {
    return store.insertRow("items", slot, {Value::of(name), Value::of(count)}, error);
  };
  platform::Error error;
  ASSERT_TRUE(insert(*store_, "a", 1, &error)) << error.description;
  ASSERT_TRUE(insert(*store_, "b", 2, &error)) << error.description;
  ASSERT_TRUE(store_->transactions().beginTransaction(&error));
  ASSERT_TRUE(insert(*store_, "undone", 3, &error)) << error.description;
  EXPECT_FALSE(store_->transactions().endTransaction(false, &error)) << "rolled back";

  auto other = APMSqliteStore::create(dir_.path() + "/other.sql", &error);
  ASSERT_TRUE(other) << error.description;
  ASSERT_TRUE(other->ensureTableWithName("items", {{"name", "TEXT NOT NULL PRIMARY KEY"}, {"count", "INTEGER"}}, {},
                                         {}, &error));
  ASSERT_TRUE(insert(*other, "c", 4, &error)) << error.description;
  ASSERT_TRUE(insert(*store_, "d", 5, &error)) << error.description;

  EXPECT_EQ(countOf("a"), 1);
  EXPECT_EQ(countOf("b"), 2);
  EXPECT_EQ(countOf("undone"), -1);
  EXPECT_EQ(countOf("c"), -1);
  EXPECT_EQ(countOf("d"), 5);
  auto otherRows = other->recordsForQuery("SELECT name, count FROM items", {}, &error);
  ASSERT_TRUE(otherRows && otherRows->size() == 1);
  EXPECT_EQ(otherRows->front().at("name").stringValue(), "c");

  store_->close();
  platform::Error closedError;
  EXPECT_FALSE(insert(*store_, "e", 6, &closedError));
  EXPECT_EQ(closedError.code, kAPMStoreErrorClosed);
}

// Closing inside a transaction gives it up whole (the file keeps what was committed), and leaves
// no scope, lone row or WAL count behind that a later call could act on.
TEST_F(APMSqliteStoreTest, ClosingInsideATransactionLeavesNothingOfItBehind) {
  platform::Error error;
  ASSERT_TRUE(store_->ensureTableWithName("pages", {{"data", "BLOB NOT NULL"}}, {}, {}, &error));
  ASSERT_TRUE(store_->checkpoints().setCheckpointPolicy({1000, 16384}, &error)) << error.description;
  ASSERT_TRUE(put("committed", 1));
  writePages(3);
  ASSERT_GT(store_->checkpoints().uncheckpointedPages(), 0);
  ASSERT_TRUE(store_->transactions().beginTransaction(&error));
  ASSERT_TRUE(put("outer", 2));
  ASSERT_TRUE(store_->transactions().beginTransaction(&error));
  ASSERT_TRUE(store_->insertRow("items", "INSERT INTO items (name, count) VALUES (?, ?)",
                                {Object("lone"), Object(int64_t{3})}, &error));

  store_->close();
  EXPECT_FALSE(store_->transactions().inTransaction());
  EXPECT_EQ(store_->transactions().scopeDepth(), 0u);
  EXPECT_EQ(store_->checkpoints().uncheckpointedPages(), 0);
  EXPECT_FALSE(store_->checkpoints().checkpointIfWALHolds(1));
  platform::Error endError, beginError;
  EXPECT_FALSE(store_->transactions().endTransaction(true, &endError));
  EXPECT_EQ(endError.code, kAPMStoreErrorInvalidArgument) << "no scope survives the close";
  EXPECT_FALSE(store_->transactions().beginTransaction(&beginError));
  EXPECT_EQ(beginError.code, kAPMStoreErrorClosed);

  store_ = APMSqliteStore::create(path_, &error);
  ASSERT_TRUE(store_) << error.description;
  EXPECT_EQ(countOf("committed"), 1);
  EXPECT_EQ(countOf("outer"), -1);
  EXPECT_EQ(countOf("lone"), -1);
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
