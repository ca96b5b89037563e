// What a burst of purchases costs the storage alone: the rows the event road stores for each
// purchase (a raw-event row, and a new ~425-byte metadata row under a random
// 64-bit fingerprint), written by plain SQLite from one thread, with no engine in the way. Each
// transaction stores its raw rows in event order and its metadata rows in fingerprint order, as
// the road does at a group's commit. The tables and index come from the database's own schema.
//
//   bench-stored-layout [--events N] [--transaction N] [--checkpoint-pages N] [--cache-kib N]
//                       [--checkpoint-thread] [--sorted-raw] [--layout row-ids|fingerprint-key]
//                       [--auto-vacuum none|incremental|full] [--upload N]
//
// Defaults: 100,000 events, 5000 to a transaction, a checkpoint on the writer's connection once
// 40,000 WAL pages wait (0: never), SQLite's default cache of 2000 KiB. --checkpoint-thread runs
// the checkpoints as the road does, through the store's own policy on a second connection and a
// thread of their own (the writer waits once the WAL holds twice the pages, and copies short rests
// itself). --sorted-raw inserts each transaction's raw rows in fingerprint order too, under row IDs
// reserved in event order, so the fingerprint index is written in order. --layout picks the
// metadata table's layout: "row-ids" (the default) as the schema makes it, rows appended under
// ordinary row IDs with the fingerprint UNIQUE; "fingerprint-key" as earlier builds made it, the
// fingerprint itself the row ID, so each row lands on a random page. --auto-vacuum sets the new
// file's mode before its tables are made (the database leaves SQLite's default, read back as
// auto_vacuum=). --upload N then runs the upload's statements for the oldest N events as a purchase
// stream makes them, one bundle per event (see uploadOldest), in transactions of the same size.
//
// Ends with one line of key=value figures: events_per_s, cpu_us_per_event (all threads) and
// sys_us_per_event (its kernel share), wal_pages_written and cache_misses (SQLite's counters of
// the writer's connection), checkpoints (run by the writer; -1 with the thread), peak_rss_mb; with
// --upload, upload_events_per_s and upload_over_store (the upload's rate over the writes'); then
// db_mb, the file's size at the end (its WAL apart).

#include <sqlite3.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "APMDatabaseSchema.h"
#include "APMSqliteStore.h"

