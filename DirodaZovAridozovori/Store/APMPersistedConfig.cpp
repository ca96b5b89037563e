#include "APMPersistedConfig.h"

#include <mutex>

#include "APMFileUtilities.h"

namespace {
std::mutex gSharedMutex;
std::shared_ptr<APMPersistedConfig> gShared;
}  // namespace

std::shared_ptr<APMPersistedConfig> APMPersistedConfig::sharedInstance() {
  const std::string path = APMApplicationSupportPath(kFileName);
  std::lock_guard<std::mutex> lock(gSharedMutex);
  if (!gShared || gShared->path() != path) {
    if (gShared) gShared->synchronizeToDisk();
    gShared = std::make_shared<APMPersistedConfig>(path);
  }
  return gShared;
}

void APMPersistedConfig::resetSharedInstanceForTesting() {
  std::lock_guard<std::mutex> lock(gSharedMutex);
  if (gShared) gShared->synchronizeToDisk();
  gShared.reset();
}

APMPersistedConfig::APMPersistedConfig(const std::string& path)
    : store_(std::make_shared<platform::UserDefaults>(kFileName, path)) {}

bool APMPersistedConfig::has(const std::string& name) const { return !store_->object(keyFor(name)).isNull(); }

std::optional<double> APMPersistedConfig::doubleValue(const std::string& name) const {
  const platform::Object value = store_->object(keyFor(name));
  if (!value.isNumber()) return std::nullopt;
  return value.doubleValue();
}

std::optional<int64_t> APMPersistedConfig::integerValue(const std::string& name) const {
  const platform::Object value = store_->object(keyFor(name));
  if (!value.isNumber()) return std::nullopt;
  return value.integerValue();
}

std::optional<bool> APMPersistedConfig::boolValue(const std::string& name) const {
  const platform::Object value = store_->object(keyFor(name));
  if (!value.isNumber()) return std::nullopt;
  return value.boolValue();
}

std::optional<std::string> APMPersistedConfig::stringValue(const std::string& name) const {
  const platform::Object value = store_->object(keyFor(name));
  if (!value.isString()) return std::nullopt;
  return value.stringValue();
}

std::optional<platform::Dictionary> APMPersistedConfig::defaultEventParameters() const {
  const platform::Object value = store_->object(keyFor("default_event_parameters"));
  if (!value.isDictionary()) return std::nullopt;
  return value.dictionaryValue();
}

void APMPersistedConfig::setDefaultEventParameters(std::optional<platform::Dictionary> v) {
  setObject("default_event_parameters", v ? platform::Object(std::move(*v)) : platform::Object());
}

std::optional<platform::Data> APMPersistedConfig::adCampaignInfoBuffer() const {
  const platform::Object value = store_->object(keyFor("ad_campaign_info_buffer"));
  if (!value.isData()) return std::nullopt;
  return value.dataValue();
}

void APMPersistedConfig::setAdCampaignInfoBuffer(std::optional<platform::Data> v) {
  setObject("ad_campaign_info_buffer", v ? platform::Object(std::move(*v)) : platform::Object());
}

void APMPersistedConfig::setObject(const std::string& name, const platform::Object& value) {
  store_->setObject(keyFor(name), value);
}

void APMPersistedConfig::clearValues() { store_->clear(); }

bool APMPersistedConfig::synchronizeToDisk() { return store_->synchronize(); }
