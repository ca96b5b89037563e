#include "APMTCFPurposeRules.h"

#include "APMTCFData.h"
#include "APMTCFRegistration.h"
#include "Utilities/APMStringBits.h"

namespace {

bool bitIsSet(const std::optional<std::string>& bits, int64_t index) {
  return bits && isBitEnabledAtIndex(*bits, index);
}

}  // namespace

bool APMTCFPurposeRules::hasDirodaInVendorConsents() const {
  return bitIsSet(data_.vendorConsents(), APMTCFData::kVendorBitIndex);
}

bool APMTCFPurposeRules::hasDirodaInVendorLegitimateInterests() const {
  return bitIsSet(data_.vendorLegitimateInterests(), APMTCFData::kVendorBitIndex);
}

bool APMTCFPurposeRules::canAccessAdUserDataPurpose() const {
  return data_.policyVersion() && data_.policyVersion()->integerValue() >= kMinPolicyVersionForAdUserData;
}

bool APMTCFPurposeRules::isAdStoragePurposeGranted() const {
  return isPurposeGrantedWithRestrictionCheckForPurposeID(1);
}

bool APMTCFPurposeRules::isAdPersonalizationPurposeGranted() const {
  return isPurposeGrantedWithRestrictionCheckForPurposeID(3) && isPurposeGrantedWithRestrictionCheckForPurposeID(4);
}

bool APMTCFPurposeRules::isAdUserDataPurposeGranted() const {
  return canAccessAdUserDataPurpose() && isPurposeGrantedWithRestrictionCheckForPurposeID(1) &&
         isPurposeGrantedWithRestrictionCheckForPurposeID(7);
}

bool APMTCFPurposeRules::isPurposeGrantedWithRestrictionCheckForPurposeID(int64_t purposeID) const {
  return consentReasonForPurposeGrantedWithRestrictionCheckForPurposeID(purposeID) == ConsentReason::kGranted;
}

APMTCFPurposeRules::ConsentReason APMTCFPurposeRules::consentReasonForPurposeGrantedWithRestrictionCheckForPurposeID(
    int64_t purposeID) const {
  switch (legalBasisCheckFromPurposeID(purposeID)) {
    case LegalBasis::kLegitimateInterest:
      if (!hasDirodaInVendorLegitimateInterests()) return ConsentReason::kVendorLegitimateInterestMissing;
      return bitIsSet(data_.purposeLegitimateInterests(), purposeID - 1)
                 ? ConsentReason::kGranted
                 : ConsentReason::kPurposeLegitimateInterestMissing;
    case LegalBasis::kConsent:
      if (purposeID == 1 && isPurposeOneGrantedWithSpecialTreatment() && hasDirodaInVendorConsents()) {
        return ConsentReason::kGranted;
      }
      if (!hasDirodaInVendorConsents()) return ConsentReason::kVendorConsentMissing;
      return bitIsSet(data_.purposeConsents(), purposeID - 1) ? ConsentReason::kGranted
                                                              : ConsentReason::kPurposeConsentMissing;
    case LegalBasis::kBlockedByRestriction:
      return ConsentReason::kBlockedByRestriction;
    case LegalBasis::kNone:
      break;
  }
  return ConsentReason::kNoLegalBasis;
}

APMTCFPurposeRules::LegalBasis APMTCFPurposeRules::legalBasisCheckFromPurposeID(int64_t purposeID) const {
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

APMTCFPurposeRules::PublisherRestriction APMTCFPurposeRules::publisherRestrictionForPurposeID(int64_t purposeID) const {
  if (purposeID < 1 || static_cast<uint64_t>(purposeID) > data_.publisherRestrictions().size()) {
    return PublisherRestriction::kNone;
  }
  return publisherRestrictionTypeFromString(data_.publisherRestrictions()[static_cast<size_t>(purposeID - 1)]);
}

APMTCFPurposeRules::PublisherRestriction APMTCFPurposeRules::publisherRestrictionTypeFromString(
    const std::string& text) {
  if (text == "0") return PublisherRestriction::kNotAllowed;
  if (text == "1") return PublisherRestriction::kConsentRequired;
  if (text == "2") return PublisherRestriction::kLegitimateInterestRequired;
  return PublisherRestriction::kNone;
}

bool APMTCFPurposeRules::isPurposeOneGrantedWithSpecialTreatment() const {
  return APMTCFNumberIsTrue(data_.isPurposeOneTreatmentEnabled()) && data_.publisherCC() == kPurposeOneTreatmentCountry;
}
