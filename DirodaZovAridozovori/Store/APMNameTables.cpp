#include "APMNameTables.h"

#include <atomic>

#include "APMEvent.h"
#include "APMMonitor.h"

namespace {

struct NamePair {
  const char* publicName;
  const char* internalName;
};

// Events the SDK logs under a short internal name. The application may log none of these public
// names itself except those in kAllowedForPublicLogging and "screen_view".
constexpr NamePair kEventNames[] = {
    {"ad_exposure", "_xa"},
    {"ad_impression", "_ai"},
    {"ad_query", "_aq"},
    {"adunit_exposure", "_xu"},
    {"app_background", "_ab"},
    {"app_clear_data", "_cd"},
    {"app_exception", "_ae"},
    {"app_remove", "_ui"},
    {"app_store_subscription_convert", "_assc"},
    {"app_store_subscription_renew", "_assr"},
    {"app_update", "_au"},
    {"campaign_details", "_cmp"},
    {"dma_consent_update", "_dcu"},
    {"error", "_err"},
    {"first_open", "_f"},
    {"first_open_consented", "_fx"},
    {"in_app_purchase", kAPMInAppPurchaseEventName},
    {"in_app_purchase_invalid", "_iapx"},
    {"os_update", "_ou"},
    {"screen_view", "_vs"},
    {"session_start", "_s"},
    {"session_start_with_rollout", "_ssr"},
    {"tcf_update", "_tcf"},
    {"user_engagement", "_e"},
};

constexpr NamePair kAllowedForPublicLogging[] = {
    {"ad_impression", "_ai"},
};

// Names that stay valid for the application although the SDK maps them.
constexpr const char* kPublicEventsNotReserved[] = {"screen_view", "ad_impression"};

constexpr const char* kExtraReservedEventNames[] = {
    "app_first_open", "app_install", "app_upgrade", "notification_dismiss", "notification_foreground",
    "notification_open", "notification_receive", "user_engagement_time",
};

constexpr NamePair kParameterNames[] = {
    {"engagement_time_msec", "_et"},
    {"error", "_err"},
    {"error_length", "_el"},
    {"error_value", "_ev"},
    {"zoredode_conversion", "_c"},
    {"da_debug", "_dbg"},
    {"da_realtime", "_r"},
    {"origin", "_o"},
    {"previous_app_version", "_pv"},
    {"previous_first_open_count", "_pfo"},
    {"previous_os_version", "_po"},
    {"screen_class", "_sc"},
    {"screen_id", "_si"},
    {"screen_name", "_sn"},
    {"session_id", "_sid"},
    {"session_number", "_sno"},
    {"update_with_analytics", "_uwa"},
};

constexpr NamePair kUserPropertyNames[] = {
    {"first_open_after_install", "_fi"},
    {"first_open_time", "_fot"},
    {"last_advertising_id_reset", "_lair"},
    {"lifetime_user_engagement", "_lte"},
    {"non_personalized_ads", "_npa"},
    {"session_id", "_sid"},
    {"session_number", "_sno"},
    {"session_user_engagement", "_se"},
    {"user_id", "_id"},
};

constexpr const char* kReservedPrefixes[] = {"zoredode_", "diroda_", "da_"};

template <size_t N>
APMNameMap mapOf(const NamePair (&pairs)[N], bool reversed = false) {
  APMNameMap map;
  for (const NamePair& pair : pairs) {
    if (reversed) {
      map.emplace(pair.internalName, pair.publicName);
    } else {
      map.emplace(pair.publicName, pair.internalName);
    }
  }
  return map;
}

// -1 follows the monitor's debug mode; 0 and 1 override it.
std::atomic<int> gDebugNameLogging{-1};

bool debugNameLogging() {
  const int forced = gDebugNameLogging.load();
  if (forced >= 0) return forced == 1;
  return APMMonitor::shared()->isDebugModeEnabled();
}

std::string nameForLog(const std::string& name, const APMNameMap& publicToInternal) {
  if (!debugNameLogging()) return name;
  for (const auto& [publicName, internalName] : publicToInternal) {
    if (internalName == name) return publicName + " (" + internalName + ")";
  }
  if (auto found = publicToInternal.find(name); found != publicToInternal.end()) {
    return found->first + " (" + found->second + ")";
  }
  return name;
}

}  // namespace

const APMNameMap& APMPublicToInternalEventNames() {
  // Never destroyed (here and below): the SDK's threads may read these until the process has ended.
  static const APMNameMap& kMap = *new APMNameMap(mapOf(kEventNames));
  return kMap;
}

