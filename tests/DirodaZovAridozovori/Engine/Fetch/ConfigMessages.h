#pragma once
// Encoded measurement configurations as the configuration service would send them.

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "platform/Object.h"

namespace fetchtest {

struct ConfigContents {
  std::string appID;
  int64_t version = 1;
  std::vector<std::pair<std::string, std::string>> settings;
  std::vector<std::string> blocklistedEvents;
  std::vector<int32_t> audienceIDs;
  std::vector<std::shared_ptr<APMPBProgram>> programs;
};

inline std::shared_ptr<APMPBMeasurementConfig> configMessage(const ConfigContents& contents) {
  auto config = std::make_shared<APMPBMeasurementConfig>();
  APMNanoSetInt64(*config, APMPBMeasurementConfig::kVersion, contents.version);
  APMNanoSetString(*config, APMPBMeasurementConfig::kAppId, contents.appID);
  std::vector<std::shared_ptr<APMPBSetting>> settings;
  for (const auto& [name, value] : contents.settings) {
    auto setting = std::make_shared<APMPBSetting>();
    APMNanoSetString(*setting, APMPBSetting::kName, name);
    APMNanoSetString(*setting, APMPBSetting::kValue, value);
    settings.push_back(setting);
  }
  APMNanoSetRepeatedField(*config, APMPBMeasurementConfig::kSettings, settings);
  std::vector<std::shared_ptr<APMPBEventConfig>> events;
  for (const auto& name : contents.blocklistedEvents) {
    auto event = std::make_shared<APMPBEventConfig>();
    APMNanoSetString(*event, APMPBEventConfig::kName, name);
    APMNanoSetBool(*event, APMPBEventConfig::kIsBlocklisted, true);
    events.push_back(event);
  }
  if (!events.empty()) APMNanoSetRepeatedField(*config, APMPBMeasurementConfig::kEventConfigs, events);
  std::vector<std::shared_ptr<APMPBAudience>> audiences;
  for (int32_t id : contents.audienceIDs) {
    auto audience = std::make_shared<APMPBAudience>();
    APMNanoSetInt32(*audience, APMPBAudience::kAudienceId, id);
    audiences.push_back(audience);
  }
  if (!audiences.empty()) APMNanoSetRepeatedField(*config, APMPBMeasurementConfig::kAudiences, audiences);
  if (!contents.programs.empty()) APMNanoSetRepeatedField(*config, APMPBMeasurementConfig::kPrograms, contents.programs);
  return config;
}

inline platform::Data encodedConfig(const ConfigContents& contents) { return configMessage(contents)->protoBuffer(); }

}  // namespace fetchtest
