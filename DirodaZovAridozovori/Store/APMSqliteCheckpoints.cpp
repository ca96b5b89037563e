#include "APMSqliteCheckpoints.h"

#include <sqlite3.h>

#include <algorithm>
#include <string>

#include "APMSqliteStore.h"
#include "APMStoreLog.h"

namespace {

// Each WAL frame is its page behind a header of this size.
constexpr int64_t kWALFrameHeaderBytes = 24;

}  // namespace

bool APMSqliteCheckpoints::setCheckpointPolicy(const CheckpointPolicy& policy, platform::Error* error) {
  sqlite3* db = store_.handle();
  if (!db) return APMFail(error, kAPMStoreErrorClosed, "Database is closed");
  int64_t pageSize = 0;
  if (!store_.forEachRowOfQuery("PRAGMA page_size", {}, [&pageSize](const APMSqliteRow& row) {
        pageSize = row.integer(0);
        return false;
      }, error)) {
    return false;
  }
  // Within a burst the WAL starts again from its beginning after each checkpoint: cut back there,
  // the file system would take back the same blocks and hand them out again at every restart.
  // Twice the burst's checkpoint size holds the group that crosses it; the quiet checkpoint cuts
  // the file back.
  const int64_t burstBytes = 2 * policy.limitPages * (pageSize + kWALFrameHeaderBytes);
  if (!store_.executeStatement("PRAGMA journal_size_limit=" + std::to_string(std::max(burstBytes, policy.keptBytes)),
                               {}, error)) {
    return false;
  }
  checkpointPolicy_ = policy;
  thread_.reset();
  // Without a second connection the writer copies its WAL back itself, as before.
  if (policy.behindTheWriter) thread_ = APMSqliteCheckpointThread::start(store_.databasePath());
  // Replaces SQLite's own checkpoint after every 1000 pages.
  sqlite3_wal_hook(db, &APMSqliteCheckpoints::walCommitted, this);
  return true;
}

int APMSqliteCheckpoints::walCommitted(void* checkpoints, sqlite3*, const char*, int pages) {
  static_cast<APMSqliteCheckpoints*>(checkpoints)->noteWALPages(pages);
  return SQLITE_OK;
}

void APMSqliteCheckpoints::noteWALPages(int pages) {
  // A copy that finished before this commit took what it found. Whether it also let this commit
  // start the WAL again from its beginning depends on whether it ended before the transaction
  // began, which the writer cannot see: only a smaller WAL says so.
  if (thread_) noteCopiedBehindTheWriter();
  // A WAL smaller than at the last commit started again from its beginning: all it holds is new.
  uncheckpointedPages_ += pages >= walPages_ ? pages - walPages_ : pages;
  walPages_ = pages;
  largestWALPages_ = std::max(largestWALPages_, walPages_);
  if (thread_) {
    checkpointBehindTheWriter();
    return;
  }
  if (uncheckpointedPages_ >= checkpointPolicy_.limitPages) checkpoint(SQLITE_CHECKPOINT_PASSIVE);
}

void APMSqliteCheckpoints::checkpointBehindTheWriter() {
  const int64_t limit = checkpointPolicy_.limitPages;
  bool waited = false;
  if (thread_->isRunning()) {
    // A writer faster than the copies would grow the WAL without end: at twice the limit (the
    // file's size a burst keeps anyway) it waits for the copy and copies the rest itself.
    if (walPages_ < 2 * limit) return;
    thread_->waitUntilIdle();
    waited = true;
  }
  if (waited) noteCopiedBehindTheWriter();
  if (walPages_ < limit || uncheckpointedPages_ == 0) return;
  // The WAL starts again from its beginning only once every frame in it is copied, and a copy
  // behind a busy writer leaves what was committed meanwhile: the writer copies a short rest
  // itself (a copy costs two syncs, so not too short a one) and hands a long one back. Copies that
  // each end inside the writer's next transaction never let the WAL start again, however often
  // they run: past twice the limit the writer copies the rest itself, between its transactions.
  if (waited || walPages_ >= 2 * limit || uncheckpointedPages_ <= limit / 8) {
    checkpoint(SQLITE_CHECKPOINT_PASSIVE);
    return;
  }
  thread_->request();
}

void APMSqliteCheckpoints::noteCopiedBehindTheWriter() {
  const auto copied = thread_->takeCopied();
  if (!copied) return;
  // The copy saw no more than this connection has committed: what it left is owed. The WAL keeps
  // its size here even when the copy took everything: a copy that ended after the writer's
  // transaction began let no restart happen, and counting one would hide the WAL's growth.
  uncheckpointedPages_ = std::max<int64_t>(0, walPages_ - copied->copiedFrames);
}

bool APMSqliteCheckpoints::checkpointIfWALHolds(int64_t pages) {
  sqlite3* db = store_.handle();
  if (!db) return false;
  // A burst's file is cut however little it still holds.
  const bool grown = largestWALPages_ >= checkpointPolicy_.limitPages;
  if (thread_) {
    thread_->waitUntilIdle();
    noteCopiedBehindTheWriter();
  }
  if (!grown && (uncheckpointedPages_ < pages || uncheckpointedPages_ == 0)) return false;
  // Quiet: the WAL is emptied and cut to nothing, unless that would mean waiting for another
  // connection, in which case what can be copied now is.
  sqlite3_busy_timeout(db, 0);
  const bool ran = checkpoint(SQLITE_CHECKPOINT_TRUNCATE);
  sqlite3_busy_timeout(db, APMSqliteStore::kBusyTimeoutMilliseconds);
  return ran;
}

bool APMSqliteCheckpoints::checkpoint(int mode) {
  int walPages = 0;
  int copied = 0;
  // Passive: a reader keeps its snapshot, and what it still needs is copied at a later checkpoint.
  // A truncating checkpoint that finds the database busy has gone on as a passive one.
  const int rc = sqlite3_wal_checkpoint_v2(store_.handle(), nullptr, mode, &walPages, &copied);
  if (rc != SQLITE_OK && rc != SQLITE_BUSY) return false;
  uncheckpointedPages_ = std::max(0, walPages - copied);
  // Emptied, the WAL starts again from its beginning at the next write.
  if (uncheckpointedPages_ == 0) walPages_ = 0;
  if (rc == SQLITE_OK && mode == SQLITE_CHECKPOINT_TRUNCATE) largestWALPages_ = 0;
  return true;
}

void APMSqliteCheckpoints::connectionClosing() {
  // Its connection is the second one: closed first, the writer's close is the last, which copies
  // the whole WAL back and removes it.
  thread_.reset();
  walPages_ = 0;
  largestWALPages_ = 0;
  uncheckpointedPages_ = 0;
}
