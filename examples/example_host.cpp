// The example host: an application that uses the SDK end to end. It configures the SDK from the
// example service plist, logs a few events and user properties as a desktop companion application
// would, and runs its main queue until the SDK's upload has been received.
//
// By default everything goes to a collector embedded here on 127.0.0.1: it serves the measurement
// configuration of measurement_config.txt and prints each upload it receives (bundles, events with
// their parameters, user properties). With --service-url URL (or MEASUREMENT_SERVICE_URL=URL) the
// SDK talks to that server instead: configuration from URL + "/config/app/<app ID>", uploads to
// URL + "/a".
//
// Exit status 0 when an upload carrying the logged events was accepted.
#include <httplib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <stdexcept>
#include <thread>
#include <vector>

#include "APMMeasurement.h"
#include "APMEngineRegistry.h"
#include "APMMonitor.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "APMPersistedConfig.h"
#include "DUDUravodazo.h"
#include "ExampleConfigService.h"
#include "LoggedAnalyticsModifier.h"
#include "Logger/DULLogger.h"
#include "ROREzo.h"
#include "StoreKitTransactionLogging.h"
#include "ZORCoreVersion.h"
#include "platform/ApplicationNotifications.h"
#include "platform/Clock.h"
#include "platform/DispatchQueue.h"
#include "platform/Gzip.h"
#include "platform/NotificationCenter.h"
#include "platform/StoreProductsProvider.h"

#ifndef EXAMPLE_RESOURCE_DIR
#define EXAMPLE_RESOURCE_DIR "."
#endif

