#pragma once
// The event road as a host drives it, shared by the benchmarks that compare against it: the shapes
// of traffic, the start of the SDK in a fresh data directory with its daily limits raised, a burst
// logged through the public API, and the rows counted as they are committed.
//
// Shapes:
//   plain     "select_item" with five parameters (an item ID of 12 characters, an item name of
//             about 24, a currency of 3, a double value and an integer quantity)
//   purchase  the same five parameters as "purchase": every event changes a lifetime value
//   mixed     one app session's kind of traffic: a screen view every 10 events, custom events with
//             two or three parameters, a user property changed every 20 events, a purchase every 50
// An event is durable once its row is committed: a read-only connection counts the rows of the
// shape's event names. The network is off and the collector down (nothing is bundled away from
// raw_events meanwhile).

#include <sqlite3.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "APMDatabase.h"
#include "APMFileUtilities.h"
#include "APMMeasurement.h"
#include "APMEngineRegistry.h"
#include "APMStartUp.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "DUDUravodazo.h"
#include "Front/APMAnalytics.h"
#include "Front/APMAnalyticsOperationQueue.h"
#include "RemoteConfig/APMRemoteConfig.h"
#include "ROREzo.h"
#include "VEZUzaduzo.h"
#include "platform/ApplicationNotifications.h"
#include "platform/Bundle.h"
#include "platform/Http.h"
#include "platform/NotificationCenter.h"
#include "platform/Paths.h"

namespace eventroad {

using Clock = std::chrono::steady_clock;
constexpr const char* kAppID = "1:1234567890:macos:0a1b2c3d4e5f";
// What the daily and stored-event limits may be raised to (the settings' upper bounds).
constexpr int64_t kLimitCeiling = 1000000;

enum class Shape { Plain, Purchase, Mixed };

inline std::optional<Shape> shapeNamed(const std::string& name) {
  if (name == "plain") return Shape::Plain;
  if (name == "purchase") return Shape::Purchase;
  if (name == "mixed") return Shape::Mixed;
  return std::nullopt;
}

inline const char* shapeName(Shape shape) {
  switch (shape) {
    case Shape::Plain:
      return "plain";
    case Shape::Purchase:
      return "purchase";
    case Shape::Mixed:
      return "mixed";
  }
  return "?";
}

// The names of the rows a shape stores, one row per logged event ("_vs" for a screen view).
inline std::vector<std::string> storedNames(Shape shape) {
  switch (shape) {
    case Shape::Plain:
      return {"select_item"};
    case Shape::Purchase:
      return {"purchase"};
    case Shape::Mixed:
      return {"level_start", "select_content", "tap", "purchase", "_vs"};
  }
  return {};
}

const char* const kItemNames[] = {"Gorilla costume, large", "Summer hat with a bow",  "Sunglasses for a panda",
                                  "Track loop starter pack", "Heart burst refill x10", "Crack overlay, deluxe"};
const char* const kScreens[] = {"Home", "Shop", "Level", "Settings"};
const char* const kTiers[] = {"bronze", "silver", "gold"};

// The five parameters of an item event.
inline platform::Dictionary itemParameters(int64_t i) {
  char itemID[24];
  std::snprintf(itemID, sizeof itemID, "SKU-%08lld", static_cast<long long>(i % 100000000));
  return {{"item_id", platform::Object(itemID)},
          {"item_name", platform::Object(kItemNames[i % 6])},
          {"currency", platform::Object(i % 3 ? "USD" : "EUR")},
          {"value", platform::Object(9.99 + static_cast<double>(i % 50))},
          {"quantity", platform::Object(static_cast<int64_t>(1 + i % 3))}};
}

// One call of the shape's traffic (the mixed shape's property change comes before its event).
struct Call {
  std::string name;
  platform::Dictionary parameters;
  std::optional<std::string> tier;
};

inline Call call(Shape shape, int64_t i) {
  switch (shape) {
    case Shape::Plain:
      return {"select_item", itemParameters(i), std::nullopt};
    case Shape::Purchase:
      return {"purchase", itemParameters(i), std::nullopt};
    case Shape::Mixed:
      break;
  }
  Call c;
  if (i > 0 && i % 20 == 0) c.tier = kTiers[(i / 20) % 3];
  if (i % 50 == 49) {
    c.name = "purchase";
    c.parameters = itemParameters(i);
  } else if (i % 10 == 0) {
    const char* screen = kScreens[(i / 10) % 4];
    c.name = "screen_view";
    c.parameters = {{"screen_name", platform::Object(screen)},
                    {"screen_class", platform::Object(std::string(screen) + "ViewController")}};
  } else if (i % 3 == 0) {
    c.name = "level_start";
    c.parameters = {{"level", platform::Object(i % 40)}, {"character", platform::Object("panda")}};
  } else if (i % 3 == 1) {
    c.name = "select_content";
    c.parameters = {{"content_type", platform::Object("hat")},
                    {"item_id", platform::Object("hat-" + std::to_string(i % 17))},
                    {"level", platform::Object(i % 40)}};
  } else {
    c.name = "tap";
    c.parameters = {{"target", platform::Object("play_button")}, {"level", platform::Object(i % 40)}};
  }
  return c;
}

// Call times in a fixed histogram (0.1 µs steps to 1 ms, then 1 ms steps to 100 s): a vector of
// every time would itself grow with the burst and show in the peak memory.
class CallTimes {
 public:
  void add(double micros) {
    ++count_;
    if (micros < kFineLimit) {
      ++fine_[static_cast<size_t>(micros / kFineStep)];
    } else {
      ++coarse_[std::min(kCoarseBins - 1, static_cast<size_t>((micros - kFineLimit) / kCoarseStep))];
    }
  }
  // The upper edge of the bin holding the given fraction of calls.
  double percentile(double fraction) const {
    if (count_ == 0) return 0;
    const auto rank = static_cast<uint64_t>(fraction * static_cast<double>(count_ - 1)) + 1;
    uint64_t seen = 0;
    for (size_t i = 0; i < fine_.size(); ++i) {
      seen += fine_[i];
      if (seen >= rank) return static_cast<double>(i + 1) * kFineStep;
    }
    for (size_t i = 0; i < coarse_.size(); ++i) {
      seen += coarse_[i];
      if (seen >= rank) return kFineLimit + static_cast<double>(i + 1) * kCoarseStep;
    }
    return kFineLimit + kCoarseBins * kCoarseStep;
  }

