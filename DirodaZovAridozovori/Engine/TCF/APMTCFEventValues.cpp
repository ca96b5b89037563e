#include "APMTCFEventValues.h"

namespace {

constexpr int64_t kAlphabetSize = 64;
constexpr int64_t kMaxTwoCharacterValue = kAlphabetSize * kAlphabetSize - 1;
// The leading digit of each event value says which layout follows.
constexpr const char* kBundleValueLayout = "1";
constexpr const char* kReasonsValueLayout = "2";
// The purposes whose reasons "_tcfd2" reports, in this order.
constexpr int64_t kReportedPurposes[] = {1, 3, 4, 7};

char alphabetCharacter(int64_t index) { return APMTCFEventValues::kAlphabet[index]; }

std::string boolText(bool value) { return value ? "1" : "0"; }

}  // namespace

std::string APMTCFEventValues::tcfBundleParameterValue(const APMTCFData& data, bool isDMARegion) {
  std::string value = kBundleValueLayout;
  const int64_t cmp = data.cmpSDKID() ? data.cmpSDKID()->integerValue() : 0;
  if (cmp >= 0 && cmp <= kMaxTwoCharacterValue) {
    value += alphabetCharacter((cmp >> 6) & 63);
    value += alphabetCharacter(cmp & 63);
  } else {
    value += "00";
  }
  const int64_t policy = data.policyVersion() ? data.policyVersion()->integerValue() : 0;
  value += policy >= 0 && policy < kAlphabetSize ? alphabetCharacter(policy) : '0';
  const int64_t flags = (isDMARegion ? 1 : 0) + (APMTCFNumberIsTrue(data.gdprApplies()) ? 2 : 0) +
                        (data.isTCFDataEnabled() ? 4 : 0) +
                        (APMTCFNumberIsTrue(data.isAdvertiserConsentModeEnabled()) ? 8 : 0);
  value += alphabetCharacter(flags);
  return value;
}

std::string APMTCFEventValues::tcfd2ParamValue(const APMTCFData& data) {
  std::string value = kReasonsValueLayout;
  for (int64_t purpose : kReportedPurposes) value += std::to_string(tcfd2ParamValueForPurposeID(data, purpose));
  return value;
}

int64_t APMTCFEventValues::tcfd2ParamValueForPurposeID(const APMTCFData& data, int64_t purposeID) {
  return static_cast<int64_t>(
      data.purposeRules().consentReasonForPurposeGrantedWithRestrictionCheckForPurposeID(purposeID));
}

std::string APMTCFEventValues::tcfdMigrationParamValueForMigrationDidOccur(bool migrationDidOccur,
                                                                           bool didMigrationChangeConsent) {
  return boolText(migrationDidOccur) + boolText(didMigrationChangeConsent);
}
