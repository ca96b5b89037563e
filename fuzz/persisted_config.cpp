// The SDK's persisted configuration file as the next start reads it, which may be torn, hand-edited
// or hold values of any kind: every typed value of every part read (a number as the part's number,
// a text as itself, anything else as absent or the part's default), then used as the start uses
// the session's (its timeout, last activity and number, the day its midnight offset gives).
// What was read, written into a new file, must read back as the same values, and a file written
// from what that one reads must hold the same bytes.
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <vector>

#include "APMEventRoad.h"
#include "APMPersistedConfig.h"
#include "FuzzSupport.h"
#include "Session/APMSessionClock.h"
#include "platform/PropertyList.h"

namespace {

using platform::Object;

constexpr double kDefaultTimeout = 1800;

// How a part takes what its key holds. kPresence: any value means yes.
enum class Kind { kDouble, kInteger, kBool, kString, kData, kDictionary, kPresence };

// One persisted value: its key's name, how it is read, what a part answers without it, and the
// part's getter and setter, both through Object (null for none).
struct Field {
  const char* name;
  Kind kind;
  Object absent;
  std::function<Object(APMPersistedConfig&)> read;
  std::function<void(APMPersistedConfig&, const Object&)> write;
};

template <class T>
Object objectOf(const T& value) {
  return Object(value);
}
template <class T>
Object objectOf(const std::optional<T>& value) {
  return value ? Object(*value) : Object();
}

template <class T>
T valueOf(const Object& value) {
  if constexpr (std::is_same_v<T, double>) return value.doubleValue();
  if constexpr (std::is_same_v<T, int64_t>) return value.integerValue();
  if constexpr (std::is_same_v<T, bool>) return value.boolValue();
  if constexpr (std::is_same_v<T, std::string>) return value.stringValue();
  if constexpr (std::is_same_v<T, platform::Data>) return value.dataValue();
  if constexpr (std::is_same_v<T, platform::Dictionary>) return value.dictionaryValue();
}

template <class Part>
using PartOf = Part& (*)(APMPersistedConfig&);

APMPersistedIdentifiers& identifiers(APMPersistedConfig& c) { return c.identifiers(); }
APMPersistedSession& session(APMPersistedConfig& c) { return c.session(); }
APMPersistedConsent& consent(APMPersistedConfig& c) { return c.consent(); }
APMPersistedAttribution& attribution(APMPersistedConfig& c) { return c.attribution(); }
APMPersistedUploadSchedule& schedule(APMPersistedConfig& c) { return c.uploadSchedule(); }
APMPersistedConfigDownload& download(APMPersistedConfig& c) { return c.configDownload(); }
APMPersistedConfig& whole(APMPersistedConfig& c) { return c; }

template <class Part, class Got, class T>
Field field(const char* name, Kind kind, Object absent, PartOf<Part> part, Got (Part::*get)() const,
            void (Part::*set)(std::optional<T>)) {
  return {name, kind, std::move(absent), [part, get](APMPersistedConfig& c) { return objectOf((part(c).*get)()); },
          [part, set, kind](APMPersistedConfig& c, const Object& value) {
            const bool none = value.isNull() || (kind == Kind::kPresence && !value.boolValue());
            (part(c).*set)(none ? std::nullopt : std::optional<T>(valueOf<T>(value)));
          }};
}

const std::vector<Field>& fields() {
  using I = APMPersistedIdentifiers;
  using S = APMPersistedSession;
  using C = APMPersistedConsent;
  using A = APMPersistedAttribution;
  using U = APMPersistedUploadSchedule;
  using D = APMPersistedConfigDownload;
  using P = APMPersistedConfig;
  const Object none, no(false), zero(0.0), count(int64_t{0});
  static const auto* all = new std::vector<Field>{
      field("app_id_from_dmp", Kind::kString, none, identifiers, &I::appIDFromDMP, &I::setAppIDFromDMP),
      field("app_id_from_zi_roz", Kind::kString, none, identifiers, &I::appIDFromZiRoz, &I::setAppIDFromZiRoz),
      field("app_instance_id", Kind::kString, none, identifiers, &I::appInstanceID, &I::setAppInstanceID),
      field("hashed_idfa", Kind::kString, none, identifiers, &I::hashedResettableDeviceID,
            &I::setHashedResettableDeviceID),
      field("diversion_key", Kind::kString, none, identifiers, &I::diversionKey, &I::setDiversionKey),
      field("should_set_lair", Kind::kBool, no, identifiers, &I::shouldSetLastAdvertisingIDResetUserProperty,
            &I::setShouldSetLastAdvertisingIDResetUserProperty),
      field("app_version", Kind::kString, none, identifiers, &I::appVersion, &I::setAppVersion),
      field("os_version", Kind::kString, none, identifiers, &I::osVersion, &I::setOsVersion),
      field("session_number", Kind::kInteger, count, session, &S::sessionNumber, &S::setSessionNumber),
      field("session_timeout", Kind::kDouble, none, session, &S::sessionTimeoutValue, &S::setSessionTimeoutValue),
      field("last_engagement_end", Kind::kDouble, zero, session, &S::lastSessionActivityClockTime,
            &S::setLastSessionActivityClockTime),
      field("midnight_offset", Kind::kDouble, none, session, &S::midnightOffset, &S::setMidnightOffset),
      field("measurement_enabled_state", Kind::kInteger, count, consent, &C::measurementEnabledState,
            &C::setMeasurementEnabledState),
      field("allow_personalized_ads", Kind::kBool, none, consent, &C::allowPersonalizedAds, &C::setAllowPersonalizedAds),
      field("previous_consent_signals", Kind::kString, none, consent, &C::previousBundledConsentSignals,
            &C::setPreviousBundledConsentSignals),
      field("load_timestamp", Kind::kDouble, none, attribution, &A::loadTimestampValue, &A::setLoadTimestampValue),
      field("first_open_time", Kind::kInteger, count, attribution, &A::firstOpenTimestampMilliseconds,
            &A::setFirstOpenTimestampMilliseconds),
      field("previous_first_open_count", Kind::kInteger, none, attribution, &A::previousFirstOpenCount,
            &A::setPreviousFirstOpenCount),
      field("unmatched_first_open_without_idfa", Kind::kBool, no, attribution, &A::unmatchedFirstOpenWithoutIDFA,
            &A::setUnmatchedFirstOpenWithoutIDFA),
      field("ad_campaign_info_buffer", Kind::kData, none, attribution, &A::adCampaignInfoBuffer,
            &A::setAdCampaignInfoBuffer),
      field("is_search_ad_campaign", Kind::kBool, none, attribution, &A::searchAdCampaignValue,
            &A::setSearchAdCampaignValue),
      field("search_ad_number_of_retries", Kind::kInteger, count, attribution, &A::searchAdRetryCount,
            &A::setSearchAdRetryCount),
      field("search_ad_last_attempt_timestamp", Kind::kDouble, zero, attribution, &A::lastSearchAdLookUpTimestamp,
            &A::setLastSearchAdLookUpTimestamp),
      field("deep_link_retrieval_complete", Kind::kPresence, no, attribution, &A::deferredDeepLinkRetrievalComplete,
            &A::setDeferredDeepLinkRetrievalComplete),
      field("deep_link_retry_count", Kind::kInteger, count, attribution, &A::deferredDeepLinkRetryCount,
            &A::setDeferredDeepLinkRetryCount),
      field("last_monitor_sample_time", Kind::kDouble, zero, schedule, &U::lastMonitorDataSampledTimestamp,
            &U::setLastMonitorDataSampledTimestamp),
      field("last_backoff_time", Kind::kDouble, zero, schedule, &U::lastBackoffTimestamp, &U::setLastBackoffTimestamp),
      field("last_upload_success_time", Kind::kDouble, zero, schedule, &U::lastSuccessfulUploadTimestamp,
            &U::setLastSuccessfulUploadTimestamp),
      field("last_upload_failure_time", Kind::kDouble, zero, schedule, &U::lastFailedUploadTimestamp,
            &U::setLastFailedUploadTimestamp),
      field("config_version", Kind::kInteger, count, download, &D::configDMPVersion, &D::setConfigDMPVersion),
      field("config_last_modified", Kind::kString, none, download, &D::configServerLastModifiedString,
            &D::setConfigServerLastModifiedString),
      field("config_etag", Kind::kString, none, download, &D::configServerETag, &D::setConfigServerETag),
      field("default_event_parameters", Kind::kDictionary, none, whole, &P::defaultEventParameters,
            &P::setDefaultEventParameters),
      field("zoredode_feature_rollouts", Kind::kString, none, whole, &P::zoredodeFeatureRollouts,
            &P::setZoredodeFeatureRollouts),
  };
  return *all;
}

// What the file's value gives, read as the field's part reads it.
Object expectedFrom(const Object* stored, const Field& field) {
  if (!stored) return field.absent;
  switch (field.kind) {
    case Kind::kDouble:
      return stored->isNumber() ? Object(stored->doubleValue()) : field.absent;
    case Kind::kInteger:
      return stored->isNumber() ? Object(stored->integerValue()) : field.absent;
    case Kind::kBool:
      return stored->isNumber() ? Object(stored->boolValue()) : field.absent;
    case Kind::kString:
      return stored->isString() ? *stored : field.absent;
    case Kind::kData:
      return stored->isData() ? *stored : field.absent;
    case Kind::kDictionary:
      return stored->isDictionary() ? *stored : field.absent;
    case Kind::kPresence:
      return Object(!stored->isNull());
  }
  return field.absent;
}

// Values compare by their binary form, where a NaN is the same NaN.
bool same(const Object& a, const Object& b) {
  if (a.isNull() || b.isNull()) return a.isNull() == b.isNull();
  if (a.kind() != b.kind()) return false;
  return platform::PropertyList::encode(Object(platform::Dictionary{{"v", a}}), platform::PropertyList::Format::Binary) ==
         platform::PropertyList::encode(Object(platform::Dictionary{{"v", b}}), platform::PropertyList::Format::Binary);
}

using Reading = std::vector<Object>;

Reading read(APMPersistedConfig& config) {
  Reading reading;
  for (const Field& field : fields()) reading.push_back(field.read(config));
  return reading;
}

// The first value the readings differ in; none when they agree.
std::optional<std::string> difference(const Reading& a, const Reading& b) {
  for (size_t i = 0; i < fields().size(); ++i) {
    if (!same(a[i], b[i])) return std::string(fields()[i].name);
  }
  return std::nullopt;
}

void checkTypedReads(const platform::Data& file, const Reading& reading) {
  const Object root = platform::PropertyList::decode(file);
  for (size_t i = 0; i < fields().size(); ++i) {
    const Field& field = fields()[i];
    const Object* stored =
        root.isDictionary() ? platform::find(root.dictionaryValue(), std::string(APMPersistedValues::kKeyPrefix) + field.name)
                            : nullptr;
    if (!same(reading[i], expectedFrom(stored, field))) fuzzsupport::fail(std::string("\"") + field.name + "\" reads otherwise");
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
  for (size_t i = 0; i < fields().size(); ++i) fields()[i].write(config, reading[i]);
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
  const Reading reading = read(*config);
  checkTypedReads(fuzzsupport::bytesOf(data, size), reading);
  const std::string copyPath = directory + "/copy";
  const platform::Data copy = writtenFrom(reading, copyPath);
  APMPersistedConfig again(copyPath);
  const Reading readBack = read(again);
  if (auto name = difference(readBack, reading)) fuzzsupport::fail("\"" + *name + "\" reads back as another value");
  if (writtenFrom(readBack, directory + "/copy2") != copy) fuzzsupport::fail("the same values write other bytes");

  startSession(config);
  return 0;
}