 private:
  static constexpr double kFineStep = 0.1;
  static constexpr double kFineLimit = 1000.0;
  static constexpr double kCoarseStep = 1000.0;
  static constexpr size_t kCoarseBins = 100000;
  std::vector<uint32_t> fine_ = std::vector<uint32_t>(static_cast<size_t>(kFineLimit / kFineStep));
  std::vector<uint32_t> coarse_ = std::vector<uint32_t>(kCoarseBins);
  uint64_t count_ = 0;
};

inline double peakResidentMegabytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtod(line.c_str() + 6, nullptr) / 1024.0;
  }
  return 0;
}

inline double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// CPU seconds of every thread of the process: on a loaded machine the wall clock measures the
// machine as much as the code.
inline double processCPUSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

inline void check(int rc, sqlite3* db, const char* what) {
  if (rc == SQLITE_OK || rc == SQLITE_DONE || rc == SQLITE_ROW) return;
  std::fprintf(stderr, "%s: %s\n", what, sqlite3_errmsg(db));
  std::abort();
}

// Counts the shape's committed rows through its own read-only connection. The highest row ID is
// cheap to read and rises with every committed row (the engine's own rows too), so it says when
// counting the shape's rows is worth it.
class RowCounter {
 public:
  RowCounter(const std::string& path, Shape shape) {
    check(sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr), db_, "open");
    sqlite3_busy_timeout(db_, 1000);
    check(sqlite3_prepare_v2(db_, "SELECT ifnull(max(rowid), 0) FROM raw_events", -1, &highest_, nullptr), db_,
          "prepare");
    std::string names;
    for (const auto& name : storedNames(shape)) names += (names.empty() ? "'" : ",'") + name + "'";
    const std::string sql = "SELECT count(*) FROM raw_events WHERE name IN (" + names + ")";
    check(sqlite3_prepare_v2(db_, sql.c_str(), -1, &count_, nullptr), db_, "prepare");
  }
  ~RowCounter() {
    sqlite3_finalize(highest_);
    sqlite3_finalize(count_);
    sqlite3_close(db_);
  }
  int64_t highestRowID() { return single(highest_); }
  int64_t shapeRows() { return single(count_); }
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
  // Reset at once: a statement left open holds its read transaction, and with it an old snapshot.
  int64_t single(sqlite3_stmt* statement) {
    const int64_t value = sqlite3_step(statement) == SQLITE_ROW ? sqlite3_column_int64(statement, 0) : -1;
    sqlite3_reset(statement);
    return value;
  }
  sqlite3* db_ = nullptr;
  sqlite3_stmt* highest_ = nullptr;
  sqlite3_stmt* count_ = nullptr;
};

