// bench-upload: how fast stored raw events leave the device. Stores N raw-event rows, then times
// the upload road (bundling, batch building, gzip, POST) until a collector on 127.0.0.1 has
// received and decoded every event. Memory is bounded by the bundle and batch limits, not by N.
//
//   bench-upload [events]   (default 200000)
// Last line: events=N received=N upload_events_per_s=... peak_rss_mb=...
#include <httplib.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "APMAlarm.h"
#include "APMDatabase.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "APMPersistedConfig.h"
#include "APMScheduler.h"
#include "DirodaUtilities/Network/VIZUzedaru.h"
#include "RemoteConfig/APMRemoteConfig.h"
#include "Upload/APMRawEventBundler.h"
#include "Upload/APMUploadController.h"
#include "platform/Gzip.h"
#include "platform/Paths.h"
#include "platform/ProcessInfo.h"

namespace {

double peakRSSMegabytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;  // kilobytes on Linux
}

// Counts the events of every batch posted to "/a".
class Collector {
 public:
  Collector() {
    // Read through a content reader: the server library would otherwise parse (and cap) a
    // form-encoded body, which is what the upload's content type says it is.
    server_.Post("/a", [this](const httplib::Request&, httplib::Response& response,
                              const httplib::ContentReader& reader) {
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
      auto batch = APMPBMeasurementBatch::fromBuffer(body);
      if (!batch) {
        response.status = 400;
        return;
      }
      // Counted in the decoded struct: the accessors would copy every event just to count it.
      int64_t events = 0;
      const auto& raw = batch->nano();
      for (pb_size_t i = 0; i < raw.bundles_count; ++i) events += raw.bundles[i].events_count;
      received_ += events;
      ++batches_;
      response.status = 204;
    });
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

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  std::atomic<int64_t> received_{0};
  std::atomic<int64_t> batches_{0};
};

}  // namespace

int main(int argc, char** argv) {
  platform::ProcessInfo::setArguments(std::vector<std::string>(argv, argv + argc));
  const int64_t total = argc > 1 ? std::strtoll(argv[1], nullptr, 10) : 200000;
  std::string directory = (std::filesystem::temp_directory_path() / "bench-upload-XXXXXX").string();
  if (!mkdtemp(directory.data())) return 1;
  platform::Paths::setDataDirectory(directory);

  Collector collector;
  APMRemoteConfig::setAnalyticsServiceHost("127.0.0.1:" + std::to_string(collector.port()));
  APMRemoteConfig::setAnalyticsServiceScheme("http");

  auto persisted = APMPersistedConfig::sharedInstance();
  auto scheduler = std::make_shared<APMScheduler>(APMScheduler::kMeasurementWorkerQueueLabel);
  auto alarm = std::make_shared<APMAlarm>(scheduler->workerQueue(), "Measurement timer");
  auto network = std::make_shared<VIZUzedaru>("127.0.0.1");
  std::shared_ptr<APMDatabase> database;
  std::shared_ptr<APMUploadController> controller;
  const double start = 1700000000.0 - 1700000000 % 3600;

  scheduler->workerQueue()->sync([&] {
    platform::Error error;
    database = APMDatabase::create(APMDatabase::kDatabaseName, persisted, scheduler->workerQueue(), &error);
    if (!database) return;
    database->updateRemoteConfig(*APMPBMeasurementConfig::initWithMessageInfo(), &error);
    database->setLimitsProvider([total] {
      APMDatabaseLimits limits;
      limits.maxEventsStored = total + 1;
      limits.maxQueueTime = 1e12;
      return limits;
    });
    auto metadata = APMPBMeasurementBundle::initWithMessageInfo();
    APMNanoSetString(*metadata, APMPBMeasurementBundle::kAppId, std::string("com.example.bench"));
    APMNanoSetString(*metadata, APMPBMeasurementBundle::kPlatform, std::string("macos"));
    database->insertIfNotExistsRawEventMetadata(*metadata, &error);
    const int64_t fingerprint = APMDatabase::metadataFingerprint(*metadata);
    const char* names[] = {"level_start", "level_end", "select_content", "tap", "_e"};
    database->performTransaction([&] {
      for (int64_t i = 0; i < total; ++i) {
        APMParameters parameters;
        parameters.emplace("level", APMValue(int64_t{i % 50}));
        parameters.emplace("screen", APMValue(std::string("main")));
        // Spread over hours so bundles end on hour boundaries as well as on the limits.
        auto event = APMEvent::create("app", true, names[i % 5], start + static_cast<double>(i) * 0.05, 0, parameters);
        if (!database->insertRawEvent(*event, fingerprint, false, &error)) return false;
      }
      return true;
    }, &error);
    auto config = APMRemoteConfig::create("1:1234:ios:abcd", database, persisted);
    auto bundler = std::make_shared<APMRawEventBundler>(database, config, persisted, APMBundlingHooks{});
    APMUploadHooks hooks;
    hooks.bundleRawEvents = [bundler] { return bundler->bundleRawEvents() == APMRawEventBundler::Result::Bundled; };
    controller = std::make_shared<APMUploadController>(database, config, persisted, network, scheduler, alarm, hooks);
  });
  if (!controller) {
    std::fprintf(stderr, "bench-upload: could not set up the database\n");
    return 1;
  }

  const auto begin = std::chrono::steady_clock::now();
  scheduler->workerQueue()->async([controller] { controller->uploadData(); });
  const auto deadline = begin + std::chrono::minutes(10);
  while (collector.received() < total && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  scheduler->workerQueue()->sync([&] {
    alarm->cancel();
    controller.reset();
    database.reset();
  });

  std::error_code ignored;
  std::filesystem::remove_all(directory, ignored);
  std::printf("batches=%lld seconds=%.3f\n", static_cast<long long>(collector.batches()), seconds);
  std::printf("events=%lld received=%lld upload_events_per_s=%.0f peak_rss_mb=%.1f\n", static_cast<long long>(total),
              static_cast<long long>(collector.received()), static_cast<double>(collector.received()) / seconds,
              peakRSSMegabytes());
  return collector.received() == total ? 0 : 1;
}
