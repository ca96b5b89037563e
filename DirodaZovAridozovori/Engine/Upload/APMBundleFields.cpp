#include "APMBundleFields.h"

#include <algorithm>
#include <string_view>

#include "APMEncodedMessage.h"
#include "APMMonitor.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "APMWireFormat.h"
#include "DirodaZovAridozovori/Engine/Upload/APMUploadLog.h"

namespace {

using Bundle = APMPBMeasurementBundle;
using Attribute = APMPBUserAttribute;

constexpr int64_t kStatusAuthorized = 3;
constexpr int64_t kStatusNotReported = 6;

std::vector<std::shared_ptr<APMPBUserAttribute>> userAttributes(const Bundle& bundle) {
  return APMNanoGetRepeatedField<std::shared_ptr<APMPBUserAttribute>>(bundle, Bundle::kUserAttributes)
      .value_or(std::vector<std::shared_ptr<APMPBUserAttribute>>{});
}

// The rules below read and write a bundle in either of its two forms: the decoded message, or its
// encoding (a queued bundle on its way into a batch, which is then never decoded). Each form offers
// the same few verbs.
class MessageForm {
 public:
  explicit MessageForm(const Bundle& bundle) : bundle_(const_cast<Bundle&>(bundle)) {}
  bool has(int index) const { return APMNanoHasField(bundle_, index); }
  std::optional<std::string> string(int index) const { return APMNanoGetString(bundle_, index); }
  std::optional<std::string> text(int index) const { return string(index); }
  bool boolean(int index) const { return APMNanoGetBool(bundle_, index); }
  void setString(int index, const std::string& value) { APMNanoSetString(bundle_, index, value); }
  void setInt32(int index, int32_t value) { APMNanoSetInt32(bundle_, index, value); }
  void setBool(int index, bool value) { APMNanoSetBool(bundle_, index, value); }
  void clear(int index) { APMNanoClearField(bundle_, index); }
  void setStrings(int index, const std::vector<std::string>& values) { APMNanoSetRepeatedField(bundle_, index, values); }

  // The integer value of the first "_npa" user property (0 when it has none), read in place: a batch
  // compares every bundle with its first, and the accessors would copy every user property for it.
  std::optional<int64_t> npaValue() const {
    const auto& raw = bundle_.nano();
    for (pb_size_t i = 0; i < raw.user_attributes_count; ++i) {
      const auto& attribute = raw.user_attributes[i];
      if (attribute.name != nullptr && std::string_view(attribute.name) == "_npa") {
        return attribute.int_value != nullptr ? *attribute.int_value : 0;
      }
    }
    return std::nullopt;
  }
  // The first "_npa" property becomes npa (only when overwrite), or npa is added last.
  void putNpa(const APMPBUserAttribute& npa, bool overwrite) {
    auto attributes = userAttributes(bundle_);
    auto existing = std::find_if(attributes.begin(), attributes.end(), [](const auto& attribute) {
      return APMNanoGetString(*attribute, Attribute::kName) == "_npa";
    });
    if (existing != attributes.end()) {
      if (!overwrite) return;
      *existing = npa.copy();
    } else {
      attributes.push_back(npa.copy());
    }
    APMNanoSetRepeatedField(bundle_, Bundle::kUserAttributes, attributes);
  }
  void eraseAttributesNamed(const std::string& name) {
    auto attributes = userAttributes(bundle_);
    const size_t before = attributes.size();
    std::erase_if(attributes,
                  [&name](const auto& attribute) { return APMNanoGetString(*attribute, Attribute::kName) == name; });
    if (attributes.size() != before) APMNanoSetRepeatedField(bundle_, Bundle::kUserAttributes, attributes);
  }