namespace {

constexpr size_t kBodyBytes = 150;
constexpr size_t kMetadataBytes = 425;
constexpr int64_t kKeptWALBytes = 4 * 1024 * 1024;

struct Options {
  long events = 100000;
  long transaction = 5000;
  long checkpointPages = 40000;
  long cacheKiB = 2000;
  bool checkpointThread = false;
  bool sortedRaw = false;
  bool fingerprintKey = false;
  const char* autoVacuum = nullptr;  // SQLite's default
  long deleteEvents = 0;
};

// The metadata table as earlier builds declared it.
constexpr const char* kFingerprintKeyMetadataTable =
    "CREATE TABLE raw_events_metadata (metadata_fingerprint INTEGER NOT NULL PRIMARY KEY, metadata BLOB NOT NULL)";

void check(int rc, sqlite3* db, const char* what) {
  if (rc == SQLITE_OK || rc == SQLITE_DONE || rc == SQLITE_ROW) return;
  std::fprintf(stderr, "%s: %s\n", what, sqlite3_errmsg(db));
  std::exit(1);
}

// The two tables as the database makes them, through its own store (the metadata table as earlier
// builds made it when asked).
bool createLayout(const std::string& path, const Options& options) {
  if (options.autoVacuum) {
    // Only a file not yet written takes a new mode (the store's open writes it, choosing WAL).
    sqlite3* db = nullptr;
    const std::string pragmas = std::string("PRAGMA auto_vacuum=") + options.autoVacuum + "; PRAGMA journal_mode=WAL;";
    check(sqlite3_open(path.c_str(), &db), db, "open");
    check(sqlite3_exec(db, pragmas.c_str(), nullptr, nullptr, nullptr), db, "auto_vacuum");
    sqlite3_close(db);
  }
  platform::Error error;
  auto store = APMSqliteStore::create(path, &error);
  if (!store) return false;
  for (const APMTableDefinition& table : apm_schema::tables()) {
    if (table.name != apm_schema::kRawEvents && table.name != apm_schema::kRawEventsMetadata &&
        table.name != apm_schema::kQueue) {
      continue;
    }
    if (options.fingerprintKey && table.name == apm_schema::kRawEventsMetadata) {
      if (!store->executeStatement(kFingerprintKeyMetadataTable, {}, &error)) return false;
      continue;
    }
    if (!store->ensureTableWithName(table.name, table.elementaryColumns, table.addOnColumns, {}, &error)) return false;
    for (const std::string& index : table.indexes) {
      if (!store->executeStatement(index, {}, &error)) return false;
    }
  }
  return true;
}

int64_t integerOf(sqlite3* db, const char* sql) {
  sqlite3_stmt* statement = nullptr;
  check(sqlite3_prepare_v2(db, sql, -1, &statement, nullptr), db, sql);
  const int64_t value = sqlite3_step(statement) == SQLITE_ROW ? sqlite3_column_int64(statement, 0) : -1;
  sqlite3_finalize(statement);
  return value;
}

// Prepares a statement, or stops the run.
sqlite3_stmt* prepared(sqlite3* db, const char* sql) {
  sqlite3_stmt* statement = nullptr;
  check(sqlite3_prepare_v2(db, sql, -1, &statement, nullptr), db, sql);
  return statement;
}

void run(sqlite3_stmt* statement, sqlite3* db, const char* what) {
  check(sqlite3_step(statement), db, what);
  sqlite3_reset(statement);
}

// The upload's statements for the oldest events, one bundle each as a purchase stream makes them,
// with none of the SDK's own work between them: a bundling transaction of `transaction` bundles
// reads the raw rows in row-ID order and each row's metadata by its fingerprint, queues a bundle of
// kBundleBytes per row, updates the bundle index and the event's count, deletes the rows as one
// span and collects their fingerprints; the metadata left unused goes in a pass, as the store does,
// once as many rows were deleted since the last pass as are left or 32,768 fingerprints wait. After
// every 100 bundles (a batch) the queue's rows are read back and, as after a reply, deleted. How
// long it took.
double uploadOldest(sqlite3* db, const Options& options) {
  constexpr size_t kBundleBytes = 450;
  constexpr long kBatchBundles = 100;
  constexpr size_t kMostFingerprintsPerPass = 32768;
  check(sqlite3_exec(db,
                     "CREATE TABLE IF NOT EXISTS bench_totals (id INTEGER PRIMARY KEY, bundle_index INTEGER NOT NULL, "
                     "event_count INTEGER NOT NULL); INSERT OR IGNORE INTO bench_totals VALUES (1, 0, 0)",
                     nullptr, nullptr, nullptr),
        db, "totals");
  sqlite3_stmt* rows =
      prepared(db, "SELECT rowid, name, timestamp, metadata_fingerprint, data, realtime FROM raw_events WHERE rowid > ? "
                   "ORDER BY rowid LIMIT ?");
  sqlite3_stmt* metadata = prepared(db, "SELECT metadata FROM raw_events_metadata WHERE metadata_fingerprint = ?");
  sqlite3_stmt* queueBundle = prepared(db, "INSERT INTO queue (data, end_timestamp, realtime) VALUES (?, ?, 0)");
  sqlite3_stmt* deleteSpan = prepared(db, "DELETE FROM raw_events WHERE rowid BETWEEN ? AND ?");
  sqlite3_stmt* totals =
      prepared(db, "UPDATE bench_totals SET bundle_index = bundle_index + ?1, event_count = event_count + ?1 WHERE id = 1");
  sqlite3_stmt* unusedMetadata = prepared(
      db, "DELETE FROM raw_events_metadata WHERE metadata_fingerprint IN (SELECT value FROM json_each(?1) EXCEPT "
          "SELECT metadata_fingerprint FROM raw_events WHERE metadata_fingerprint IN (SELECT value FROM json_each(?1)))");
  sqlite3_stmt* batch = prepared(db, "SELECT rowid, data FROM queue ORDER BY rowid ASC LIMIT ?");
  sqlite3_stmt* sent = prepared(db, "DELETE FROM queue WHERE rowid BETWEEN ? AND ?");
  std::string bundle(kBundleBytes, '\x5a');
  std::vector<int64_t> waiting;
  int64_t lastRowID = 0;
  long left = options.events;
  long deletedSincePass = 0;
  long queued = 0;
  long uploaded = 0;
  const long total = std::min(options.deleteEvents, options.events);
  const auto first = std::chrono::steady_clock::now();
  while (uploaded < total) {
    while (queued < kBatchBundles && uploaded + queued < total) {
      check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db, "begin");
      std::vector<std::pair<int64_t, int64_t>> taken;  // row ID, fingerprint
      sqlite3_bind_int64(rows, 1, lastRowID);
      sqlite3_bind_int64(rows, 2, std::min<long>(options.transaction, total - uploaded - queued));
      while (sqlite3_step(rows) == SQLITE_ROW) {
        sqlite3_column_blob(rows, 4);
        taken.emplace_back(sqlite3_column_int64(rows, 0), sqlite3_column_int64(rows, 3));
      }
      sqlite3_reset(rows);
      if (taken.empty()) break;
      for (const auto& [rowID, fingerprint] : taken) {
        sqlite3_bind_int64(metadata, 1, fingerprint);
        check(sqlite3_step(metadata), db, "metadata");
        sqlite3_column_blob(metadata, 0);
        sqlite3_reset(metadata);
        std::memcpy(bundle.data(), &rowID, sizeof rowID);
        sqlite3_bind_blob(queueBundle, 1, bundle.data(), static_cast<int>(bundle.size()), SQLITE_STATIC);
        sqlite3_bind_double(queueBundle, 2, 1.7e9);
        run(queueBundle, db, "queue");
        waiting.push_back(fingerprint);
      }
      const auto count = static_cast<long>(taken.size());
      sqlite3_bind_int64(totals, 1, count);
      run(totals, db, "totals");
      sqlite3_bind_int64(deleteSpan, 1, taken.front().first);
      sqlite3_bind_int64(deleteSpan, 2, taken.back().first);
      run(deleteSpan, db, "delete raw events");
      lastRowID = taken.back().first;
      left -= count;
      deletedSincePass += count;
      queued += count;
      if (deletedSincePass >= left || waiting.size() >= kMostFingerprintsPerPass) {
        std::string list = "[";
        for (const int64_t fingerprint : waiting) {
          if (list.size() > 1) list += ',';
          list += std::to_string(fingerprint);
        }
        list += ']';
        sqlite3_bind_text(unusedMetadata, 1, list.c_str(), -1, SQLITE_TRANSIENT);
        run(unusedMetadata, db, "delete metadata");
        waiting.clear();
        deletedSincePass = 0;
      }
      check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
    }
    if (queued == 0) break;
    int64_t firstSent = -1;
    int64_t lastSent = -1;
    sqlite3_bind_int64(batch, 1, kBatchBundles);
    while (sqlite3_step(batch) == SQLITE_ROW) {
      sqlite3_column_blob(batch, 1);
      lastSent = sqlite3_column_int64(batch, 0);
      if (firstSent < 0) firstSent = lastSent;
    }
    sqlite3_reset(batch);
    sqlite3_bind_int64(sent, 1, firstSent);
    sqlite3_bind_int64(sent, 2, lastSent);
    run(sent, db, "delete sent bundles");
    const long batchBundles = std::min(queued, kBatchBundles);
    uploaded += batchBundles;
    queued -= batchBundles;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - first).count();
  for (sqlite3_stmt* statement : {rows, metadata, queueBundle, deleteSpan, totals, unusedMetadata, batch, sent}) {
    sqlite3_finalize(statement);
  }
  return seconds;
}

