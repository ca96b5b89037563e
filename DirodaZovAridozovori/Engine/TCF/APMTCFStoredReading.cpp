#include "APMTCFStoredReading.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "APMTCFDataGenerator.h"
#include "APMUserDefaults.h"

namespace {

// Numbers print as 32-bit integers, as stored representations always have.
std::string integerText(const platform::Object& number) {
  return std::to_string(static_cast<int32_t>(number.integerValue()));
}

std::string boolText(bool value) { return value ? "1" : "0"; }

// Entries of another type count as no restriction; a stored value that is no array as none at all.
std::vector<std::string> storedRestrictions(const APMUserDefaults& suite) {
  std::vector<std::string> restrictions;
  auto stored = suite.arrayForKey(APMTCFDefaultsKeys::kPublisherRestrictionsKeyPrefix);
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

APMTCFStoredReading::APMTCFStoredReading() : userDefaults_(std::make_shared<APMUserDefaults>(kSuiteName)) {}

std::string APMTCFStoredReading::stringRepresentationFromTCFData(const APMTCFData& data) {
  std::vector<std::string> parts{kRepresentationVersion, "isTCFDataEnabled=" + boolText(data.isTCFDataEnabled())};
  if (const auto& mode = data.isAdvertiserConsentModeEnabled()) {
    parts.push_back("isAdvertiserConsentModeEnabled=" + boolText(mode->boolValue()));
  }
  if (const auto& cmp = data.cmpSDKID()) parts.push_back("cmpSDKID=" + integerText(*cmp));
  const APMTCFPurposeRules rules = data.purposeRules();
  if (data.vendorConsents()) parts.push_back("hasDirodaInVendorConsents=" + boolText(rules.hasDirodaInVendorConsents()));
  if (data.vendorLegitimateInterests()) {
    parts.push_back("hasDirodaInVendorLegitimateInterests=" + boolText(rules.hasDirodaInVendorLegitimateInterests()));
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

bool APMTCFStoredReading::equalsRepresentation(const std::string& representation) const {
  auto stored = userDefaults_->stringForKey(kStringRepresentationKey);
  return stored && *stored == representation;
}

std::string APMTCFStoredReading::storedRepresentation() const {
  return userDefaults_->stringForKey(kStringRepresentationKey).value_or(std::string());
}

APMTCFData APMTCFStoredReading::storedData() const {
  const APMUserDefaults& suite = *userDefaults_;
  APMTCFDataGenerator generator;
  generator.isTCFDataEnabled = suite.boolForKey(APMTCFDefaultsKeys::kTCFDataEnabledKey);
  generator.isAdvertiserConsentModeEnabled = suite.numberForKey(APMTCFDefaultsKeys::kEnableAdvertiserConsentModeKey);
  generator.cmpSDKID = suite.numberForKey(APMTCFDefaultsKeys::kCmpSdkIDKey);
  generator.vendorConsents = suite.stringForKey(APMTCFDefaultsKeys::kVendorConsentsKey);
  generator.vendorLegitimateInterests = suite.stringForKey(APMTCFDefaultsKeys::kVendorLegitimateInterestsKey);
  generator.gdprApplies = suite.numberForKey(APMTCFDefaultsKeys::kGdprAppliesKey);
  generator.policyVersion = suite.numberForKey(APMTCFDefaultsKeys::kPolicyVersionKey);
  generator.purposeConsents = suite.stringForKey(APMTCFDefaultsKeys::kPurposeConsentsKey);
  generator.purposeLegitimateInterests = suite.stringForKey(APMTCFDefaultsKeys::kPurposeLegitimateInterestsKey);
  generator.publisherRestrictions = storedRestrictions(suite);
  generator.isPurposeOneTreatmentEnabled = suite.numberForKey(APMTCFDefaultsKeys::kPurposeOneTreatmentKey);
  generator.publisherCC = suite.stringForKey(APMTCFDefaultsKeys::kPublisherCCKey);
  return generator.generateData();
}

void APMTCFStoredReading::store(const APMTCFData& data) {
  APMUserDefaults& suite = *userDefaults_;
  suite.setBool(data.isTCFDataEnabled(), APMTCFDefaultsKeys::kTCFDataEnabledKey);
  suite.setObject(objectOf(data.isAdvertiserConsentModeEnabled()), APMTCFDefaultsKeys::kEnableAdvertiserConsentModeKey);
  suite.setObject(objectOf(data.cmpSDKID()), APMTCFDefaultsKeys::kCmpSdkIDKey);
  suite.setObject(objectOf(data.vendorConsents()), APMTCFDefaultsKeys::kVendorConsentsKey);
  suite.setObject(objectOf(data.vendorLegitimateInterests()), APMTCFDefaultsKeys::kVendorLegitimateInterestsKey);
  suite.setObject(objectOf(data.gdprApplies()), APMTCFDefaultsKeys::kGdprAppliesKey);
  suite.setObject(objectOf(data.policyVersion()), APMTCFDefaultsKeys::kPolicyVersionKey);
  suite.setObject(objectOf(data.purposeConsents()), APMTCFDefaultsKeys::kPurposeConsentsKey);
  suite.setObject(objectOf(data.purposeLegitimateInterests()), APMTCFDefaultsKeys::kPurposeLegitimateInterestsKey);
  platform::Array restrictions(data.publisherRestrictions().begin(), data.publisherRestrictions().end());
  suite.setObject(platform::Object(std::move(restrictions)), APMTCFDefaultsKeys::kPublisherRestrictionsKeyPrefix);
  suite.setObject(objectOf(data.isPurposeOneTreatmentEnabled()), APMTCFDefaultsKeys::kPurposeOneTreatmentKey);
  suite.setObject(objectOf(data.publisherCC()), APMTCFDefaultsKeys::kPublisherCCKey);
  // Last: the representation is what later readings are compared with.
  suite.setObject(platform::Object(stringRepresentationFromTCFData(data)), kStringRepresentationKey);
}

void APMTCFStoredReading::clear() { userDefaults_->clearAllData(); }
