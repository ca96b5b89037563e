#pragma once
// The engine's start on the worker queue: the objects its first start makes (the identity, the
// database, the configuration, the sessions) and the steps around opening the database: the consent
// chosen for the start, the wipe after a changed app ID, the app ID recorded for the next start,
// the first open with its properties and events, the app and OS update reports, and what is kept
// from before (the session number, the ad campaign info). Owned by the engine, which it reads
// through the engine's public face; worker queue only, but where it says otherwise.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "DirodaZovAridozovori/Core/APMLogCode.h"

class APMMeasurement;

class APMStartUp {
 public:
  explicit APMStartUp(APMMeasurement& engine) : engine_(engine) {}
  APMStartUp(const APMStartUp&) = delete;
  APMStartUp& operator=(const APMStartUp&) = delete;

  // Makes the engine's objects at the first call (identity, database, configuration, sessions) and
  // takes its steps; every call then sends what a start sends. False when the objects could not be
  // made.
  bool startMeasurementOnWorkerQueue();
  // Any thread: the objects exist.
  bool didInitializeComponents() const { return didInitializeComponents_.load(); }

  // The consent of the highest-ranked source that has one (TCF, Info.plist, the start's own).
  void setProspectiveConsentSettings();
  // A wipe retried after a failure, or a change of the app ID since the last start.
  bool shouldWipeDataWithAppID(const std::string& appID, const std::optional<std::string>& appIDFromDMP,
                               const std::optional<std::string>& persistedAppIDFromDMP);
  // The app ID a wipe found, for the next first open ("_pdmp").
  void setPreviousDMPAppID(std::optional<std::string> appID) { previousDMPAppID_ = std::move(appID); }
  void updatePersistedAppIDFromDMP();
  // Empties the database, the persisted values, the consent and the identifiers, and tells the
  // components first; false when the database could not be reset.
  bool wipeoutAnalyticsDataAndResetComponents();
  void updateCachedAdCampaignInfoWithExistingZBRAIDProperty();
  void backfillSessionNumber();
  void reportFirstOpenOnWorkerQueue();
  void reportAppUpdateOnWorkerQueue();
  void reportOSUpdateOnWorkerQueue();
  static int64_t timestampMillisRoundedUpToNextHour(int64_t milliseconds);
  bool isVersionSameAsOriginalVersion() const;
  // The persisted previous first-open count as decimal text ("0" when none).
  std::string previousFirstOpenCount() const;
  void setPreviousFirstOpenCount(const std::string& count);

 private:
  bool initializeComponentsOnWorkerQueue();
  // What the configuration asks of the engine, answered from any queue.
  void installRemoteConfigHooks();
  std::optional<bool> storedUserPropertyExists(const std::string& name, APMLogCode errorCode, const char* errorText);
  bool setInternalUserProperty(const std::string& name, int64_t value, double timestamp);

  APMMeasurement& engine_;
  std::optional<std::string> previousDMPAppID_;
  std::atomic<bool> didInitializeComponents_{false};
  std::mutex initializeComponentsLock_;
};
