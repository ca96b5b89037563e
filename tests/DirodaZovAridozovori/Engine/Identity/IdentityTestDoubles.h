#pragma once
// Doubles shared by the identity tests: persistence in a file of the test's own, a scripted platform
// support and a capture of what the identity components log.

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "APMLogCapture.h"
#include "APMPersistedConfig.h"
#include "Identity/APMIdentityEnvironment.h"
#include "Identity/APMIdentityLog.h"
#include "Identity/APMIdentityPersistedConfigStore.h"
#include "Identity/APMIdentityPersistence.h"
#include "Identity/APMIdentitySupport.h"
#include "TestSupport.h"

namespace identitytest {

// The identity's values in a persisted configuration file of the test's own.
inline std::shared_ptr<APMIdentityPersistence> persistenceIn(const testsupport::TempDir& dir,
                                                             const std::string& name = "config") {
  return std::make_shared<APMIdentityPersistedConfigStore>(std::make_shared<APMPersistedConfig>(dir.path() + "/" + name));
}

class ScriptedSupport final : public APMIdentitySupport {
 public:
  bool hasAppDataConsentStatus() override { return hasStatus; }
  int64_t appDataConsentStatus() override { return status; }
  bool hasLimitedAdTracking() override { return hasAdvertising; }
  bool limitedAdTracking() override {
    ++limitedAdTrackingReads;
    return limited;
  }
  std::optional<std::string> resettableDeviceID() override {
    ++deviceIDReads;
    std::lock_guard<std::mutex> lock(mutex_);
    return deviceID_;
  }
  void setDeviceID(std::optional<std::string> id) {
    std::lock_guard<std::mutex> lock(mutex_);
    deviceID_ = std::move(id);
  }

  std::atomic<bool> hasStatus{true};
  std::atomic<int64_t> status{3};
  std::atomic<bool> hasAdvertising{true};
  std::atomic<bool> limited{false};
  std::atomic<int> deviceIDReads{0};
  std::atomic<int> limitedAdTrackingReads{0};

 private:
  std::mutex mutex_;
  std::optional<std::string> deviceID_;
};

// Switches a test flips while the identity runs.
struct Switches {
  std::atomic<bool> analyticsDenied{false};
  std::atomic<bool> adDenied{false};
  std::atomic<bool> gate{false};
  std::atomic<double> cacheTime{1};
};

inline APMIdentityEnvironment environmentFor(const std::shared_ptr<ScriptedSupport>& support,
                                             const std::shared_ptr<Switches>& switches) {
  APMIdentityEnvironment environment;
  environment.support = support;
  environment.isAnalyticsStorageDenied = [switches] { return switches->analyticsDenied.load(); };
  environment.isAdStorageDenied = [switches] { return switches->adDenied.load(); };
  environment.adIDCacheTime = [switches] { return switches->cacheTime.load(); };
  environment.gateIDFAOnATTMASEnabled = [switches] { return switches->gate.load(); };
  return environment;
}

// Collects every identity log entry for the lifetime of the capture.
using LogCapture = testsupport::APMLogCapture;

}  // namespace identitytest
