#pragma once
// A fresh "process" for every test of the engine front: its own data directory, clock, shared
// instances and captured front log lines. The engine, when a test starts it through the front, runs
// on its real worker queue over a real SQLite file.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "APMEngineRegistry.h"
#include "APMEngineEventRoad.h"
#include "APMEventParameters.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "Front/APMAnalytics.h"
#include "Front/APMAnalyticsOperationQueue.h"
#include "Front/APMAnalyticsStartUp.h"
#include "Front/APMAnalyticsCollection.h"
#include "Front/APMAnalyticsConsent.h"
#include "Front/APMAnalyticsListeners.h"
#include "Front/APMAnalyticsLog.h"
#include "Front/APMAnalyticsSuite.h"
#include "Front/APMAnalyticsUserProperties.h"
#include "Front/APMFrontCollaborator.h"
#include "TestSupport.h"
#include "platform/NotificationCenter.h"
#include "../StoredRows.h"

namespace fronttest {

using enginetest::kAppID;
using enginetest::kStartTime;

struct LogLine { int64_t level = 0, code = 0; std::string message; std::vector<std::string> contexts; };

using Row = enginetest::StoredRow;

using enginetest::resetProcess;

// A collaborator of the front that does what the test gives it; an empty member does nothing (and
// an empty isActive leaves the active state to the front).
struct FakeCollaborator : APMFrontCollaborator {
  using EngineCall = std::function<void(const std::shared_ptr<APMEngineContext>& engine)>;
  std::function<void(const platform::Dictionary& parameters, double timestamp)> trackScreen;
  std::function<void(const std::string& url)> debugURL;
  std::function<void(const std::shared_ptr<APMEngineContext>& engine, const std::string& url, double timestamp)> openURL;
  std::function<std::optional<std::string>(const std::string& activityType, const std::string& webpageURL)> userActivity;
  std::function<bool()> isActive;
  EngineCall becameActive;
  EngineCall resigned;

  void trackScreenWithParameters(const platform::Dictionary& parameters, double timestamp) override {
    if (trackScreen) trackScreen(parameters, timestamp);
  }
  void handleSSTGDebugModeWithURL(const std::string& url) override {
    if (debugURL) debugURL(url);
  }
  void handleNonFirstOpenEventURL(const std::shared_ptr<APMEngineContext>& engine, const std::string& url,
                                  double timestamp) override {
    if (openURL) openURL(engine, url, timestamp);
  }
  std::optional<std::string> deepLinkFromUserActivity(const std::string& activityType,
                                                      const std::string& webpageURL) override {
    return userActivity ? userActivity(activityType, webpageURL) : std::nullopt;
  }
  std::optional<bool> isAppActive() override { return isActive ? std::optional<bool>(isActive()) : std::nullopt; }
  void applicationDidBecomeActive(const std::shared_ptr<APMEngineContext>& engine) override {
    if (becameActive) becameActive(engine);
  }
  void applicationWillResignActive(const std::shared_ptr<APMEngineContext>& engine) override {
    if (resigned) resigned(engine);
  }
};

class FrontTest : public ::testing::Test, public enginetest::StoredState {
 protected:
  void SetUp() override {
    resetProcess();
    APMAnalytics::resetForTesting();
    // Front tests choose the collaborators they need; a public-API test takes the usual ones.
    APMAnalytics::setCollaborators({});
    clearLog();
    // The front's own lines (25000s) are captured; every other component's still reach the monitor.
    APMSetLogSink([this](int64_t level, int64_t code, const std::string& message, const APMMonitorContexts& contexts) {
      if (code / 1000 != 25) {
        APMMonitor::shared()->logWithLevel(APMLogLevel{level}, APMLogCode(code), message, contexts);
        return;
      }
      LogLine line{level, code, message, {}};
      for (const auto& context : contexts) {
        line.contexts.push_back(context.object() ? context.object()->description() : "<error>");
      }
      std::lock_guard<std::mutex> lock(logMutex_);
      log_.push_back(std::move(line));
    });
  }

  void TearDown() override {
    stopEngine();
    APMAnalytics::resetForTesting();
    APMSetLogSink(nullptr);
    resetProcess();
  }

  void stopEngine() {
    APMAnalyticsOperationQueue::flushSerialQueueForTesting();
    if (APMEngineRegistry::hasSharedInstance()) APMEngineRegistry::resetSharedInstanceForTesting();
  }

  // Starts analytics through the front and waits until the engine has started.
  void start(const platform::Dictionary& options = {}) {
    APMAnalyticsStartUp::startWithAppID(kAppID, APMAnalytics::kOriginStart, options);
    drain();
  }

  std::shared_ptr<APMMeasurement> engine() { return APMEngineRegistry::sharedInstance(); }
  std::shared_ptr<APMMeasurement> measurement() override { return engine(); }

  // Waits until the front's serial queue and the worker queue have nothing left, work queued by
  // work included (the worker notifies listeners through the front, the front hands on to the worker).
  void drain() override {
    for (int round = 0; round < 4; ++round) {
      APMAnalyticsOperationQueue::flushSerialQueueForTesting();
      auto measurement = engine();
      if (!measurement) continue;
      auto worker = measurement->setup().scheduler->workerQueue();
      for (int i = 0; i < 50; ++i) {
        worker->sync([] {});
        if (worker->pendingCount() == 0) break;
      }
    }
  }

  std::vector<LogLine> logLines() {
    std::lock_guard<std::mutex> lock(logMutex_);
    return log_;
  }
  std::vector<LogLine> linesWithCode(int64_t code) {
    auto lines = logLines();
    std::erase_if(lines, [code](const LogLine& line) { return line.code != code; });
    return lines;
  }
  void clearLog() {
    std::lock_guard<std::mutex> lock(logMutex_);
    log_.clear();
  }

  testsupport::ScopedDataDirectory dataDirectory_;
  std::mutex logMutex_;
  std::vector<LogLine> log_;
};

// The same with a fake clock fixed at kStartTime.
class FakeClockFrontTest : public FrontTest {
 protected:
  testsupport::ScopedFakeClock clock_{kStartTime};
};

}  // namespace fronttest
