#pragma once
// Turns the host's TCF decision into the consent state's TCF source ("ad_storage",
// "ad_personalization", "ad_user_data" under "consent_settings_tcf") and reports each new reading
// with one "_tcf" event. The last reading is kept (APMTCFStoredReading), so an unchanged reading
// does nothing, also across launches.
//
// Threads: one client per engine, called on its worker queue only; nothing here is guarded.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "APMEngineComponent.h"
#include "APMTCFData.h"
#include "APMTCFStoredReading.h"
#include "platform/Object.h"

class APMUserDefaults;

class APMTCFClient final : public APMEngineComponent {
 public:
  // The representation of a reading with the switch on and no TCF key at all.
  static constexpr const char* kEmptyRepresentation = "_v_=2,isTCFDataEnabled=1";
  static constexpr const char* kConsentKey = "consent_settings_tcf";

  APMTCFClient();

  // The engine's moments: the decision is applied at the end of start-up and before every upload;
  // the DMA-region flag follows the configuration.
  void attachToEngine(const std::shared_ptr<APMEngineContext>& context) override { context_ = context; }
  void startUpDidFinish() override;
  void uploadWillStart() override { setConsentFromTCFData(); }
  void configurationFetchDidEnd() override;

  // Reads the current decision from the application's defaults.
  void readTCFData();
  // Reads the decision and, when it is new, logs "_tcf", stores it and (when it applies) sets the
  // TCF consent.
  void setConsentFromTCFData();

  bool shouldApplyTCFData() const;
  bool shouldApplyOneTimeTCFVendorFix() const;
  bool hasTCFDataToRead() const;
  bool persistedValuesEqualCurrentData() const;
  // The consent the stored reading gave ("denied" for all three when nothing is stored).
  platform::Dictionary previousConsent() const;
  void storeCurrentData();
  void clearPersistedValues();

  std::string stringRepresentationFromTCFData() const;
  std::string tcfBundleParameterValue() const;
  static std::string consentStatusFromEnabled(bool enabled);
  // The three advertising consent types a reading grants or denies.
  static platform::Dictionary consentFromData(const APMTCFData& data);
  void logTCFChangedEventShouldApplyOneTimeVendorFix(bool shouldApplyOneTimeVendorFix,
                                                     bool isCurrentSameAsPreviousTCFConsent);

  const APMTCFData& tcfData() const { return tcfData_; }
  const std::shared_ptr<APMUserDefaults>& userDefaults() const { return storedReading_.userDefaults(); }
  bool isDMARegion() const { return isDMARegion_; }
  void setIsDMARegion(bool isDMARegion) { isDMARegion_ = isDMARegion; }

 private:
  std::shared_ptr<APMEngineContext> context_;
  APMTCFData tcfData_;
  APMTCFStoredReading storedReading_;
  bool isDMARegion_ = true;
};
