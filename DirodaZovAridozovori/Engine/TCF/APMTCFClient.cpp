#include "APMTCFClient.h"

#include <algorithm>
#include <cstdint>

#include "APMTCFDataGenerator.h"
#include "APMUserDefaults.h"
#include "Consent/APMConsentSettingsUtil.h"
#include "RemoteConfig/APMRemoteConfig.h"

namespace {

constexpr int64_t kAlphabetSize = 64;
constexpr int64_t kMaxTwoCharacterValue = kAlphabetSize * kAlphabetSize - 1;
// The leading digit of each event value says which layout follows.
constexpr const char* kBundleValueLayout = "1";
constexpr const char* kReasonsValueLayout = "2";
// The purposes whose reasons "_tcfd2" reports, in this order.
constexpr int64_t kReportedPurposes[] = {1, 3, 4, 7};

char alphabetCharacter(int64_t index) { return APMTCFClient::kAlphabet[index]; }

// Numbers print as 32-bit integers, as stored representations always have.
std::string integerText(const platform::Object& number) {
  return std::to_string(static_cast<int32_t>(number.integerValue()));
}

std::string boolText(bool value) { return value ? "1" : "0"; }

// Entries of another type count as no restriction; a stored value that is no array as none at all.
std::vector<std::string> storedRestrictions(const APMUserDefaults& suite) {
  std::vector<std::string> restrictions;
  auto stored = suite.arrayForKey(APMTCFData::kPublisherRestrictionsKeyPrefix);
  if (!stored) return restrictions;
  for (const auto& entry : *stored) {
    const std::string* text = entry.asString();
    restrictions.push_back(text ? *text : std::string());
  }
  return restrictions;
}

template <typename T>
platform::Object objectOf(const std::optional<T>& value) {
  return value ? platform::Object(*value) : platform::Object();
}

std::string joined(const std::vector<std::string>& parts, const char* separator) {
  std::string text;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i) text += separator;
    text += parts[i];
  }
  return text;
}

}  // namespace

APMTCFClient::APMTCFClient() : userDefaults_(std::make_shared<APMUserDefaults>(kSuiteName)) {}

void APMTCFClient::startUpDidFinish() {
  // Start-up has made the configuration: it is there.
  setIsDMARegion(context_->remoteConfig()->isDMARegion());
  setConsentFromTCFData();
}

void APMTCFClient::configurationFetchDidEnd() { setIsDMARegion(context_->remoteConfig()->isDMARegion()); }

void APMTCFClient::readTCFData() { tcfData_.readFromUserDefaults(); }

void APMTCFClient::setConsentFromTCFData() {
  readTCFData();
  if (!hasTCFDataToRead() || persistedValuesEqualCurrentData()) return;
  const platform::Dictionary consent = consentFromData(tcfData_);
  const bool fix = shouldApplyOneTimeTCFVendorFix();
  const bool same = previousConsent() == consent;
  logTCFChangedEventShouldApplyOneTimeVendorFix(fix, same);
  storeCurrentData();
  if (!fix && !shouldApplyTCFData()) return;
  context_->setConsent(consent, kConsentKey);
}

bool APMTCFClient::shouldApplyTCFData() const {
  return tcfData_.isTCFDataEnabled() && APMTCFNumberIsTrue(tcfData_.isAdvertiserConsentModeEnabled()) &&
         APMTCFNumberIsTrue(tcfData_.gdprApplies());
}

bool APMTCFClient::shouldApplyOneTimeTCFVendorFix() const {
  const bool storedByThisVersion = storedRepresentation().find(kRepresentationVersion) != std::string::npos;
  return !storedByThisVersion && shouldApplyTCFData() && !tcfData_.hasDirodaInVendorConsents();
}

bool APMTCFClient::hasTCFDataToRead() const { return stringRepresentationFromTCFData() != kEmptyRepresentation; }

bool APMTCFClient::persistedValuesEqualCurrentData() const {
  auto stored = userDefaults_->stringForKey(kStringRepresentationKey);
  return stored && *stored == stringRepresentationFromTCFData();
}

