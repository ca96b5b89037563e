#pragma once
// One reading of the IAB Transparency and Consent Framework (version 2) decision that the host's
// consent-management platform keeps in the application's defaults under the "IABTCF_" keys; its
// purpose rules (APMTCFPurposeRules) turn it into this SDK's advertising consent.
//
// Every stored value is read with its type checked: a number stored where text belongs (or the
// other way round) reads as absent, and an absent value never grants anything.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "APMTCFDefaultsKeys.h"
#include "APMTCFPurposeRules.h"
#include "platform/Object.h"

class APMUserDefaults;

class APMTCFData {
 public:
  // The SDK's vendor is TCF vendor 755: its bit is the character at this zero-based index.
  static constexpr int64_t kVendorBitIndex = 754;

  // Reads only the Info.plist switch; every other field stays absent until readFromUserDefaults.
  APMTCFData();
  APMTCFData(bool isTCFDataEnabled, std::optional<platform::Object> isAdvertiserConsentModeEnabled,
             std::optional<std::string> vendorConsents, std::optional<std::string> vendorLegitimateInterests,
             std::optional<platform::Object> cmpSDKID, std::optional<platform::Object> gdprApplies,
             std::optional<platform::Object> policyVersion, std::optional<std::string> purposeConsents,
             std::optional<std::string> purposeLegitimateInterests, std::vector<std::string> publisherRestrictions,
             std::optional<platform::Object> isPurposeOneTreatmentEnabled, std::optional<std::string> publisherCC);

  // The Info.plist switch: absent means on, a number its truth, any other value off.
  static bool isTCFDataEnabledInInfoPlist();
  // Fills every field from the application's defaults (the switch stays as read at creation).
  void readFromUserDefaults();

  const std::shared_ptr<APMUserDefaults>& userDefaults() const { return userDefaults_; }
  bool isTCFDataEnabled() const { return isTCFDataEnabled_; }
  // Numbers, as the defaults held them (booleans, integers or doubles).
  const std::optional<platform::Object>& isAdvertiserConsentModeEnabled() const {
    return isAdvertiserConsentModeEnabled_;
  }
  const std::optional<platform::Object>& cmpSDKID() const { return cmpSDKID_; }
  const std::optional<platform::Object>& gdprApplies() const { return gdprApplies_; }
  const std::optional<platform::Object>& policyVersion() const { return policyVersion_; }
  const std::optional<platform::Object>& isPurposeOneTreatmentEnabled() const { return isPurposeOneTreatmentEnabled_; }
  // Bit strings and the publisher's country.
  const std::optional<std::string>& vendorConsents() const { return vendorConsents_; }
  const std::optional<std::string>& vendorLegitimateInterests() const { return vendorLegitimateInterests_; }
  const std::optional<std::string>& purposeConsents() const { return purposeConsents_; }
  const std::optional<std::string>& purposeLegitimateInterests() const { return purposeLegitimateInterests_; }
  const std::optional<std::string>& publisherCC() const { return publisherCC_; }
  // Per purpose 1-10: this vendor's restriction character, or "" when the publisher set none.
  const std::vector<std::string>& publisherRestrictions() const { return publisherRestrictions_; }

  // The purpose rules applied to this reading; they read it in place, so they must not outlive it.
  APMTCFPurposeRules purposeRules() const;

  // This vendor's character of one stored restriction string: "" unless the string reaches it.
  static std::string publisherRestrictionFromString(const std::string& restrictions);

 private:
  std::shared_ptr<APMUserDefaults> userDefaults_;
  bool isTCFDataEnabled_ = true;
  std::optional<platform::Object> isAdvertiserConsentModeEnabled_;
  std::optional<std::string> vendorConsents_;
  std::optional<std::string> vendorLegitimateInterests_;
  std::optional<platform::Object> cmpSDKID_;
  std::optional<platform::Object> gdprApplies_;
  std::optional<platform::Object> policyVersion_;
  std::optional<std::string> purposeConsents_;
  std::optional<std::string> purposeLegitimateInterests_;
  std::vector<std::string> publisherRestrictions_;
  std::optional<platform::Object> isPurposeOneTreatmentEnabled_;
  std::optional<std::string> publisherCC_;
};

// True when the number is present and non-zero.
bool APMTCFNumberIsTrue(const std::optional<platform::Object>& number);