// Raises the daily limits and the stored-events limit the way a fetched configuration would, within
// their allowed range, and reads them back: false (with a message) when the engine refused one.
inline bool raiseLimits(const std::shared_ptr<APMMeasurement>& engine, int64_t events) {
  const int64_t wanted = std::min<int64_t>(std::max<int64_t>(events * 2, 200000), kLimitCeiling);
  auto config = APMPBMeasurementConfig::initWithMessageInfo();
  APMNanoSetString(*config, APMPBMeasurementConfig::kAppId, std::string(kAppID));
  std::vector<std::shared_ptr<APMPBSetting>> settings;
  const char* keys[] = {"measurement.upload.max_events_per_day", "measurement.upload.max_public_events_per_day",
                        "measurement.store.max_stored_events_per_app"};
  for (const char* key : keys) {
    auto setting = APMPBSetting::initWithMessageInfo();
    APMNanoSetString(*setting, APMPBSetting::kName, std::string(key));
    APMNanoSetString(*setting, APMPBSetting::kValue, std::to_string(wanted));
    settings.push_back(setting);
  }
  APMNanoSetRepeatedField(*config, APMPBMeasurementConfig::kSettings, settings);
  // Applied on the worker's own thread (the engine refuses configuration work on the main thread).
  auto worker = engine->setup().scheduler->workerQueue();
  std::array<int64_t, 3> applied{};
  worker->async([engine, config] { engine->remoteConfigInstance()->updateMeasurementConfig(config); });
  worker->sync([&] {
    auto remote = engine->remoteConfigInstance();
    applied = {remote->eventLimits().maxEventsPerDay(), remote->eventLimits().maxPublicEventsPerDay(), remote->eventLimits().maxEventsStored()};
  });
  bool accepted = true;
  for (size_t i = 0; i < applied.size(); ++i) {
    if (applied[i] == wanted) continue;
    std::fprintf(stderr, "the setting %s=%lld was refused (in force: %lld)\n", keys[i], static_cast<long long>(wanted),
                 static_cast<long long>(applied[i]));
    accepted = false;
  }
  return accepted;
}

inline std::shared_ptr<APMMeasurement> waitForEngine() {
  for (int i = 0; i < 1000; ++i) {
    if (auto engine = APMEngineRegistry::sharedInstance()) {
      engine->setup().scheduler->workerQueue()->sync([] {});
      if (engine->startUp().didInitializeComponents()) return engine;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return nullptr;
}

// A loopback port nobody listens on: bound once to learn a free number, then closed.
inline int closedLoopbackPort() {
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

// Configures the default app in the given data directory, network off, the application active.
inline std::shared_ptr<APMMeasurement> startSDK(const std::string& directory) {
  platform::Paths::setDataDirectory(directory);
  platform::Bundle::setBundleIdentifier("com.example.bench");
  platform::Bundle::setShortVersion("1.0");
  platform::Reachability::setReachable(false);
  APMRemoteConfigNetwork::setAnalyticsServiceHost("127.0.0.1:" + std::to_string(closedLoopbackPort()));
  APMRemoteConfigNetwork::setAnalyticsServiceScheme("http");
  ROREzo::configureWithOptions(VEZUzaduzo(kAppID, "1234567890"));
  DUDUravodazo::setAnalyticsCollectionEnabled(true);
  platform::NotificationCenter::defaultCenter().post(platform::kApplicationDidBecomeActiveNotification);
  return waitForEngine();
}

struct Run {
  int64_t stored = 0;
  double seconds = 0;
  double cpuSeconds = 0;
  double callerWaitSeconds = 0;
  double peakRSSMegabytes = 0;
  CallTimes callTimes;
  double eventsPerSecond() const { return seconds > 0 ? static_cast<double>(stored) / seconds : 0; }
  double cpuMicrosPerEvent() const { return stored > 0 ? cpuSeconds * 1e6 / static_cast<double>(stored) : 0; }
};

// Logs the burst from one thread, timing each call, and waits until every event is committed (or
// nothing more arrives for 30 s); the run ends at the last commit seen.
inline Run runSDK(Shape shape, int64_t events, RowCounter& counter) {
  Run run;
  const int64_t rowsBefore = counter.shapeRows();
  const int64_t highestBefore = counter.highestRowID();
  const double waitBefore = APMAnalyticsOperationQueue::eventRoadStatistics().waitSeconds;
  const double cpuBefore = processCPUSeconds();
  const auto first = Clock::now();
  for (int64_t i = 0; i < events; ++i) {
    Call c = call(shape, i);
    if (c.tier) DUDUravodazo::setUserPropertyString(platform::Object(*c.tier), "tier");
    const auto start = Clock::now();
    DUDUravodazo::logEventWithName(c.name, c.parameters);
    run.callTimes.add(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  auto lastProgress = Clock::now();
  int64_t highest = highestBefore;
  for (;;) {
    const int64_t nowHighest = counter.highestRowID();
    if (nowHighest > highest) {
      highest = nowHighest;
      lastProgress = Clock::now();
      if (highest - highestBefore >= events) run.stored = counter.shapeRows() - rowsBefore;
    }
    if (run.stored >= events) break;
    if (Clock::now() - lastProgress > std::chrono::seconds(30)) {  // stalled: report what arrived
      run.stored = counter.shapeRows() - rowsBefore;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  run.seconds = std::chrono::duration<double>(lastProgress - first).count();
  run.cpuSeconds = processCPUSeconds() - cpuBefore;
  run.callerWaitSeconds = APMAnalyticsOperationQueue::eventRoadStatistics().waitSeconds - waitBefore;
  run.peakRSSMegabytes = peakResidentMegabytes();
  return run;
}

}  // namespace eventroad
