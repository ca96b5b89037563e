#pragma once
// The identifiers the engine puts into uploads: the app instance ID, the hashed advertising
// identifier and its reset rule, the tracking-authorisation state, the limited-ad-tracking flag and
// the experiment diversion key. Its parts hold the rest: the application's identity and version
// numbers (APMApplicationIdentity), the session stitching token and an ephemeral instance ID
// (APMEphemeralIdentifiers), and the service's app ID and the installation ID it is given
// (APMProvidedIdentifiers).
//
// Threads: all mutable state is confined to the serial worker queue "APMIdentityWorkerQueue".
// Getters read with a synchronous dispatch, setters write asynchronously. Called from the worker
// queue itself (a block of this identity calling back in), getters run inline and a refresh they
// ask for runs first, so no getter ever waits for its own queue or reads before its refresh.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "APMAdvertisingIdentifiers.h"
#include "APMApplicationIdentity.h"
#include "APMEphemeralIdentifiers.h"
#include "APMIdentityEnvironment.h"
#include "APMIdentityPersistence.h"
#include "APMProvidedIdentifiers.h"
#include "platform/DispatchQueue.h"

class APMPersistedConfig;

class APMIdentity : public std::enable_shared_from_this<APMIdentity> {
 public:
  static constexpr const char* kWorkerQueueLabel = "APMIdentityWorkerQueue";
  static constexpr size_t kDiversionKeyLength = 5;

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

  // Queues a refresh of the advertising-identifier state.
  void updateIdentifiers();
  // The same, returning once the refresh has run.
  void updateIdentifiersAndWait();

  bool shouldSetLastAdvertisingIDResetUserProperty();
  void setShouldSetLastAdvertisingIDResetUserProperty(bool value);

  // The persisted 5-character key, created (on the worker queue, so once) when missing.
  std::string diversionKey();

  // Made once with the identity: any thread may read it.
  const APMApplicationIdentity& application() const { return application_; }
  // Share the identity's worker queue.
  APMEphemeralIdentifiers& ephemeralIdentifiers() const { return *ephemeralIdentifiers_; }
  APMProvidedIdentifiers& providedIdentifiers() const { return *providedIdentifiers_; }

  const std::shared_ptr<platform::DispatchQueue>& workerQueue() const { return queue_; }

  APMIdentity(const APMIdentity&) = delete;
  APMIdentity& operator=(const APMIdentity&) = delete;

 private:
  APMIdentity(std::shared_ptr<APMIdentityPersistence> persistence, APMIdentityEnvironment environment);
  void setUpOnWorkerQueue();
  // Refreshes first (inline on the worker queue, queued otherwise), then reads on the worker queue.
  template <typename Read>
  auto readAfterRefresh(Read read);

  const std::shared_ptr<APMIdentityPersistence> persistence_;
  const APMIdentityEnvironment environment_;
  const std::shared_ptr<platform::DispatchQueue> queue_;

  const APMApplicationIdentity application_;
  const std::shared_ptr<APMEphemeralIdentifiers> ephemeralIdentifiers_;
  const std::shared_ptr<APMProvidedIdentifiers> providedIdentifiers_;

  // Worker queue only.
  APMAdvertisingIdentifiers advertising_;
};
