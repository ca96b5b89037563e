#include "APMBundleFields.h"

#include <algorithm>
#include <string_view>

#include "APMMonitor.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "DirodaZovAridozovori/Engine/Upload/APMUploadLog.h"

namespace {

using Bundle = APMPBMeasurementBundle;

constexpr int64_t kStatusAuthorized = 3;
constexpr int64_t kStatusNotReported = 6;

bool hasNonEmptyString(const Bundle& bundle, int index) {
  auto value = APMNanoGetString(bundle, index);
  return value && !value->empty();
}

void setStringIfAbsent(Bundle& bundle, int index, const std::string& value) {
  if (!APMNanoHasField(bundle, index)) APMNanoSetString(bundle, index, value);
}

std::vector<std::shared_ptr<APMPBUserAttribute>> userAttributes(const Bundle& bundle) {
  return APMNanoGetRepeatedField<std::shared_ptr<APMPBUserAttribute>>(bundle, Bundle::kUserAttributes)
      .value_or(std::vector<std::shared_ptr<APMPBUserAttribute>>{});
}

// The integer value of the first "_npa" user property (0 when it has none), read in place: a batch
// compares every bundle with its first, and the accessors would copy every user property for it.
std::optional<int64_t> npaValue(const Bundle& bundle) {
  const auto& raw = bundle.nano();
  for (pb_size_t i = 0; i < raw.user_attributes_count; ++i) {
    const auto& attribute = raw.user_attributes[i];
    if (attribute.name != nullptr && std::string_view(attribute.name) == "_npa") {
      return attribute.int_value != nullptr ? *attribute.int_value : 0;
    }
  }
  return std::nullopt;
}

bool sameOptionalText(const Bundle& first, const Bundle& second, int index) {
  return APMNanoGetString(first, index) == APMNanoGetString(second, index);
}

}  // namespace

bool APMIsSignalDenied(char signal) { return signal == '0' || signal == 'D' || signal == 'd'; }

bool APMIsAnalyticsStorageDeniedInSignals(const std::string& signals) {
  return signals.size() >= 4 && APMIsSignalDenied(signals[3]);
}

bool APMIsAdStorageDeniedInSignals(const std::string& signals) {
  return signals.size() >= 4 && APMIsSignalDenied(signals[2]);
}

void APMSetIdentifierFields(Bundle& bundle, const std::string& consentSignals, bool attGate,
                            const APMBundleIdentity& identity, bool overwrite) {
  bool adDenied = false;
  bool analyticsDenied = false;
  if (consentSignals.size() < 4) {
    if (consentSignals.empty() && APMNanoHasField(bundle, Bundle::kConsentSignals)) {
      APMNanoClearField(bundle, Bundle::kConsentSignals);
    }
  } else {
    std::string signals = consentSignals;
    if (overwrite || !APMNanoHasField(bundle, Bundle::kConsentSignals)) {
      APMNanoSetString(bundle, Bundle::kConsentSignals, consentSignals);
    } else {
      signals = APMNanoGetString(bundle, Bundle::kConsentSignals).value_or("");
    }
    adDenied = APMIsAdStorageDeniedInSignals(signals);
    analyticsDenied = APMIsAnalyticsStorageDeniedInSignals(signals);
  }

  bool gate = false;
  if (identity.hasTrackingAuthorization) {
    const int64_t status = identity.trackingAuthorizationStatus;
    if (status != kStatusNotReported) {
      APMNanoSetInt32(bundle, Bundle::kTrackingAuthorizationStatus, static_cast<int32_t>(status));
    }
    gate = status == kStatusAuthorized ? false : attGate;
  }

  const bool deviceIDAllowed = identity.limitedAdTracking.has_value() && identity.resettableDeviceID &&
                               !identity.resettableDeviceID->empty() && !adDenied && !gate;
  const bool hasVendorID = identity.vendorID && !identity.vendorID->empty();
  if (deviceIDAllowed) {
    setStringIfAbsent(bundle, Bundle::kResettableDeviceId, *identity.resettableDeviceID);
    APMNanoClearField(bundle, Bundle::kVendorDeviceId);
  } else if (!hasVendorID || analyticsDenied) {
    APMNanoClearField(bundle, Bundle::kResettableDeviceId);
    APMNanoClearField(bundle, Bundle::kVendorDeviceId);
  } else {
    setStringIfAbsent(bundle, Bundle::kVendorDeviceId, *identity.vendorID);
    APMNanoClearField(bundle, Bundle::kResettableDeviceId);
  }

  if (!analyticsDenied && identity.appInstanceID && !identity.appInstanceID->empty()) {
    setStringIfAbsent(bundle, Bundle::kAppInstanceId, *identity.appInstanceID);
  }
  if (adDenied) APMNanoClearField(bundle, Bundle::kResettableDeviceId);
  if (analyticsDenied) {
    for (int index : {Bundle::kVendorDeviceId, Bundle::kAppInstanceId, Bundle::kSessionStitchingToken,
                      Bundle::kAudienceEvaluationResults}) {
      APMNanoClearField(bundle, index);
    }
  }
  if (identity.limitedAdTracking) APMNanoSetBool(bundle, Bundle::kLimitedAdTracking, *identity.limitedAdTracking);
}

