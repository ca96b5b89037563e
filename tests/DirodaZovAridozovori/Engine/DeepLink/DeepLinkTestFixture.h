#pragma once
// A host process with the link components installed: the front started by the test, an identity
// over a scripted platform (tracking authorised, an advertising identifier, limited ad tracking
// off), and the monitor's lines captured down to debug level. relaunch() ends the process and
// starts a new one over the same data directory.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "../Front/FrontTestFixture.h"
#include "../Identity/IdentityTestDoubles.h"
#include "APMASLLogger.h"
#include "DeepLink/APMDeepLinkReporter.h"
#include "DeepLink/APMStoredDeepLink.h"
#include "Logger/DULLogger.h"
#include "platform/Bundle.h"
#include "platform/UserDefaults.h"
#include "platform/UserDefaultsRegistry.h"

namespace deeplinktest {

inline constexpr const char* kDeviceID = "6D92078A-8246-4BA4-AE5B-76104861E7DC";

class DeepLinkTest : public fronttest::FakeClockFrontTest {
 protected:
  void SetUp() override {
    FakeClockFrontTest::SetUp();
    DULLoggerSetSink([this](const DULLogRecord& record) {
      std::lock_guard<std::mutex> lock(linesMutex_);
      lines_.push_back(record.line);
    });
    setUpProcess();
  }

  void TearDown() override {
    FakeClockFrontTest::TearDown();
    DULLoggerSetSink(nullptr);
    DULLoggerSetLevel(DULLoggerLevel::kNotice);
    APMDeepLinkReporter::resetForTesting();
  }

  // What every launch of the host has before the SDK starts.
  virtual void setUpProcess() {
    support_ = std::make_shared<identitytest::ScriptedSupport>();
    support_->setDeviceID(kDeviceID);
    APMIdentityEnvironment environment = APMIdentityEnvironment::standard();
    environment.support = support_;
    environment.isAdStorageDenied = [ignores = identityIgnoresConsent_] {
      return !ignores->load() && APMConsentSettingsUtil::isAdStorageDenied();
    };
    APMIdentity::setSharedInstance(APMIdentity::initWithPersistedConfig(APMPersistedConfig::sharedInstance(), environment));
    APMAnalytics::setCollaborators({std::make_shared<APMDeepLinkCollaborator>()});
    APMSetEngineComponentEditorForTesting([](APMEngineComponentList) {
      return APMEngineComponentList{std::make_shared<APMDeepLinkComponent>()};
    });
    DULLoggerSetLevel(DULLoggerLevel::kDebug);
  }

  // Ends the process (the engine, the front and every shared instance) and launches a new one.
  void relaunch() {
    stopEngine();
    APMAnalytics::resetForTesting();
    enginetest::resetProcess();
    setUpProcess();
  }

  platform::UserDefaults& defaults() { return *platform::UserDefaultsRegistry::standard(); }

  // Log lines carrying this monitor message code.
  size_t linesWithMonitorCode(int64_t code) {
    APMMonitor::shared()->flush();
    DULLoggerFlush();
    const std::string marker = "[" + APMASLLogger::messageCodeText(code) + "]";
    std::lock_guard<std::mutex> lock(linesMutex_);
    return static_cast<size_t>(std::count_if(lines_.begin(), lines_.end(), [&](const std::string& line) {
      return line.find(marker) != std::string::npos;
    }));
  }

  // The campaign information kept for the next bundles, if any.
  std::shared_ptr<APMPBAdCampaignInfo> keptCampaignInfo() {
    drain();
    auto buffer = APMPersistedConfig::sharedInstance()->attribution().adCampaignInfoBuffer();
    if (!buffer || buffer->empty()) return nullptr;
    return APMPBAdCampaignInfo::fromBuffer(*buffer);
  }

  std::shared_ptr<identitytest::ScriptedSupport> support_;
  // The identity reads its identifiers whatever the ad-storage consent says, so a test can tell
  // the consent's own effect from that of a missing identifier.
  std::shared_ptr<std::atomic<bool>> identityIgnoresConsent_ = std::make_shared<std::atomic<bool>>(false);
  std::mutex linesMutex_;
  std::vector<std::string> lines_;
};

}  // namespace deeplinktest
