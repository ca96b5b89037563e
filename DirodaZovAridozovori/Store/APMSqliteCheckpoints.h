#pragma once
// When the WAL is copied back into the database (a checkpoint). SQLite's own rule, after every 1000
// pages, suits a trickle of writes; under a burst the same pages are written again and again, and
// copying them back each 1000 pages repeats the copies and their syncs. With a policy the WAL is
// checkpointed as a commit brings it to limitPages new pages, and whenever the owner asks
// (checkpointIfWALHolds, when its writes fall quiet). During a burst the file keeps its size from one
// checkpoint to the next (a restart leaves the larger of keptBytes and twice limitPages); the quiet
// checkpoint empties the file and cuts it to nothing.
//
// With a thread of their own (CheckpointPolicy::behindTheWriter) the burst's checkpoints run on a
// second connection while the writer goes on (see APMSqliteCheckpointThread); the quiet checkpoint
// and the close wait for the one running.
//
// Part of its store's connection, confined like the store to the owner's queue.

#include <cstdint>
#include <memory>

#include "APMSqliteCheckpointThread.h"
#include "platform/Error.h"

struct sqlite3;
class APMSqliteStore;

class APMSqliteCheckpoints {
 public:
  struct CheckpointPolicy {
    int64_t limitPages = 0;
    int64_t keptBytes = 0;
    // The burst's checkpoints on a second connection and a thread of their own.
    bool behindTheWriter = false;
  };

  explicit APMSqliteCheckpoints(APMSqliteStore& store) : store_(store) {}
  APMSqliteCheckpoints(const APMSqliteCheckpoints&) = delete;
  APMSqliteCheckpoints& operator=(const APMSqliteCheckpoints&) = delete;

  // Replaces SQLite's own rule by the policy. False when the connection refused it (closed).
  bool setCheckpointPolicy(const CheckpointPolicy& policy, platform::Error* error);
  // A checkpoint now when the WAL holds at least `pages` pages not yet copied back, or has grown to
  // limitPages since it was last cut; whether one ran (SQLite refuses one inside a transaction). It
  // never waits for another connection: what that one still reads stays for a later checkpoint.
  bool checkpointIfWALHolds(int64_t pages);
  // WAL pages committed and not yet copied back, as this connection counts them.
  int64_t uncheckpointedPages() const { return uncheckpointedPages_; }
  // The thread the burst's checkpoints run on; null without one.
  APMSqliteCheckpointThread* threadForTesting() { return thread_.get(); }
  // The connection is closing: a checkpoint running behind it finishes first, and what was counted
  // of its WAL goes with it.
  void connectionClosing();

 private:
  static int walCommitted(void* checkpoints, sqlite3* db, const char* name, int pages);
  void noteWALPages(int pages);
  bool checkpoint(int mode);
  void checkpointBehindTheWriter();
  // What the thread's last checkpoint copied, once it has finished.
  void noteCopiedBehindTheWriter();

  APMSqliteStore& store_;
  CheckpointPolicy checkpointPolicy_;
  int64_t walPages_ = 0;             // the WAL's size in pages at the last commit
  int64_t uncheckpointedPages_ = 0;  // of them, committed since the last checkpoint
  int64_t largestWALPages_ = 0;      // the WAL's largest size since it was last cut to nothing
  std::unique_ptr<APMSqliteCheckpointThread> thread_;
};