 private:
  Bundle& bundle_;
};

// A user property's name and integer value, read from its encoding (the last of each, as decoding keeps).
struct AttributeReading {
  std::optional<std::string_view> name;
  std::optional<int64_t> intValue;
};
// Reads up to the name when stopAtName is set (a canonical encoding holds one, before the values).
AttributeReading readAttribute(std::span<const uint8_t> encoding, bool stopAtName = false) {
  static const uint32_t nameTag = Attribute::messageInfo().tagForIndex(Attribute::kName);
  static const uint32_t intTag = Attribute::messageInfo().tagForIndex(Attribute::kIntValue);
  AttributeReading reading;
  size_t at = 0;
  while (at < encoding.size()) {
    const auto key = APMWireReadVarint(encoding, at);
    if (!key) break;
    const auto tag = static_cast<uint32_t>(*key >> 3);
    const auto wireType = static_cast<uint32_t>(*key & 7);
    if (tag == nameTag && wireType == kAPMWireLengthDelimited) {
      const auto length = APMWireReadVarint(encoding, at);
      if (!length || *length > encoding.size() - at) break;
      reading.name = std::string_view(reinterpret_cast<const char*>(encoding.data() + at), *length);
      at += static_cast<size_t>(*length);
      if (stopAtName) break;
    } else if (tag == intTag && wireType == kAPMWireVarint) {
      const auto value = APMWireReadVarint(encoding, at);
      if (!value) break;
      reading.intValue = static_cast<int64_t>(*value);
    } else if (!APMWireSkipValue(encoding, at, wireType)) {
      break;
    }
  }
  return reading;
}

class EncodingForm {
 public:
  explicit EncodingForm(const APMEncodedMessage& bundle) : bundle_(const_cast<APMEncodedMessage&>(bundle)) {}
  bool has(int index) const { return bundle_.has(index); }
  std::optional<std::string> string(int index) const { return bundle_.getString(index); }
  // Read in place: a batch compares every bundle with its first.
  std::optional<std::string_view> text(int index) const { return bundle_.viewString(index); }
  bool boolean(int index) const { return bundle_.getBool(index); }
  void setString(int index, const std::string& value) { bundle_.setString(index, value); }
  void setInt32(int index, int32_t value) { bundle_.setInt32(index, value); }
  void setBool(int index, bool value) { bundle_.setBool(index, value); }
  void clear(int index) { bundle_.clear(index); }
  void setStrings(int index, const std::vector<std::string>& values) {
    std::vector<std::span<const uint8_t>> bytes;
    for (const auto& value : values) {
      // As the message refuses a text holding NUL, the field is then left as it was.
      if (value.find('\0') != std::string::npos) return;
      bytes.emplace_back(reinterpret_cast<const uint8_t*>(value.data()), value.size());
    }
    bundle_.setValues(index, bytes);
  }

  std::optional<int64_t> npaValue() const {
    for (const auto& attribute : bundle_.values(Bundle::kUserAttributes)) {
      if (readAttribute(attribute, true).name != "_npa") continue;
      return readAttribute(attribute).intValue.value_or(0);
    }
    return std::nullopt;
  }
  void putNpa(const APMPBUserAttribute& npa, bool overwrite) {
    auto attributes = bundle_.values(Bundle::kUserAttributes);
    auto existing = std::find_if(attributes.begin(), attributes.end(),
                                 [](const auto& attribute) { return readAttribute(attribute).name == "_npa"; });
    if (existing != attributes.end() && !overwrite) return;
    const platform::Data encoded = npa.protoBuffer();
    if (existing != attributes.end()) {
      *existing = encoded;
    } else {
      attributes.emplace_back(encoded);
    }
    bundle_.setValues(Bundle::kUserAttributes, attributes);
  }
  void eraseAttributesNamed(const std::string& name) {
    auto attributes = bundle_.values(Bundle::kUserAttributes);
    const size_t before = attributes.size();
    std::erase_if(attributes, [&name](const auto& attribute) { return readAttribute(attribute).name == name; });
    if (attributes.size() != before) bundle_.setValues(Bundle::kUserAttributes, attributes);
  }