std::string APMTCFClient::storedRepresentation() const {
  return userDefaults_->stringForKey(kStringRepresentationKey).value_or(std::string());
}

platform::Dictionary APMTCFClient::previousConsent() const {
  const APMUserDefaults& suite = *userDefaults_;
  APMTCFDataGenerator generator;
  generator.isTCFDataEnabled = suite.boolForKey(APMTCFData::kTCFDataEnabledKey);
  generator.isAdvertiserConsentModeEnabled = suite.numberForKey(APMTCFData::kEnableAdvertiserConsentModeKey);
  generator.cmpSDKID = suite.numberForKey(APMTCFData::kCmpSdkIDKey);
  generator.vendorConsents = suite.stringForKey(APMTCFData::kVendorConsentsKey);
  generator.vendorLegitimateInterests = suite.stringForKey(APMTCFData::kVendorLegitimateInterestsKey);
  generator.gdprApplies = suite.numberForKey(APMTCFData::kGdprAppliesKey);
  generator.policyVersion = suite.numberForKey(APMTCFData::kPolicyVersionKey);
  generator.purposeConsents = suite.stringForKey(APMTCFData::kPurposeConsentsKey);
  generator.purposeLegitimateInterests = suite.stringForKey(APMTCFData::kPurposeLegitimateInterestsKey);
  generator.publisherRestrictions = storedRestrictions(suite);
  generator.isPurposeOneTreatmentEnabled = suite.numberForKey(APMTCFData::kPurposeOneTreatmentKey);
  generator.publisherCC = suite.stringForKey(APMTCFData::kPublisherCCKey);
  return consentFromData(generator.generateData());
}

void APMTCFClient::storeCurrentData() {
  APMUserDefaults& suite = *userDefaults_;
  const APMTCFData& data = tcfData_;
  suite.setBool(data.isTCFDataEnabled(), APMTCFData::kTCFDataEnabledKey);
  suite.setObject(objectOf(data.isAdvertiserConsentModeEnabled()), APMTCFData::kEnableAdvertiserConsentModeKey);
  suite.setObject(objectOf(data.cmpSDKID()), APMTCFData::kCmpSdkIDKey);
  suite.setObject(objectOf(data.vendorConsents()), APMTCFData::kVendorConsentsKey);
  suite.setObject(objectOf(data.vendorLegitimateInterests()), APMTCFData::kVendorLegitimateInterestsKey);
  suite.setObject(objectOf(data.gdprApplies()), APMTCFData::kGdprAppliesKey);
  suite.setObject(objectOf(data.policyVersion()), APMTCFData::kPolicyVersionKey);
  suite.setObject(objectOf(data.purposeConsents()), APMTCFData::kPurposeConsentsKey);
  suite.setObject(objectOf(data.purposeLegitimateInterests()), APMTCFData::kPurposeLegitimateInterestsKey);
  platform::Array restrictions(data.publisherRestrictions().begin(), data.publisherRestrictions().end());
  suite.setObject(platform::Object(std::move(restrictions)), APMTCFData::kPublisherRestrictionsKeyPrefix);
  suite.setObject(objectOf(data.isPurposeOneTreatmentEnabled()), APMTCFData::kPurposeOneTreatmentKey);
  suite.setObject(objectOf(data.publisherCC()), APMTCFData::kPublisherCCKey);
  // Last: the representation is what later readings are compared with.
  suite.setObject(platform::Object(stringRepresentationFromTCFData()), kStringRepresentationKey);
}

void APMTCFClient::clearPersistedValues() { userDefaults_->clearAllData(); }

