#pragma once
// Where a TCF reading lives: the application's defaults keep it under the "IABTCF_" keys the
// consent-management platform writes, and the TCF suite keeps the last reading under the same keys
// (the Info.plist switch among them), so both sides must agree on every name here.

#include <cstddef>
#include <string>

struct APMTCFDefaultsKeys {
  // The Info.plist switch (also kept in the TCF suite by the client).
  static constexpr const char* kTCFDataEnabledKey = "DIRODA_ANALYTICS_TCF_DATA_ENABLED";
  // Keys of the application's defaults; the restriction keys carry the purpose number 1-10.
  static constexpr const char* kEnableAdvertiserConsentModeKey = "IABTCF_EnableAdvertiserConsentMode";
  static constexpr const char* kVendorConsentsKey = "IABTCF_VendorConsents";
  static constexpr const char* kVendorLegitimateInterestsKey = "IABTCF_VendorLegitimateInterests";
  static constexpr const char* kCmpSdkIDKey = "IABTCF_CmpSdkID";
  static constexpr const char* kGdprAppliesKey = "IABTCF_gdprApplies";
  static constexpr const char* kPolicyVersionKey = "IABTCF_PolicyVersion";
  static constexpr const char* kPurposeConsentsKey = "IABTCF_PurposeConsents";
  static constexpr const char* kPurposeLegitimateInterestsKey = "IABTCF_PurposeLegitimateInterests";
  static constexpr const char* kPublisherRestrictionsKeyPrefix = "IABTCF_PublisherRestrictions";
  static constexpr const char* kPurposeOneTreatmentKey = "IABTCF_PurposeOneTreatment";
  static constexpr const char* kPublisherCCKey = "IABTCF_PublisherCC";
  static constexpr size_t kPublisherRestrictionCount = 10;

  // "IABTCF_PublisherRestrictions" followed by the purpose number.
  static std::string publisherRestrictionsKey(int purposeID) {
    return kPublisherRestrictionsKeyPrefix + std::to_string(purposeID);
  }
};