 private:
  APMEncodedMessage& bundle_;
};

template <typename Form>
bool hasNonEmptyString(const Form& bundle, int index) {
  auto value = bundle.string(index);
  return value && !value->empty();
}

template <typename Form>
void setStringIfAbsent(Form& bundle, int index, const std::string& value) {
  if (!bundle.has(index)) bundle.setString(index, value);
}

template <typename Form>
bool sameOptionalText(const Form& first, const Form& second, int index) {
  return first.text(index) == second.text(index);
}

template <typename Form>
void setIdentifierFields(Form bundle, const std::string& consentSignals, bool attGate,
                         const APMBundleIdentity& identity, bool overwrite) {
  bool adDenied = false;
  bool analyticsDenied = false;
  if (consentSignals.size() < 4) {
    if (consentSignals.empty() && bundle.has(Bundle::kConsentSignals)) bundle.clear(Bundle::kConsentSignals);
  } else {
    std::string signals = consentSignals;
    if (overwrite || !bundle.has(Bundle::kConsentSignals)) {
      bundle.setString(Bundle::kConsentSignals, consentSignals);
    } else {
      signals = bundle.string(Bundle::kConsentSignals).value_or("");
    }
    adDenied = APMIsAdStorageDeniedInSignals(signals);
    analyticsDenied = APMIsAnalyticsStorageDeniedInSignals(signals);
  }

  bool gate = false;
  if (identity.hasTrackingAuthorization) {
    const int64_t status = identity.trackingAuthorizationStatus;
    if (status != kStatusNotReported) {
      bundle.setInt32(Bundle::kTrackingAuthorizationStatus, static_cast<int32_t>(status));
    }
    gate = status == kStatusAuthorized ? false : attGate;
  }

  const bool deviceIDAllowed = identity.limitedAdTracking.has_value() && identity.resettableDeviceID &&
                               !identity.resettableDeviceID->empty() && !adDenied && !gate;
  const bool hasVendorID = identity.vendorID && !identity.vendorID->empty();
  if (deviceIDAllowed) {
    setStringIfAbsent(bundle, Bundle::kResettableDeviceId, *identity.resettableDeviceID);
    bundle.clear(Bundle::kVendorDeviceId);
  } else if (!hasVendorID || analyticsDenied) {
    bundle.clear(Bundle::kResettableDeviceId);
    bundle.clear(Bundle::kVendorDeviceId);
  } else {
    setStringIfAbsent(bundle, Bundle::kVendorDeviceId, *identity.vendorID);
    bundle.clear(Bundle::kResettableDeviceId);
  }

  if (!analyticsDenied && identity.appInstanceID && !identity.appInstanceID->empty()) {
    setStringIfAbsent(bundle, Bundle::kAppInstanceId, *identity.appInstanceID);
  }
  if (adDenied) bundle.clear(Bundle::kResettableDeviceId);
  if (analyticsDenied) {
    for (int index : {Bundle::kVendorDeviceId, Bundle::kAppInstanceId, Bundle::kSessionStitchingToken,
                      Bundle::kAudienceEvaluationResults}) {
      bundle.clear(index);
    }
  }
  if (identity.limitedAdTracking) bundle.setBool(Bundle::kLimitedAdTracking, *identity.limitedAdTracking);
}

template <typename Form>
void setConsentFields(Form bundle, const std::string& consentDiagnostics, bool adUserDataDenied,
                      const std::shared_ptr<APMPBUserAttribute>& npa, const APMBundleConsentConfig& config,
                      bool overwrite) {
  if (overwrite || !bundle.has(Bundle::kConsentDiagnostics)) {
    bundle.setString(Bundle::kConsentDiagnostics, consentDiagnostics);
  }
  if (overwrite || !bundle.has(Bundle::kDmaRegion)) bundle.setBool(Bundle::kDmaRegion, config.isDMARegion);
  if (overwrite || !bundle.has(Bundle::kCorePlatformServices)) {
    if (adUserDataDenied || config.corePlatformServices.empty()) {
      bundle.setString(Bundle::kCorePlatformServices, std::string("-"));
    } else if (!config.isDMARegion) {
      bundle.clear(Bundle::kCorePlatformServices);
    } else if (bundle.boolean(Bundle::kDmaRegion)) {
      std::string joined;  // a std::set iterates sorted
      for (const auto& service : config.corePlatformServices) joined += service;
      bundle.setString(Bundle::kCorePlatformServices, joined);
    }
  }
  if (npa) bundle.putNpa(*npa, overwrite);
}

template <typename Form>
bool shareMetadata(const Form& first, const Form& second) {
  if (!sameOptionalText(first, second, Bundle::kConsentSignals) ||
      !sameOptionalText(first, second, Bundle::kConsentDiagnostics) ||
      !sameOptionalText(first, second, Bundle::kCorePlatformServices)) {
    return false;
  }
  if (first.boolean(Bundle::kDmaRegion) != second.boolean(Bundle::kDmaRegion)) return false;
  return first.npaValue() == second.npaValue();
}

template <typename Form>
void redactBundle(Form bundle, const std::vector<std::string>& redactedNames, const APMBundleIdentity& identity) {
  auto has = [&](const char* name) {
    return std::find(redactedNames.begin(), redactedNames.end(), name) != redactedNames.end();
  };
  if (has("app_instance_id")) {
    bundle.clear(Bundle::kAppInstanceId);
    const std::string signals = bundle.string(Bundle::kConsentSignals).value_or("");
    if (APMIsAnalyticsStorageDeniedInSignals(signals)) {
      bundle.clear(Bundle::kEphemeralAppInstanceId);
    } else {
      bundle.setString(Bundle::kEphemeralAppInstanceId, identity.ephemeralAppInstanceID);
    }
  }
  if (has("user_id")) bundle.eraseAttributesNamed("_id");
  if (has("os_version") || has("device_info")) {
    if (auto version = bundle.string(Bundle::kOsVersion)) {
      bundle.setString(Bundle::kOsVersion, version->substr(0, version->find('.')));
    }
  }
  if (has("device_model") || has("device_info")) bundle.clear(Bundle::kDeviceModel);
  if (has("enhanced_user_id")) bundle.clear(Bundle::kSessionStitchingToken);
  if (!redactedNames.empty()) bundle.setStrings(Bundle::kRedactedFields, redactedNames);
}

template <typename Form, typename Bundles>
size_t compatiblePrefix(const Bundles& bundles, const std::optional<std::string>& appID,
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
    const Form form(*bundle);
    if (form.string(Bundle::kAppId) != appID) break;
    if (reference && hasNonEmptyString(form, idIndex) && form.string(idIndex) != reference) break;
    ++kept;
  }
  return kept;
}

