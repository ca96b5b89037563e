#include "APMTCFData.h"

#include "APMUserDefaults.h"
#include "platform/Bundle.h"
#include "platform/Unicode.h"

bool APMTCFNumberIsTrue(const std::optional<platform::Object>& number) { return number && number->boolValue(); }

APMTCFData::APMTCFData()
    : userDefaults_(APMUserDefaults::sharedUserDefaults()), isTCFDataEnabled_(isTCFDataEnabledInInfoPlist()) {}

APMTCFData::APMTCFData(bool isTCFDataEnabled, std::optional<platform::Object> isAdvertiserConsentModeEnabled,
                       std::optional<std::string> vendorConsents, std::optional<std::string> vendorLegitimateInterests,
                       std::optional<platform::Object> cmpSDKID, std::optional<platform::Object> gdprApplies,
                       std::optional<platform::Object> policyVersion, std::optional<std::string> purposeConsents,
                       std::optional<std::string> purposeLegitimateInterests,
                       std::vector<std::string> publisherRestrictions,
                       std::optional<platform::Object> isPurposeOneTreatmentEnabled,
                       std::optional<std::string> publisherCC)
    : userDefaults_(APMUserDefaults::sharedUserDefaults()),
      isTCFDataEnabled_(isTCFDataEnabled),
      isAdvertiserConsentModeEnabled_(std::move(isAdvertiserConsentModeEnabled)),
      vendorConsents_(std::move(vendorConsents)),
      vendorLegitimateInterests_(std::move(vendorLegitimateInterests)),
      cmpSDKID_(std::move(cmpSDKID)),
      gdprApplies_(std::move(gdprApplies)),
      policyVersion_(std::move(policyVersion)),
      purposeConsents_(std::move(purposeConsents)),
      purposeLegitimateInterests_(std::move(purposeLegitimateInterests)),
      publisherRestrictions_(std::move(publisherRestrictions)),
      isPurposeOneTreatmentEnabled_(std::move(isPurposeOneTreatmentEnabled)),
      publisherCC_(std::move(publisherCC)) {}

bool APMTCFData::isTCFDataEnabledInInfoPlist() {
  platform::Object value = platform::Bundle::objectForInfoDictionaryKey(APMTCFDefaultsKeys::kTCFDataEnabledKey);
  if (value.isNull()) return true;
  return value.isNumber() && value.boolValue();
}

std::string APMTCFData::publisherRestrictionFromString(const std::string& restrictions) {
  // Positions count UTF-16 units, as the platform that writes these strings counts them.
  std::u16string units = platform::utf8ToUtf16(restrictions);
  if (units.size() <= static_cast<size_t>(kVendorBitIndex)) return {};
  return platform::utf16ToUtf8(std::u16string_view(units).substr(static_cast<size_t>(kVendorBitIndex), 1));
}

void APMTCFData::readFromUserDefaults() {
  const APMUserDefaults& defaults = *userDefaults_;
  isAdvertiserConsentModeEnabled_ = defaults.numberForKey(APMTCFDefaultsKeys::kEnableAdvertiserConsentModeKey);
  vendorConsents_ = defaults.stringForKey(APMTCFDefaultsKeys::kVendorConsentsKey);
  vendorLegitimateInterests_ = defaults.stringForKey(APMTCFDefaultsKeys::kVendorLegitimateInterestsKey);
  cmpSDKID_ = defaults.numberForKey(APMTCFDefaultsKeys::kCmpSdkIDKey);
  gdprApplies_ = defaults.numberForKey(APMTCFDefaultsKeys::kGdprAppliesKey);
  policyVersion_ = defaults.numberForKey(APMTCFDefaultsKeys::kPolicyVersionKey);
  purposeConsents_ = defaults.stringForKey(APMTCFDefaultsKeys::kPurposeConsentsKey);
  purposeLegitimateInterests_ = defaults.stringForKey(APMTCFDefaultsKeys::kPurposeLegitimateInterestsKey);
  publisherRestrictions_.clear();
  for (int purpose = 1; purpose <= static_cast<int>(APMTCFDefaultsKeys::kPublisherRestrictionCount); ++purpose) {
    auto stored = defaults.stringForKey(APMTCFDefaultsKeys::publisherRestrictionsKey(purpose));
    publisherRestrictions_.push_back(stored ? publisherRestrictionFromString(*stored) : std::string());
  }
  isPurposeOneTreatmentEnabled_ = defaults.numberForKey(APMTCFDefaultsKeys::kPurposeOneTreatmentKey);
  publisherCC_ = defaults.stringForKey(APMTCFDefaultsKeys::kPublisherCCKey);
}

APMTCFPurposeRules APMTCFData::purposeRules() const { return APMTCFPurposeRules(*this); }
