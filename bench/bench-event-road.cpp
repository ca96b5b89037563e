// The road of a burst of events through the public API into the measurement database, beside the
// same burst written by the simplest durable logger plain SQLite allows, in the same process and
// the same minute, so the ratio between the two holds however loaded the machine is.
//
//   bench-event-road [--events N]      (default 100000)
//
// The event is a purchase as a shop application logs it: "purchase" with an item ID of 12
// characters, an item name of about 24, a currency of 3, a double value and an integer quantity.
//
// The SDK: configures the default app in a fresh data directory, raises the daily event limits so
// the whole burst may be stored, and logs N events from one thread, timing each call. The upload
// host is a closed port on 127.0.0.1 (the collector is down), so nothing leaves and bundles stay
// queued. An event is durable once its row is committed: a second SQLite connection watches the
// public-events counter, which the engine raises in the transaction that stores the rows.
//
// The limit: a caller thread encodes each event into a compact blob and appends it to a guarded
// queue; one writer thread inserts up to 1000 rows per transaction (WAL, synchronous=NORMAL, one
// prepared statement). This is what storage alone costs.
//
// Ends with one line:
//   events=N stored=N caller_p50_us=… caller_p99_us=… stored_s=… events_per_s=… peak_rss_mb=…
//   db_bytes_per_event=… limit_events_per_s=… limit_caller_p99_us=… durable_ratio=…
//   cpu_us_per_event=… limit_cpu_us_per_event=…
// stored_s runs from the first call to the moment the last event was seen committed; durable_ratio
// is events_per_s over limit_events_per_s. peak_rss_mb is the SDK's, read before the limit runs.
// cpu_us_per_event counts the CPU time of every thread of the process over the same span, divided
// by the events: the machine's other load barely moves it.

#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "APMDatabase.h"
#include "APMFileUtilities.h"
#include "APMMeasurement.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "DUDUravodazo.h"
#include "RemoteConfig/APMRemoteConfig.h"
#include "ROREzo.h"
#include "VEZUzaduzo.h"
#include "platform/Bundle.h"
#include "platform/Paths.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kAppID = "1:1234567890:macos:0a1b2c3d4e5f";
constexpr const char* kEventName = "purchase";
constexpr int kLimitRowsPerTransaction = 1000;

const char* const kItemNames[] = {"Gorilla costume, large", "Summer hat with a bow",  "Sunglasses for a panda",
                                  "Track loop starter pack", "Heart burst refill x10", "Crack overlay, deluxe"};

// The event's parameters: the same shape for the SDK and the limit.
struct Purchase {
  char itemID[13];
  const char* itemName;
  const char* currency;
  double value;
  int64_t quantity;
};

Purchase purchase(int64_t i) {
  Purchase p{};
  std::snprintf(p.itemID, sizeof p.itemID, "SKU-%08lld", static_cast<long long>(i % 100000000));
  p.itemName = kItemNames[i % 6];
  p.currency = i % 3 ? "USD" : "EUR";
  p.value = 9.99 + static_cast<double>(i % 50);
  p.quantity = 1 + i % 3;
  return p;
}

double peakResidentMegabytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtod(line.c_str() + 6, nullptr) / 1024.0;
  }
  return 0;
}

double percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  size_t index = static_cast<size_t>(fraction * static_cast<double>(values.size() - 1));
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(index), values.end());
  return values[index];
}

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// CPU seconds of every thread of the process: on a loaded machine the wall clock measures the
// machine as much as the code.
double processCPUSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// A loopback port nobody listens on: bound once to learn a free number, then closed.
int closedLoopbackPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::abort();
  }
  close(fd);
  return ntohs(address.sin_port);
}

void check(int rc, sqlite3* db, const char* what) {
  if (rc == SQLITE_OK || rc == SQLITE_DONE || rc == SQLITE_ROW) return;
  std::fprintf(stderr, "%s: %s\n", what, sqlite3_errmsg(db));
  std::abort();
}

