#include "APMRemoteConfig.h"

#include <utility>

#include "APMDatabase.h"
#include "APMError.h"
#include "APMNameTables.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "APMRemoteConfigLog.h"
#include "APMScheduler.h"
#include "Consent/APMConsentVocabulary.h"

namespace {

// The elements of a repeated message field; empty when the field was never allocated.
template <class T>
std::vector<std::shared_ptr<T>> repeatedMessages(const NANOMessageBase& message, int index) {
  return APMNanoGetRepeatedField<std::shared_ptr<T>>(message, index).value_or(std::vector<std::shared_ptr<T>>{});
}

}  // namespace

// MARK: - Creation

std::shared_ptr<APMRemoteConfig> APMRemoteConfig::defaultInstance() {
  // Never destroyed: the SDK's threads may read it until the process has ended.
  static const auto& kDefault =
      *new std::shared_ptr<APMRemoteConfig>(make("", nullptr, nullptr, nullptr, nullptr, false));
  return kDefault;
}

namespace {
// The engine's instance needs both; only the default instance goes without.
bool canCreate(const std::string& appID, const std::shared_ptr<APMDatabase>& database) {
  if (appID.empty()) {
    APMLog(APMLogLevel::kErrorSampled, APMRemoteConfigLogCode::kNoAppID,
           "Cannot init remote configuration without valid Diroda App ID");
    return false;
  }
  if (!database) {
    APMLog(APMLogLevel::kErrorSampled, APMRemoteConfigLogCode::kNoDatabase,
           "Cannot init remote configuration without valid database");
    return false;
  }
  return true;
}
}  // namespace

std::shared_ptr<APMRemoteConfig> APMRemoteConfig::create(const std::string& appID, std::shared_ptr<APMDatabase> database,
                                                         std::shared_ptr<APMPersistedConfig> persistedConfig,
                                                         std::shared_ptr<APMRemoteConfigExperimentClient> client) {
  if (!canCreate(appID, database)) return nullptr;
  return make(appID, std::move(database), nullptr, std::move(persistedConfig), std::move(client), false);
}

std::shared_ptr<APMRemoteConfig> APMRemoteConfig::create(const std::string& appID, std::shared_ptr<APMDatabase> database,
                                                         std::shared_ptr<APMPBMeasurementConfig> config,
                                                         std::shared_ptr<APMPersistedConfig> persistedConfig,
                                                         std::shared_ptr<APMRemoteConfigExperimentClient> client) {
  if (!canCreate(appID, database)) return nullptr;
  return make(appID, std::move(database), std::move(config), std::move(persistedConfig), std::move(client), true);
}

APMRemoteConfig::APMRemoteConfig(Private, std::string appID, std::shared_ptr<APMDatabase> database,
                                 std::shared_ptr<APMPersistedConfig> persistedConfig,
                                 std::shared_ptr<APMRemoteConfigExperimentClient> experimentClient)
    : isDefaultInstance_(appID.empty() && !database),
      appID_(std::move(appID)),
      database_(database),
      message_(isDefaultInstance_, database_, settings_),
      experiments_(std::move(experimentClient)),
      network_(*this, settings_, std::move(persistedConfig)) {}

APMRemoteConfig::~APMRemoteConfig() = default;

std::shared_ptr<APMRemoteConfig> APMRemoteConfig::make(const std::string& appID, std::shared_ptr<APMDatabase> database,
                                                       std::shared_ptr<APMPBMeasurementConfig> config,
                                                       std::shared_ptr<APMPersistedConfig> persistedConfig,
                                                       std::shared_ptr<APMRemoteConfigExperimentClient> client,
                                                       bool useGivenConfig) {
  auto remoteConfig = std::make_shared<APMRemoteConfig>(Private{}, appID, std::move(database),
                                                        std::move(persistedConfig), std::move(client));
  remoteConfig->experiments_.activateStaleSnapshot();
  if (remoteConfig->isDefaultInstance_) return remoteConfig;
  if (useGivenConfig) {
    if (config) remoteConfig->updateMeasurementConfig(config);
  } else if (auto stored = remoteConfig->measurementConfigFromDatabase()) {
    remoteConfig->message_.setRemoteConfigProto(stored);
    remoteConfig->parseRemoteConfig(stored);
  }
  return remoteConfig;
}

// MARK: - Storing and parsing

