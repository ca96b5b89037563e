#pragma once
// The rules of the configuration fetch that need no queue: the conditional-request headers, what a
// reply status means, and the apply transaction that stores a downloaded configuration together
// with its audiences (or nothing at all).

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Object.h"

class APMDatabase;
class APMPBAudience;
class APMPersistedConfigDownload;
class APMRemoteConfig;

inline constexpr const char* kAPMConfigFetchPlatform = "macos";
inline constexpr const char* kAPMIfModifiedSinceHeader = "If-Modified-Since";
inline constexpr const char* kAPMIfNoneMatchHeader = "If-None-Match";
inline constexpr const char* kAPMLastModifiedHeader = "Last-Modified";
inline constexpr const char* kAPMETagHeader = "ETag";

using APMConfigFetchHeaders = std::vector<std::pair<std::string, std::string>>;

// The validators of the stored configuration, sent only when the stored configuration was
// written by this library version: a new library always downloads a full configuration.
APMConfigFetchHeaders APMConditionalConfigFetchHeaders(const APMPersistedConfigDownload& configDownload,
                                                       int64_t libraryVersion);

// 200, 204, 304 and 404 end a fetch successfully (the last two keep the stored configuration).
bool APMIsSuccessfulConfigFetchStatus(int64_t status);
// 429 and 503 also start the back-off period.
bool APMIsBackoffConfigFetchStatus(int64_t status);

// The outcome of one apply transaction.
enum class APMRemoteConfigApplyResult {
  kApplied,              // committed: configuration and audiences stored
  kInvalidData,          // the body does not decode (23135)
  kWrongAppID,           // the configuration belongs to another app (23136)
  kConfigNotStored,      // the configuration could not be stored (23138)
  kAudiencesNotStored,   // the audiences could not be stored (23137)
  kTransactionFailed,    // the database refused to begin or commit the transaction
};

// Stores the audiences taken out of a configuration (the audience component's job) under the
// limits of the configuration just parsed; false rolls the whole configuration back.
using APMAudienceUpdater = std::function<bool(APMDatabase& database, APMRemoteConfig& remoteConfig,
                                              const std::vector<std::shared_ptr<APMPBAudience>>& audiences)>;

struct APMRemoteConfigApplyContext {
  APMDatabase& database;
  APMRemoteConfig& remoteConfig;
  // The app ID the running app was configured with.
  std::optional<std::string> appIDFromDMP;
  // Pushes the configuration's consent defaults and delegations to the consent state.
  std::function<void()> updateConsentSettings;
  // Empty: the audiences are dropped.
  APMAudienceUpdater updateAudiences;
};

// Decodes body and, in one database transaction, stores the configuration without its audiences
// and the audiences apart. Logs what failed. When the transaction does not commit, the remote
// configuration in memory (and the consent defaults taken from it) are reloaded from the
// database, so memory never holds a configuration the disk does not.
APMRemoteConfigApplyResult APMApplyRemoteConfig(const platform::Data& body, const APMRemoteConfigApplyContext& context);
