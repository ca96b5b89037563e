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
  // Replaces SQLite's own checkpoint after every 1000 pages.
  sqlite3_wal_hook(db, &APMSqliteCheckpoints::walCommitted, this);
  return true;
}

int APMSqliteCheckpoints::walCommitted(void* checkpoints, sqlite3*, const char*, int pages) {
  static_cast<APMSqliteCheckpoints*>(checkpoints)->noteWALPages(pages);
  return SQLITE_OK;
}

void APMSqliteCheckpoints::noteWALPages(int pages) {
  // A WAL smaller than at the last commit started again from its beginning: all it holds is new.
  uncheckpointedPages_ += pages >= walPages_ ? pages - walPages_ : pages;
  walPages_ = pages;
  largestWALPages_ = std::max(largestWALPages_, walPages_);
  if (uncheckpointedPages_ >= checkpointPolicy_.limitPages) checkpoint(SQLITE_CHECKPOINT_PASSIVE);
}

bool APMSqliteCheckpoints::checkpointIfWALHolds(int64_t pages) {
  sqlite3* db = store_.handle();
  if (!db) return false;
  // A burst's file is cut however little it still holds.
  const bool grown = largestWALPages_ >= checkpointPolicy_.limitPages;
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

void APMSqliteCheckpoints::connectionClosed() {
  walPages_ = 0;
  largestWALPages_ = 0;
  uncheckpointedPages_ = 0;
}