bool APMRemoteConfig::updateMeasurementConfig(const std::shared_ptr<APMPBMeasurementConfig>& config) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("updateMeasurementConfig:");
  if (isDefaultInstance_) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMRemoteConfigLogCode::kDefaultConfigNotUpdated,
           "Cannot update the default measurement configuration");
    return false;
  }
  if (!config) {
    APMLog(APMLogLevel::kWarningSampledOnly, APMRemoteConfigLogCode::kEmptyConfigNotStored,
           "Cannot set empty measurement config to database");
    return false;
  }
  if (APMNanoGetString(*config, APMPBMeasurementConfig::kAppId).value_or("") != appID_) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMRemoteConfigLogCode::kAppIDMismatch,
           "Cannot set measurement config when Diroda App ID does not match");
    return false;
  }
  auto database = database_.lock();
  platform::Error error;
  // A NO from the database is a failure whether or not it filled an error: otherwise the caller
  // would save the caching headers of a configuration that was never stored.
  if (!database || !database->storedConfig().updateRemoteConfig(config->protoBuffer(), &error)) {
    APMLog(APMLogLevel::kErrorSampled, APMRemoteConfigLogCode::kConfigNotStored,
           "Cannot store config into the database", error);
    return false;
  }
  message_.setRemoteConfigProto(config);
  parseRemoteConfig(config);
  return true;
}

std::shared_ptr<APMPBMeasurementConfig> APMRemoteConfig::measurementConfigFromDatabase() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("measurementConfigFromDatabase");
  if (isDefaultInstance_) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMRemoteConfigLogCode::kNoDefaultInstanceConfig,
           "Cannot retrieve a measurement configuration from the database for the default instance");
    return nullptr;
  }
  auto database = database_.lock();
  if (!database) return nullptr;
  platform::Error error;
  std::shared_ptr<APMPBMeasurementConfig> config;
  if (auto bytes = database->storedConfig().queryMeasurementConfigWithError(&error)) {
    config = APMPBMeasurementConfig::fromBuffer(*bytes);
    if (!config) error = APMError::apm_errorWithCode(2, "Remote config data is corrupted");
  }
  if (!config && !error.empty()) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMRemoteConfigLogCode::kConfigNotRead,
           "Cannot retrieve configuration data from database. Error", error);
  } else if (!config) {
    APMLog(
        APMLogLevel::kDebug, APMRemoteConfigLogCode::kConfigNotInDatabase,
        "Configuration was not found in database. The configuration will be fetched from the network when necessary");
  }
  return config;
}

void APMRemoteConfig::reloadFromDatabase() {
  if (isDefaultInstance_) return;
  auto stored = measurementConfigFromDatabase();
  resetCaches();
  message_.setRemoteConfigProto(stored);
  if (stored) parseRemoteConfig(stored);
}