// Watches the engine's database through its own read-only connection.
class CommitWatcher {
 public:
  explicit CommitWatcher(const std::string& path) {
    check(sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr), db_, "open");
    sqlite3_busy_timeout(db_, 1000);
    check(sqlite3_prepare_v2(db_, "SELECT public_events_count FROM app_metadata", -1, &statement_, nullptr), db_,
          "prepare");
  }
  ~CommitWatcher() {
    sqlite3_finalize(statement_);
    sqlite3_close(db_);
  }
  // The public events committed today (the burst's events are the only public ones).
  int64_t committed() {
    sqlite3_reset(statement_);
    return sqlite3_step(statement_) == SQLITE_ROW ? sqlite3_column_int64(statement_, 0) : -1;
  }
  // The database's logical size, WAL content included (what a checkpoint would leave in the file).
  double databaseBytes() {
    sqlite3_stmt* pragma = nullptr;
    double bytes = 0;
    if (sqlite3_prepare_v2(db_, "SELECT page_count * page_size FROM pragma_page_count(), pragma_page_size()", -1,
                           &pragma, nullptr) == SQLITE_OK &&
        sqlite3_step(pragma) == SQLITE_ROW) {
      bytes = static_cast<double>(sqlite3_column_int64(pragma, 0));
    }
    sqlite3_finalize(pragma);
    return bytes;
  }

 private:
  sqlite3* db_ = nullptr;
  sqlite3_stmt* statement_ = nullptr;
};

// Raises the daily limits and the stored-events limit the way a fetched configuration would, so the
// whole burst (and the engine's own start-up events) may be stored.
void raiseLimits(const std::shared_ptr<APMMeasurement>& engine, int64_t events) {
  auto config = APMPBMeasurementConfig::initWithMessageInfo();
  APMNanoSetString(*config, APMPBMeasurementConfig::kAppId, std::string(kAppID));
  std::vector<std::shared_ptr<APMPBSetting>> settings;
  const std::string limit = std::to_string(std::max<int64_t>(events * 2, 1000000));
  for (const char* key : {"measurement.upload.max_events_per_day", "measurement.upload.max_public_events_per_day",
                          "measurement.store.max_stored_events_per_app"}) {
    auto setting = APMPBSetting::initWithMessageInfo();
    APMNanoSetString(*setting, APMPBSetting::kName, std::string(key));
    APMNanoSetString(*setting, APMPBSetting::kValue, limit);
    settings.push_back(setting);
  }
  APMNanoSetRepeatedField(*config, APMPBMeasurementConfig::kSettings, settings);
  // Applied on the worker's own thread (the engine refuses configuration work on the main thread).
  auto worker = engine->scheduler()->workerQueue();
  worker->async([engine, config] { engine->remoteConfigInstance()->updateMeasurementConfig(config); });
  worker->sync([] {});
}

