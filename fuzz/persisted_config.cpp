// The SDK's persisted configuration file as the next start reads it, which may be torn, hand-edited
// or hold values of any kind: every typed value of every part read, then used as the start uses
// the session's (its timeout, last activity and number, the day its midnight offset gives).
// What was read, written into a new file, must read back as the same values, and a file written
// from what that one reads must hold the same bytes.
#include <cmath>
#include <cstring>
#include <functional>
#include <fstream>
#include <iterator>
#include <vector>

#include "APMEventRoad.h"
#include "APMPersistedConfig.h"
#include "FuzzSupport.h"
#include "Session/APMSessionClock.h"
#include "platform/PropertyList.h"

namespace {

constexpr double kDefaultTimeout = 1800;

// Every typed value the parts read, in one place.
struct Reading {
  std::optional<std::string> appIDFromDMP, appIDFromZiRoz, appInstanceID, hashedID, diversionKey, appVersion, osVersion;
  bool lair = false;
  int64_t sessionNumber = 0;
  std::optional<double> sessionTimeout, midnightOffset;
  double lastActivity = 0;
  int64_t enabledState = 0;
  std::optional<bool> personalizedAds;
  std::optional<std::string> consentSignals;
  std::optional<double> loadTimestamp;
  int64_t firstOpen = 0;
  std::optional<int64_t> previousFirstOpenCount;
  bool unmatchedFirstOpen = false;
  std::optional<platform::Data> campaign;
  std::optional<bool> searchAdCampaign;
  int64_t searchAdRetries = 0;
  double searchAdLastAttempt = 0;
  bool deepLinkComplete = false;
  int64_t deepLinkRetries = 0;
  double monitorSample = 0, backoff = 0, uploadSuccess = 0, uploadFailure = 0;
  int64_t configVersion = 0;
  std::optional<std::string> lastModified, etag;
  std::optional<platform::Dictionary> defaultParameters;
  std::optional<std::string> rollouts;
};

Reading read(APMPersistedConfig& config) {
  Reading r;
  auto& ids = config.identifiers();
  r.appIDFromDMP = ids.appIDFromDMP();
  r.appIDFromZiRoz = ids.appIDFromZiRoz();
  r.appInstanceID = ids.appInstanceID();
  r.hashedID = ids.hashedResettableDeviceID();
  r.diversionKey = ids.diversionKey();
  r.appVersion = ids.appVersion();
  r.osVersion = ids.osVersion();
  r.lair = ids.shouldSetLastAdvertisingIDResetUserProperty();
  auto& session = config.session();
  r.sessionNumber = session.sessionNumber();
  r.sessionTimeout = session.sessionTimeoutValue();
  r.lastActivity = session.lastSessionActivityClockTime();
  r.midnightOffset = session.midnightOffset();
  auto& consent = config.consent();
  r.enabledState = consent.measurementEnabledState();
  r.personalizedAds = consent.allowPersonalizedAds();
  r.consentSignals = consent.previousBundledConsentSignals();
  auto& attribution = config.attribution();
  r.loadTimestamp = attribution.loadTimestampValue();
  r.firstOpen = attribution.firstOpenTimestampMilliseconds();
  r.previousFirstOpenCount = attribution.previousFirstOpenCount();
  r.unmatchedFirstOpen = attribution.unmatchedFirstOpenWithoutIDFA();
  r.campaign = attribution.adCampaignInfoBuffer();
  r.searchAdCampaign = attribution.searchAdCampaignValue();
  r.searchAdRetries = attribution.searchAdRetryCount();
  r.searchAdLastAttempt = attribution.lastSearchAdLookUpTimestamp();
  r.deepLinkComplete = attribution.deferredDeepLinkRetrievalComplete();
  r.deepLinkRetries = attribution.deferredDeepLinkRetryCount();
  auto& schedule = config.uploadSchedule();
  r.monitorSample = schedule.lastMonitorDataSampledTimestamp();
  r.backoff = schedule.lastBackoffTimestamp();
  r.uploadSuccess = schedule.lastSuccessfulUploadTimestamp();
  r.uploadFailure = schedule.lastFailedUploadTimestamp();
  auto& download = config.configDownload();
  r.configVersion = download.configDMPVersion();
  r.lastModified = download.configServerLastModifiedString();
  r.etag = download.configServerETag();
  r.defaultParameters = config.defaultEventParameters();
  r.rollouts = config.zoredodeFeatureRollouts();
  return r;
}

void write(const Reading& r, APMPersistedConfig& config) {
  auto& ids = config.identifiers();
  ids.setAppIDFromDMP(r.appIDFromDMP);
  ids.setAppIDFromZiRoz(r.appIDFromZiRoz);
  ids.setAppInstanceID(r.appInstanceID);
  ids.setHashedResettableDeviceID(r.hashedID);
  ids.setDiversionKey(r.diversionKey);
  ids.setAppVersion(r.appVersion);
  ids.setOsVersion(r.osVersion);
  ids.setShouldSetLastAdvertisingIDResetUserProperty(r.lair);
  auto& session = config.session();
  session.setSessionNumber(r.sessionNumber);
  session.setSessionTimeoutValue(r.sessionTimeout);
  session.setLastSessionActivityClockTime(r.lastActivity);
  session.setMidnightOffset(r.midnightOffset);
  auto& consent = config.consent();
  consent.setMeasurementEnabledState(r.enabledState);
  consent.setAllowPersonalizedAds(r.personalizedAds);
  consent.setPreviousBundledConsentSignals(r.consentSignals);
  auto& attribution = config.attribution();
  attribution.setLoadTimestampValue(r.loadTimestamp);
  attribution.setFirstOpenTimestampMilliseconds(r.firstOpen);
  attribution.setPreviousFirstOpenCount(r.previousFirstOpenCount);
  attribution.setUnmatchedFirstOpenWithoutIDFA(r.unmatchedFirstOpen);
  attribution.setAdCampaignInfoBuffer(r.campaign);
  attribution.setSearchAdCampaignValue(r.searchAdCampaign);
  attribution.setSearchAdRetryCount(r.searchAdRetries);
  attribution.setLastSearchAdLookUpTimestamp(r.searchAdLastAttempt);
  // Present means done, whatever it holds.
  attribution.setDeferredDeepLinkRetrievalComplete(r.deepLinkComplete ? std::optional<bool>(true) : std::nullopt);
  attribution.setDeferredDeepLinkRetryCount(r.deepLinkRetries);
  auto& schedule = config.uploadSchedule();
  schedule.setLastMonitorDataSampledTimestamp(r.monitorSample);
  schedule.setLastBackoffTimestamp(r.backoff);
  schedule.setLastSuccessfulUploadTimestamp(r.uploadSuccess);
  schedule.setLastFailedUploadTimestamp(r.uploadFailure);
  auto& download = config.configDownload();
  download.setConfigDMPVersion(r.configVersion);
  download.setConfigServerLastModifiedString(r.lastModified);
  download.setConfigServerETag(r.etag);
  config.setDefaultEventParameters(r.defaultParameters);
  config.setZoredodeFeatureRollouts(r.rollouts);
}

// Doubles compare by their bits, so a NaN read back is the NaN that was written.
bool same(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }
bool same(const std::optional<double>& a, const std::optional<double>& b) {
  return a.has_value() == b.has_value() && (!a || same(*a, *b));
}
template <class T>
bool same(const T& a, const T& b) {
  return a == b;
}
// Values compare by their binary form, where a NaN is the same NaN.
bool same(const std::optional<platform::Dictionary>& a, const std::optional<platform::Dictionary>& b) {
  auto form = [](const std::optional<platform::Dictionary>& value) {
    return value ? platform::PropertyList::encode(platform::Object(*value), platform::PropertyList::Format::Binary)
                 : platform::Data{};
  };
  return a.has_value() == b.has_value() && form(a) == form(b);
}

// The first value the two readings differ in; none when they agree.
std::optional<std::string> difference(const Reading& a, const Reading& b) {
  const std::pair<const char*, bool> values[] = {
      {"app_id_from_dmp", same(a.appIDFromDMP, b.appIDFromDMP)},
      {"app_id_from_zi_roz", same(a.appIDFromZiRoz, b.appIDFromZiRoz)},
      {"app_instance_id", same(a.appInstanceID, b.appInstanceID)},
      {"hashed_idfa", same(a.hashedID, b.hashedID)},
      {"diversion_key", same(a.diversionKey, b.diversionKey)},
      {"app_version", same(a.appVersion, b.appVersion)},
      {"os_version", same(a.osVersion, b.osVersion)},
      {"should_set_lair", same(a.lair, b.lair)},
      {"session_number", same(a.sessionNumber, b.sessionNumber)},
      {"session_timeout", same(a.sessionTimeout, b.sessionTimeout)},
      {"last_engagement_end", same(a.lastActivity, b.lastActivity)},
      {"midnight_offset", same(a.midnightOffset, b.midnightOffset)},
      {"measurement_enabled_state", same(a.enabledState, b.enabledState)},
      {"allow_personalized_ads", same(a.personalizedAds, b.personalizedAds)},
      {"previous_consent_signals", same(a.consentSignals, b.consentSignals)},
      {"load_timestamp", same(a.loadTimestamp, b.loadTimestamp)},
      {"first_open_time", same(a.firstOpen, b.firstOpen)},
      {"previous_first_open_count", same(a.previousFirstOpenCount, b.previousFirstOpenCount)},
      {"unmatched_first_open_without_idfa", same(a.unmatchedFirstOpen, b.unmatchedFirstOpen)},
      {"ad_campaign_info_buffer", same(a.campaign, b.campaign)},
      {"is_search_ad_campaign", same(a.searchAdCampaign, b.searchAdCampaign)},
      {"search_ad_number_of_retries", same(a.searchAdRetries, b.searchAdRetries)},
      {"search_ad_last_attempt_timestamp", same(a.searchAdLastAttempt, b.searchAdLastAttempt)},
      {"deep_link_retrieval_complete", same(a.deepLinkComplete, b.deepLinkComplete)},
      {"deep_link_retry_count", same(a.deepLinkRetries, b.deepLinkRetries)},
      {"last_monitor_sample_time", same(a.monitorSample, b.monitorSample)},
      {"last_backoff_time", same(a.backoff, b.backoff)},
      {"last_upload_success_time", same(a.uploadSuccess, b.uploadSuccess)},
      {"last_upload_failure_time", same(a.uploadFailure, b.uploadFailure)},
      {"config_version", same(a.configVersion, b.configVersion)},
      {"config_last_modified", same(a.lastModified, b.lastModified)},
      {"config_etag", same(a.etag, b.etag)},
      {"default_event_parameters", same(a.defaultParameters, b.defaultParameters)},
      {"zoredode_feature_rollouts", same(a.rollouts, b.rollouts)},
  };
  for (const auto& [name, agrees] : values) {
    if (!agrees) return std::string(name);
  }
  return std::nullopt;
}

// How a part reads its key: a number (booleans count) as a double, an integer or a truth value, a
// text as itself, anything else as absent or the part's default.
enum class Kind { kDouble, kInteger, kBool, kString };
struct TypedRead {
  const char* name;
  Kind kind;
  platform::Object absent;  // what the part answers for an absent key or one of another kind
  std::function<platform::Object(APMPersistedConfig&)> value;
};

template <class T>
platform::Object objectOf(const std::optional<T>& value) {
  return value ? platform::Object(*value) : platform::Object();
}

const std::vector<TypedRead>& typedReads() {
  using O = platform::Object;
  static const auto* reads = new std::vector<TypedRead>{
      {"session_timeout", Kind::kDouble, O(), [](auto& c) { return objectOf(c.session().sessionTimeoutValue()); }},
      {"last_engagement_end", Kind::kDouble, O(0.0), [](auto& c) { return O(c.session().lastSessionActivityClockTime()); }},
      {"midnight_offset", Kind::kDouble, O(), [](auto& c) { return objectOf(c.session().midnightOffset()); }},
      {"session_number", Kind::kInteger, O(int64_t{0}), [](auto& c) { return O(c.session().sessionNumber()); }},
      {"first_open_time", Kind::kInteger, O(int64_t{0}),
       [](auto& c) { return O(c.attribution().firstOpenTimestampMilliseconds()); }},
      {"previous_first_open_count", Kind::kInteger, O(),
       [](auto& c) { return objectOf(c.attribution().previousFirstOpenCount()); }},
      {"measurement_enabled_state", Kind::kInteger, O(int64_t{0}),
       [](auto& c) { return O(c.consent().measurementEnabledState()); }},
      {"allow_personalized_ads", Kind::kBool, O(), [](auto& c) { return objectOf(c.consent().allowPersonalizedAds()); }},
      {"should_set_lair", Kind::kBool, O(false),
       [](auto& c) { return O(c.identifiers().shouldSetLastAdvertisingIDResetUserProperty()); }},
      {"config_etag", Kind::kString, O(), [](auto& c) { return objectOf(c.configDownload().configServerETag()); }},
      {"app_instance_id", Kind::kString, O(), [](auto& c) { return objectOf(c.identifiers().appInstanceID()); }},
  };
  return *reads;
}

bool sameObject(const platform::Object& a, const platform::Object& b) {
  if (a.isNumber() && b.isNumber() && !a.isInteger() && !b.isInteger()) return same(a.doubleValue(), b.doubleValue());
  return a == b;
}

// What the file holds, read as each part reads it, against what the part answered.
void checkTypedReads(const platform::Data& file, APMPersistedConfig& config) {
  const platform::Object root = platform::PropertyList::decode(file);
  for (const TypedRead& read : typedReads()) {
    const platform::Object* stored =
        root.isDictionary() ? platform::find(root.dictionaryValue(), std::string(APMPersistedValues::kKeyPrefix) + read.name)
                            : nullptr;
    platform::Object expected = read.absent;
    if (stored && stored->isNumber()) {
      if (read.kind == Kind::kDouble) expected = platform::Object(stored->doubleValue());
      if (read.kind == Kind::kInteger) expected = platform::Object(stored->integerValue());
      if (read.kind == Kind::kBool) expected = platform::Object(stored->boolValue());
    }
    if (stored && stored->isString() && read.kind == Kind::kString) expected = *stored;
    if (!sameObject(read.value(config), expected)) fuzzsupport::fail(std::string("\"") + read.name + "\" reads otherwise");
  }
}

void writeFile(const std::string& path, const uint8_t* data, size_t size) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

platform::Data contents(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return platform::Data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// A fresh file of what the reading says.
platform::Data writtenFrom(const Reading& reading, const std::string& path) {
  std::remove(path.c_str());
  APMPersistedConfig config(path);
  write(reading, config);
  if (!config.synchronizeToDisk()) fuzzsupport::fail("a reading cannot be written");
  return contents(path);
}

// The session as the next start takes it over.
void startSession(const std::shared_ptr<APMPersistedConfig>& config) {
  APMSessionClock clock(config, [] { return kDefaultTimeout; });
  const double timeout = clock.timeoutSessionInterval();
  if (!(timeout >= 0)) fuzzsupport::fail("a stored timeout gives a session timeout below 0 or none");
  if (config->session().sessionTimeoutValue()) fuzzsupport::fail("a stored timeout stays after it was taken over");
  if (!clock.isSessionExpired()) clock.extendSession();
  const int64_t before = config->session().sessionNumber();
  const int64_t number = clock.updatePropertiesForNewSessionStart();
  if (number < before) fuzzsupport::fail("a new session takes a lower number");
  if (config->session().sessionNumber() != number) fuzzsupport::fail("a new session's number is not kept");
  (void)APMDayNumber(1700000000.0, config->session().midnightOffset().value_or(0));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzsupport::setUpProcess();
  static const std::string directory = fuzzsupport::dataDirectory();
  const std::string path = directory + "/" + APMPersistedConfig::kFileName;
  writeFile(path, data, size);

  auto config = std::make_shared<APMPersistedConfig>(path);
  checkTypedReads(fuzzsupport::bytesOf(data, size), *config);
  const Reading reading = read(*config);
  const std::string copyPath = directory + "/copy";
  const platform::Data copy = writtenFrom(reading, copyPath);
  APMPersistedConfig again(copyPath);
  const Reading readBack = read(again);
  if (auto name = difference(readBack, reading)) fuzzsupport::fail("\"" + *name + "\" reads back as another value");
  if (writtenFrom(readBack, directory + "/copy2") != copy) fuzzsupport::fail("the same values write other bytes");

  startSession(config);
  return 0;
}