namespace {

constexpr const char* kServiceURLVariable = "MEASUREMENT_SERVICE_URL";
constexpr double kTimeoutSeconds = 90;
constexpr const char* kHostStartingCode = "I-COR000900";

using Bundle = APMPBMeasurementBundle;

std::string describeParameter(const APMPBEventParam& param) {
  if (auto text = APMNanoGetString(param, APMPBEventParam::kStringValue)) return "\"" + *text + "\"";
  if (APMNanoHasField(param, APMPBEventParam::kDoubleValue)) {
    return std::to_string(APMNanoGetDouble(param, APMPBEventParam::kDoubleValue));
  }
  if (APMNanoHasField(param, APMPBEventParam::kIntValue)) {
    return std::to_string(APMNanoGetInt64(param, APMPBEventParam::kIntValue));
  }
  auto items = APMNanoGetRepeatedField<std::shared_ptr<APMPBEventParamItem>>(param, APMPBEventParam::kArrayValue);
  return "[" + std::to_string(items ? items->size() : 0) + " items]";
}

std::string describeUserProperty(const APMPBUserAttribute& attribute) {
  if (auto text = APMNanoGetString(attribute, APMPBUserAttribute::kStringValue)) return "\"" + *text + "\"";
  if (APMNanoHasField(attribute, APMPBUserAttribute::kDoubleValue)) {
    return std::to_string(APMNanoGetDouble(attribute, APMPBUserAttribute::kDoubleValue));
  }
  return std::to_string(APMNanoGetInt64(attribute, APMPBUserAttribute::kIntValue));
}

// Prints one batch readably; the names of the public events it carries.
std::vector<std::string> printBatch(const APMPBMeasurementBatch& batch) {
  std::vector<std::string> publicEvents;
  auto bundles = APMNanoGetRepeatedField<std::shared_ptr<Bundle>>(batch, APMPBMeasurementBatch::kBundles)
                     .value_or(std::vector<std::shared_ptr<Bundle>>{});
  std::printf("collector: batch of %zu bundle(s)\n", bundles.size());
  for (size_t i = 0; i < bundles.size(); ++i) {
    const Bundle& bundle = *bundles[i];
    std::printf("  bundle %zu: app %s, %s %s, app version %s, index %d, delivery %d, %lld..%lld ms\n", i + 1,
                APMNanoGetString(bundle, Bundle::kAppId).value_or("?").c_str(),
                APMNanoGetString(bundle, Bundle::kPlatform).value_or("?").c_str(),
                APMNanoGetString(bundle, Bundle::kOsVersion).value_or("?").c_str(),
                APMNanoGetString(bundle, Bundle::kAppVersion).value_or("?").c_str(),
                APMNanoGetInt32(bundle, Bundle::kBundleSequentialIndex),
                APMNanoGetInt32(bundle, Bundle::kDeliveryIndex),
                static_cast<long long>(APMNanoGetInt64(bundle, Bundle::kStartTimestampMillis)),
                static_cast<long long>(APMNanoGetInt64(bundle, Bundle::kEndTimestampMillis)));
    auto events = APMNanoGetRepeatedField<std::shared_ptr<APMPBEvent>>(bundle, Bundle::kEvents)
                      .value_or(std::vector<std::shared_ptr<APMPBEvent>>{});
    for (const auto& event : events) {
      const std::string name = APMNanoGetString(*event, APMPBEvent::kName).value_or("");
      std::string line = "    event " + name + " @" + std::to_string(APMNanoGetInt64(*event, APMPBEvent::kTimestampMillis));
      auto params = APMNanoGetRepeatedField<std::shared_ptr<APMPBEventParam>>(*event, APMPBEvent::kParams)
                        .value_or(std::vector<std::shared_ptr<APMPBEventParam>>{});
      for (const auto& param : params) {
        line += " " + APMNanoGetString(*param, APMPBEventParam::kName).value_or("?") + "=" + describeParameter(*param);
      }
      std::printf("%s\n", line.c_str());
      if (!name.empty() && name[0] != '_') publicEvents.push_back(name);
    }
    auto properties = APMNanoGetRepeatedField<std::shared_ptr<APMPBUserAttribute>>(bundle, Bundle::kUserAttributes)
                          .value_or(std::vector<std::shared_ptr<APMPBUserAttribute>>{});
    for (const auto& property : properties) {
      std::printf("    user property %s = %s\n", APMNanoGetString(*property, APMPBUserAttribute::kName).value_or("?").c_str(),
                  describeUserProperty(*property).c_str());
    }
  }
  std::fflush(stdout);
  return publicEvents;
}

// The embedded collector: configuration service plus the upload endpoint.
class Collector {
 public:
  explicit Collector(const std::string& configPath) {
    example::serveConfiguration(server_, configPath, [](int status, int64_t version) {
      std::printf("collector: configuration request answered %d (version %lld)\n", status,
                  static_cast<long long>(version));
    });
    // A content reader keeps the server library from parsing (and capping) the body as a form,
    // which is the content type the upload declares.
    server_.Post("/a", [this](const httplib::Request& request, httplib::Response& response,
                              const httplib::ContentReader& reader) {
      platform::Data body;
      reader([&body](const char* bytes, size_t length) {
        body.insert(body.end(), bytes, bytes + length);
        return true;
      });
      std::printf("collector: POST %s, Content-Encoding %s, %zu bytes\n", request.path.c_str(),
                  request.get_header_value("Content-Encoding").c_str(), body.size());
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
        std::printf("collector: the body is not a measurement batch\n");
        response.status = 400;
        return;
      }
      auto names = printBatch(*batch);
      std::lock_guard<std::mutex> lock(mutex_);
      received_.insert(received_.end(), names.begin(), names.end());
      response.status = 204;
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    if (port_ < 0) throw std::runtime_error("the collector cannot listen on 127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~Collector() {
    server_.stop();
    thread_.join();
  }
  int port() const { return port_; }
  std::vector<std::string> receivedEvents() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  std::mutex mutex_;
  std::vector<std::string> received_;
};

// "--service-url URL" or the environment variable; none for the embedded collector.
std::optional<std::string> serviceURL(int argc, char** argv) {
  const std::string option = "--service-url";
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == option && i + 1 < argc) return std::string(argv[i + 1]);
    if (argument.rfind(option + "=", 0) == 0) return argument.substr(option.size() + 1);
  }
  if (const char* url = std::getenv(kServiceURLVariable); url && *url) return std::string(url);
  return std::nullopt;
}

// Splits "http://host:port/prefix" into the scheme and the rest, which the SDK puts before
// "/a" and "/config/app/…". None for a URL that is not http(s).
std::optional<DUDUravodazoServiceEndpoint> serviceEndpoint(std::string url) {
  while (!url.empty() && url.back() == '/') url.pop_back();
  const auto separator = url.find("://");
  if (separator == std::string::npos) return std::nullopt;
  DUDUravodazoServiceEndpoint endpoint{url.substr(separator + 3), url.substr(0, separator)};
  if ((endpoint.scheme != "http" && endpoint.scheme != "https") || endpoint.host.empty()) return std::nullopt;
  return endpoint;
}

// The application's store catalog, as its store would describe what it sells: purchases are
// priced from here.
class ExampleStore final : public platform::StoreProductsProvider {
 public:
  void requestProducts(const std::set<std::string>& identifiers, Completion completion) override {
    std::vector<platform::StoreProduct> found;
    std::set<std::string> unknown;
    for (const auto& identifier : identifiers) {
      if (identifier == "support_coin") {
        found.push_back({"support_coin", "2.99", "EUR", "Support Coin", std::nullopt});
      } else {
        unknown.insert(identifier);
      }
    }
    completion(std::move(found), std::move(unknown), std::nullopt);
  }
};

// What a desktop companion application reports about a short session.
void logExampleSession() {
  DUDUravodazo::setUserPropertyString(platform::Object("gorilla"), "character_kind");
  DUDUravodazo::setUserPropertyString(platform::Object("summer_hat"), "accessory");
  DUDUravodazo::logEventWithName("app_launched", {{"launch_mode", platform::Object("menu_bar")}});
  DUDUravodazo::logEventWithName("setting_changed", {{"setting", platform::Object("walk_speed")},
                                                     {"value", platform::Object(1.5)}});
  DUDUravodazo::logEventWithName("companion_clicked", {{"hearts", platform::Object(3)}});
  DUDUravodazo::logEventWithName("rampage_triggered", {{"screens", platform::Object(2)},
                                                       {"trigger_presses", platform::Object(5)}});
  DUDUravodazo::logEventWithName("purchase_completed", {{"item", platform::Object("support_coin")},
                                                        {"value", platform::Object(2.99)},
                                                        {"currency", platform::Object("EUR")}});
  // The same coin as the store reports it, verified by the store: the automatic purchase event "_iap"
  // (priced from the catalog) that also adds to the lifetime value "_ltv_EUR".
  StoreKitTransaction coin;
  coin.id = 2000000000000001;
  coin.originalID = coin.id;
  coin.productID = "support_coin";
  coin.productType = StoreKitProductType::Consumable;
  coin.purchaseDate = platform::now();
  coin.originalPurchaseDate = coin.purchaseDate;
  coin.environment = "Production";
  coin.isVerified = true;
  logStoreKitTransaction(coin);
  // The settings window appeared.
  loggedAnalyticsScreen("Settings", "SettingsWindow", {{"tab", platform::Object("general")}}).onAppear();
  // Blocked by the example configuration: never stored, never sent.
  DUDUravodazo::logEventWithName("debug_probe");
}

// Whether the SDK recorded a successful upload (read on its worker queue).
bool sdkUploadSucceeded(double since) {
  auto engine = APMEngineRegistry::sharedInstance();
  if (!engine) return false;
  bool succeeded = false;
  engine->setup().scheduler->workerQueue()->sync(
      [&] { succeeded = engine->setup().persistedConfig->uploadSchedule().lastSuccessfulUploadTimestamp() >= since; });
  return succeeded;
}

}  // namespace

