#include "APMRemoteConfigNetwork.h"

#include <cctype>
#include <cstring>
#include <mutex>

#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "APMPersistedConfig.h"
#include "APMRemoteConfig.h"
#include "APMRemoteConfigEngineHooks.h"
#include "APMRemoteConfigLog.h"
#include "Utilities/APMQueryString.h"
#include "platform/Bundle.h"

namespace {

// The position of the sSTG message in the configuration, and the positions of its fields.
constexpr int kSstgSetting = 14;
namespace SstgField {
constexpr int kUploadURL = 0;
constexpr int kServerInfo = 1;
constexpr int kAuthorizedUploadURL = 2;
constexpr int kRolloutPercentage = 3;
}  // namespace SstgField

constexpr int64_t kTrackingAuthorized = 3;
constexpr const char* kSSTGInfoPlistKey = "DIRODA_ANALYTICS_SSTG_UPLOAD_ENABLED";

struct Service {
  std::mutex mutex;
  std::string host = "analytics.measurement.invalid";
  std::string authorizedHost;
  std::string scheme = "https";
};

Service& service() {
  // Never destroyed: the SDK's threads may build URLs until the process has ended.
  static Service* s = new Service();
  return *s;
}

bool isTrackingAuthorized() {
  auto engine = APMRemoteConfigEngineHooks::engineHooks();
  return engine.appDataConsentStatus && engine.appDataConsentStatus() == kTrackingAuthorized;
}

// Percent-encodes everything outside the URL-path characters.
std::string percentEncodePath(const std::string& text) {
  static const char* kAllowed = "-._~!$&'()*+,;=:@/";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || strchr(kAllowed, c)) {
      out.push_back(static_cast<char>(c));
    } else {
      char buffer[4];
      std::snprintf(buffer, sizeof(buffer), "%%%02X", c);
      out += buffer;
    }
  }
  return out;
}

bool isValidURL(const std::string& text) {
  for (const char* scheme : {"https://", "http://"}) {
    size_t n = strlen(scheme);
    if (text.size() > n && text.compare(0, n, scheme) == 0) {
      return text.find_first_of(" \t\r\n") == std::string::npos && text[n] != '/';
    }
  }
  return false;
}

// One or more host-name labels: letters, digits and inner hyphens, separated by single dots.
bool isHostNameLabels(const std::string& text) {
  if (text.empty() || text.size() > 253 || text.front() == '.' || text.back() == '.') return false;
  char previous = '.';
  for (char c : text) {
    bool alnum = std::isalnum(static_cast<unsigned char>(c)) != 0;
    if (c == '.') {
      if (previous == '.' || previous == '-') return false;
    } else if (c == '-') {
      if (previous == '.') return false;
    } else if (!alnum) {
      return false;
    }
    previous = c;
  }
  return previous != '-';
}

// A stable string hash (64-bit FNV-1a) for the server-side tagging rollout.
uint64_t stableHash(const std::string& text) {
  uint64_t hash = 1469598103934665603ULL;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 1099511628211ULL;
  }
  return hash;
}

std::shared_ptr<APMPBSstgSetting> sstgOf(const APMRemoteConfig& config) {
  auto proto = config.message().remoteConfigProto();
  return proto ? APMNanoGetMessage<APMPBSstgSetting>(*proto, kSstgSetting) : nullptr;
}

}  // namespace

// MARK: - Deployment values

void APMRemoteConfigNetwork::setAnalyticsServiceHost(const std::string& host, const std::string& trackingAuthorizedHost) {
  std::lock_guard<std::mutex> lock(service().mutex);
  service().host = host;
  service().authorizedHost = trackingAuthorizedHost;
}

std::string APMRemoteConfigNetwork::analyticsServiceHost() {
  std::lock_guard<std::mutex> lock(service().mutex);
  return service().host;
}

std::string APMRemoteConfigNetwork::trackingAuthorizedAnalyticsServiceHost() {
  std::lock_guard<std::mutex> lock(service().mutex);
  return service().authorizedHost.empty() ? service().host : service().authorizedHost;
}

