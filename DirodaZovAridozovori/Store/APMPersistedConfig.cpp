#include "APMPersistedConfig.h"

#include <mutex>

#include "APMFileUtilities.h"

namespace {
std::mutex gSharedMutex;
// Never destroyed: the SDK's threads may read it until the process has ended. Guarded by gSharedMutex.
std::shared_ptr<APMPersistedConfig>& sharedConfig() {
  static auto& instance = *new std::shared_ptr<APMPersistedConfig>;
  return instance;
}
}  // namespace

std::shared_ptr<APMPersistedConfig> APMPersistedConfig::sharedInstance() {
  const std::string path = APMApplicationSupportPath(kFileName);
  std::lock_guard<std::mutex> lock(gSharedMutex);
  auto& config = sharedConfig();
  if (!config || config->path() != path) {
    if (config) config->synchronizeToDisk();
    config = std::make_shared<APMPersistedConfig>(path);
  }
  return config;
}

void APMPersistedConfig::resetSharedInstanceForTesting() {
  std::lock_guard<std::mutex> lock(gSharedMutex);
  auto& config = sharedConfig();
  if (config) config->synchronizeToDisk();
  config.reset();
}

APMPersistedConfig::APMPersistedConfig(const std::string& path)
    : APMPersistedValues(std::make_shared<platform::UserDefaults>(kFileName, path)),
      identifiers_(store_),
      session_(store_),
      consent_(store_),
      attribution_(store_),
      uploadSchedule_(store_),
      configDownload_(store_) {}

std::optional<platform::Dictionary> APMPersistedConfig::defaultEventParameters() const {
  const platform::Object value = store_->object(keyFor("default_event_parameters"));
  if (!value.isDictionary()) return std::nullopt;
  return value.dictionaryValue();
}

void APMPersistedConfig::setDefaultEventParameters(std::optional<platform::Dictionary> v) {
  setObject("default_event_parameters", v ? platform::Object(std::move(*v)) : platform::Object());
}

void APMPersistedConfig::clearValues() { store_->clear(); }

bool APMPersistedConfig::synchronizeToDisk() { return store_->synchronize(); }