int main(int argc, char** argv) {
  DUDUravodazoSetup setup;
  // Debug mode shortens the SDK's upload delays to about a second, so the example finishes fast.
  setup.launchArguments.assign(argv, argv + argc);
  setup.launchArguments.emplace_back("-DUDUravodazoDebugEnabled");

  // Keep the example's files out of the user's data directory.
  std::string dataDirectory = (std::filesystem::temp_directory_path() / "example-host-XXXXXX").string();
  if (!mkdtemp(dataDirectory.data())) return 1;
  setup.dataDirectory = dataDirectory;

  // The application bundle: identity, version and the service plist.
  setup.resourceDirectory = EXAMPLE_RESOURCE_DIR;
  setup.application = {"com.example.companion", "2.4.0", "240"};
  // The store catalog purchases are priced from.
  setup.storeProducts = std::make_shared<ExampleStore>();

  std::optional<Collector> collector;
  const auto external = serviceURL(argc, argv);
  if (external) {
    auto endpoint = serviceEndpoint(*external);
    if (!endpoint) {
      std::fprintf(stderr, "example host: not an http(s) URL: %s\n", external->c_str());
      return 2;
    }
    setup.analyticsService = *endpoint;
    std::printf("example host: sending to %s (uploads to %s/a)\n", external->c_str(), external->c_str());
  } else {
    try {
      collector.emplace(std::string(EXAMPLE_RESOURCE_DIR) + "/measurement_config.txt");
    } catch (const std::exception& failure) {
      std::fprintf(stderr, "example host: %s\n", failure.what());
      return 1;
    }
    setup.analyticsService = {"127.0.0.1:" + std::to_string(collector->port()), "http"};
    std::printf("example host: embedded collector on 127.0.0.1:%d\n", collector->port());
  }

  DUDUravodazo::setUp(setup);

  DULLoggerSetLevel(DULLoggerLevel::kInfo);
  DULLoggerLogMessage(DULLoggerLevel::kNotice, kDULLoggerCoreService, kDULLoggerCoreTag, false, kHostStartingCode,
                      "Example host starting, core platform " + std::string(ZORCoreVersion));

  const double started = platform::now();
  // A desktop application reports its launch (nothing opened it here) before it configures the SDK,
  // and becomes active afterwards.
  platform::NotificationCenter::defaultCenter().post(platform::kApplicationDidFinishLaunchingNotification);
  try {
    ROREzo::configure();
  } catch (const platform::Exception& exception) {
    std::fprintf(stderr, "example host: %s\n", exception.what());
    return 1;
  }
  std::printf("default app configured: %s\n", ROREzo::isDefaultAppConfigured() ? "yes" : "no");
  DUDUravodazo::setAnalyticsCollectionEnabled(true);
  platform::NotificationCenter::defaultCenter().post(platform::kApplicationDidBecomeActiveNotification);
  logExampleSession();

  const std::vector<std::string> expected = {"app_launched", "setting_changed", "companion_clicked",
                                             "rampage_triggered", "purchase_completed"};
  auto delivered = [&] {
    if (!collector) return sdkUploadSucceeded(started);
    auto received = collector->receivedEvents();
    for (const auto& name : expected) {
      if (std::find(received.begin(), received.end(), name) == received.end()) return false;
    }
    return true;
  };
  platform::DispatchQueue::main()->runUntil(delivered, kTimeoutSeconds);
  bool ok = delivered();
  if (collector) {
    auto received = collector->receivedEvents();
    ok = ok && std::find(received.begin(), received.end(), "debug_probe") == received.end();
  }

  APMMonitor::shared()->flush();
  DULLoggerFlush();
  collector.reset();
  std::error_code ignored;
  std::filesystem::remove_all(dataDirectory, ignored);
  std::printf("%s\n", ok ? "example host: upload received" : "example host: FAILED, no upload was received in time");
  return ok ? 0 : 1;
}
