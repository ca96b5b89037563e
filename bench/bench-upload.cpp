// bench-upload: how fast stored raw events leave the device. Stores N raw-event rows, then times
// the upload road (bundling, batch building, gzip, POST) until a collector on 127.0.0.1 has
// received and decoded every event. Memory is bounded by the bundle and batch limits, not by N.
//
//   bench-upload [--shape plain|purchase] [--events N]   (default plain, 200000)
//
// plain: the rows share one metadata. A second run does the same with the largest audience set a
//   configuration may hold by default (100 audiences of 10 filters of mixed kinds over the same
//   events and user properties), so every bundle also evaluates and reports the audiences.
// purchase: a stream of purchases, each changing a lifetime value, so each row has a metadata of
//   its own (as the stored format requires when the user properties change) and travels in a
//   bundle of its own.
// Then the event road of the same shape (EventRoadShapes.h) stores N events through the public API
// in the same run, and the last line compares the two rates.
//
// Lines: shape=... events=N received=N upload_events_per_s=... peak_rss_mb=...
//        audiences=100 events=N received=N upload_events_per_s=... ratio=...   (plain only)
//        shape=... road_events_per_s=... upload_events_per_s=... upload_ratio=...
// upload_ratio is the upload rate over the event road's durable rate: at 1 or more, what the road
// stores leaves the device at least as fast.
#include <httplib.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "APMEngineRegistry.h"
#include "APMAlarm.h"
#include "APMDatabase.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "APMPersistedConfig.h"
#include "APMAudienceComponent.h"
#include "APMScheduler.h"
#include "Audience/APMAudience.h"
#include "DirodaUtilities/Network/VIZUzedaru.h"
#include "RemoteConfig/APMRemoteConfig.h"
#include "Upload/APMRawEventBundler.h"
#include "Upload/APMUploadController.h"
#include "platform/Gzip.h"
#include "platform/Paths.h"
#include "platform/ProcessInfo.h"

#include "EventRoadShapes.h"
#include "UploadedEventCount.h"

namespace {

double peakRSSMegabytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;  // kilobytes on Linux
}

int64_t threadCPUNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

double processCPUSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Counts the events of every batch posted to "/a".
class Collector {
 public:
  Collector() {
    // Read through a content reader: the server library would otherwise parse (and cap) a
    // form-encoded body, which is what the upload's content type says it is.
    server_.Post("/a", [this](const httplib::Request&, httplib::Response& response,
                              const httplib::ContentReader& reader) {
      const int64_t cpuStart = threadCPUNanoseconds();
      platform::Data body;
      reader([&body](const char* bytes, size_t length) {
        body.insert(body.end(), bytes, bytes + length);
        return true;
      });
      if (body.size() >= 2 && body[0] == 0x1f && body[1] == 0x8b) {
        auto inflated = platform::Gzip::inflate(body);
        if (!inflated) {
          response.status = 400;
          return;
        }
        body = std::move(*inflated);
      }
      const auto events = benchupload::uploadedEventCount(body);
      if (!events) {
        response.status = 400;
        return;
      }
      received_ += *events;
      ++batches_;
      response.status = 204;
      cpuNanoseconds_ += threadCPUNanoseconds() - cpuStart;
    });
    // As a collector in service: a connection serves request after request while they come
    // back to back, and one left idle goes after a second (stopping waits that long at most).
    server_.set_keep_alive_max_count(1000000);
    server_.set_keep_alive_timeout(1);
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~Collector() {
    server_.stop();
    thread_.join();
  }
  int port() const { return port_; }
  int64_t received() const { return received_.load(); }
  int64_t batches() const { return batches_.load(); }
  // The CPU the collector spent receiving, gunzipping and counting.
  double cpuSeconds() const { return static_cast<double>(cpuNanoseconds_.load()) / 1e9; }

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  std::atomic<int64_t> received_{0};
  std::atomic<int64_t> batches_{0};
  std::atomic<int64_t> cpuNanoseconds_{0};
};

// Audiences over the benchmark's events ("level_start", "level_end", "select_content", "tap", "_e"
// with "level" 0-49 and "screen" "main") and user properties ("tier", "score"): per audience six
// static event filters (numbers, texts, a regular expression, a list, a complement), an event count,
// a dynamic and a sequence event filter on one level each, and a dynamic property filter.
using FilterMessage = std::shared_ptr<APMPBFilter>;

std::shared_ptr<APMPBNumberFilter> numberFilter(int32_t type, const std::string& value, const std::string& max = "") {
  auto filter = APMPBNumberFilter::initWithMessageInfo();
  APMNanoSetInt32(*filter, APMPBNumberFilter::kComparisonType, type);
  if (type == 4) {
    APMNanoSetString(*filter, APMPBNumberFilter::kMinComparisonValue, value);
    APMNanoSetString(*filter, APMPBNumberFilter::kMaxComparisonValue, max);
  } else {
    APMNanoSetString(*filter, APMPBNumberFilter::kComparisonValue, value);
  }
  return filter;
}

FilterMessage parameterFilter(const std::string& parameter, std::shared_ptr<APMPBNumberFilter> number,
                              std::shared_ptr<APMPBStringFilter> string = nullptr, bool complement = false) {
  auto filter = APMPBFilter::initWithMessageInfo();
  APMNanoSetString(*filter, APMPBFilter::kParamName, parameter);
  if (number) APMNanoSetMessage(*filter, APMPBFilter::kNumberFilter, number);
  if (string) APMNanoSetMessage(*filter, APMPBFilter::kStringFilter, string);
  if (complement) APMNanoSetBool(*filter, APMPBFilter::kComplement, true);
  return filter;
}

std::shared_ptr<APMPBStringFilter> stringFilter(int32_t type, const std::string& expression,
                                                std::vector<std::string> list = {}) {
  auto filter = APMPBStringFilter::initWithMessageInfo();
  APMNanoSetInt32(*filter, APMPBStringFilter::kMatchType, type);
  if (type == 6) {
    APMNanoSetRepeatedField(*filter, APMPBStringFilter::kExpressionList, list);
  } else {
    APMNanoSetString(*filter, APMPBStringFilter::kExpression, expression);
  }
  return filter;
}

std::shared_ptr<APMPBEventFilter> eventFilter(int32_t id, const std::string& name, std::vector<FilterMessage> filters,
                                              int kind = 0, std::shared_ptr<APMPBNumberFilter> count = nullptr) {
  auto filter = APMPBEventFilter::initWithMessageInfo();
  APMNanoSetInt32(*filter, APMPBEventFilter::kFilterId, id);
  APMNanoSetString(*filter, APMPBEventFilter::kEventName, name);
  if (!filters.empty()) APMNanoSetRepeatedField(*filter, APMPBEventFilter::kFilters, filters);
  if (count) APMNanoSetMessage(*filter, APMPBEventFilter::kEventCountFilter, count);
  if (kind == 1) APMNanoSetBool(*filter, APMPBEventFilter::kDynamic, true);
  if (kind == 2) APMNanoSetBool(*filter, APMPBEventFilter::kSequence, true);
  return filter;
}

std::vector<std::shared_ptr<APMPBAudience>> benchAudiences(int32_t count) {
  const char* names[] = {"level_start", "level_end", "select_content", "tap", "_e"};
  std::vector<std::shared_ptr<APMPBAudience>> audiences;
  for (int32_t a = 0; a < count; ++a) {
    const std::string level = std::to_string(a % 50);
    const std::string name = names[a % 5];
    std::vector<std::shared_ptr<APMPBEventFilter>> events = {
        eventFilter(0, "level_start", {parameterFilter("level", numberFilter(2, level))}),
        eventFilter(1, "level_end", {parameterFilter("level", numberFilter(4, level, std::to_string(a % 50 + 5)))}),
        eventFilter(2, "select_content", {parameterFilter("screen", nullptr, stringFilter(5, "MAIN"))}),
        eventFilter(3, "tap", {parameterFilter("screen", nullptr, stringFilter(1, "^ma.n$"))}),
        eventFilter(4, name, {parameterFilter("screen", nullptr, stringFilter(6, "", {"home", "main"}))}),
        eventFilter(5, name, {parameterFilter("screen", nullptr, stringFilter(2, "settings"), true)}),
        eventFilter(6, name, {}, 0, numberFilter(2, std::to_string(a * 10))),
        eventFilter(7, name, {parameterFilter("level", numberFilter(3, level))}, 1),
        eventFilter(8, names[(a + 1) % 5], {parameterFilter("level", numberFilter(3, std::to_string((a + 7) % 50)))}, 2),
    };
    auto property = APMPBPropertyFilter::initWithMessageInfo();
    APMNanoSetInt32(*property, APMPBPropertyFilter::kFilterId, 9);
    APMNanoSetString(*property, APMPBPropertyFilter::kPropertyName, a % 2 ? "tier" : "score");
    auto inner = APMPBFilter::initWithMessageInfo();
    if (a % 2) {
      APMNanoSetMessage(*inner, APMPBFilter::kStringFilter, stringFilter(4, "ol"));
    } else {
      APMNanoSetMessage(*inner, APMPBFilter::kNumberFilter, numberFilter(2, std::to_string(a)));
    }
    APMNanoSetMessage(*property, APMPBPropertyFilter::kFilter, inner);
    APMNanoSetBool(*property, APMPBPropertyFilter::kDynamic, true);
    auto audience = APMPBAudience::initWithMessageInfo();
    APMNanoSetInt32(*audience, APMPBAudience::kAudienceId, a + 1);
    APMNanoSetRepeatedField(*audience, APMPBAudience::kEventFilters, events);
    APMNanoSetRepeatedField(*audience, APMPBAudience::kPropertyFilters,
                            std::vector<std::shared_ptr<APMPBPropertyFilter>>{property});
    audiences.push_back(std::move(audience));
  }
  return audiences;
}

struct RunResult {
  int64_t received = 0;
  int64_t batches = 0;
  double seconds = 0;
  double collectorCPUSeconds = 0;
  double processCPUSeconds = 0;  // the collector's included
};

// The metadata of the stored rows: one for every row, or one per row for a purchase stream.
std::shared_ptr<APMPBMeasurementBundle> benchMetadata(double start, std::optional<int64_t> purchase) {
  auto metadata = APMPBMeasurementBundle::initWithMessageInfo();
  APMNanoSetString(*metadata, APMPBMeasurementBundle::kAppId, std::string("com.example.bench"));
  APMNanoSetString(*metadata, APMPBMeasurementBundle::kPlatform, std::string("macos"));
  std::vector<std::shared_ptr<APMPBUserAttribute>> attributes = {
      APMUserAttribute("app", "tier", APMValue("gold"), start).protoUserAttribute(),
      APMUserAttribute("app", "score", APMValue(int64_t{60}), start).protoUserAttribute()};
  if (purchase) {
    // The lifetime value after this purchase, in micros of the currency.
    const int64_t micros = (*purchase + 1) * 9990000;
    attributes.push_back(APMUserAttribute("auto", "_ltv_USD", APMValue(micros), start).protoUserAttribute());
  }
  APMNanoSetRepeatedField(*metadata, APMPBMeasurementBundle::kUserAttributes, attributes);
  return metadata;
}

// Stores total rows of the shape: the plain rows under one metadata, each purchase under its own.
bool storeRows(APMDatabase& database, eventroad::Shape shape, int64_t total, double start, platform::Error* error) {
  const bool purchases = shape == eventroad::Shape::Purchase;
  int64_t fingerprint = 0;
  if (!purchases) {
    auto metadata = benchMetadata(start, std::nullopt);
    database.rawEvents().insertIfNotExistsRawEventMetadata(*metadata, error);
    fingerprint = APMDatabaseRawEvents::metadataFingerprint(*metadata);
  }
  const char* names[] = {"level_start", "level_end", "select_content", "tap", "_e"};
  return database.performTransaction([&] {
    for (int64_t i = 0; i < total; ++i) {
      APMParameters parameters;
      std::string name;
      if (purchases) {
        auto metadata = benchMetadata(start, i);
        if (!database.rawEvents().insertIfNotExistsRawEventMetadata(*metadata, error)) return false;
        fingerprint = APMDatabaseRawEvents::metadataFingerprint(*metadata);
        parameters = APMParametersFromDictionary(eventroad::itemParameters(i));
        name = "purchase";
      } else {
        parameters.emplace("level", APMValue(int64_t{i % 50}));
        parameters.emplace("screen", APMValue(std::string("main")));
        name = names[i % 5];
      }
      // Spread over hours so bundles end on hour boundaries as well as on the limits.
      auto event = APMEvent::create("app", true, name, start + static_cast<double>(i) * 0.05, 0, parameters);
      if (!database.rawEvents().insertRawEvent(*event, fingerprint, false, error)) return false;
    }
    return true;
  }, error);
}

// A fresh folder under the temporary directory, removed with everything in it when the run ends,
// whichever way it ends.
class ScratchDirectory {
 public:
  explicit ScratchDirectory(const char* prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
    if (mkdtemp(pattern.data())) path_ = pattern;
  }
  ~ScratchDirectory() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// One upload of total stored events into a fresh data directory; none when the setup failed.
std::optional<RunResult> runUpload(eventroad::Shape shape, int64_t total, int32_t audienceCount) {
  const ScratchDirectory scratch("bench-upload");
  if (scratch.path().empty()) return std::nullopt;
  const std::string& directory = scratch.path();
  platform::Paths::setDataDirectory(directory);

  Collector collector;
  platform::Reachability::setReachable(true);
  APMRemoteConfigNetwork::setAnalyticsServiceHost("127.0.0.1:" + std::to_string(collector.port()));
  APMRemoteConfigNetwork::setAnalyticsServiceScheme("http");

  // One level down, as the SDK keeps its files: a preferences write that comes after the folder has
  // gone finds no data directory and writes nothing, where one at the top would create it again.
  auto persisted = std::make_shared<APMPersistedConfig>(directory + "/measurement/persisted.plist");
  auto scheduler = std::make_shared<APMScheduler>(APMScheduler::kMeasurementWorkerQueueLabel);
  auto alarm = std::make_shared<APMAlarm>(scheduler->workerQueue(), "Measurement timer");
  auto network = std::make_shared<VIZUzedaru>("127.0.0.1");
  std::shared_ptr<APMDatabase> database;
  std::shared_ptr<APMUploadController> controller;
  const double start = 1700000000.0 - 1700000000 % 3600;
  bool audiencesStored = true;
  bool rowsStored = false;

  scheduler->workerQueue()->sync([&] {
    platform::Error error;
    database = APMDatabase::create(APMDatabase::kDatabaseName, persisted, scheduler->workerQueue(), &error);
    if (!database) return;
    database->storedConfig().updateRemoteConfig(*APMPBMeasurementConfig::initWithMessageInfo(), &error);
    database->setLimitsProvider([total] {
      APMDatabaseLimits limits;
      limits.maxEventsStored = total + 1;
      limits.maxQueueTime = 1e12;
      return limits;
    });
    rowsStored = storeRows(*database, shape, total, start, &error);
    auto config = APMRemoteConfig::create("1:1234:ios:abcd", database, persisted);
    APMBundlingHooks bundling;
    if (audienceCount > 0) {
      APMAudience audience(database, [config] { return config; });
      audiencesStored = database->performTransaction([&] { return audience.updateAudiences(benchAudiences(audienceCount)); },
                                                     &error);
      APMAudienceComponent().addBundlingHooks(database, bundling);
    }
    auto bundler = std::make_shared<APMRawEventBundler>(database, config, persisted, bundling);
    APMUploadHooks hooks;
    hooks.bundleRawEvents = [bundler] { return bundler->bundleRawEvents() == APMRawEventBundler::Result::Bundled; };
    // As the engine wires it: several groups per transaction.
    hooks.bundleRawEventGroups = [bundler](int32_t limit, const std::function<bool()>& enough) {
      const auto run = bundler->bundleRawEventGroups(static_cast<size_t>(std::max(limit, 0)), enough);
      return APMUploadHooks::BundlingStep{static_cast<int32_t>(run.bundled),
                                          run.last != APMRawEventBundler::Result::Bundled};
    };
    controller = std::make_shared<APMUploadController>(database, config, persisted, network, scheduler, alarm, hooks);
  });
  if (!controller || !audiencesStored || !rowsStored) return std::nullopt;

  const auto begin = std::chrono::steady_clock::now();
  const double cpuBegin = processCPUSeconds();
  scheduler->workerQueue()->async([controller] { controller->uploadData(); });
  const auto deadline = begin + std::chrono::minutes(10);
  while (collector.received() < total && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  RunResult result;
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  result.processCPUSeconds = processCPUSeconds() - cpuBegin;
  result.collectorCPUSeconds = collector.cpuSeconds();
  // The last reply is handled before the road goes: it writes the upload schedule's timestamps,
  // which would otherwise reach the preferences after their folder is removed.
  const auto replyDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (network->hasUploadInProgress() && std::chrono::steady_clock::now() < replyDeadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  scheduler->workerQueue()->sync([&] {
    alarm->cancel();
    controller.reset();
    database.reset();
  });
  result.received = collector.received();
  result.batches = collector.batches();
  // What the run changed reaches the file now rather than in a delayed write after the folder is removed.
  persisted->synchronizeToDisk();
  return result;
}


// The event road of the shape in a fresh data directory: its durable rate, or none.
std::optional<double> roadRate(eventroad::Shape shape, int64_t events) {
  const ScratchDirectory scratch("bench-upload-road");
  if (scratch.path().empty()) return std::nullopt;
  auto engine = eventroad::startSDK(scratch.path());
  if (!engine || !eventroad::raiseLimits(engine, events)) return std::nullopt;
  eventroad::Run run;
  {
    eventroad::RowCounter counter(APMApplicationSupportPath(APMDatabase::kDatabaseName), shape);
    run = eventroad::runSDK(shape, events, counter);
  }
  engine.reset();
  APMEngineRegistry::resetSharedInstanceForTesting();
  if (run.stored != events) return std::nullopt;
  return run.eventsPerSecond();
}

int usage(const char* program) {
  std::fprintf(stderr, "usage: %s [--shape plain|purchase] [--events N]\n", program);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  platform::ProcessInfo::setArguments(std::vector<std::string>(argv, argv + argc));
  int64_t total = 200000;
  eventroad::Shape shape = eventroad::Shape::Plain;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--events") == 0 && i + 1 < argc) {
      total = std::strtoll(argv[++i], nullptr, 10);
    } else if (std::strcmp(argv[i], "--shape") == 0 && i + 1 < argc) {
      auto named = eventroad::shapeNamed(argv[++i]);
      if (!named || *named == eventroad::Shape::Mixed) return usage(argv[0]);
      shape = *named;
    } else {
      return usage(argv[0]);
    }
  }
  if (total <= 0) return usage(argv[0]);
  constexpr int32_t kAudiences = 100;

  auto plain = runUpload(shape, total, 0);
  if (!plain) {
    std::fprintf(stderr, "bench-upload: could not set up the database\n");
    return 1;
  }
  const double uploadRate = static_cast<double>(plain->received) / plain->seconds;
  // The SDK's CPU is the process's less the collector's (the waiting thread sleeps).
  const double perBatch = 1000.0 / static_cast<double>(std::max<int64_t>(plain->batches, 1));
  std::printf("batches=%lld seconds=%.3f collector_cpu_ms_per_batch=%.2f sdk_cpu_ms_per_batch=%.2f\n",
              static_cast<long long>(plain->batches), plain->seconds, plain->collectorCPUSeconds * perBatch,
              (plain->processCPUSeconds - plain->collectorCPUSeconds) * perBatch);
  std::printf("shape=%s events=%lld received=%lld upload_events_per_s=%.0f peak_rss_mb=%.1f\n",
              eventroad::shapeName(shape), static_cast<long long>(total), static_cast<long long>(plain->received),
              uploadRate, peakRSSMegabytes());
  std::fflush(stdout);

  bool complete = plain->received == total;
  if (shape == eventroad::Shape::Plain) {
    auto withAudiences = runUpload(shape, total, kAudiences);
    if (!withAudiences) {
      std::fprintf(stderr, "bench-upload: could not set up the audiences\n");
      return 1;
    }
    const double audienceRate = static_cast<double>(withAudiences->received) / withAudiences->seconds;
    std::printf("audiences=%d events=%lld received=%lld upload_events_per_s=%.0f ratio=%.2f\n", kAudiences,
                static_cast<long long>(total), static_cast<long long>(withAudiences->received), audienceRate,
                audienceRate / uploadRate);
    std::fflush(stdout);
    complete = complete && withAudiences->received == total;
  }

  const auto road = roadRate(shape, total);
  if (!road) {
    std::fprintf(stderr, "bench-upload: the event road did not store every event\n");
    return 1;
  }
  std::printf("shape=%s road_events_per_s=%.0f upload_events_per_s=%.0f upload_ratio=%.2f\n",
              eventroad::shapeName(shape), *road, uploadRate, uploadRate / *road);
  std::fflush(stdout);
  std::_Exit(complete ? 0 : 1);
}
