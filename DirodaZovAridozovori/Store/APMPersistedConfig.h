#pragma once
// The measurement SDK's persisted state: one property-list file, "com.diroda.dmp.measurement", in
// the storage directory, every property one "/diroda/measurement/" key.
//
// Thread-safe: the backing store guards itself, so any queue may read and write. Changes reach the
// file shortly after they are made (written atomically: a torn write is impossible, and a corrupt
// file reads as empty) and at once through synchronizeToDisk. Setting none removes the key.

#include <memory>
#include <optional>
#include <string>

#include "APMPersistedAttribution.h"
#include "APMPersistedConfigDownload.h"
#include "APMPersistedConsent.h"
#include "APMPersistedIdentifiers.h"
#include "APMPersistedSession.h"
#include "APMPersistedUploadSchedule.h"
#include "APMPersistedValues.h"

// The owner of the file: each group of values is a part it hands out, all parts on its one store.
class APMPersistedConfig : public APMPersistedValues {
 public:
  static constexpr const char* kFileName = "com.diroda.dmp.measurement";

  // The shared instance for the current data directory (a new directory gives a new instance).
  static std::shared_ptr<APMPersistedConfig> sharedInstance();
  // Tests: writes what is pending and forgets the shared instance.
  static void resetSharedInstanceForTesting();

  explicit APMPersistedConfig(const std::string& path);
  APMPersistedConfig(const APMPersistedConfig&) = delete;
  APMPersistedConfig& operator=(const APMPersistedConfig&) = delete;

  const std::string& path() const { return store_->path(); }

  APMPersistedIdentifiers& identifiers() { return identifiers_; }
  APMPersistedSession& session() { return session_; }
  APMPersistedConsent& consent() { return consent_; }
  APMPersistedAttribution& attribution() { return attribution_; }
  APMPersistedUploadSchedule& uploadSchedule() { return uploadSchedule_; }
  APMPersistedConfigDownload& configDownload() { return configDownload_; }

  std::optional<platform::Dictionary> defaultEventParameters() const;
  void setDefaultEventParameters(std::optional<platform::Dictionary> v);
  std::optional<std::string> zoredodeFeatureRollouts() const { return stringValue("zoredode_feature_rollouts"); }
  void setZoredodeFeatureRollouts(std::optional<std::string> v) { set("zoredode_feature_rollouts", v); }

  // Removes every stored value.
  void clearValues();
  // Writes pending changes to the file now; true when the file holds what memory holds.
  bool synchronizeToDisk();

 private:
  APMPersistedIdentifiers identifiers_;
  APMPersistedSession session_;
  APMPersistedConsent consent_;
  APMPersistedAttribution attribution_;
  APMPersistedUploadSchedule uploadSchedule_;
  APMPersistedConfigDownload configDownload_;
};
