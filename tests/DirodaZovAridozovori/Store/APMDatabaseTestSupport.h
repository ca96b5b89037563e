#pragma once
// A measurement database on a fresh data directory, driven on its own worker queue.

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <type_traits>

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
  void TearDown() override {
    queue_->sync([&] { db_.reset(); });
  }

  // Runs f on the worker queue and hands back its result.
  template <typename F>
  auto onWorker(F&& f) {
    using R = std::invoke_result_t<F>;
    if constexpr (std::is_void_v<R>) {
      queue_->sync([&] { f(); });
    } else {
      std::optional<R> result;
      queue_->sync([&] { result.emplace(f()); });
      return std::move(*result);
    }
  }

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
  testsupport::ScopedFakeClock clock_{1700000000.0};
  std::shared_ptr<platform::DispatchQueue> queue_;
  std::shared_ptr<APMDatabase> db_;
};
