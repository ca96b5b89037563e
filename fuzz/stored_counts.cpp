// The numbers the database keeps and counts on, as a file that may be torn or tampered with gives
// them back: an event's aggregates (counts, times, sampling state) and the install's bundle
// bookkeeping and daily counters, each column holding whatever the input puts there (any integer,
// any real, a text). Raw events waiting beside them are then bundled, which reads the numbers,
// counts the events on and writes them back. A count read as n is never written back below n, every
// queued bundle decodes, and the daily counters stay in their range once counted on.
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

#include "APMDatabase.h"
#include "APMPBMessages.h"
#include "APMPersistedConfig.h"
#include "FuzzSupport.h"
#include "RemoteConfig/APMRemoteConfig.h"
#include "Upload/APMRawEventBundler.h"
#include "platform/DispatchQueue.h"

namespace {

constexpr const char* kAppID = "1:1234567890:ios:abcdef";
constexpr double kNow = 1700000000.0;
constexpr const char* kEventName = "level_up";

// The columns the input fills, in this order.
constexpr const char* kEventColumns[] = {
    "lifetime_count",         "current_bundle_count", "current_session_count",
    "last_fire_timestamp",    "last_bundled_timestamp", "last_bundled_day",
    "last_sampling_rate",     "last_sampled_complex_event_id", "last_exempt_from_sampling"};
constexpr const char* kMetadataColumns[] = {
    "day",                "conversions_count", "all_events_count",           "public_events_count",
    "error_events_count", "realtime_count",    "dcu_realtime_count",         "last_bundle_index",
    "last_delivery_index", "last_bundle_start_timestamp", "last_bundle_end_timestamp"};

constexpr int64_t kEdgeIntegers[] = {0,
                                     1,
                                     -1,
                                     2,
                                     std::numeric_limits<int32_t>::max(),
                                     std::numeric_limits<int32_t>::max() - 1,
                                     std::numeric_limits<int32_t>::min(),
                                     int64_t{1} << 32,
                                     std::numeric_limits<int64_t>::max(),
                                     std::numeric_limits<int64_t>::max() - 1,
                                     std::numeric_limits<int64_t>::min(),
                                     19675,
                                     1700000000,
                                     1700000000000};
constexpr double kEdgeReals[] = {0.0,  -1.0, kNow, kNow - 60, kNow + 1e9, 1e19, -1e19, 9.3e18, 1e300, -1e300,
                                 std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                                 std::numeric_limits<double>::denorm_min()};

// Reads the input as one value a column: a kind byte, then what that kind takes.
class Values {
 public:
  Values(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  platform::Object next() {
    switch (byte() % 5) {
      case 0: return platform::Object(kEdgeIntegers[byte() % std::size(kEdgeIntegers)]);
      case 1: return platform::Object(static_cast<int64_t>(word()));
      case 2: return platform::Object(kEdgeReals[byte() % std::size(kEdgeReals)]);
      case 3: {
        const uint64_t bits = word();
        double real = 0;
        std::memcpy(&real, &bits, sizeof(real));
        // SQLite keeps NaN as NULL, which the NOT NULL columns refuse.
        return platform::Object(std::isnan(real) ? 0.0 : real);
      }
      default: {
        std::string text;
        for (size_t length = byte() % 24; length > 0 && at_ < size_; --length) text.push_back(static_cast<char>(byte()));
        return platform::Object(text);
      }
    }
  }

 private:
  uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  uint64_t word() {
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i) value = (value << 8) | byte();
    return value;
  }

  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

using Engine = fuzzsupport::Store;

Engine& engine() {
  static Engine* shared = new Engine(fuzzsupport::openStore("fuzz.counts.worker"));
  return *shared;
}

// Puts the input's values in the columns; false when the file refuses them (a tampered file holds
// what its constraints allow).
bool tamper(APMDatabase& database, Values& values) {
  platform::Error error;
  std::string sql = "INSERT INTO events (name";
  std::string marks = "?";
  platform::Array bound{platform::Object(kEventName)};
  for (const char* column : kEventColumns) {
    sql += std::string(", ") + column;
    marks += ", ?";
    bound.push_back(values.next());
  }
  if (!database.connection().execute(sql + ") VALUES (" + marks + ")", bound, &error)) return false;
  sql = "UPDATE app_metadata SET ";
  bound.clear();
  for (const char* column : kMetadataColumns) {
    sql += std::string(bound.empty() ? "" : ", ") + column + " = ?";
    bound.push_back(values.next());
  }
  return database.connection().execute(sql, bound, &error).has_value();
}

void runOnWorker(Engine& e, const uint8_t* data, size_t size) {
  APMDatabase& database = *e.database;
  fuzzsupport::storeRawEventGroup(database, kEventName, kNow);
  Values values(data, size);
  if (!tamper(database, values)) return;

  platform::Error error;
  auto before = database.eventAggregates().eventAggregatesWithName(kEventName, &error);
  auto metadataBefore = database.appMetadata().queryAppMetadata(&error);
  if (!before || !metadataBefore) fuzzsupport::fail("the tampered rows do not read: " + error.description);

  auto config = APMRemoteConfig::create(kAppID, e.database, e.persisted);
  if (!config) fuzzsupport::fail("cannot create the configuration");
  APMRawEventBundler bundler(e.database, config, e.persisted, APMBundlingHooks{});
  for (int run = 0; run < 4 && bundler.bundleRawEvents() == APMRawEventBundler::Result::Bundled; ++run) {
  }

  auto after = database.eventAggregates().eventAggregatesWithName(kEventName, &error);
  auto metadataAfter = database.appMetadata().queryAppMetadata(&error);
  if (!after || !metadataAfter) fuzzsupport::fail("the counted rows do not read: " + error.description);
  if (after->lifetimeCount() < before->lifetimeCount()) fuzzsupport::fail("an event's lifetime count went down");
  if (after->currentBundleCount() < before->currentBundleCount()) fuzzsupport::fail("an event's bundle count went down");
  if (after->currentSessionCount() < before->currentSessionCount()) fuzzsupport::fail("an event's session count went down");
  if (metadataAfter->lastBundleIndex < metadataBefore->lastBundleIndex) fuzzsupport::fail("the bundle index went down");
  if (metadataAfter->lastDeliveryIndex < metadataBefore->lastDeliveryIndex) fuzzsupport::fail("the delivery index went down");

  auto queued = database.bundleQueue().queryBundlesWithCountLimit(100, int64_t{1} << 40, &error);
  if (!queued) fuzzsupport::fail("the queue cannot be read: " + error.description);
  for (const auto& [bundle, rowID] : *queued) {
    if (!bundle || !APMPBMeasurementBundle::fromBuffer(bundle->protoBuffer())) fuzzsupport::fail("a queued bundle does not decode");
  }

  auto counts = database.appMetadata().dailyCounts(&error);
  if (!counts) fuzzsupport::fail("the daily counts do not read: " + error.description);
  const int32_t day = counts->day;
  counts->incrementCountsForCurrentDay(day, true, true);
  counts->incrementErrorEventsCountForCurrentDay(day);
  counts->incrementRealtimeCountsForCurrentDay(day);
  counts->incrementDCURealtimeCountsForCurrentDay(day);
  for (int32_t count : {counts->conversionsCount, counts->allEventsCount, counts->publicEventsCount,
                        counts->errorEventsCount, counts->realtimeCount, counts->dcuRealtimeCount}) {
    if (count < 0) fuzzsupport::fail("a daily counter counted on is below zero");
  }
  if (!database.appMetadata().updateDailyCounts(*counts, &error)) fuzzsupport::fail("cannot write the daily counts");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Engine& e = engine();
  fuzzsupport::onWorkerOffMainThread(e.worker, [&] { runOnWorker(e, data, size); });
  return 0;
}
