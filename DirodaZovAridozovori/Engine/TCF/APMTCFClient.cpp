#include "APMTCFClient.h"

#include "APMTCFEventValues.h"
#include "Consent/APMConsentSettingsUtil.h"
#include "Consent/APMConsentVocabulary.h"
#include "RemoteConfig/APMRemoteConfig.h"

APMTCFClient::APMTCFClient() = default;

void APMTCFClient::startUpDidFinish() {
  // Start-up has made the configuration: it is there.
  setIsDMARegion(context_->remoteConfig()->consent().isDMARegion());
  setConsentFromTCFData();
}

void APMTCFClient::configurationFetchDidEnd() { setIsDMARegion(context_->remoteConfig()->consent().isDMARegion()); }

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
  const bool storedByThisVersion =
      storedReading_.storedRepresentation().find(APMTCFStoredReading::kRepresentationVersion) != std::string::npos;
  return !storedByThisVersion && shouldApplyTCFData() && !tcfData_.purposeRules().hasDirodaInVendorConsents();
}

bool APMTCFClient::hasTCFDataToRead() const { return stringRepresentationFromTCFData() != kEmptyRepresentation; }

bool APMTCFClient::persistedValuesEqualCurrentData() const {
  return storedReading_.equalsRepresentation(stringRepresentationFromTCFData());
}

platform::Dictionary APMTCFClient::previousConsent() const { return consentFromData(storedReading_.storedData()); }

void APMTCFClient::storeCurrentData() { storedReading_.store(tcfData_); }

void APMTCFClient::clearPersistedValues() { storedReading_.clear(); }

std::string APMTCFClient::stringRepresentationFromTCFData() const {
  return APMTCFStoredReading::stringRepresentationFromTCFData(tcfData_);
}

std::string APMTCFClient::tcfBundleParameterValue() const {
  return APMTCFEventValues::tcfBundleParameterValue(tcfData_, isDMARegion_);
}

std::string APMTCFClient::consentStatusFromEnabled(bool enabled) {
  return enabled ? APMConsentVocabulary::kGranted : APMConsentVocabulary::kDenied;
}

platform::Dictionary APMTCFClient::consentFromData(const APMTCFData& data) {
  const APMTCFPurposeRules rules = data.purposeRules();
  return platform::Dictionary{
      {APMConsentVocabulary::kAdStorage, consentStatusFromEnabled(rules.isAdStoragePurposeGranted())},
      {APMConsentVocabulary::kAdPersonalization, consentStatusFromEnabled(rules.isAdPersonalizationPurposeGranted())},
      {APMConsentVocabulary::kAdUserData, consentStatusFromEnabled(rules.isAdUserDataPurposeGranted())},
  };
}

void APMTCFClient::logTCFChangedEventShouldApplyOneTimeVendorFix(bool shouldApplyOneTimeVendorFix,
                                                                bool isCurrentSameAsPreviousTCFConsent) {
  platform::Dictionary parameters{
      {APMTCFEventValues::kBundleParameterName, tcfBundleParameterValue()},
      {APMTCFEventValues::kReasonsParameterName, APMTCFEventValues::tcfd2ParamValue(tcfData_)},
      {APMTCFEventValues::kMigrationParameterName,
       APMTCFEventValues::tcfdMigrationParamValueForMigrationDidOccur(shouldApplyOneTimeVendorFix,
                                                                      !isCurrentSameAsPreviousTCFConsent)},
  };
  context_->logInternalEvent(APMTCFEventValues::kEventOrigin, APMTCFEventValues::kEventName, parameters);
}