// Checkpoints as the road's policy does on its writer's own connection: once a commit brings the
// WAL to the given number of new pages.
class Checkpoints {
 public:
  Checkpoints(sqlite3* db, const Options& options) : db_(db), options_(options) {
    if (options.checkpointPages <= 0) {
      sqlite3_wal_autocheckpoint(db, 0);
      return;
    }
    sqlite3_wal_hook(db, &Checkpoints::committed, this);
  }
  long count() const { return count_; }

 private:
  static int committed(void* self, sqlite3*, const char*, int pages) {
    static_cast<Checkpoints*>(self)->noteWALPages(pages);
    return SQLITE_OK;
  }
  void noteWALPages(int pages) {
    waiting_ += pages >= walPages_ ? pages - walPages_ : pages;
    walPages_ = pages;
    if (waiting_ < options_.checkpointPages) return;
    ++count_;
    int walFrames = 0;
    int copied = 0;
    sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_PASSIVE, &walFrames, &copied);
    waiting_ = std::max(0, walFrames - copied);
    if (waiting_ == 0) walPages_ = 0;
  }

  sqlite3* db_;
  const Options options_;
  long waiting_ = 0;
  long walPages_ = 0;
  long count_ = 0;
};

double cpuSeconds(const rusage& usage, bool systemOnly) {
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  return seconds(usage.ru_stime) + (systemOnly ? 0.0 : seconds(usage.ru_utime));
}