template <typename Form, typename Bundles>
APMBatchReference batchReference(const Bundles& bundles) {
  APMBatchReference reference;
  if (bundles.empty()) return reference;
  reference.appID = Form(*bundles.front()).string(Bundle::kAppId);
  for (const auto& bundle : bundles) {
    const Form form(*bundle);
    if (hasNonEmptyString(form, Bundle::kResettableDeviceId)) {
      reference.resettableDeviceID = form.string(Bundle::kResettableDeviceId);
      return reference;
    }
  }
  for (const auto& bundle : bundles) {
    const Form form(*bundle);
    if (hasNonEmptyString(form, Bundle::kVendorDeviceId)) {
      reference.vendorDeviceID = form.string(Bundle::kVendorDeviceId);
      return reference;
    }
  }
  return reference;
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
  setIdentifierFields(MessageForm(bundle), consentSignals, attGate, identity, overwrite);
}

void APMSetIdentifierFields(APMEncodedMessage& bundle, const std::string& consentSignals, bool attGate,
                            const APMBundleIdentity& identity, bool overwrite) {
  setIdentifierFields(EncodingForm(bundle), consentSignals, attGate, identity, overwrite);
}

void APMSetConsentFields(Bundle& bundle, const std::string& consentDiagnostics, bool adUserDataDenied,
                         const std::shared_ptr<APMPBUserAttribute>& npa, const APMBundleConsentConfig& config,
                         bool overwrite) {
  setConsentFields(MessageForm(bundle), consentDiagnostics, adUserDataDenied, npa, config, overwrite);
}

void APMSetConsentFields(APMEncodedMessage& bundle, const std::string& consentDiagnostics, bool adUserDataDenied,
                         const std::shared_ptr<APMPBUserAttribute>& npa, const APMBundleConsentConfig& config,
                         bool overwrite) {
  setConsentFields(EncodingForm(bundle), consentDiagnostics, adUserDataDenied, npa, config, overwrite);
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
  return shareMetadata(MessageForm(first), MessageForm(second));
}

bool APMBundlesShareMetadata(const APMEncodedMessage& first, const APMEncodedMessage& second) {
  return shareMetadata(EncodingForm(first), EncodingForm(second));
}

void APMRedactBundle(Bundle& bundle, const std::vector<std::string>& redactedNames,
                     const APMBundleIdentity& identity) {
  redactBundle(MessageForm(bundle), redactedNames, identity);
}

void APMRedactBundle(APMEncodedMessage& bundle, const std::vector<std::string>& redactedNames,
                     const APMBundleIdentity& identity) {
  redactBundle(EncodingForm(bundle), redactedNames, identity);
}

size_t APMCompatibleBundlePrefix(const std::vector<std::shared_ptr<Bundle>>& bundles,
                                 const std::optional<std::string>& appID,
                                 const std::optional<std::string>& resettableDeviceID,
                                 const std::optional<std::string>& vendorDeviceID) {
  return compatiblePrefix<MessageForm>(bundles, appID, resettableDeviceID, vendorDeviceID);
}

size_t APMCompatibleBundlePrefix(const std::vector<const APMEncodedMessage*>& bundles,
                                 const std::optional<std::string>& appID,
                                 const std::optional<std::string>& resettableDeviceID,
                                 const std::optional<std::string>& vendorDeviceID) {
  return compatiblePrefix<EncodingForm>(bundles, appID, resettableDeviceID, vendorDeviceID);
}

APMBatchReference APMBatchReferenceForBundles(const std::vector<std::shared_ptr<Bundle>>& bundles) {
  return batchReference<MessageForm>(bundles);
}

APMBatchReference APMBatchReferenceForBundles(const std::vector<const APMEncodedMessage*>& bundles) {
  return batchReference<EncodingForm>(bundles);
}