void APMSetConsentFields(Bundle& bundle, const std::string& consentDiagnostics, bool adUserDataDenied,
                         const std::shared_ptr<APMPBUserAttribute>& npa, const APMBundleConsentConfig& config,
                         bool overwrite) {
  if (overwrite || !APMNanoHasField(bundle, Bundle::kConsentDiagnostics)) {
    APMNanoSetString(bundle, Bundle::kConsentDiagnostics, consentDiagnostics);
  }
  if (overwrite || !APMNanoHasField(bundle, Bundle::kDmaRegion)) {
    APMNanoSetBool(bundle, Bundle::kDmaRegion, config.isDMARegion);
  }
  if (overwrite || !APMNanoHasField(bundle, Bundle::kCorePlatformServices)) {
    if (adUserDataDenied || config.corePlatformServices.empty()) {
      APMNanoSetString(bundle, Bundle::kCorePlatformServices, std::string("-"));
    } else if (!config.isDMARegion) {
      APMNanoClearField(bundle, Bundle::kCorePlatformServices);
    } else if (APMNanoGetBool(bundle, Bundle::kDmaRegion)) {
      std::string joined;  // a std::set iterates sorted
      for (const auto& service : config.corePlatformServices) joined += service;
      APMNanoSetString(bundle, Bundle::kCorePlatformServices, joined);
    }
  }
  if (!npa) return;
  auto attributes = userAttributes(bundle);
  auto existing = std::find_if(attributes.begin(), attributes.end(), [](const auto& attribute) {
    return APMNanoGetString(*attribute, APMPBUserAttribute::kName) == "_npa";
  });
  if (existing != attributes.end()) {
    if (!overwrite) return;
    *existing = npa->copy();
  } else {
    attributes.push_back(npa->copy());
  }
  APMNanoSetRepeatedField(bundle, Bundle::kUserAttributes, attributes);
}

bool APMBundleHasFirstOpen(const Bundle& bundle) {
  // Read in place: the accessors would copy every event of the bundle for one name test.
  const auto& raw = bundle.nano();
  for (pb_size_t i = 0; i < raw.events_count; ++i) {
    const char* name = raw.events[i].name;
    if (name != nullptr && std::string_view(name) == "_f") return true;
  }
  return false;
}

bool APMBundlesShareMetadata(const Bundle& first, const Bundle& second) {
  if (!sameOptionalText(first, second, Bundle::kConsentSignals) ||
      !sameOptionalText(first, second, Bundle::kConsentDiagnostics) ||
      !sameOptionalText(first, second, Bundle::kCorePlatformServices)) {
    return false;
  }
  if (APMNanoGetBool(first, Bundle::kDmaRegion) != APMNanoGetBool(second, Bundle::kDmaRegion)) return false;
  return npaValue(first) == npaValue(second);
}

