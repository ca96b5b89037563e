// The road of a burst of events through the public API into the measurement database.
//
//   bench-event-road [--events N]      (default 100000)
//
// Configures the default app in a fresh data directory, raises the daily event limits so the whole
// burst may be stored, then logs N events with five string and number parameters from one thread,
// timing each logEventWithName call. A second SQLite connection (the database runs in WAL mode)
// counts the stored rows until all N are there. Ends with one line:
//   events=N stored=N caller_p50_us=… caller_p99_us=… stored_s=… peak_rss_mb=… db_bytes_per_event=…
// stored_s runs from the first call to the moment the last row was seen committed.

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
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
constexpr const char* kEventName = "level_complete";

double peakResidentMegabytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtod(line.c_str() + 6, nullptr) / 1024.0;
  }
  return 0;
}

// Counts the burst's rows through its own read-only connection.
class RowCounter {
 public:
  explicit RowCounter(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) std::abort();
    sqlite3_busy_timeout(db_, 1000);
    if (sqlite3_prepare_v2(db_, "SELECT COUNT(*) FROM raw_events WHERE name = ?", -1, &statement_, nullptr) !=
        SQLITE_OK) {
      std::fprintf(stderr, "cannot count rows: %s\n", sqlite3_errmsg(db_));
      std::abort();
    }
  }
  ~RowCounter() {
    sqlite3_finalize(statement_);
    sqlite3_close(db_);
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
  int64_t count() {
    sqlite3_reset(statement_);
    sqlite3_bind_text(statement_, 1, kEventName, -1, SQLITE_STATIC);
    return sqlite3_step(statement_) == SQLITE_ROW ? sqlite3_column_int64(statement_, 0) : -1;
  }

 private:
  sqlite3* db_ = nullptr;
  sqlite3_stmt* statement_ = nullptr;
};

// Raises the daily limits and the stored-events limit the way a fetched configuration would, so the
// whole burst (and the engine's own start-up events) may be stored.
void raiseDailyLimits(const std::shared_ptr<APMMeasurement>& engine) {
  auto config = APMPBMeasurementConfig::initWithMessageInfo();
  APMNanoSetString(*config, APMPBMeasurementConfig::kAppId, std::string(kAppID));
  std::vector<std::shared_ptr<APMPBSetting>> settings;
  for (const char* key : {"measurement.upload.max_events_per_day", "measurement.upload.max_public_events_per_day",
                          "measurement.store.max_stored_events_per_app"}) {
    auto setting = APMPBSetting::initWithMessageInfo();
    APMNanoSetString(*setting, APMPBSetting::kName, std::string(key));
    APMNanoSetString(*setting, APMPBSetting::kValue, std::string("1000000"));
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

double percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  size_t index = static_cast<size_t>(fraction * static_cast<double>(values.size() - 1));
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(index), values.end());
  return values[index];
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

  ROREzo::configureWithOptions(VEZUzaduzo(kAppID, "1234567890"));
  DUDUravodazo::setAnalyticsCollectionEnabled(true);
  auto engine = waitForEngine();
  if (!engine) {
    std::fprintf(stderr, "the engine did not start\n");
    return 1;
  }
  raiseDailyLimits(engine);
  const std::string databasePath = APMApplicationSupportPath(APMDatabase::kDatabaseName);
  RowCounter counter(databasePath);
  const double bytesBefore = counter.databaseBytes();

  std::vector<double> callMicros;
  callMicros.reserve(static_cast<size_t>(events));
  const auto first = Clock::now();
  for (int64_t i = 0; i < events; ++i) {
    platform::Dictionary parameters{{"level", platform::Object(i % 40)},
                                    {"character", platform::Object("gorilla")},
                                    {"mode", platform::Object(i % 2 ? "track" : "free")},
                                    {"score", platform::Object(1234.5 + static_cast<double>(i % 100))},
                                    {"stars", platform::Object(i % 4)}};
    const auto before = Clock::now();
    DUDUravodazo::logEventWithName(kEventName, parameters);
    const auto after = Clock::now();
    callMicros.push_back(std::chrono::duration<double, std::micro>(after - before).count());
  }

  int64_t stored = 0;
  auto lastProgress = Clock::now();
  for (;;) {
    int64_t now = counter.count();
    if (now > stored) lastProgress = Clock::now();
    stored = std::max(stored, now);
    if (stored >= events) break;
    if (Clock::now() - lastProgress > std::chrono::seconds(30)) break;  // stalled: report what arrived
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  const double storedSeconds = std::chrono::duration<double>(Clock::now() - first).count();
  const double peak = peakResidentMegabytes();
  engine->scheduler()->workerQueue()->sync([] {});
  const double bytesPerEvent = (counter.databaseBytes() - bytesBefore) / static_cast<double>(std::max<int64_t>(stored, 1));

  std::printf("events=%lld stored=%lld caller_p50_us=%.2f caller_p99_us=%.2f stored_s=%.3f peak_rss_mb=%.1f "
              "db_bytes_per_event=%.0f\n",
              static_cast<long long>(events), static_cast<long long>(stored), percentile(callMicros, 0.50),
              percentile(callMicros, 0.99), storedSeconds, peak, bytesPerEvent);
  std::fflush(stdout);
  APMMeasurement::resetSharedInstanceForTesting();
  std::filesystem::remove_all(directory);
  std::_Exit(stored == events ? 0 : 1);
}
