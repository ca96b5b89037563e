#include "APMTCFData.h"

#include "APMTCFRegistration.h"
#include "APMUserDefaults.h"
#include "Utilities/APMStringBits.h"
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
  platform::Object value = platform::Bundle::objectForInfoDictionaryKey(kTCFDataEnabledKey);
  if (value.isNull()) return true;
  return value.isNumber() && value.boolValue();
}

std::string APMTCFData::publisherRestrictionsKey(int purposeID) {
  return kPublisherRestrictionsKeyPrefix + std::to_string(purposeID);
}

std::string APMTCFData::publisherRestrictionFromString(const std::string& restrictions) {
  // Positions count UTF-16 units, as the platform that writes these strings counts them.
  std::u16string units = platform::utf8ToUtf16(restrictions);
  if (units.size() <= static_cast<size_t>(kVendorBitIndex)) return {};
  return platform::utf16ToUtf8(std::u16string_view(units).substr(static_cast<size_t>(kVendorBitIndex), 1));
}

void APMTCFData::readFromUserDefaults() {
  const APMUserDefaults& defaults = *userDefaults_;
  isAdvertiserConsentModeEnabled_ = defaults.numberForKey(kEnableAdvertiserConsentModeKey);
  vendorConsents_ = defaults.stringForKey(kVendorConsentsKey);
  vendorLegitimateInterests_ = defaults.stringForKey(kVendorLegitimateInterestsKey);
  cmpSDKID_ = defaults.numberForKey(kCmpSdkIDKey);
  gdprApplies_ = defaults.numberForKey(kGdprAppliesKey);
  policyVersion_ = defaults.numberForKey(kPolicyVersionKey);
  purposeConsents_ = defaults.stringForKey(kPurposeConsentsKey);
  purposeLegitimateInterests_ = defaults.stringForKey(kPurposeLegitimateInterestsKey);
  publisherRestrictions_.clear();
  for (int purpose = 1; purpose <= static_cast<int>(kPublisherRestrictionCount); ++purpose) {
    auto stored = defaults.stringForKey(publisherRestrictionsKey(purpose));
    publisherRestrictions_.push_back(stored ? publisherRestrictionFromString(*stored) : std::string());
  }
  isPurposeOneTreatmentEnabled_ = defaults.numberForKey(kPurposeOneTreatmentKey);
  publisherCC_ = defaults.stringForKey(kPublisherCCKey);
}

// MARK: - Rules

namespace {

bool bitIsSet(const std::optional<std::string>& bits, int64_t index) {
  return bits && isBitEnabledAtIndex(*bits, index);
}

}  // namespace

bool APMTCFData::hasDirodaInVendorConsents() const { return bitIsSet(vendorConsents_, kVendorBitIndex); }

bool APMTCFData::hasDirodaInVendorLegitimateInterests() const {
  return bitIsSet(vendorLegitimateInterests_, kVendorBitIndex);
}

bool APMTCFData::canAccessAdUserDataPurpose() const {
  return policyVersion_ && policyVersion_->integerValue() >= kMinPolicyVersionForAdUserData;
}

bool APMTCFData::isAdStoragePurposeGranted() const { return isPurposeGrantedWithRestrictionCheckForPurposeID(1); }

bool APMTCFData::isAdPersonalizationPurposeGranted() const {
  return isPurposeGrantedWithRestrictionCheckForPurposeID(3) && isPurposeGrantedWithRestrictionCheckForPurposeID(4);
}

bool APMTCFData::isAdUserDataPurposeGranted() const {
  return canAccessAdUserDataPurpose() && isPurposeGrantedWithRestrictionCheckForPurposeID(1) &&
         isPurposeGrantedWithRestrictionCheckForPurposeID(7);
}

bool APMTCFData::isPurposeGrantedWithRestrictionCheckForPurposeID(int64_t purposeID) const {
  return consentReasonForPurposeGrantedWithRestrictionCheckForPurposeID(purposeID) == ConsentReason::kGranted;
}

APMTCFData::ConsentReason APMTCFData::consentReasonForPurposeGrantedWithRestrictionCheckForPurposeID(
    int64_t purposeID) const {
  switch (legalBasisCheckFromPurposeID(purposeID)) {
    case LegalBasis::kLegitimateInterest:
      if (!hasDirodaInVendorLegitimateInterests()) return ConsentReason::kVendorLegitimateInterestMissing;
      return bitIsSet(purposeLegitimateInterests_, purposeID - 1) ? ConsentReason::kGranted
                                                                   : ConsentReason::kPurposeLegitimateInterestMissing;
    case LegalBasis::kConsent:
      if (purposeID == 1 && isPurposeOneGrantedWithSpecialTreatment() && hasDirodaInVendorConsents()) {
        return ConsentReason::kGranted;
      }
      if (!hasDirodaInVendorConsents()) return ConsentReason::kVendorConsentMissing;
      return bitIsSet(purposeConsents_, purposeID - 1) ? ConsentReason::kGranted
                                                        : ConsentReason::kPurposeConsentMissing;
    case LegalBasis::kBlockedByRestriction:
      return ConsentReason::kBlockedByRestriction;
    case LegalBasis::kNone:
      break;
  }
  return ConsentReason::kNoLegalBasis;
}

APMTCFData::LegalBasis APMTCFData::legalBasisCheckFromPurposeID(int64_t purposeID) const {
  const PublisherRestriction restriction = publisherRestrictionForPurposeID(purposeID);
  if (restriction == PublisherRestriction::kNotAllowed) return LegalBasis::kNone;
  const APMTCFRegistration& registration = APMTCFRegistration::sharedInstance();
  const bool flexible = registration.hasFlexibleLegitimateInterestForPurposeID(purposeID);
  if (registration.hasConsentForPurposeID(purposeID)) {
    if (restriction != PublisherRestriction::kLegitimateInterestRequired) return LegalBasis::kConsent;
    return flexible ? LegalBasis::kLegitimateInterest : LegalBasis::kBlockedByRestriction;
  }
  if (registration.hasLegitimateInterestForPurposeID(purposeID)) {
    if (restriction != PublisherRestriction::kConsentRequired) return LegalBasis::kLegitimateInterest;
    return flexible ? LegalBasis::kConsent : LegalBasis::kBlockedByRestriction;
  }
  return LegalBasis::kNone;
}

APMTCFData::PublisherRestriction APMTCFData::publisherRestrictionForPurposeID(int64_t purposeID) const {
  if (purposeID < 1 || static_cast<uint64_t>(purposeID) > publisherRestrictions_.size()) {
    return PublisherRestriction::kNone;
  }
  return publisherRestrictionTypeFromString(publisherRestrictions_[static_cast<size_t>(purposeID - 1)]);
}

APMTCFData::PublisherRestriction APMTCFData::publisherRestrictionTypeFromString(const std::string& text) {
  if (text == "0") return PublisherRestriction::kNotAllowed;
  if (text == "1") return PublisherRestriction::kConsentRequired;
  if (text == "2") return PublisherRestriction::kLegitimateInterestRequired;
  return PublisherRestriction::kNone;
}

bool APMTCFData::isPurposeOneGrantedWithSpecialTreatment() const {
  return APMTCFNumberIsTrue(isPurposeOneTreatmentEnabled_) && publisherCC_ == kPurposeOneTreatmentCountry;
}
