#include "APMSqliteCheckpointThread.h"

#include <sqlite3.h>

std::unique_ptr<APMSqliteCheckpointThread> APMSqliteCheckpointThread::start(const std::string& databasePath) {
  sqlite3* connection = nullptr;
  // Used by the thread alone, and closed only after it has stopped: no mutex of SQLite's needed.
  const int rc = sqlite3_open_v2(databasePath.c_str(), &connection, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                                 nullptr);
  // A checkpoint syncs as its connection's synchronous setting says: the same as the writer's.
  if (rc != SQLITE_OK || sqlite3_exec(connection, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr) != SQLITE_OK) {
    sqlite3_close_v2(connection);
    return nullptr;
  }
  std::unique_ptr<APMSqliteCheckpointThread> checkpoints(new APMSqliteCheckpointThread(connection));
  checkpoints->thread_ = std::thread([raw = checkpoints.get()] { raw->run(); });
  return checkpoints;
}

APMSqliteCheckpointThread::APMSqliteCheckpointThread(sqlite3* connection) : connection_(connection) {}

APMSqliteCheckpointThread::~APMSqliteCheckpointThread() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    held_ = false;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
  sqlite3_close_v2(connection_);
}

bool APMSqliteCheckpointThread::request() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_ || stopping_) return false;
    running_ = true;
    wanted_ = true;
    copied_.reset();
  }
  changed_.notify_all();
  return true;
}

bool APMSqliteCheckpointThread::isRunning() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return running_;
}

void APMSqliteCheckpointThread::waitUntilIdle() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return !running_; });
}

std::optional<APMSqliteCheckpointThread::Copied> APMSqliteCheckpointThread::takeCopied() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (running_) return std::nullopt;
  auto copied = copied_;
  copied_.reset();
  return copied;
}

void APMSqliteCheckpointThread::holdForTesting(bool held) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ = held;
  }
  changed_.notify_all();
}

void APMSqliteCheckpointThread::run() {
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return wanted_ || stopping_; });
      // A checkpoint asked for before the stop still runs: the owner counted on it.
      if (!wanted_) return;
      wanted_ = false;
      changed_.wait(lock, [this] { return !held_; });
    }
    Copied copied;
    const int rc =
        sqlite3_wal_checkpoint_v2(connection_, nullptr, SQLITE_CHECKPOINT_PASSIVE, &copied.walFrames, &copied.copiedFrames);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (rc == SQLITE_OK) copied_ = copied;
      running_ = false;
    }
    changed_.notify_all();
  }
}
