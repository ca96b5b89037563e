#include "APMEventRules.h"

#include "APMNameTables.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "APMRemoteConfigLog.h"

std::shared_ptr<APMPBEventConfig> APMEventRules::eventConfigWithName(const std::string& name) const {
  if (name.empty()) {
    APMLog(APMLogLevel::kWarningSampledOnly, APMRemoteConfigLogCode::kEmptyEventName,
           "Cannot find event config with empty event name");
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = cachedEventConfigByEventName_.find(name);
  return it == cachedEventConfigByEventName_.end() ? nullptr : it->second;
}

bool APMEventRules::isEventBlocklisted(const std::string& name) {
  auto config = eventConfigWithName(name);
  if (config && APMNanoGetBool(*config, APMPBEventConfig::kIsBlocklisted)) return true;
  return APMIsPublicName(name) ? features_.blocklistPublic() : features_.blocklistInternal();
}

bool APMEventRules::isEventCustomConversion(const std::string& name) const {
  auto config = eventConfigWithName(name);
  return config && APMNanoHasField(*config, APMPBEventConfig::kIsCustomConversion) &&
         APMNanoGetBool(*config, APMPBEventConfig::kIsCustomConversion);
}

bool APMEventRules::eventHasSamplingRate(const std::string& name) const {
  auto config = eventConfigWithName(name);
  return config && APMNanoHasField(*config, APMPBEventConfig::kSamplingRate);
}

int32_t APMEventRules::samplingRateForEvent(const std::string& name) const {
  auto config = eventConfigWithName(name);
  if (!config || !APMNanoHasField(*config, APMPBEventConfig::kSamplingRate)) return 1;
  int32_t rate = APMNanoGetInt32(*config, APMPBEventConfig::kSamplingRate);
  return rate >= 2 && rate <= 65535 ? rate : 1;
}

void APMEventRules::replace(EventConfigs eventConfigs) {
  std::lock_guard<std::mutex> lock(mutex_);
  cachedEventConfigByEventName_ = std::move(eventConfigs);
}

void APMEventRules::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  cachedEventConfigByEventName_.clear();
}
