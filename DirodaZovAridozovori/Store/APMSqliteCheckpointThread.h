#pragma once
// A burst's checkpoints, run behind the writer: a second connection to the same file and a thread
// of its own copy the WAL back into the database while the writer's connection goes on appending
// to it. SQLite lets one checkpoint run beside one writer: the copy takes only frames committed
// before it began, and never waits for the writer (a passive checkpoint).
//
// What a power cut may lose is what it could lose with the copy run by the writer itself: under
// synchronous=NORMAL a commit reaches the disk when the next checkpoint syncs the WAL before it
// copies (this connection syncs as the writer's would), so the commits since the last checkpoint
// began are the ones at risk; a crash of the process loses nothing committed.
//
// Thread-safe: the owner (the writer's queue) asks and waits; the thread runs the copies.

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

struct sqlite3;

class APMSqliteCheckpointThread {
 public:
  // What a finished checkpoint found: the WAL's frames and how many of them are now in the database.
  struct Copied {
    int walFrames = 0;
    int copiedFrames = 0;
  };

  // Opens the second connection and starts the thread; null when the file cannot be opened again
  // (the owner then checkpoints on its own connection, as without a thread).
  static std::unique_ptr<APMSqliteCheckpointThread> start(const std::string& databasePath);
  // Lets a running checkpoint finish, then stops the thread and closes its connection.
  ~APMSqliteCheckpointThread();
  APMSqliteCheckpointThread(const APMSqliteCheckpointThread&) = delete;
  APMSqliteCheckpointThread& operator=(const APMSqliteCheckpointThread&) = delete;

  // Starts a checkpoint of everything committed so far, unless one is running (false).
  bool request();
  bool isRunning() const;
  // Returns once no checkpoint runs.
  void waitUntilIdle();
  // What the last checkpoint found, once, after it finished; none while one runs or none finished
  // since the last call. A checkpoint SQLite refused (another one ran) copied nothing.
  std::optional<Copied> takeCopied();

  // While held, a checkpoint asked for waits (and counts as running) before it starts copying.
  void holdForTesting(bool held);

 private:
  explicit APMSqliteCheckpointThread(sqlite3* connection);
  void run();

  sqlite3* connection_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool wanted_ = false;    // guarded by mutex_
  bool running_ = false;   // guarded by mutex_: asked for or copying
  bool stopping_ = false;  // guarded by mutex_
  bool held_ = false;      // guarded by mutex_
  std::optional<Copied> copied_;  // guarded by mutex_
  std::thread thread_;
};