std::string APMTCFClient::stringRepresentationFromTCFData() const {
  const APMTCFData& data = tcfData_;
  std::vector<std::string> parts{kRepresentationVersion, "isTCFDataEnabled=" + boolText(data.isTCFDataEnabled())};
  if (const auto& mode = data.isAdvertiserConsentModeEnabled()) {
    parts.push_back("isAdvertiserConsentModeEnabled=" + boolText(mode->boolValue()));
  }
  if (const auto& cmp = data.cmpSDKID()) parts.push_back("cmpSDKID=" + integerText(*cmp));
  if (data.vendorConsents()) parts.push_back("hasDirodaInVendorConsents=" + boolText(data.hasDirodaInVendorConsents()));
  if (data.vendorLegitimateInterests()) {
    parts.push_back("hasDirodaInVendorLegitimateInterests=" + boolText(data.hasDirodaInVendorLegitimateInterests()));
  }
  if (const auto& gdpr = data.gdprApplies()) parts.push_back("gdprApplies=" + boolText(gdpr->boolValue()));
  if (const auto& policy = data.policyVersion()) parts.push_back("policyVersion=" + integerText(*policy));
  if (const auto& consents = data.purposeConsents()) parts.push_back("purposeConsents=" + *consents);
  if (const auto& interests = data.purposeLegitimateInterests()) {
    parts.push_back("purposeLegitimateInterests=" + *interests);
  }
  const auto& restrictions = data.publisherRestrictions();
  const bool anyRestriction =
      std::any_of(restrictions.begin(), restrictions.end(), [](const std::string& entry) { return !entry.empty(); });
  if (anyRestriction) parts.push_back("publisherRestrictions=" + joined(restrictions, "|"));
  if (const auto& treatment = data.isPurposeOneTreatmentEnabled()) {
    parts.push_back("isPurposeOneTreatmentEnabled=" + treatment->description());
  }
  if (const auto& country = data.publisherCC()) parts.push_back("publisherCC=" + *country);
  return joined(parts, ",");
}

std::string APMTCFClient::tcfBundleParameterValue() const {
  const APMTCFData& data = tcfData_;
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
  const int64_t flags = (isDMARegion_ ? 1 : 0) + (APMTCFNumberIsTrue(data.gdprApplies()) ? 2 : 0) +
                        (data.isTCFDataEnabled() ? 4 : 0) +
                        (APMTCFNumberIsTrue(data.isAdvertiserConsentModeEnabled()) ? 8 : 0);
  value += alphabetCharacter(flags);
  return value;
}

std::string APMTCFClient::tcfd2ParamValue() const {
  std::string value = kReasonsValueLayout;
  for (int64_t purpose : kReportedPurposes) value += std::to_string(tcfd2ParamValueForPurposeID(purpose));
  return value;
}

int64_t APMTCFClient::tcfd2ParamValueForPurposeID(int64_t purposeID) const {
  return static_cast<int64_t>(tcfData_.consentReasonForPurposeGrantedWithRestrictionCheckForPurposeID(purposeID));
}

std::string APMTCFClient::tcfdMigrationParamValueForMigrationDidOccur(bool migrationDidOccur,
                                                                      bool didMigrationChangeConsent) {
  return boolText(migrationDidOccur) + boolText(didMigrationChangeConsent);
}

std::string APMTCFClient::consentStatusFromEnabled(bool enabled) {
  return enabled ? APMConsentSettingsUtil::kGranted : APMConsentSettingsUtil::kDenied;
}

platform::Dictionary APMTCFClient::consentFromData(const APMTCFData& data) {
  return platform::Dictionary{
      {APMConsentSettingsUtil::kAdStorage, consentStatusFromEnabled(data.isAdStoragePurposeGranted())},
      {APMConsentSettingsUtil::kAdPersonalization, consentStatusFromEnabled(data.isAdPersonalizationPurposeGranted())},
      {APMConsentSettingsUtil::kAdUserData, consentStatusFromEnabled(data.isAdUserDataPurposeGranted())},
  };
}

void APMTCFClient::logTCFChangedEventShouldApplyOneTimeVendorFix(bool shouldApplyOneTimeVendorFix,
                                                                bool isCurrentSameAsPreviousTCFConsent) {
  platform::Dictionary parameters{
      {kBundleParameterName, tcfBundleParameterValue()},
      {kReasonsParameterName, tcfd2ParamValue()},
      {kMigrationParameterName,
       tcfdMigrationParamValueForMigrationDidOccur(shouldApplyOneTimeVendorFix, !isCurrentSameAsPreviousTCFConsent)},
  };
  context_->logInternalEvent(kEventOrigin, kEventName, parameters);
}
