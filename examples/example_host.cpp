// A small host program that drives the SDK: it configures the core platform, logs through the
// core logger and the measurement monitor, and posts a gzip-compressed upload from the measurement
// worker queue to a collector it runs itself on 127.0.0.1. Exits 0 when the collector received
// exactly what was sent and answered 200.
#include <httplib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "APMMonitor.h"
#include "APMScheduler.h"
#include "Logger/DULLogger.h"
#include "NSData/NSData+DULGzip.h"
#include "Network/VIZUzedaru.h"
#include "ROREzo.h"
#include "ZORCoreVersion.h"
#include "platform/Bundle.h"
#include "platform/DispatchQueue.h"
#include "platform/Paths.h"
#include "platform/ProcessInfo.h"

namespace {

// Prints the network client's log lines, as the engine would route them to its monitor.
class PrintingNetworkLogger : public VIZUzedaruLoggerDelegate {
 public:
  void VIZUzedaru_logWithLevel(int level, int64_t code, const std::string& message) override {
    std::printf("network [%d] I-NET%06lld %s\n", level, static_cast<long long>(code), message.c_str());
  }
  void VIZUzedaru_logWithLevel(int level, int64_t code, const std::string& message,
                               const platform::Object& context) override {
    std::printf("network [%d] I-NET%06lld %s: %s\n", level, static_cast<long long>(code), message.c_str(),
                context.description().c_str());
  }
  void VIZUzedaru_logWithLevel(int level, int64_t code, const std::string& message,
                               const platform::Array& contexts) override {
    VIZUzedaru_logWithLevel(level, code, message, platform::Object(contexts));
  }
};

// What the collector saw of the one upload.
struct Received {
  std::mutex mutex;
  bool gotUpload = false;
  std::string encoding;
  std::string body;
};

// The collector: inflates gzip bodies (when the server library has not already done so) and prints them.
void serveUploads(httplib::Server& server, Received& received) {
  server.Post("/a", [&](const httplib::Request& request, httplib::Response& response) {
    std::string body = request.body;
    if (body.size() >= 2 && static_cast<unsigned char>(body[0]) == 0x1f && static_cast<unsigned char>(body[1]) == 0x8b) {
      auto inflated = dul_dataByInflatingGzippedData(platform::Data(body.begin(), body.end()));
      if (!inflated) {
        response.status = 400;
        return;
      }
      body.assign(inflated->begin(), inflated->end());
    }
    std::printf("collector: %s %s, Content-Encoding %s, %zu bytes: %s\n", request.method.c_str(), request.path.c_str(),
                request.get_header_value("Content-Encoding").c_str(), body.size(), body.c_str());
    {
      std::lock_guard<std::mutex> lock(received.mutex);
      received.gotUpload = true;
      received.encoding = request.get_header_value("Content-Encoding");
      received.body = body;
    }
    response.status = 200;
  });
}

}  // namespace

int main(int argc, char** argv) {
  platform::ProcessInfo::setArguments(std::vector<std::string>(argv, argv + argc));

  // Keep the example's files out of the user's data directory.
  std::string dataDirectory = (std::filesystem::temp_directory_path() / "example-host-XXXXXX").string();
  if (!mkdtemp(dataDirectory.data())) return 1;
  platform::Paths::setDataDirectory(dataDirectory);

  platform::Bundle::setBundleIdentifier("com.example.host");
  platform::Bundle::setShortVersion("1.0");
  platform::Bundle::setBuildVersion("1");

  DULLoggerSetLevel(DULLoggerLevelInfo);
  DULLoggerLogMessage(DULLoggerLevelNotice, kDULLoggerCoreService, kDULLoggerCoreTag, false, "I-COR000900",
                      "Example host starting, core platform " + std::string(ZORCoreVersion));

  VEZUzaduzo options("1:1234567890:ios:0123456789abcdef", "1234567890");
  options.setBundleID("com.example.host");
  ROREzo::configureWithOptions(options);
  std::printf("default app configured: %s\n", ROREzo::isDefaultAppConfigured() ? "yes" : "no");

  APMMonitor::shared()->logWithLevel(6, 25000, "Example host monitor line. App ID",
                                     ROREzo::defaultApp()->options().dirodaAppID());

  httplib::Server server;
  Received received;
  serveUploads(server, received);
  int port = server.bind_to_any_port("127.0.0.1");
  std::thread serverThread([&] { server.listen_after_bind(); });
  while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));

  auto network = std::make_shared<VIZUzedaru>("127.0.0.1");
  auto networkLogger = std::make_shared<PrintingNetworkLogger>();
  network->setLoggerDelegate(networkLogger);
  network->setTimeoutInterval(10);

  const std::string payload = "en=app_launched&v=1.0&platform=macos";
  long status = 0;
  bool done = false;
  APMScheduler scheduler(APMScheduler::kMeasurementWorkerQueueLabel);
  scheduler.scheduleOnWorkerQueueBlockID("APMMeasurement:1", [&] {
    auto sessionID = network->postURL(
        "http://127.0.0.1:" + std::to_string(port) + "/a", {{"User-Agent", ROREzo::userAgent()}},
        platform::Data(payload.begin(), payload.end()), scheduler.workerQueue(), false,
        [&](const std::optional<platform::HttpResponse>& response, const platform::Data&,
            const std::optional<platform::Error>& error) {
          long code = response ? response->statusCode : 0;
          std::string failure = error ? error->description : "";
          platform::DispatchQueue::main()->async([&, code, failure] {
            status = code;
            if (!failure.empty()) std::printf("upload failed: %s\n", failure.c_str());
            done = true;
          });
        });
    std::printf("upload session: %s\n", sessionID.value_or("(none)").c_str());
  });

  platform::DispatchQueue::main()->runUntil([&] { return done; }, 20);
  std::printf("upload answered with HTTP %ld\n", status);

  server.stop();
  serverThread.join();
  APMMonitor::shared()->flush();
  DULLoggerFlush();

  bool ok;
  {
    std::lock_guard<std::mutex> lock(received.mutex);
    ok = done && status == 200 && received.gotUpload && received.encoding == "gzip" && received.body == payload;
  }
  std::error_code ignored;
  std::filesystem::remove_all(dataDirectory, ignored);
  std::printf("%s\n", ok ? "example host: success" : "example host: FAILED");
  return ok ? 0 : 1;
}
