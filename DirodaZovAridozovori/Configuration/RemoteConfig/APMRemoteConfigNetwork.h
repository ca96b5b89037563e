#pragma once
// Where and how the SDK talks to the analytics service: the service host and scheme (deployment
// values the host program sets before starting the SDK), the upload and configuration URLs,
// server-side tagging (sSTG) with its rollout, and the network settings.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "APMSettingsCache.h"
#include "platform/Object.h"

class APMPersistedConfig;
class APMRemoteConfig;

class APMRemoteConfigNetwork {
 public:
  // The analytics service host (and its tracking-authorised variant, which defaults to the same
  // host).
  static void setAnalyticsServiceHost(const std::string& host, const std::string& trackingAuthorizedHost = "");
  static std::string analyticsServiceHost();
  static std::string trackingAuthorizedAnalyticsServiceHost();
  // The scheme of the service URLs ("https"; a host may use "http" for a local collector).
  static void setAnalyticsServiceScheme(const std::string& scheme);
  static std::string analyticsServiceScheme();

  // The configuration gives the app ID, the upload subdomain and the sSTG message; the persisted
  // configuration gives the app instance ID the rollout is drawn on.
  APMRemoteConfigNetwork(const APMRemoteConfig& config, APMSettingsCache& settings,
                         std::shared_ptr<APMPersistedConfig> persistedConfig)
      : config_(config), settings_(settings), persistedConfig_(std::move(persistedConfig)) {}
  APMRemoteConfigNetwork(const APMRemoteConfigNetwork&) = delete;
  APMRemoteConfigNetwork& operator=(const APMRemoteConfigNetwork&) = delete;

  std::string uploadURL() const;
  std::optional<std::string> remoteConfigURL(const std::optional<std::string>& platformName, int64_t sdkVersion,
                                             int64_t runtimeVersion) const;
  bool SSTGUploadEnabled();
  std::optional<std::string> SSTGUploadURL() const;
  std::optional<platform::Dictionary> SSTGUploadHTTPHeaders() const;

  double networkTimeout() { return settings_.timeIntervalInSeconds(APMSettings::kNetworkTimeout); }
  bool isNetworkBackgroundSessionEnabled() { return settings_.boolValue(APMSettings::kNetworkBackgroundSessionEnabled); }

 private:
  std::string hostForUpload() const;

  const APMRemoteConfig& config_;
  APMSettingsCache& settings_;
  std::shared_ptr<APMPersistedConfig> persistedConfig_;
};