int usage(const char* program) {
  std::fprintf(stderr,
               "usage: %s [--events N] [--transaction N] [--checkpoint-pages N] [--cache-kib N] "
               "[--checkpoint-thread] [--sorted-raw] [--layout row-ids|fingerprint-key] "
               "[--auto-vacuum none|incremental|full] [--upload N]\n",
               program);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const bool hasValue = i + 1 < argc;
    if (std::strcmp(argv[i], "--checkpoint-thread") == 0) {
      options.checkpointThread = true;
    } else if (std::strcmp(argv[i], "--sorted-raw") == 0) {
      options.sortedRaw = true;
    } else if (std::strcmp(argv[i], "--layout") == 0 && hasValue) {
      const char* layout = argv[++i];
      if (std::strcmp(layout, "fingerprint-key") != 0 && std::strcmp(layout, "row-ids") != 0) return usage(argv[0]);
      options.fingerprintKey = std::strcmp(layout, "fingerprint-key") == 0;
    } else if (std::strcmp(argv[i], "--auto-vacuum") == 0 && hasValue) {
      options.autoVacuum = argv[++i];
      if (std::strcmp(options.autoVacuum, "none") != 0 && std::strcmp(options.autoVacuum, "incremental") != 0 &&
          std::strcmp(options.autoVacuum, "full") != 0) {
        return usage(argv[0]);
      }
    } else if (std::strcmp(argv[i], "--upload") == 0 && hasValue) {
      options.deleteEvents = std::strtol(argv[++i], nullptr, 10);
    } else if (std::strcmp(argv[i], "--events") == 0 && hasValue) {
      options.events = std::strtol(argv[++i], nullptr, 10);
    } else if (std::strcmp(argv[i], "--transaction") == 0 && hasValue) {
      options.transaction = std::strtol(argv[++i], nullptr, 10);
    } else if (std::strcmp(argv[i], "--checkpoint-pages") == 0 && hasValue) {
      options.checkpointPages = std::strtol(argv[++i], nullptr, 10);
    } else if (std::strcmp(argv[i], "--cache-kib") == 0 && hasValue) {
      options.cacheKiB = std::strtol(argv[++i], nullptr, 10);
    } else {
      return usage(argv[0]);
    }
  }
  if (options.events <= 0 || options.transaction <= 0 || options.cacheKiB <= 0) return usage(argv[0]);

  std::string directory = (std::filesystem::temp_directory_path() / "bench-stored-layout-XXXXXX").string();
  if (!mkdtemp(directory.data())) return 1;
  const std::string path = (std::filesystem::path(directory) / "layout.sqlite").string();
  if (!createLayout(path, options)) {
    std::fprintf(stderr, "the tables could not be made\n");
    return 1;
  }
  sqlite3* db = nullptr;
  // With the thread, the writer's connection is a store under the road's own checkpoint policy.
  std::shared_ptr<APMSqliteStore> store;
  if (options.checkpointThread && options.checkpointPages > 0) {
    platform::Error error;
    store = APMSqliteStore::create(path, APMSqliteStore::Confinement::kOneSerialQueue, &error);
    if (!store || !store->checkpoints().setCheckpointPolicy({options.checkpointPages, kKeptWALBytes, true}, &error)) {
      std::fprintf(stderr, "the store could not be opened: %s\n", error.description.c_str());
      return 1;
    }
    db = store->handle();
  } else {
    check(sqlite3_open(path.c_str(), &db), db, "open");
  }
  const std::string pragmas = "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA temp_store=MEMORY; "
                              "PRAGMA cache_size=-" + std::to_string(options.cacheKiB) + ";";
  check(sqlite3_exec(db, pragmas.c_str(), nullptr, nullptr, nullptr), db, "pragmas");
  sqlite3_stmt* rawEvent = nullptr;
  sqlite3_stmt* metadata = nullptr;
  check(sqlite3_prepare_v2(db,
                           "INSERT INTO raw_events (rowid, name, timestamp, metadata_fingerprint, data, realtime) "
                           "VALUES (?, ?, ?, ?, ?, 0)",
                           -1, &rawEvent, nullptr),
        db, "prepare");
  check(sqlite3_prepare_v2(db, "INSERT OR IGNORE INTO raw_events_metadata (metadata_fingerprint, metadata) VALUES (?, ?)",
                           -1, &metadata, nullptr),
        db, "prepare");

  std::mt19937_64 random(20261207);
  std::string body(kBodyBytes, '\0');
  std::string encodedMetadata(kMetadataBytes, '\0');
  for (char& byte : body) byte = static_cast<char>(random());
  for (char& byte : encodedMetadata) byte = static_cast<char>(random());
  std::vector<std::pair<int64_t, long>> fingerprints;  // with the event each belongs to

  rusage before{};
  rusage after{};
  long checkpoints = 0;
  double deleteSeconds = 0;
  const auto first = std::chrono::steady_clock::now();
  getrusage(RUSAGE_SELF, &before);
  std::optional<Checkpoints> policy;
  if (!store) policy.emplace(db, options);
  {
    for (long start = 0; start < options.events; start += options.transaction) {
      const long end = std::min(options.events, start + options.transaction);
      fingerprints.clear();
      check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db, "begin");
      for (long event = start; event < end; ++event) fingerprints.emplace_back(static_cast<int64_t>(random()), event);
      auto insertRaw = [&](int64_t fingerprint, long event) {
        std::memcpy(body.data(), &event, sizeof event);  // every body differs, as every event's does
        sqlite3_bind_int64(rawEvent, 1, event + 1);
        sqlite3_bind_text(rawEvent, 2, "purchase", -1, SQLITE_STATIC);
        sqlite3_bind_double(rawEvent, 3, 1.7e9 + static_cast<double>(event) / 1000.0);
        sqlite3_bind_int64(rawEvent, 4, fingerprint);
        sqlite3_bind_blob(rawEvent, 5, body.data(), static_cast<int>(body.size()), SQLITE_STATIC);
        check(sqlite3_step(rawEvent), db, "raw event");
        sqlite3_reset(rawEvent);
      };
      if (!options.sortedRaw) {
        for (const auto& [fingerprint, event] : fingerprints) insertRaw(fingerprint, event);
      }
      std::sort(fingerprints.begin(), fingerprints.end());
      if (options.sortedRaw) {
        for (const auto& [fingerprint, event] : fingerprints) insertRaw(fingerprint, event);
      }
      for (const auto& [fingerprint, event] : fingerprints) {
        std::memcpy(encodedMetadata.data(), &event, sizeof event);
        sqlite3_bind_int64(metadata, 1, fingerprint);
        sqlite3_bind_blob(metadata, 2, encodedMetadata.data(), static_cast<int>(encodedMetadata.size()),
                          SQLITE_STATIC);
        check(sqlite3_step(metadata), db, "metadata");
        sqlite3_reset(metadata);
      }
      check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
    }
    checkpoints = policy ? policy->count() : -1;
  }
  getrusage(RUSAGE_SELF, &after);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - first).count();
  // Read before the deletions: the figures above are the writes'.
  int walPages = 0;
  int misses = 0;
  int highest = 0;
  sqlite3_db_status(db, SQLITE_DBSTATUS_CACHE_WRITE, &walPages, &highest, 0);
  sqlite3_db_status(db, SQLITE_DBSTATUS_CACHE_MISS, &misses, &highest, 0);
  if (options.deleteEvents > 0) deleteSeconds = uploadOldest(db, options);
  const int64_t autoVacuum = integerOf(db, "PRAGMA auto_vacuum");
  const double fileMegabytes =
      static_cast<double>(integerOf(db, "PRAGMA page_count") * integerOf(db, "PRAGMA page_size")) / 1e6;

  const auto events = static_cast<double>(options.events);
  std::printf("events=%ld layout=%s auto_vacuum=%lld transaction=%ld checkpoint_pages=%ld cache_kib=%ld "
              "checkpoint_thread=%d events_per_s=%.0f cpu_us_per_event=%.1f sys_us_per_event=%.1f "
              "wal_pages_written=%d cache_misses=%d checkpoints=%ld peak_rss_mb=%.1f",
              options.events, options.fingerprintKey ? "fingerprint-key" : "row-ids",
              static_cast<long long>(autoVacuum), options.transaction, options.checkpointPages, options.cacheKiB,
              options.checkpointThread ? 1 : 0, events / seconds,
              (cpuSeconds(after, false) - cpuSeconds(before, false)) * 1e6 / events,
              (cpuSeconds(after, true) - cpuSeconds(before, true)) * 1e6 / events, walPages, misses, checkpoints,
              static_cast<double>(after.ru_maxrss) / 1024.0);
  if (options.deleteEvents > 0) {
    const double uploadRate = static_cast<double>(std::min(options.deleteEvents, options.events)) / deleteSeconds;
    std::printf(" upload_events_per_s=%.0f upload_over_store=%.2f", uploadRate, uploadRate / (events / seconds));
  }
  std::printf(" db_mb=%.1f\n", fileMegabytes);
  policy.reset();
  sqlite3_finalize(rawEvent);
  sqlite3_finalize(metadata);
  if (store) {
    store->close();
  } else {
    sqlite3_close(db);
  }
  std::error_code ignored;
  std::filesystem::remove_all(directory, ignored);
  return 0;
}