void APMRemoteConfigNetwork::setAnalyticsServiceScheme(const std::string& scheme) {
  std::lock_guard<std::mutex> lock(service().mutex);
  service().scheme = scheme.empty() ? "https" : scheme;
}

std::string APMRemoteConfigNetwork::analyticsServiceScheme() {
  std::lock_guard<std::mutex> lock(service().mutex);
  return service().scheme;
}

// MARK: - URLs and server-side tagging

std::string APMRemoteConfigNetwork::hostForUpload() const {
  return isTrackingAuthorized() ? trackingAuthorizedAnalyticsServiceHost() : analyticsServiceHost();
}

std::string APMRemoteConfigNetwork::uploadURL() const {
  std::string host = hostForUpload();
  auto subdomain = config_.message().uploadSubdomain();
  // The subdomain comes from the server: only host-name characters may join the host, so a value
  // such as "evil.example#" can never move the upload to another host or path.
  if (subdomain && isHostNameLabels(*subdomain)) host = *subdomain + "." + host;
  return analyticsServiceScheme() + "://" + host + "/a";
}

std::optional<std::string> APMRemoteConfigNetwork::remoteConfigURL(const std::optional<std::string>& platformName,
                                                                   int64_t sdkVersion, int64_t runtimeVersion) const {
  const std::string& appID = config_.appID();
  if (appID.empty()) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMRemoteConfigLogCode::kFetchURLWithoutAppID,
           "Cannot create a URL to fetch a configuration with empty app ID");
    return std::nullopt;
  }
  if (!platformName) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMRemoteConfigLogCode::kFetchURLWithoutPlatform,
           "Cannot create a URL to fetch a configuration with empty platform");
    return std::nullopt;
  }
  APMQueryItems query{{"platform", *platformName}, {"dmp_version", sdkVersion}, {"runtime_version", runtimeVersion}};
  return analyticsServiceScheme() + "://" + analyticsServiceHost() + "/config/app/" + percentEncodePath(appID) + "?" +
         apm_queryString(query);
}

bool APMRemoteConfigNetwork::SSTGUploadEnabled() {
  if (!settings_.boolValue(APMSettings::kSSTGUploadEnabled)) return false;
  platform::Object plistSwitch = platform::Bundle::objectForInfoDictionaryKey(kSSTGInfoPlistKey);
  if (!plistSwitch.isNumber() || !plistSwitch.boolValue()) return false;
  auto sstg = sstgOf(config_);
  if (!sstg || APMNanoGetString(*sstg, SstgField::kUploadURL).value_or("").empty()) return false;
  auto engine = APMRemoteConfigEngineHooks::engineHooks();
  if (engine.sstgPreviewHeaders && engine.sstgPreviewHeaders()) return true;
  std::string appInstanceID = persistedConfig_ ? persistedConfig_->identifiers().appInstanceID().value_or("") : "";
  int32_t percentage = APMNanoGetInt32(*sstg, SstgField::kRolloutPercentage);
  if (appInstanceID.empty() && percentage < 100) return false;
  return static_cast<int64_t>(stableHash(appInstanceID) % 100) < percentage;
}

std::optional<std::string> APMRemoteConfigNetwork::SSTGUploadURL() const {
  auto sstg = sstgOf(config_);
  if (!sstg) return std::nullopt;
  if (isTrackingAuthorized()) {
    auto authorized = APMNanoGetString(*sstg, SstgField::kAuthorizedUploadURL);
    if (authorized && isValidURL(*authorized)) return authorized;
  }
  return APMNanoGetString(*sstg, SstgField::kUploadURL);
}

std::optional<platform::Dictionary> APMRemoteConfigNetwork::SSTGUploadHTTPHeaders() const {
  auto sstg = sstgOf(config_);
  if (!sstg) return std::nullopt;
  auto info = APMNanoGetString(*sstg, SstgField::kServerInfo);
  if (!info || info->empty()) return std::nullopt;
  return platform::Dictionary{{"x-sstg-server-info", *info}};
}
