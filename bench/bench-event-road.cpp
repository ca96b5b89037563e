// The road of a burst of events through the public API into the measurement database, beside the
// same burst written by the simplest durable logger plain SQLite allows, in the same process and
// the same minute, so the ratio between the two holds however loaded the machine is.
//
//   bench-event-road [--shape plain|purchase|mixed] [--events N]      (default plain, 100000)
//
// The shapes are those of EventRoadShapes.h. The SDK: configures the default app in a fresh data
// directory, raises the daily event limits within their range so the whole burst may be stored
// (stopping with an error when a setting is refused), and logs N events from one thread, timing
// each call. The network is off (the collector is down), so nothing leaves and rows stay in place.
// An event is durable once its row is committed, counted from the stored rows.
//
// The limit: a caller thread encodes each event into a compact blob and appends it to a guarded
// queue; one writer thread inserts up to 1000 rows per transaction (WAL, synchronous=NORMAL, one
// prepared statement). This is what storage alone costs.
//
// Ends with one line of key=value figures:
//   shape=… events=N stored=N caller_p50_us=… caller_p99_us=… caller_wait_ms=… stored_s=…
//   events_per_s=… peak_rss_mb=… db_bytes_per_event=… limit_events_per_s=… limit_caller_p99_us=…
//   durable_ratio=… cpu_us_per_event=… limit_cpu_us_per_event=… wal_pages_per_event=…
//   cache_misses_per_event=…
// stored_s runs from the first call to the last commit seen; durable_ratio is events_per_s over
// limit_events_per_s. caller_wait_ms is how long callers waited for room on the road (the bound on
// waiting events). peak_rss_mb is the SDK's, read before the limit runs. cpu_us_per_event counts
// the CPU time of every thread of the process over the same span, divided by the events: the
// machine's other load barely moves it. wal_pages_per_event and cache_misses_per_event are SQLite's
// counts on the SDK's connection (pages written to the WAL, pages read back from the files).

#include <sqlite3.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "APMEngineRegistry.h"
#include "EventRoadShapes.h"

namespace {

using namespace eventroad;

constexpr int kLimitRowsPerTransaction = 1000;

// The limit: the caller's queue and one writer, nothing else.
class PlainLogger {
 public:
  explicit PlainLogger(const std::string& path) {
    check(sqlite3_open(path.c_str(), &db_), db_, "open");
    check(sqlite3_exec(db_,
                       "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
                       "CREATE TABLE events (id INTEGER PRIMARY KEY, name TEXT NOT NULL, timestamp REAL NOT NULL,"
                       " data BLOB NOT NULL)",
                       nullptr, nullptr, nullptr),
          db_, "schema");
    check(sqlite3_prepare_v2(db_, "INSERT INTO events (name, timestamp, data) VALUES (?, ?, ?)", -1, &insert_,
                             nullptr),
          db_, "prepare");
    writer_ = std::thread([this] { write(); });
  }
  ~PlainLogger() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      closing_ = true;
    }
    wake_.notify_one();
    writer_.join();
    sqlite3_finalize(insert_);
    sqlite3_close(db_);
  }

  void log(const std::string& name, const platform::Dictionary& parameters) {
    Blob blob;
    blob.timestamp = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    blob.name = name;
    auto put = [&blob](const void* bytes, size_t size) { blob.data.append(static_cast<const char*>(bytes), size); };
    auto text = [&](const std::string& value) {
      const uint8_t size = static_cast<uint8_t>(value.size());
      put(&size, 1);
      put(value.data(), size);
    };
    for (const auto& [key, value] : parameters) {
      text(key);
      if (value.isString()) {
        text(value.stringValue());
      } else if (value.isDouble()) {
        const double number = value.doubleValue();
        put(&number, sizeof number);
      } else {
        const int64_t number = value.integerValue();
        put(&number, sizeof number);
      }
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      queue_.push_back(std::move(blob));
    }
    wake_.notify_one();
  }
  int64_t committed() const { return committed_.load(); }

 private:
  struct Blob {
    std::string name;
    double timestamp = 0;
    std::string data;
  };

  void write() {
    std::vector<Blob> taken;
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [&] { return closing_ || !queue_.empty(); });
        if (queue_.empty()) return;
        taken.swap(queue_);
      }
      for (size_t start = 0; start < taken.size(); start += kLimitRowsPerTransaction) {
        const size_t end = std::min(taken.size(), start + kLimitRowsPerTransaction);
        check(sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr), db_, "begin");
        for (size_t i = start; i < end; ++i) {
          sqlite3_bind_text(insert_, 1, taken[i].name.data(), static_cast<int>(taken[i].name.size()), SQLITE_STATIC);
          sqlite3_bind_double(insert_, 2, taken[i].timestamp);
          sqlite3_bind_blob(insert_, 3, taken[i].data.data(), static_cast<int>(taken[i].data.size()), SQLITE_STATIC);
          check(sqlite3_step(insert_), db_, "insert");
          sqlite3_reset(insert_);
        }
        check(sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr), db_, "commit");
        committed_ += static_cast<int64_t>(end - start);
      }
      taken.clear();
    }
  }

  sqlite3* db_ = nullptr;
  sqlite3_stmt* insert_ = nullptr;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<Blob> queue_;
  bool closing_ = false;
  std::atomic<int64_t> committed_{0};
  std::thread writer_;
};

