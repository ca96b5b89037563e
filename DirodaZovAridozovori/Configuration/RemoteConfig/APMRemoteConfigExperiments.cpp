#include "APMRemoteConfigExperiments.h"

#include "APMRemoteConfigEngineHooks.h"
#include "APMRemoteConfigLog.h"

void APMRemoteConfigExperiments::activateStaleSnapshot() {
  if (!experimentClient_) return;
  platform::Error error;
  if (!experimentClient_->activateLatestSnapshot(&error) && !error.empty()) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMRemoteConfigLogCode::kStaleSnapshotNotActivated,
           "Cannot activate stale snapshot. Error", error);
  }
  updateCachedExperimentFlags();
}

std::vector<int64_t> APMRemoteConfigExperiments::experimentIDs() const {
  return experimentClient_ ? experimentClient_->experimentIDs() : std::vector<int64_t>{};
}

void APMRemoteConfigExperiments::clientDidReceiveNewSnapshot() {
  std::lock_guard<std::mutex> lock(mutex_);
  hasNewSnapshot_ = true;
}

void APMRemoteConfigExperiments::clientDidReceiveFetchError(const std::optional<platform::Error>& error) {
  if (error)
    APMLog(APMLogLevel::kErrorSampledOnly, APMRemoteConfigLogCode::kExperimentNotFetched,
           "Cannot fetch experiment. Error", *error);
}

bool APMRemoteConfigExperiments::shouldFetchExperiments() const {
  auto engine = APMRemoteConfigEngineHooks::engineHooks();
  return engine.engineIsEnabled && engine.engineIsEnabled();
}

bool APMRemoteConfigExperiments::activateNewSnapshot() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!hasNewSnapshot_) return false;
  }
  if (!experimentClient_) return false;
  platform::Error error;
  if (!experimentClient_->activateLatestSnapshot(&error)) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMRemoteConfigLogCode::kSnapshotNotActivated,
           "Cannot activate snapshot. Error", error);
    return false;
  }
  updateCachedExperimentFlags();
  std::lock_guard<std::mutex> lock(mutex_);
  hasNewSnapshot_ = false;
  return true;
}

void APMRemoteConfigExperiments::updateCachedExperimentFlags() {
  if (!experimentClient_) return;
  auto value = experimentClient_->flagValue(kCustomerTypeFlag);
  std::lock_guard<std::mutex> lock(mutex_);
  if (value) {
    cachedExperimentFlags_[kCustomerTypeFlag] = *value;
  } else {
    cachedExperimentFlags_.erase(kCustomerTypeFlag);
  }
}

std::optional<platform::Object> APMRemoteConfigExperiments::liveFlag(const std::string& name) const {
  if (!experimentClient_) return std::nullopt;
  return experimentClient_->flagValue(name);
}

std::optional<platform::Object> APMRemoteConfigExperiments::cachedFlag(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (const auto* flag = platform::find(cachedExperimentFlags_, name)) return *flag;
  return std::nullopt;
}

void APMRemoteConfigExperiments::clearCachedFlags() {
  std::lock_guard<std::mutex> lock(mutex_);
  cachedExperimentFlags_.clear();
}

void APMRemoteConfigExperiments::reset() {
  clearCachedFlags();
  if (experimentClient_) experimentClient_->reset();
}
