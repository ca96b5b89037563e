#pragma once
// A measurement database on a fresh data directory, driven on its own worker queue.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "APMDatabase.h"
#include "APMFileUtilities.h"
#include "APMSqliteStore.h"
#include "TestSupport.h"
#include "platform/DispatchQueue.h"

class APMDatabaseFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    queue_ = platform::DispatchQueue::create("com.diroda.zora.worker");
    reopen();
  }
  void TearDown() override { onWorker([&] { db_.reset(); }); }
  void onWorker(const std::function<void()>& f) { queue_->sync(f); }

  // Closes and opens the database again, as a new process would.
  void reopen() {
    queue_->sync([&] {
      db_.reset();
      platform::Error error;
      db_ = APMDatabase::create(APMDatabase::kDatabaseName, nullptr, queue_, &error);
      ASSERT_TRUE(db_) << error.description;
    });
  }

  // A second, plain connection to the same file, for checks and for damaging rows on purpose.
  std::shared_ptr<APMSqliteStore> rawStore() {
    platform::Error error;
    auto store = APMSqliteStore::create(APMApplicationSupportPath(APMDatabase::kDatabaseName), &error);
    EXPECT_TRUE(store) << error.description;
    return store;
  }

  testsupport::ScopedDataDirectory dataDirectory_;
  platform::Error e;  // shared by a test's calls that are expected to succeed
  testsupport::ScopedFakeClock clock_{1700000000.0};
  std::shared_ptr<platform::DispatchQueue> queue_;
  std::shared_ptr<APMDatabase> db_;
};
