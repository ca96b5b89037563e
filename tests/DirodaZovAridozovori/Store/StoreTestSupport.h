#pragma once
// Helpers shared by the store tests, and a measurement database on a fresh data directory driven
// on its own worker queue.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "APMDatabase.h"
#include "APMFileUtilities.h"
#include "APMLogCapture.h"
#include "APMSqliteStore.h"
#include "APMStoreLog.h"
#include "TestSupport.h"
#include "platform/DispatchQueue.h"

// The unit written count times over.
inline std::string repeat(const std::string& unit, size_t count) {
  std::string text;
  for (size_t i = 0; i < count; ++i) text += unit;
  return text;
}

// Captures the store's log lines for the test's lifetime.
using CapturedStoreLog = testsupport::APMLogCapture;

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

  // Closes the database and removes its files, so that a test can lay its own file there.
  std::string closeAndRemoveFiles() {
    onWorker([&] { db_.reset(); });
    const std::string path = APMApplicationSupportPath(APMDatabase::kDatabaseName);
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
    return path;
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