void APMRedactBundle(Bundle& bundle, const std::vector<std::string>& redactedNames,
                     const APMBundleIdentity& identity) {
  auto has = [&](const char* name) {
    return std::find(redactedNames.begin(), redactedNames.end(), name) != redactedNames.end();
  };
  if (has("app_instance_id")) {
    APMNanoClearField(bundle, Bundle::kAppInstanceId);
    const std::string signals = APMNanoGetString(bundle, Bundle::kConsentSignals).value_or("");
    if (APMIsAnalyticsStorageDeniedInSignals(signals)) {
      APMNanoClearField(bundle, Bundle::kEphemeralAppInstanceId);
    } else {
      APMNanoSetString(bundle, Bundle::kEphemeralAppInstanceId, identity.ephemeralAppInstanceID);
    }
  }
  if (has("user_id")) {
    auto attributes = userAttributes(bundle);
    const size_t before = attributes.size();
    std::erase_if(attributes, [](const auto& attribute) {
      return APMNanoGetString(*attribute, APMPBUserAttribute::kName) == "_id";
    });
    if (attributes.size() != before) APMNanoSetRepeatedField(bundle, Bundle::kUserAttributes, attributes);
  }
  if (has("os_version") || has("device_info")) {
    if (auto version = APMNanoGetString(bundle, Bundle::kOsVersion)) {
      APMNanoSetString(bundle, Bundle::kOsVersion, version->substr(0, version->find('.')));
    }
  }
  if (has("device_model") || has("device_info")) APMNanoClearField(bundle, Bundle::kDeviceModel);
  if (has("enhanced_user_id")) APMNanoClearField(bundle, Bundle::kSessionStitchingToken);
  if (!redactedNames.empty()) APMNanoSetRepeatedField(bundle, Bundle::kRedactedFields, redactedNames);
}

size_t APMCompatibleBundlePrefix(const std::vector<std::shared_ptr<Bundle>>& bundles,
                                 const std::optional<std::string>& appID,
                                 const std::optional<std::string>& resettableDeviceID,
                                 const std::optional<std::string>& vendorDeviceID) {
  if (resettableDeviceID && vendorDeviceID) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMUploadLogCode::kBundleFilterMustNotSpecifyBoth,
           "Bundle filter must not specify both resettableDeviceID and vendorDeviceID");
    return 0;
  }
  const int idIndex = resettableDeviceID ? Bundle::kResettableDeviceId : Bundle::kVendorDeviceId;
  const std::optional<std::string>& reference = resettableDeviceID ? resettableDeviceID : vendorDeviceID;
  size_t kept = 0;
  for (const auto& bundle : bundles) {
    if (APMNanoGetString(*bundle, Bundle::kAppId) != appID) break;
    if (reference && hasNonEmptyString(*bundle, idIndex) && APMNanoGetString(*bundle, idIndex) != reference) break;
    ++kept;
  }
  return kept;
}

APMBatchReference APMBatchReferenceForBundles(const std::vector<std::shared_ptr<Bundle>>& bundles) {
  APMBatchReference reference;
  if (bundles.empty()) return reference;
  reference.appID = APMNanoGetString(*bundles.front(), Bundle::kAppId);
  for (const auto& bundle : bundles) {
    if (hasNonEmptyString(*bundle, Bundle::kResettableDeviceId)) {
      reference.resettableDeviceID = APMNanoGetString(*bundle, Bundle::kResettableDeviceId);
      return reference;
    }
  }
  for (const auto& bundle : bundles) {
    if (hasNonEmptyString(*bundle, Bundle::kVendorDeviceId)) {
      reference.vendorDeviceID = APMNanoGetString(*bundle, Bundle::kVendorDeviceId);
      return reference;
    }
  }
  return reference;
}
