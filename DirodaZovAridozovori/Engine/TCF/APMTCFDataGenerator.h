#pragma once
// Builds a TCF reading field by field (the client rebuilds the previous reading from its suite).

#include <optional>
#include <string>
#include <vector>

#include "APMTCFData.h"
#include "platform/Object.h"

class APMTCFDataGenerator {
 public:
  bool isTCFDataEnabled = false;
  std::optional<platform::Object> isAdvertiserConsentModeEnabled;
  std::optional<platform::Object> cmpSDKID;
  std::optional<std::string> vendorConsents;
  std::optional<std::string> vendorLegitimateInterests;
  std::optional<platform::Object> gdprApplies;
  std::optional<platform::Object> policyVersion;
  std::optional<std::string> purposeConsents;
  std::optional<std::string> purposeLegitimateInterests;
  std::vector<std::string> publisherRestrictions;
  std::optional<platform::Object> isPurposeOneTreatmentEnabled;
  std::optional<std::string> publisherCC;

  APMTCFData generateData() const;
};
