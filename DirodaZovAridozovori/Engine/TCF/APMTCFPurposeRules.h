#pragma once
// The rules that turn one TCF reading into this SDK's advertising consent: which legal basis the
// publisher's restrictions and the vendor's registration leave for a purpose, and whether the
// reading's vendor and purpose bits grant it. An absent value never grants anything.

#include <cstdint>
#include <string>

class APMTCFData;

class APMTCFPurposeRules {
 public:
  // Purpose one may be granted without the purpose consent bit for publishers of this country.
  static constexpr const char* kPurposeOneTreatmentCountry = "CH";
  // The first policy version under which the ad-user-data purposes may be read.
  static constexpr int64_t kMinPolicyVersionForAdUserData = 4;

  // What the publisher allows for one purpose.
  enum class PublisherRestriction : int64_t {
    kNotAllowed = 0,
    kConsentRequired = 1,
    kLegitimateInterestRequired = 2,
    kNone = 3,
  };
  // The legal basis on which this SDK may process one purpose.
  enum class LegalBasis : int64_t {
    kNone = 0,
    kBlockedByRestriction = 1,
    kConsent = 2,
    kLegitimateInterest = 3,
  };
  // Why a purpose is or is not granted (also reported in the "_tcf" event).
  enum class ConsentReason : int64_t {
    kGranted = 1,
    kNoLegalBasis = 3,
    kVendorConsentMissing = 4,
    kVendorLegitimateInterestMissing = 5,
    kPurposeConsentMissing = 6,
    kPurposeLegitimateInterestMissing = 7,
    kBlockedByRestriction = 8,
  };

  explicit APMTCFPurposeRules(const APMTCFData& data) : data_(data) {}

  bool hasDirodaInVendorConsents() const;
  bool hasDirodaInVendorLegitimateInterests() const;
  bool canAccessAdUserDataPurpose() const;
  bool isAdStoragePurposeGranted() const;
  bool isAdPersonalizationPurposeGranted() const;
  bool isAdUserDataPurposeGranted() const;
  bool isPurposeGrantedWithRestrictionCheckForPurposeID(int64_t purposeID) const;
  ConsentReason consentReasonForPurposeGrantedWithRestrictionCheckForPurposeID(int64_t purposeID) const;
  LegalBasis legalBasisCheckFromPurposeID(int64_t purposeID) const;
  PublisherRestriction publisherRestrictionForPurposeID(int64_t purposeID) const;
  static PublisherRestriction publisherRestrictionTypeFromString(const std::string& text);
  bool isPurposeOneGrantedWithSpecialTreatment() const;

 private:
  const APMTCFData& data_;
};
