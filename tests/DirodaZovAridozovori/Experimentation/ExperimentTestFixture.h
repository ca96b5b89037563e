#pragma once
// A fresh process for every experimentation test: the core test process (data directory, defaults,
// monitor) with a fake clock, every experimentation line captured with its level (silent levels
// too), and no shared manager, request builder or diversion key left from another test.

#include <memory>
#include <string>
#include <vector>

#include "../Core/CoreTestFixture.h"
#include "APMEExperiment.h"
#include "APMEExperimentRequestBuilder.h"
#include "APMEFlags.h"
#include "APMEManager.h"
#include "APMESDKProperty.h"
#include "APMESnapshot.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"

class ExperimentTest : public CoreTest {
 protected:
  struct Logged {
    int64_t level;
    int64_t code;
    std::string message;
    bool operator==(const Logged&) const = default;
  };

  void SetUp() override {
    CoreTest::SetUp();
    APMSetLogSink([this](int64_t level, int64_t code, const std::string& message, const APMMonitorContexts&) {
      std::lock_guard<std::mutex> lock(loggedMutex_);
      logged_.push_back({level, code, message});
    });
  }
  void TearDown() override {
    APMEManager::resetSharedInstanceForTesting();
    APMEExperimentRequestBuilder::resetSharedInstanceForTesting();
    APMESDKProperty::setDefaultDiversionKeyProvider(nullptr);
    APMSetLogSink(nullptr);
    CoreTest::TearDown();
  }

  // Whether a line with this level, code and text was logged since the last forget().
  bool logged(int64_t level, int64_t code, const std::string& text) {
    std::lock_guard<std::mutex> lock(loggedMutex_);
    for (const auto& entry : logged_) {
      if (entry == Logged{level, code, text}) return true;
    }
    return false;
  }
  bool loggedCode(int64_t code) {
    std::lock_guard<std::mutex> lock(loggedMutex_);
    for (const auto& entry : logged_) {
      if (entry.code == code) return true;
    }
    return false;
  }
  void forget() {
    std::lock_guard<std::mutex> lock(loggedMutex_);
    logged_.clear();
  }

  static std::shared_ptr<APMPBFlag> flag(const std::string& name, const platform::Object& value) {
    return APMEFlagFromNameAndValue(platform::Object(name), value);
  }
  // An experiment holding the flags name -> value.
  static std::shared_ptr<APMEExperiment> experiment(int64_t id, const platform::Dictionary& flags) {
    std::vector<std::shared_ptr<APMPBFlag>> made;
    for (const auto& [name, value] : flags) made.push_back(flag(name, value));
    return APMEExperiment::create(id, made);
  }
  static std::shared_ptr<APMESnapshot> snapshot(const std::string& sdk,
                                                std::vector<std::shared_ptr<APMEExperiment>> experiments) {
    return APMESnapshot::create(sdk, experiments);
  }
  // The experiment IDs of a snapshot, ascending.
  static std::vector<int64_t> idsOf(const std::shared_ptr<APMESnapshot>& snapshot) {
    std::vector<int64_t> ids;
    if (!snapshot) return ids;
    for (const auto& experiment : snapshot->experiments()) ids.push_back(experiment->experimentID());
    return ids;
  }

  testsupport::ScopedFakeClock clock_{1700000000.0};
  std::mutex loggedMutex_;
  std::vector<Logged> logged_;
};