const APMNameMap& APMInternalToPublicEventNames() {
  static const APMNameMap& kMap = *new APMNameMap(mapOf(kEventNames, true));
  return kMap;
}

const APMNameMap& APMPublicToInternalParameterNames() {
  static const APMNameMap& kMap = *new APMNameMap(mapOf(kParameterNames));
  return kMap;
}

const APMNameMap& APMUserPropertyInternalNameMap() {
  static const APMNameMap& kMap = *new APMNameMap(mapOf(kUserPropertyNames));
  return kMap;
}

const APMNameMap& APMReservedEventNamesAllowedForPublicLogging() {
  static const APMNameMap& kMap = *new APMNameMap(mapOf(kAllowedForPublicLogging));
  return kMap;
}

const std::vector<std::string>& APMReservedPublicEventNames() {
  static const auto& kNames = *new std::vector<std::string>([] {
    std::vector<std::string> names;
    for (const NamePair& pair : kEventNames) {
      bool open = false;
      for (const char* allowed : kPublicEventsNotReserved) open = open || std::string(allowed) == pair.publicName;
      if (!open) names.emplace_back(pair.publicName);
    }
    for (const char* name : kExtraReservedEventNames) names.emplace_back(name);
    return names;
  }());
  return kNames;
}

const std::vector<std::string>& APMReservedPublicUserPropertyNames() {
  static const auto& kNames = *new std::vector<std::string>([] {
    std::vector<std::string> names;
    for (const NamePair& pair : kUserPropertyNames) names.emplace_back(pair.publicName);
    return names;
  }());
  return kNames;
}

const std::vector<std::string>& APMReservedNamePrefixes() {
  static const auto& kPrefixes =
      *new std::vector<std::string>(std::begin(kReservedPrefixes), std::end(kReservedPrefixes));
  return kPrefixes;
}

std::string APMInternalEventName(const std::string& name) {
  const APMNameMap& map = APMPublicToInternalEventNames();
  auto found = map.find(name);
  return found == map.end() ? name : found->second;
}

std::string APMPublicEventName(const std::string& name) {
  const APMNameMap& map = APMInternalToPublicEventNames();
  auto found = map.find(name);
  return found == map.end() ? name : found->second;
}

bool APMIsPublicName(const std::string& name) { return name.empty() || name[0] != '_'; }

bool APMIsErrorEvent(const std::string& name) { return name == "_err"; }

bool APMIsNotErrorEventName(const std::string& name) { return !APMIsErrorEvent(name); }

bool APMIsPurchaseEventName(const std::string& name) {
  return name == kAPMInAppPurchaseEventName || name == "purchase" || name == "ecommerce_purchase";
}

bool APMIsSubscriptionEvent(const APMEvent& event) {
  const std::string_view name = event.name();
  if (name == "_assc" || name == "_assr") return true;
  if (name != kAPMInAppPurchaseEventName) return false;
  const APMValue* subscription = event.parameter("subscription");
  return subscription && subscription->isInt64() && subscription->int64Value() == 1;
}

bool APMIsScreenParameterName(const std::string& name) { return name == "_sn" || name == "_sc" || name == "_si"; }

bool APMHasScreenParameters(const platform::Dictionary& parameters) {
  return parameters.count("_si") || parameters.count("_sc") || parameters.count("_sn");
}

platform::Dictionary APMScreenParametersFromDictionary(const platform::Dictionary& parameters) {
  platform::Dictionary screen;
  for (const char* key : {"_sn", "_sc", "_si"}) {
    if (const platform::Object* value = platform::find(parameters, key)) screen.emplace(key, *value);
  }
  return screen;
}

platform::Dictionary APMParametersWithoutZadPrefix(const platform::Dictionary& parameters) {
  platform::Dictionary kept;
  for (const auto& [name, value] : parameters) {
    if (name.rfind("zad_", 0) != 0) kept.emplace(name, value);
  }
  return kept;
}

void APMSetDebugNameLogging(std::optional<bool> enabled) { gDebugNameLogging.store(enabled ? (*enabled ? 1 : 0) : -1); }

std::string APMEventNameForLog(const std::string& name) { return nameForLog(name, APMPublicToInternalEventNames()); }

std::string APMUserPropertyNameForLog(const std::string& name) {
  return nameForLog(name, APMUserPropertyInternalNameMap());
}

std::string APMDescriptionForLog(const platform::Object& value) {
  if (!debugNameLogging()) {
    // Outside debug logging only the kind travels into logs, never user data.
    return value.isString() ? "<string>" : value.isNull() ? "(nil)" : "<value>";
  }
  return value.description();
}