namespace {

// The settings' texts by key; a setting without name or value is skipped.
platform::Dictionary settingTextsOf(const std::vector<std::shared_ptr<APMPBSetting>>& settings) {
  platform::Dictionary texts;
  for (const auto& setting : settings) {
    auto name = APMNanoGetString(*setting, APMPBSetting::kName);
    auto value = APMNanoGetString(*setting, APMPBSetting::kValue);
    if (!name || name->empty() || !value) {
      APMLog(APMLogLevel::kWarningSampledOnly, APMRemoteConfigLogCode::kEmptyValueNotCached,
             "Cannot cache empty configuration value");
      continue;
    }
    texts[*name] = platform::Object(*value);
  }
  return texts;
}

// The event configurations by internal short name where one exists.
APMEventRules::EventConfigs eventConfigsOf(const APMPBMeasurementConfig& config) {
  APMEventRules::EventConfigs eventConfigs;
  for (const auto& eventConfig : repeatedMessages<APMPBEventConfig>(config, APMPBMeasurementConfig::kEventConfigs)) {
    auto name = APMNanoGetString(*eventConfig, APMPBEventConfig::kName).value_or("");
    if (name.empty()) {
      APMLog(APMLogLevel::kWarningSampledOnly, APMRemoteConfigLogCode::kEmptyEventConfigName,
             "Cannot cache event configuration with an empty configuration name");
      continue;
    }
    eventConfigs[APMInternalEventName(name)] = eventConfig;
  }
  return eventConfigs;
}

// The data controls and the consent message's values.
APMRemoteConfigConsent::Values consentValuesOf(const APMPBMeasurementConfig& config) {
  using Vocabulary = APMConsentVocabulary;
  APMRemoteConfigConsent::Values values;
  for (const auto& control : repeatedMessages<APMPBDataControl>(config, APMPBMeasurementConfig::kDataControls)) {
    if (auto name = APMNanoGetString(*control, APMPBDataControl::kName)) values.dataControls.push_back(*name);
  }
  auto consent = APMNanoGetMessage<APMPBConsentConfig>(config, APMPBMeasurementConfig::kConsentConfig);
  if (!consent) return values;
  auto readDefaults = [&](int index, platform::Dictionary& into) {
    for (const auto& entry : repeatedMessages<APMPBConsentDefaultEntry>(*consent, index)) {
      const int32_t type = APMNanoGetInt32(*entry, APMPBConsentDefaultEntry::kType);
      const int32_t mode = APMNanoGetInt32(*entry, APMPBConsentDefaultEntry::kMode);
      into[Vocabulary::consentTypeFromConfigurationValue(type)] = Vocabulary::consentValueFromConfigurationValue(mode);
    }
  };
  readDefaults(APMPBConsentConfig::kDefaultEntries, values.consentDefaults);
  readDefaults(APMPBConsentConfig::kRegionalDefaultEntries, values.regionalDefaults);
  for (const auto& entry : repeatedMessages<APMPBConsentDelegationEntry>(*consent, APMPBConsentConfig::kDelegations)) {
    const int32_t type = APMNanoGetInt32(*entry, APMPBConsentDelegationEntry::kType);
    const int32_t delegateType = APMNanoGetInt32(*entry, APMPBConsentDelegationEntry::kDelegateType);
    values.consentDelegations[Vocabulary::consentTypeFromConfigurationValue(type)] =
        Vocabulary::consentTypeFromConfigurationValue(delegateType);
  }
  for (const auto& entry :
       repeatedMessages<APMPBCorePlatformServiceEntry>(*consent, APMPBConsentConfig::kCorePlatformServices)) {
    if (auto name = APMNanoGetString(*entry, APMPBCorePlatformServiceEntry::kName)) {
      values.corePlatformServices.insert(*name);
    }
  }
  values.isDMARegion = APMNanoGetBool(*consent, APMPBConsentConfig::kDmaRegion);
  return values;
}

}  // namespace

void APMRemoteConfig::parseRemoteConfig(const std::shared_ptr<APMPBMeasurementConfig>& config) {
  auto settings = APMNanoGetRepeatedField<std::shared_ptr<APMPBSetting>>(*config, APMPBMeasurementConfig::kSettings);
  if (!settings) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMRemoteConfigLogCode::kEmptyConfigParsed,
           "Cannot parse empty measurement config. Using default values");
    return;
  }
  if (APMNanoGetString(*config, APMPBMeasurementConfig::kAppId).value_or("") != appID_) return;

  settings_.replaceTexts(settingTextsOf(*settings));
  eventRules_.replace(eventConfigsOf(*config));

  if (APMNanoHasField(*config, APMPBMeasurementConfig::kVersion)) {
    APMLog(APMLogLevel::kDebug, APMRemoteConfigLogCode::kConfigParsed, "Successfully parsed a configuration. Version",
           APMNanoGetInt64(*config, APMPBMeasurementConfig::kVersion));
  }

  // A program that does not load ends the parse: what follows keeps its previous values.
  auto programs = APMNanoGetRepeatedField<std::shared_ptr<APMPBProgram>>(*config, APMPBMeasurementConfig::kPrograms);
  if (programs && !programs_.loadPrograms(*programs)) return;

  consent_.replace(consentValuesOf(*config));

  // PSM numbers are served as configured, never compared against the settings' bounds.
  if (auto psm = APMNanoGetMessage<APMPBPsmSetting>(*config, APMPBMeasurementConfig::kPsmSetting)) {
    const std::pair<int, const char*> fields[] = {
        {APMPBPsmSetting::kEmailPrefixBits, APMSettings::kPSMPrefixEmailKey},
        {APMPBPsmSetting::kPhonePrefixBits, APMSettings::kPSMPrefixPhoneKey},
        {APMPBPsmSetting::kSignInDelayDays, APMSettings::kPSMSignInDelayKey},
    };
    for (const auto& [field, key] : fields) {
      if (APMNanoHasField(*psm, field)) settings_.cacheNumber(key, platform::Object(APMNanoGetInt32(*psm, field)));
    }
  }
}

void APMRemoteConfig::resetCaches() {
  settings_.clear();
  eventRules_.clear();
  experiments_.clearCachedFlags();
  consent_.clear();
}

void APMRemoteConfig::reset() {
  resetCaches();
  if (!isDefaultInstance_) message_.setRemoteConfigProto(nullptr);
  experiments_.reset();
}
