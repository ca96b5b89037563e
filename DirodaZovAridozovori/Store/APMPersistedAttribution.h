#pragma once
// The facts of the install and where it came from: when the SDK was first loaded and the app first
// opened, the ad campaign it was opened from, and how far the search-ad and deferred deep-link
// look-ups got, so each is asked once per install and retried within its limits.

#include "APMPersistedValues.h"

class APMPersistedAttribution : public APMPersistedValues {
 public:
  explicit APMPersistedAttribution(std::shared_ptr<platform::UserDefaults> store)
      : APMPersistedValues(std::move(store)) {}

  std::optional<double> loadTimestampValue() const { return doubleValue("load_timestamp"); }
  void setLoadTimestampValue(std::optional<double> v) { set("load_timestamp", v); }
  // Milliseconds since 1970; 0 when unknown.
  int64_t firstOpenTimestampMilliseconds() const { return integerValue("first_open_time").value_or(0); }
  void setFirstOpenTimestampMilliseconds(std::optional<int64_t> v) { set("first_open_time", v); }
  std::optional<int64_t> previousFirstOpenCount() const { return integerValue("previous_first_open_count"); }
  void setPreviousFirstOpenCount(std::optional<int64_t> v) { set("previous_first_open_count", v); }
  bool unmatchedFirstOpenWithoutIDFA() const { return boolValue("unmatched_first_open_without_idfa").value_or(false); }
  void setUnmatchedFirstOpenWithoutIDFA(std::optional<bool> v) { set("unmatched_first_open_without_idfa", v); }
  // The encoded ad campaign message.
  std::optional<platform::Data> adCampaignInfoBuffer() const;
  void setAdCampaignInfoBuffer(std::optional<platform::Data> v);
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
};
