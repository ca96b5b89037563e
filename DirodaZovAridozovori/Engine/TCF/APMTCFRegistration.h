#pragma once
// The TCF purposes this SDK's vendor is registered for, as the vendor list publishes them.

#include <cstdint>
#include <set>

class APMTCFRegistration {
 public:
  static const APMTCFRegistration& sharedInstance();

  // Purposes processed on consent.
  const std::set<int64_t>& purposeIDs() const { return purposeIDs_; }
  // Purposes processed on legitimate interest.
  const std::set<int64_t>& purposeIDsLegitimateInterests() const { return purposeIDsLegitimateInterests_; }
  // Purposes whose legal basis a publisher restriction may switch.
  const std::set<int64_t>& purposeIDsFlexiblePurposes() const { return purposeIDsFlexiblePurposes_; }

  bool hasConsentForPurposeID(int64_t purposeID) const { return purposeIDs_.count(purposeID) != 0; }
  bool hasLegitimateInterestForPurposeID(int64_t purposeID) const {
    return purposeIDsLegitimateInterests_.count(purposeID) != 0;
  }
  bool hasFlexibleLegitimateInterestForPurposeID(int64_t purposeID) const {
    return purposeIDsFlexiblePurposes_.count(purposeID) != 0;
  }

 private:
  APMTCFRegistration() = default;
  const std::set<int64_t> purposeIDs_{1, 3, 4};
  const std::set<int64_t> purposeIDsLegitimateInterests_{2, 7, 9, 10};
  const std::set<int64_t> purposeIDsFlexiblePurposes_{2, 7, 9, 10};
};