Run runLimit(Shape shape, int64_t events, const std::string& path) {
  Run run;
  PlainLogger logger(path);
  const double cpuBefore = processCPUSeconds();
  const auto first = Clock::now();
  for (int64_t i = 0; i < events; ++i) {
    const Call c = call(shape, i);
    const auto start = Clock::now();
    logger.log(c.name, c.parameters);
    run.callTimes.add(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  while (logger.committed() < events) std::this_thread::sleep_for(std::chrono::microseconds(200));
  run.seconds = secondsSince(first);
  run.cpuSeconds = processCPUSeconds() - cpuBefore;
  run.stored = logger.committed();
  return run;
}

int usage(const char* program) {
  std::fprintf(stderr, "usage: %s [--shape plain|purchase|mixed] [--events N]\n", program);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int64_t events = 100000;
  Shape shape = Shape::Plain;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--events") == 0 && i + 1 < argc) {
      events = std::strtoll(argv[++i], nullptr, 10);
    } else if (std::strcmp(argv[i], "--shape") == 0 && i + 1 < argc) {
      auto named = shapeNamed(argv[++i]);
      if (!named) return usage(argv[0]);
      shape = *named;
    } else {
      return usage(argv[0]);
    }
  }
  if (events <= 0) return usage(argv[0]);

  std::string directory = (std::filesystem::temp_directory_path() / "bench-event-road-XXXXXX").string();
  if (!mkdtemp(directory.data())) return 1;
  auto engine = startSDK(directory);
  if (!engine) {
    std::fprintf(stderr, "the engine did not start\n");
    return 1;
  }
  if (!raiseLimits(engine, events)) return 1;
  Run sdk;
  double bytesPerEvent = 0;
  int walPagesWritten = 0;
  int cacheMisses = 0;
  {
    RowCounter counter(APMApplicationSupportPath(APMDatabase::kDatabaseName), shape);
    const double bytesBefore = counter.databaseBytes();
    sdk = runSDK(shape, events, counter);
    engine->setup().scheduler->workerQueue()->sync([&] {
      // SQLite's own counts on the road's connection: pages written to the WAL (its spills and
      // commits) and pages it had to read back from the files.
      sqlite3* db = engine->database()->connection().store()->handle();
      int highest = 0;
      if (!db) return;
      sqlite3_db_status(db, SQLITE_DBSTATUS_CACHE_WRITE, &walPagesWritten, &highest, 0);
      sqlite3_db_status(db, SQLITE_DBSTATUS_CACHE_MISS, &cacheMisses, &highest, 0);
    });
    bytesPerEvent = (counter.databaseBytes() - bytesBefore) / static_cast<double>(std::max<int64_t>(sdk.stored, 1));
  }
  engine.reset();
  APMEngineRegistry::resetSharedInstanceForTesting();

  const Run limit = runLimit(shape, events, (std::filesystem::path(directory) / "limit.sqlite").string());
  std::printf("shape=%s events=%lld stored=%lld caller_p50_us=%.2f caller_p99_us=%.2f caller_wait_ms=%.1f "
              "stored_s=%.3f events_per_s=%.0f peak_rss_mb=%.1f db_bytes_per_event=%.0f limit_events_per_s=%.0f "
              "limit_caller_p99_us=%.2f durable_ratio=%.3f cpu_us_per_event=%.1f limit_cpu_us_per_event=%.1f "
              "wal_pages_per_event=%.2f cache_misses_per_event=%.2f\n",
              shapeName(shape), static_cast<long long>(events), static_cast<long long>(sdk.stored),
              sdk.callTimes.percentile(0.50), sdk.callTimes.percentile(0.99), sdk.callerWaitSeconds * 1000.0,
              sdk.seconds, sdk.eventsPerSecond(), sdk.peakRSSMegabytes, bytesPerEvent, limit.eventsPerSecond(),
              limit.callTimes.percentile(0.99),
              limit.eventsPerSecond() > 0 ? sdk.eventsPerSecond() / limit.eventsPerSecond() : 0.0,
              sdk.cpuMicrosPerEvent(), limit.cpuMicrosPerEvent(), walPagesWritten / static_cast<double>(events),
              cacheMisses / static_cast<double>(events));
  std::fflush(stdout);
  std::error_code ignored;
  std::filesystem::remove_all(directory, ignored);
  std::_Exit(sdk.stored == events ? 0 : 1);
}
