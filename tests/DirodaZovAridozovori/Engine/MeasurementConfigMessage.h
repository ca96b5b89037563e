#pragma once
// A measurement configuration for this app, as the configuration service would hand it to the engine.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "APMNanoAccessors.h"
#include "APMPBMessages.h"

namespace enginetest {

inline std::shared_ptr<APMPBMeasurementConfig> measurementConfig(
    const std::string& appID, const std::map<std::string, std::string>& settings,
    const std::vector<std::string>& blocked = {}, const std::vector<std::shared_ptr<APMPBProgram>>& programs = {}) {
  auto config = APMPBMeasurementConfig::initWithMessageInfo();
  APMNanoSetString(*config, 1, appID);
  std::vector<std::shared_ptr<APMPBSetting>> settingMessages;
  for (const auto& [key, value] : settings) {
    auto setting = APMPBSetting::initWithMessageInfo();
    APMNanoSetString(*setting, 0, key);
    APMNanoSetString(*setting, 1, value);
    settingMessages.push_back(setting);
  }
  APMNanoSetRepeatedField(*config, 3, settingMessages);
  std::vector<std::shared_ptr<APMPBEventConfig>> eventConfigs;
  for (const auto& name : blocked) {
    auto eventConfig = APMPBEventConfig::initWithMessageInfo();
    APMNanoSetString(*eventConfig, 0, name);
    APMNanoSetBool(*eventConfig, 1, true);
    eventConfigs.push_back(eventConfig);
  }
  APMNanoSetRepeatedField(*config, 4, eventConfigs);
  if (!programs.empty()) APMNanoSetRepeatedField(*config, 8, programs);
  return config;
}

}  // namespace enginetest
