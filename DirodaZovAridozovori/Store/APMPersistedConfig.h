#pragma once
// The measurement SDK's persisted state: one property-list file, "com.diroda.dmp.measurement", in
// the storage directory, every property one "/diroda/measurement/" key.
//
// Thread-safe: the backing store guards itself, so any queue may read and write. Changes reach the
// file shortly after they are made (written atomically: a torn write is impossible, and a corrupt
// file reads as empty) and at once through synchronizeToDisk. Setting none removes the key.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/Object.h"
#include "platform/UserDefaults.h"

class APMPersistedConfig {
 public:
  static constexpr const char* kFileName = "com.diroda.dmp.measurement";
  static constexpr const char* kKeyPrefix = "/diroda/measurement/";

  // The shared instance for the current data directory (a new directory gives a new instance).
  static std::shared_ptr<APMPersistedConfig> sharedInstance();
  // Tests: writes what is pending and forgets the shared instance.
  static void resetSharedInstanceForTesting();

  explicit APMPersistedConfig(const std::string& path);

  const std::string& path() const { return store_->path(); }

  std::optional<double> loadTimestampValue() const { return doubleValue("load_timestamp"); }
  void setLoadTimestampValue(std::optional<double> v) { set("load_timestamp", v); }
  // 1 enabled, 2 disabled, 0 unset.
  int64_t measurementEnabledState() const { return integerValue("measurement_enabled_state").value_or(0); }
  void setMeasurementEnabledState(std::optional<int64_t> v) { set("measurement_enabled_state", v); }
  std::optional<std::string> appIDFromDMP() const { return stringValue("app_id_from_dmp"); }
  void setAppIDFromDMP(std::optional<std::string> v) { set("app_id_from_dmp", v); }
  std::optional<std::string> appIDFromZiRoz() const { return stringValue("app_id_from_zi_roz"); }
  void setAppIDFromZiRoz(std::optional<std::string> v) { set("app_id_from_zi_roz", v); }
  std::optional<std::string> appInstanceID() const { return stringValue("app_instance_id"); }
  void setAppInstanceID(std::optional<std::string> v) { set("app_instance_id", v); }
  std::optional<std::string> hashedResettableDeviceID() const { return stringValue("hashed_idfa"); }
  void setHashedResettableDeviceID(std::optional<std::string> v) { set("hashed_idfa", v); }
  std::optional<std::string> diversionKey() const { return stringValue("diversion_key"); }
  void setDiversionKey(std::optional<std::string> v) { set("diversion_key", v); }
  bool shouldSetLastAdvertisingIDResetUserProperty() const { return boolValue("should_set_lair").value_or(false); }
  void setShouldSetLastAdvertisingIDResetUserProperty(std::optional<bool> v) { set("should_set_lair", v); }
  // Milliseconds since 1970; 0 when unknown.
  int64_t firstOpenTimestampMilliseconds() const { return integerValue("first_open_time").value_or(0); }
  void setFirstOpenTimestampMilliseconds(std::optional<int64_t> v) { set("first_open_time", v); }
  std::optional<int64_t> previousFirstOpenCount() const { return integerValue("previous_first_open_count"); }
  void setPreviousFirstOpenCount(std::optional<int64_t> v) { set("previous_first_open_count", v); }
  std::optional<std::string> appVersion() const { return stringValue("app_version"); }
  void setAppVersion(std::optional<std::string> v) { set("app_version", v); }
  std::optional<std::string> osVersion() const { return stringValue("os_version"); }
  void setOsVersion(std::optional<std::string> v) { set("os_version", v); }
  int64_t sessionNumber() const { return integerValue("session_number").value_or(0); }
  void setSessionNumber(std::optional<int64_t> v) { set("session_number", v); }
  std::optional<double> sessionTimeoutValue() const { return doubleValue("session_timeout"); }
  void setSessionTimeoutValue(std::optional<double> v) { set("session_timeout", v); }
  double lastSessionActivityClockTime() const { return doubleValue("last_engagement_end").value_or(0); }
  void setLastSessionActivityClockTime(std::optional<double> v) { set("last_engagement_end", v); }
  std::optional<double> midnightOffset() const { return doubleValue("midnight_offset"); }
  void setMidnightOffset(std::optional<double> v) { set("midnight_offset", v); }
  std::optional<platform::Dictionary> defaultEventParameters() const;
  void setDefaultEventParameters(std::optional<platform::Dictionary> v);
  std::optional<std::string> zoredodeFeatureRollouts() const { return stringValue("zoredode_feature_rollouts"); }
  void setZoredodeFeatureRollouts(std::optional<std::string> v) { set("zoredode_feature_rollouts", v); }
  // The encoded ad campaign message.
  std::optional<platform::Data> adCampaignInfoBuffer() const;
  void setAdCampaignInfoBuffer(std::optional<platform::Data> v);
  std::optional<bool> allowPersonalizedAds() const { return boolValue("allow_personalized_ads"); }
  void setAllowPersonalizedAds(std::optional<bool> v) { set("allow_personalized_ads", v); }
  bool unmatchedFirstOpenWithoutIDFA() const { return boolValue("unmatched_first_open_without_idfa").value_or(false); }
  void setUnmatchedFirstOpenWithoutIDFA(std::optional<bool> v) { set("unmatched_first_open_without_idfa", v); }
  std::optional<std::string> previousBundledConsentSignals() const { return stringValue("previous_consent_signals"); }
  void setPreviousBundledConsentSignals(std::optional<std::string> v) { set("previous_consent_signals", v); }
  double lastMonitorDataSampledTimestamp() const { return doubleValue("last_monitor_sample_time").value_or(0); }
  void setLastMonitorDataSampledTimestamp(std::optional<double> v) { set("last_monitor_sample_time", v); }
  double lastBackoffTimestamp() const { return doubleValue("last_backoff_time").value_or(0); }
  void setLastBackoffTimestamp(std::optional<double> v) { set("last_backoff_time", v); }
  double lastSuccessfulUploadTimestamp() const { return doubleValue("last_upload_success_time").value_or(0); }
  void setLastSuccessfulUploadTimestamp(std::optional<double> v) { set("last_upload_success_time", v); }
  double lastFailedUploadTimestamp() const { return doubleValue("last_upload_failure_time").value_or(0); }
  void setLastFailedUploadTimestamp(std::optional<double> v) { set("last_upload_failure_time", v); }
  int64_t configDMPVersion() const { return integerValue("config_version").value_or(0); }
  void setConfigDMPVersion(std::optional<int64_t> v) { set("config_version", v); }
  std::optional<std::string> configServerLastModifiedString() const { return stringValue("config_last_modified"); }
  void setConfigServerLastModifiedString(std::optional<std::string> v) { set("config_last_modified", v); }
  std::optional<std::string> configServerETag() const { return stringValue("config_etag"); }
  void setConfigServerETag(std::optional<std::string> v) { set("config_etag", v); }
  std::optional<bool> searchAdCampaignValue() const { return boolValue("is_search_ad_campaign"); }
  void setSearchAdCampaignValue(std::optional<bool> v) { set("is_search_ad_campaign", v); }
  int64_t searchAdRetryCount() const { return integerValue("search_ad_number_of_retries").value_or(0); }
  void setSearchAdRetryCount(std::optional<int64_t> v) { set("search_ad_number_of_retries", v); }
  double lastSearchAdLookUpTimestamp() const { return doubleValue("search_ad_last_attempt_timestamp").value_or(0); }
  void setLastSearchAdLookUpTimestamp(std::optional<double> v) { set("search_ad_last_attempt_timestamp", v); }
  // Present means done.
  bool deferredDeepLinkRetrievalComplete() const { return has("deep_link_retrieval_complete"); }
  void setDeferredDeepLinkRetrievalComplete(std::optional<bool> v) { set("deep_link_retrieval_complete", v); }
  int64_t deferredDeepLinkRetryCount() const { return integerValue("deep_link_retry_count").value_or(0); }
  void setDeferredDeepLinkRetryCount(std::optional<int64_t> v) { set("deep_link_retry_count", v); }

  // Removes every stored value.
  void clearValues();
  // Writes pending changes to the file now; true when the file holds what memory holds.
  bool synchronizeToDisk();

 private:
  static std::string keyFor(const std::string& name) { return std::string(kKeyPrefix) + name; }
  bool has(const std::string& name) const;
  std::optional<double> doubleValue(const std::string& name) const;
  std::optional<int64_t> integerValue(const std::string& name) const;
  std::optional<bool> boolValue(const std::string& name) const;
  std::optional<std::string> stringValue(const std::string& name) const;
  template <typename T>
  void set(const std::string& name, const std::optional<T>& value) {
    setObject(name, value ? platform::Object(*value) : platform::Object());
  }
  void setObject(const std::string& name, const platform::Object& value);

  std::shared_ptr<platform::UserDefaults> store_;
};
