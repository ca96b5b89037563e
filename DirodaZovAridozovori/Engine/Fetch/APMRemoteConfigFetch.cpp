#include "APMRemoteConfigFetch.h"

#include "APMDatabase.h"
#include "APMMonitor.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "APMPersistedConfigDownload.h"
#include "DirodaZovAridozovori/Engine/Fetch/APMFetchLog.h"
#include "RemoteConfig/APMRemoteConfig.h"

namespace {

std::string bodyText(const platform::Data& body) { return std::string(body.begin(), body.end()); }

// The steps inside the transaction; kApplied lets it commit.
APMRemoteConfigApplyResult applyInTransaction(const platform::Data& body, const APMRemoteConfigApplyContext& context,
                                              bool& configurationChanged) {
  auto config = APMPBMeasurementConfig::fromBuffer(body);
  if (!config) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMFetchLogCode::kConfigurationDataInvalid,
           "Configuration data is invalid.");
    return APMRemoteConfigApplyResult::kInvalidData;
  }
  auto appID = APMNanoGetString(*config, APMPBMeasurementConfig::kAppId);
  if (!appID || !context.appIDFromDMP || *appID != *context.appIDFromDMP) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMFetchLogCode::kConfigurationWithoutValidAppID,
           "Configuration does not have valid Diroda App ID.");
    return APMRemoteConfigApplyResult::kWrongAppID;
  }
  // The stored configuration never carries audiences: they live in their own tables.
  auto audiences = APMNanoGetRepeatedField<std::shared_ptr<APMPBAudience>>(*config, APMPBMeasurementConfig::kAudiences)
                       .value_or(std::vector<std::shared_ptr<APMPBAudience>>{});
  APMNanoClearField(*config, APMPBMeasurementConfig::kAudiences);

  configurationChanged = true;
  if (!context.remoteConfig.updateMeasurementConfig(config)) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMFetchLogCode::kFailedUpdateConfigurationNewServerConfiguration,
           "Failed to update configuration with new server configuration", bodyText(body));
    return APMRemoteConfigApplyResult::kConfigNotStored;
  }
  if (context.updateConsentSettings) context.updateConsentSettings();
  if (context.updateAudiences && !context.updateAudiences(context.database, context.remoteConfig, audiences)) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMFetchLogCode::kFailedUpdateAudiencesNewServerConfiguration,
           "Failed to update audiences with new server configuration", bodyText(body));
    return APMRemoteConfigApplyResult::kAudiencesNotStored;
  }
  return APMRemoteConfigApplyResult::kApplied;
}

}  // namespace

APMConfigFetchHeaders APMConditionalConfigFetchHeaders(const APMPersistedConfigDownload& configDownload,
                                                       int64_t libraryVersion) {
  APMConfigFetchHeaders headers;
  if (configDownload.configDMPVersion() != libraryVersion) return headers;
  auto lastModified = configDownload.configServerLastModifiedString();
  if (lastModified && !lastModified->empty()) headers.emplace_back(kAPMIfModifiedSinceHeader, *lastModified);
  auto etag = configDownload.configServerETag();
  if (etag && !etag->empty()) headers.emplace_back(kAPMIfNoneMatchHeader, *etag);
  return headers;
}

bool APMIsSuccessfulConfigFetchStatus(int64_t status) {
  return status == 200 || status == 204 || status == 304 || status == 404;
}

bool APMIsBackoffConfigFetchStatus(int64_t status) { return status == 429 || status == 503; }

APMRemoteConfigApplyResult APMApplyRemoteConfig(const platform::Data& body, const APMRemoteConfigApplyContext& context) {
  auto result = APMRemoteConfigApplyResult::kTransactionFailed;
  bool configurationChanged = false;
  platform::Error error;
  const bool committed = context.database.performTransaction(
      [&] {
        result = applyInTransaction(body, context, configurationChanged);
        return result == APMRemoteConfigApplyResult::kApplied;
      },
      &error);
  if (committed) return APMRemoteConfigApplyResult::kApplied;
  if (result == APMRemoteConfigApplyResult::kApplied) result = APMRemoteConfigApplyResult::kTransactionFailed;
  if (configurationChanged) {
    // The rolled-back configuration may already have been parsed into memory.
    context.remoteConfig.reloadFromDatabase();
    if (context.updateConsentSettings) context.updateConsentSettings();
  }
  return result;
}
