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
