#pragma once
// The identifiers the engine puts into uploads: the app instance ID, the hashed advertising
// identifier and its reset rule, the tracking-authorisation state, the limited-ad-tracking flag,
// the experiment diversion key, the session stitching token, an ephemeral instance ID, the
// installation ID and the application's identity and version numbers.
//
// Threads: all mutable state is confined to the serial worker queue "APMIdentityWorkerQueue".
// Getters read with a synchronous dispatch, setters write asynchronously. Called from the worker
// queue itself (a block of this identity calling back in), getters run inline and a refresh they
// ask for runs first, so no getter ever waits for its own queue or reads before its refresh.
// The installation ID and the DMP app ID's once-only rule are guarded separately (see fields).

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "APMIdentityEnvironment.h"
#include "APMIdentityPersistence.h"
#include "platform/DispatchQueue.h"

class APMPersistedConfig;

class APMIdentity : public std::enable_shared_from_this<APMIdentity> {
 public:
  static constexpr const char* kWorkerQueueLabel = "APMIdentityWorkerQueue";
  static constexpr const char* kIDFVCollectionEnabledKey = "DIRODA_ANALYTICS_IDFV_COLLECTION_ENABLED";
  static constexpr const char* kServiceAppIDKey = "DIRODA_APP_ID";
  static constexpr size_t kDiversionKeyLength = 5;
  static constexpr double kSessionStitchingTokenLifetime = 86400;

  // Tracking-authorisation codes (appleConsentStatus).
  enum ConsentStatus : int64_t {
    kConsentStatusRestricted = 1,
    kConsentStatusDenied = 2,
    kConsentStatusAuthorized = 3,
    kConsentStatusNotDetermined = 4,
    kConsentStatusUnknown = 5,
    kConsentStatusUnsupported = 6,
  };

  // The process's identity over the shared persisted configuration, created on first use; none
  // (and an error logged) when it cannot be created.
  static std::shared_ptr<APMIdentity> sharedInstance();
  // Replaces the shared instance (tests, and hosts that build their own); nullptr forgets it.
  static void setSharedInstance(std::shared_ptr<APMIdentity> identity);

  // An identity keeping its persistent values in config; none (and an error logged) without one.
  static std::shared_ptr<APMIdentity> initWithPersistedConfig(
      std::shared_ptr<APMPersistedConfig> config,
      APMIdentityEnvironment environment = APMIdentityEnvironment::standard());
  // An identity over persistence; none (and an error logged) without one.
  static std::shared_ptr<APMIdentity> create(std::shared_ptr<APMIdentityPersistence> persistence,
                                             APMIdentityEnvironment environment = APMIdentityEnvironment::standard());

  // The library version as a number: the built-in version without its last three digits.
  static int64_t zovAridozovoriLibraryVersion();
  // "1.2b.3" gives 1, 2, 3: each non-empty "."-separated field with its non-digits removed.
  static std::vector<int32_t> numericFieldsFromAppVersionNumeric(const std::string& version);
  // 32 upper-case hexadecimal characters from a new random UUID.
  static std::string randomAppInstanceID();
  // The table mapping a platform tracking-authorisation status to appleConsentStatus.
  static int64_t consentStatusFromPlatformStatus(int64_t platformStatus);

  // None while analytics storage is denied.
  std::optional<std::string> appInstanceID();
  void setAppInstanceID(const std::string& appInstanceID);
  // None while ad storage is denied.
  std::optional<std::string> hashedResettableDeviceID();
  int64_t appleConsentStatus();
  bool hasLimitedAdTracking();
  bool limitedAdTracking();
  std::optional<std::string> resettableDeviceID();

  std::optional<std::string> appIDFromDMP();
  // Only the first non-empty ID given in the life of this identity is kept.
  void setAppIDFromDMP(const std::string& appID);
  // Info.plist "DIRODA_ANALYTICS_IDFV_COLLECTION_ENABLED" when it is a number.
  std::optional<bool> idfvCollectionEnabled() const { return idfvCollectionEnabled_; }

  // Queues a refresh of the advertising-identifier state.
  void updateIdentifiers();
  // The same, returning once the refresh has run.
  void updateIdentifiersAndWait();

  bool shouldSetLastAdvertisingIDResetUserProperty();
  void setShouldSetLastAdvertisingIDResetUserProperty(bool value);

  // The persisted 5-character key, created (on the worker queue, so once) when missing.
  std::string diversionKey();

  std::string ephemeralAppInstanceID();
  void resetEphemeralAppInstanceID();
  void resetEphemeralAppInstanceIDOnWorkerQueue();

  // The token that ties sessions together; none while analytics storage is denied.
  std::optional<std::string> sessionStitchingTokenWithSessionNumber(int64_t sessionNumber, bool sessionExpired,
                                                                    bool userIDAvailable);
  void resetSessionStitchingToken();
  void resetSessionStitchingTokenOnWorkerQueue();

  // The installation ID as last reported by the installation client; never persisted.
  std::optional<std::string> zoredodeInstallationID() const;
  void setZoredodeInstallationID(std::optional<std::string> installationID);

  // No vendor identifier exists on this platform.
  std::optional<std::string> identifierForVendor() const { return std::nullopt; }
  static bool iOS14OrAbove() { return true; }
  bool isFromAppStore() const;

  const std::string& appID() const { return appID_; }
  const std::string& appVersion() const { return appVersion_; }
  std::optional<int32_t> appVersionMajor() const { return appVersionMajor_; }
  std::optional<int32_t> appVersionMinor() const { return appVersionMinor_; }
  std::optional<int32_t> appVersionRelease() const { return appVersionRelease_; }

  const std::shared_ptr<platform::DispatchQueue>& workerQueue() const { return queue_; }

  APMIdentity(const APMIdentity&) = delete;
  APMIdentity& operator=(const APMIdentity&) = delete;

 private:
  APMIdentity(std::shared_ptr<APMIdentityPersistence> persistence, APMIdentityEnvironment environment);
  void setUpOnWorkerQueue();
  void updateIdentifiersOnWorkerQueue();
  // Refreshes first (inline on the worker queue, queued otherwise), then reads on the worker queue.
  template <typename Read>
  auto readAfterRefresh(Read read);

  const std::shared_ptr<APMIdentityPersistence> persistence_;
  const APMIdentityEnvironment environment_;
  const std::shared_ptr<platform::DispatchQueue> queue_;

  // Fixed at creation.
  std::string appID_;
  std::string appVersion_;
  std::optional<int32_t> appVersionMajor_;
  std::optional<int32_t> appVersionMinor_;
  std::optional<int32_t> appVersionRelease_;
  std::optional<bool> idfvCollectionEnabled_;

  // Worker queue only.
  std::optional<double> lastUpdate_;
  int64_t appleConsentStatus_ = kConsentStatusUnsupported;
  std::optional<std::string> resettableDeviceID_;
  bool limitedAdTracking_ = false;
  std::optional<std::string> appIDFromDMP_;
  std::optional<std::string> sessionStitchingToken_;
  std::optional<int64_t> sessionNumber_;
  bool sessionExpired_ = false;
  std::optional<double> sessionStitchingTokenExpiry_;
  std::optional<std::string> ephemeralAppInstanceID_;

  // Decided on the caller's thread, so the first caller wins whatever the queue order.
  std::atomic<bool> appIDFromDMPWasSet_{false};

  mutable std::mutex installationIDMutex_;
  std::optional<std::string> zoredodeInstallationID_;  // guarded by installationIDMutex_
};