std::shared_ptr<APMMeasurement> waitForEngine() {
  for (int i = 0; i < 1000; ++i) {
    if (auto engine = APMMeasurement::sharedInstance()) {
      engine->scheduler()->workerQueue()->sync([] {});
      if (engine->didInitializeComponents()) return engine;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return nullptr;
}

struct Run {
  int64_t stored = 0;
  double seconds = 0;
  double cpuSeconds = 0;
  std::vector<double> callMicros;
  double eventsPerSecond() const { return seconds > 0 ? static_cast<double>(stored) / seconds : 0; }
  double cpuMicrosPerEvent() const { return stored > 0 ? cpuSeconds * 1e6 / static_cast<double>(stored) : 0; }
};

Run runSDK(int64_t events, CommitWatcher& watcher) {
  Run run;
  run.callMicros.reserve(static_cast<size_t>(events));
  const int64_t before = watcher.committed();
  const double cpuBefore = processCPUSeconds();
  const auto first = Clock::now();
  for (int64_t i = 0; i < events; ++i) {
    const Purchase p = purchase(i);
    platform::Dictionary parameters{{"item_id", platform::Object(p.itemID)},
                                    {"item_name", platform::Object(p.itemName)},
                                    {"currency", platform::Object(p.currency)},
                                    {"value", platform::Object(p.value)},
                                    {"quantity", platform::Object(p.quantity)}};
    const auto start = Clock::now();
    DUDUravodazo::logEventWithName(kEventName, parameters);
    run.callMicros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  auto lastProgress = Clock::now();
  for (;;) {
    const int64_t now = watcher.committed() - before;
    if (now > run.stored) {
      run.stored = now;
      lastProgress = Clock::now();
    }
    if (run.stored >= events) break;
    if (Clock::now() - lastProgress > std::chrono::seconds(30)) break;  // stalled: report what arrived
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  run.seconds = secondsSince(first);
  run.cpuSeconds = processCPUSeconds() - cpuBefore;
  return run;
}

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

  void log(const char* name, const Purchase& p) {
    Blob blob;
    blob.timestamp =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    blob.name = name;
    auto put = [&blob](const void* bytes, size_t size) {
      blob.data.append(static_cast<const char*>(bytes), size);
    };
    auto text = [&](const char* value) {
      const uint8_t size = static_cast<uint8_t>(std::strlen(value));
      put(&size, 1);
      put(value, size);
    };
    text(p.itemID);
    text(p.itemName);
    text(p.currency);
    put(&p.value, sizeof p.value);
    put(&p.quantity, sizeof p.quantity);
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

Run runLimit(int64_t events, const std::string& path) {
  Run run;
  run.callMicros.reserve(static_cast<size_t>(events));
  PlainLogger logger(path);
  const double cpuBefore = processCPUSeconds();
  const auto first = Clock::now();
  for (int64_t i = 0; i < events; ++i) {
    const Purchase p = purchase(i);
    const auto start = Clock::now();
    logger.log(kEventName, p);
    run.callMicros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  while (logger.committed() < events) std::this_thread::sleep_for(std::chrono::microseconds(200));
  run.seconds = secondsSince(first);
  run.cpuSeconds = processCPUSeconds() - cpuBefore;
  run.stored = logger.committed();
  return run;
}

}  // namespace

int main(int argc, char** argv) {
  int64_t events = 100000;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--events") == 0 && i + 1 < argc) {
      events = std::strtoll(argv[++i], nullptr, 10);
    } else {
      std::fprintf(stderr, "usage: %s [--events N]\n", argv[0]);
      return 2;
    }
  }
  if (events <= 0) return 2;

  std::string directory = (std::filesystem::temp_directory_path() / "bench-event-road-XXXXXX").string();
  if (!mkdtemp(directory.data())) return 1;
  platform::Paths::setDataDirectory(directory);
  platform::Bundle::setBundleIdentifier("com.example.bench");
  platform::Bundle::setShortVersion("1.0");
  APMRemoteConfig::setAnalyticsServiceHost("127.0.0.1:" + std::to_string(closedLoopbackPort()));
  APMRemoteConfig::setAnalyticsServiceScheme("http");

  ROREzo::configureWithOptions(VEZUzaduzo(kAppID, "1234567890"));
  DUDUravodazo::setAnalyticsCollectionEnabled(true);
  auto engine = waitForEngine();
  if (!engine) {
    std::fprintf(stderr, "the engine did not start\n");
    return 1;
  }
  raiseLimits(engine, events);
  Run sdk;
  double peak = 0;
  double bytesPerEvent = 0;
  {
    CommitWatcher watcher(APMApplicationSupportPath(APMDatabase::kDatabaseName));
    const double bytesBefore = watcher.databaseBytes();
    sdk = runSDK(events, watcher);
    peak = peakResidentMegabytes();
    engine->scheduler()->workerQueue()->sync([] {});
    bytesPerEvent = (watcher.databaseBytes() - bytesBefore) / static_cast<double>(std::max<int64_t>(sdk.stored, 1));
  }
  engine.reset();
  APMMeasurement::resetSharedInstanceForTesting();

  const Run limit = runLimit(events, (std::filesystem::path(directory) / "limit.sqlite").string());
  std::printf("events=%lld stored=%lld caller_p50_us=%.2f caller_p99_us=%.2f stored_s=%.3f events_per_s=%.0f "
              "peak_rss_mb=%.1f db_bytes_per_event=%.0f limit_events_per_s=%.0f "
              "limit_caller_p99_us=%.2f durable_ratio=%.2f cpu_us_per_event=%.1f limit_cpu_us_per_event=%.1f\n",
              static_cast<long long>(events), static_cast<long long>(sdk.stored), percentile(sdk.callMicros, 0.50),
              percentile(sdk.callMicros, 0.99), sdk.seconds, sdk.eventsPerSecond(), peak, bytesPerEvent,
              limit.eventsPerSecond(), percentile(limit.callMicros, 0.99),
              limit.eventsPerSecond() > 0 ? sdk.eventsPerSecond() / limit.eventsPerSecond() : 0.0,
              sdk.cpuMicrosPerEvent(), limit.cpuMicrosPerEvent());
  std::fflush(stdout);
  std::error_code ignored;
  std::filesystem::remove_all(directory, ignored);
  std::_Exit(sdk.stored == events ? 0 : 1);
}
