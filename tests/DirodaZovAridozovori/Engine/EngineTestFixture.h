#pragma once
// A fresh "process" for every engine test: its own data directory, fake clock, persisted
// configuration, identity, consent state, monitor and captured log lines. The engine runs on its
// real worker queue over a real SQLite file; tests wait for it with a synchronous block.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "APMDatabase.h"
#include "APMEngineEventRoad.h"
#include "Upload/APMEngineUploadRoad.h"
#include "APMEventParameters.h"
#include "Logger/DULLogger.h"
#include "StoredRows.h"
#include "TestSupport.h"
#include "DirodaUtilities/Network/VIZUzedaru.h"
#include "platform/Http.h"

namespace enginetest {

class EngineTest : public ::testing::Test, public StoredState {
 protected:
  void SetUp() override {
    resetProcess();
    DULLoggerSetSink([this](const DULLogRecord& record) {
      std::lock_guard<std::mutex> lock(linesMutex_);
      lines_.push_back(record.line);
    });
    // "_err" events take the engine's own road, as the front would route them.
    APMSetInternalEventLogger([this](const std::string& origin, const std::string& name,
                                     const platform::Dictionary& parameters) {
      std::shared_ptr<APMMeasurement> current;
      {
        std::lock_guard<std::mutex> lock(engineMutex_);
        current = engine_;
      }
      if (current) {
        current->eventRoad().logEventWithOrigin(origin, false, name, parameters, platform::now(), {.ignoreInterceptor = true},
                                    nullptr, {});
      }
    });
  }

  void TearDown() override {
    stop();
    APMSetInternalEventLogger(nullptr);
    DULLoggerSetSink(nullptr);
    resetProcess();
  }

  // Creates and starts an engine (the start runs on its worker queue) and waits for it.
  void start(const std::string& appID = kAppID, bool enabled = true, bool deactivated = false,
             std::vector<std::string> safelist = {}) {
    // The front hands the configured app ID to the identity before the engine starts.
    if (auto identity = APMIdentity::sharedInstance()) identity->providedIdentifiers().setAppIDFromDMP(appID);
    std::shared_ptr<APMMeasurement> created;
    if (transport_) {
      auto network = std::make_shared<VIZUzedaru>(APMRemoteConfigNetwork::analyticsServiceHost(), transport_);
      auto scheduler = std::make_shared<APMScheduler>(APMScheduler::kMeasurementWorkerQueueLabel);
      created = APMMeasurement::create({.appID = appID,
                                        .databaseName = APMDatabase::kDatabaseName,
                                        .persistedConfig = APMPersistedConfig::sharedInstance(),
                                        .network = network,
                                        .scheduler = scheduler,
                                        .isAnalyticsCollectionEnabled = enabled,
                                        .isAnalyticsCollectionDeactivated = deactivated,
                                        .safelistedEvents = safelist});
    } else {
      created = APMMeasurement::create(appID, {.isAnalyticsCollectionEnabled = enabled,
                                               .isAnalyticsCollectionDeactivated = deactivated,
                                               .safelistedEvents = safelist});
    }
    ASSERT_TRUE(created);
    {
      std::lock_guard<std::mutex> lock(engineMutex_);
      engine_ = created;
    }
    drain();
  }

  // Ends the "process": waits for the engine, forgets it and every shared instance except the
  // data directory.
  void stop() {
    std::shared_ptr<APMMeasurement> current;
    {
      std::lock_guard<std::mutex> lock(engineMutex_);
      current = std::move(engine_);
      engine_ = nullptr;
    }
    if (!current) return;
    current->setup().scheduler->workerQueue()->sync([] {});
    current.reset();
    APMIdentity::setSharedInstance(nullptr);
    APMIdentifiers::resetSharedInstance();
    APMPersistedConfig::resetSharedInstanceForTesting();
    APMConsentSettingsUtil::reset();
  }

  // When set (by a fixture that owns it for longer than the engine), the engine sends through it.
  platform::HttpClient* transport_ = nullptr;

  APMMeasurement& engine() { return *engine_; }
  std::shared_ptr<APMMeasurement> measurement() override { return engine_; }

  // A second connection to the engine's database file, for breaking it on purpose.
  void executeOnDatabaseFile(const std::string& sql) {
    std::string path;
    onWorker([&] { path = engine().database()->databasePath(); });
    sqlite3* connection = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &connection), SQLITE_OK);
    char* message = nullptr;
    const int result = sqlite3_exec(connection, sql.c_str(), nullptr, nullptr, &message);
    const std::string text = message ? message : "";
    sqlite3_free(message);
    sqlite3_close(connection);
    ASSERT_EQ(result, SQLITE_OK) << text;
  }
  // Waits until the worker queue has nothing left (work queued by work included).
  void drain() override {
    for (int round = 0; round < 50; ++round) {
      engine_->setup().scheduler->workerQueue()->sync([] {});
      if (engine_->setup().scheduler->workerQueue()->pendingCount() == 0) {
        engine_->setup().scheduler->workerQueue()->sync([] {});
        if (engine_->setup().scheduler->workerQueue()->pendingCount() == 0) return;
      }
    }
  }

  // A public event through the engine's logging entry point, as the front hands it in.
  void logPublic(const std::string& name, const platform::Dictionary& parameters = {}) {
    engine_->eventRoad().logEventWithOrigin("app", true, name, parameters, platform::now(), {}, nullptr, {});
  }

  // An internal event of the engine itself, logged as its own reporters do.
  void logInternal(const std::string& name, const platform::Dictionary& parameters = {}) {
    engine_->eventRoad().logEventWithOrigin("auto", false, name, parameters, platform::now(), {.ignoreInterceptor = true}, nullptr,
                                {});
  }

  APMDailyCounts dailyCounts() {
    APMDailyCounts counts;
    onWorker([&] {
      platform::Error error;
      counts = engine_->database()->appMetadata().dailyCounts(&error).value_or(APMDailyCounts{});
    });
    return counts;
  }

  // No configuration request and no upload in flight: the two share the engine's request flag.
  bool networkReady() {
    bool ready = false;
    onWorker([&] { ready = engine().uploadRoad().isNetworkReadyForRequest(); });
    return ready;
  }

  // Log lines carrying this monitor message code.
  bool loggedCode(int64_t code) {
    APMMonitor::shared()->flush();
    DULLoggerFlush();
    const std::string marker = "[" + APMASLLogger::messageCodeText(code) + "]";
    std::lock_guard<std::mutex> lock(linesMutex_);
    return std::any_of(lines_.begin(), lines_.end(),
                       [&](const std::string& line) { return line.find(marker) != std::string::npos; });
  }

  testsupport::ScopedDataDirectory dataDirectory_;
  testsupport::ScopedFakeClock clock_{kStartTime};
  std::mutex engineMutex_;
  std::shared_ptr<APMMeasurement> engine_;
  std::mutex linesMutex_;
  std::vector<std::string> lines_;
};

}  // namespace enginetest
