// TCF readings on their own: what is read from the application's defaults and the Info.plist
// switch, and the purpose rules that turn a reading into consent.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "APMUserDefaults.h"
#include "TCF/APMTCFData.h"
#include "TCF/APMTCFDataGenerator.h"
#include "TCFTestSupport.h"
#include "TestSupport.h"
#include "platform/Bundle.h"

namespace {

using tcftest::kVendorSet;
using tcftest::TCFTest;

using Reason = APMTCFPurposeRules::ConsentReason;
using Basis = APMTCFPurposeRules::LegalBasis;

// Every purpose and legitimate interest bit on, both vendor bits on, policy 4, GDPR applying.
APMTCFDataGenerator grantingEverything() {
  APMTCFDataGenerator generator;
  generator.isTCFDataEnabled = true;
  generator.isAdvertiserConsentModeEnabled = platform::Object(1);
  generator.gdprApplies = platform::Object(1);
  generator.policyVersion = platform::Object(4);
  generator.cmpSDKID = platform::Object(300);
  generator.vendorConsents = kVendorSet;
  generator.vendorLegitimateInterests = kVendorSet;
  generator.purposeConsents = "1111111111";
  generator.purposeLegitimateInterests = "1111111111";
  generator.publisherRestrictions.assign(10, "");
  return generator;
}

using Tweak = std::function<void(APMTCFDataGenerator&)>;

Tweak restrict(int purpose, const char* restriction) {
  return [=](APMTCFDataGenerator& g) { g.publisherRestrictions[purpose - 1] = restriction; };
}

TEST(TCFDataRulesTest, PurposesGetTheirLegalBasisAndConsentReason) {
  struct Case {
    const char* what;
    int64_t purpose;
    Tweak tweak;
    Basis basis;
    Reason reason;
  };
  const Case cases[] = {
      {"consent purpose, everything set", 1, nullptr, Basis::kConsent, Reason::kGranted},
      {"vendor consents shorter than 755 characters", 1,
       [](APMTCFDataGenerator& g) { g.vendorConsents = std::string(754, '1'); }, Basis::kConsent,
       Reason::kVendorConsentMissing},
      {"vendor consent bit off", 3, [](APMTCFDataGenerator& g) { g.vendorConsents = std::string(755, '0'); },
       Basis::kConsent, Reason::kVendorConsentMissing},
      {"purpose consent bit off", 4, [](APMTCFDataGenerator& g) { g.purposeConsents = "1110111111"; },
       Basis::kConsent, Reason::kPurposeConsentMissing},
      {"purpose consents absent", 1, [](APMTCFDataGenerator& g) { g.purposeConsents.reset(); }, Basis::kConsent,
       Reason::kPurposeConsentMissing},
      {"consent purpose, restriction: legitimate interest required", 1, restrict(1, "2"),
       Basis::kBlockedByRestriction, Reason::kBlockedByRestriction},
      {"consent purpose, restriction: consent required", 3, restrict(3, "1"), Basis::kConsent, Reason::kGranted},
      {"consent purpose, restriction: not allowed", 4, restrict(4, "0"), Basis::kNone, Reason::kNoLegalBasis},
      {"unknown restriction text counts as none", 1, restrict(1, "7"), Basis::kConsent, Reason::kGranted},
      {"legitimate interest purpose, no restriction", 7, nullptr, Basis::kLegitimateInterest, Reason::kGranted},
      {"vendor legitimate interest bit off", 7,
       [](APMTCFDataGenerator& g) { g.vendorLegitimateInterests = std::string(755, '0'); },
       Basis::kLegitimateInterest, Reason::kVendorLegitimateInterestMissing},
      {"purpose legitimate interest bit 6 off", 7,
       [](APMTCFDataGenerator& g) { g.purposeLegitimateInterests = "1111110111"; }, Basis::kLegitimateInterest,
       Reason::kPurposeLegitimateInterestMissing},
      {"flexible purpose switched to consent", 9,
       [](APMTCFDataGenerator& g) {
         g.publisherRestrictions[8] = "1";
         g.purposeConsents = "1111111101";
       },
       Basis::kConsent, Reason::kPurposeConsentMissing},
      {"flexible purpose, restriction: legitimate interest required", 2, restrict(2, "2"),
       Basis::kLegitimateInterest, Reason::kGranted},
      {"purpose not registered", 5, nullptr, Basis::kNone, Reason::kNoLegalBasis},
      {"fewer restriction entries than the purpose number", 7,
       [](APMTCFDataGenerator& g) { g.publisherRestrictions = {"0"}; }, Basis::kLegitimateInterest,
       Reason::kGranted},
      {"purpose one treatment in CH grants without the purpose bit", 1,
       [](APMTCFDataGenerator& g) {
         g.purposeConsents = "0111111111";
         g.isPurposeOneTreatmentEnabled = platform::Object(1);
         g.publisherCC = "CH";
       },
       Basis::kConsent, Reason::kGranted},
      {"purpose one treatment elsewhere", 1,
       [](APMTCFDataGenerator& g) {
         g.purposeConsents = "0111111111";
         g.isPurposeOneTreatmentEnabled = platform::Object(1);
         g.publisherCC = "DE";
       },
       Basis::kConsent, Reason::kPurposeConsentMissing},
      {"purpose one treatment still needs the vendor bit", 1,
       [](APMTCFDataGenerator& g) {
         g.vendorConsents = std::string(755, '0');
         g.isPurposeOneTreatmentEnabled = platform::Object(1);
         g.publisherCC = "CH";
       },
       Basis::kConsent, Reason::kVendorConsentMissing},
      {"purpose one treatment only for purpose one", 3,
       [](APMTCFDataGenerator& g) {
         g.purposeConsents = "1101111111";
         g.isPurposeOneTreatmentEnabled = platform::Object(1);
         g.publisherCC = "CH";
       },
       Basis::kConsent, Reason::kPurposeConsentMissing},
  };
  for (const auto& c : cases) {
    APMTCFDataGenerator generator = grantingEverything();
    if (c.tweak) c.tweak(generator);
    APMTCFData data = generator.generateData();
    const APMTCFPurposeRules rules = data.purposeRules();
    EXPECT_EQ(rules.legalBasisCheckFromPurposeID(c.purpose), c.basis) << c.what;
    EXPECT_EQ(rules.consentReasonForPurposeGrantedWithRestrictionCheckForPurposeID(c.purpose), c.reason) << c.what;
  }
}

TEST(TCFDataRulesTest, ConsentTypesFollowTheirPurposes) {
  struct Case {
    const char* what;
    Tweak tweak;
    bool adStorage, adPersonalization, adUserData;
  };
  const Case cases[] = {
      {"everything granted", nullptr, true, true, true},
      {"policy version 3 denies ad user data only",
       [](APMTCFDataGenerator& g) { g.policyVersion = platform::Object(3); }, true, true, false},
      {"policy version absent", [](APMTCFDataGenerator& g) { g.policyVersion.reset(); }, true, true, false},
      {"purpose 1 blocked by a restriction", restrict(1, "2"), false, true, false},
      {"purpose 4 missing", [](APMTCFDataGenerator& g) { g.purposeConsents = "1110111111"; }, true, false, true},
      {"purpose 7 legitimate interest missing",
       [](APMTCFDataGenerator& g) { g.purposeLegitimateInterests = "0000000000"; }, true, true, false},
      {"no TCF data at all", [](APMTCFDataGenerator& g) { g = APMTCFDataGenerator(); }, false, false, false},
  };
  for (const auto& c : cases) {
    APMTCFDataGenerator generator = grantingEverything();
    if (c.tweak) c.tweak(generator);
    APMTCFData data = generator.generateData();
    EXPECT_EQ(data.purposeRules().isAdStoragePurposeGranted(), c.adStorage) << c.what;
    EXPECT_EQ(data.purposeRules().isAdPersonalizationPurposeGranted(), c.adPersonalization) << c.what;
    EXPECT_EQ(data.purposeRules().isAdUserDataPurposeGranted(), c.adUserData) << c.what;
  }
}

// A purpose the reading has no restriction entry for (outside 1-10, or past a shorter stored list)
// is unrestricted; only "0", "1" and "2" restrict, each as its own code.
TEST(TCFDataRulesTest, PublisherRestrictionsMapTheirCharacterAndIgnorePurposesWithoutAnEntry) {
  struct Case {
    std::vector<std::string> restrictions;
    int64_t purpose;
    int64_t restriction;
  };
  const Case cases[] = {
      {{"0"}, 1, 0},  {{"0"}, 2, 3},        {{"0"}, 0, 3},      {{"0"}, -1, 3},     {{"", "1"}, 2, 1},
      {{"2"}, 1, 2},  {{"3"}, 1, 3},        {{"x"}, 1, 3},      {{"00"}, 1, 3},     {{""}, 1, 3},
      {std::vector<std::string>(10, "1"), 10, 1},               {std::vector<std::string>(10, "1"), 11, 3},
  };
  for (const auto& c : cases) {
    APMTCFDataGenerator generator;
    generator.publisherRestrictions = c.restrictions;
    const APMTCFData data = generator.generateData();
    EXPECT_EQ(static_cast<int64_t>(data.purposeRules().publisherRestrictionForPurposeID(c.purpose)), c.restriction)
        << "purpose " << c.purpose << " of " << c.restrictions.size() << " entries";
  }
}

using TCFDataReadingTest = TCFTest;

TEST_F(TCFDataReadingTest, StoredValuesAreReadWithTheirTypesChecked) {
  auto defaults = APMUserDefaults::sharedUserDefaults();
  defaults->setObject(platform::Object("1"), "IABTCF_gdprApplies");               // text where a number belongs
  defaults->setObject(platform::Object(true), "IABTCF_EnableAdvertiserConsentMode");
  defaults->setObject(platform::Object(300), "IABTCF_CmpSdkID");
  defaults->setObject(platform::Object(4.0), "IABTCF_PolicyVersion");
  defaults->setObject(platform::Object(1), "IABTCF_VendorConsents");              // a number where text belongs
  defaults->setObject(platform::Object(kVendorSet), "IABTCF_VendorLegitimateInterests");
  defaults->setObject(platform::Object("1011"), "IABTCF_PurposeConsents");
  defaults->setObject(platform::Object(platform::Data{'1'}), "IABTCF_PurposeLegitimateInterests");
  defaults->setObject(platform::Object(std::string(754, '3') + "2" + "9"), "IABTCF_PublisherRestrictions1");
  defaults->setObject(platform::Object(std::string(754, '1')), "IABTCF_PublisherRestrictions2");
  defaults->setObject(platform::Object(std::string(755, '0')), "IABTCF_PublisherRestrictions10");
  defaults->setObject(platform::Object(2), "IABTCF_PublisherRestrictions3");
  defaults->setObject(platform::Object(0), "IABTCF_PurposeOneTreatment");
  defaults->setObject(platform::Object("CH"), "IABTCF_PublisherCC");

  APMTCFData data;
  data.readFromUserDefaults();
  EXPECT_FALSE(data.gdprApplies());
  ASSERT_TRUE(data.isAdvertiserConsentModeEnabled());
  EXPECT_TRUE(data.isAdvertiserConsentModeEnabled()->boolValue());
  ASSERT_TRUE(data.cmpSDKID());
  EXPECT_EQ(data.cmpSDKID()->integerValue(), 300);
  EXPECT_TRUE(data.purposeRules().canAccessAdUserDataPurpose());
  EXPECT_FALSE(data.vendorConsents());
  EXPECT_TRUE(data.purposeRules().hasDirodaInVendorLegitimateInterests());
  EXPECT_EQ(data.purposeConsents(), std::optional<std::string>("1011"));
  EXPECT_FALSE(data.purposeLegitimateInterests());
  EXPECT_EQ(data.publisherRestrictions(),
            (std::vector<std::string>{"2", "", "", "", "", "", "", "", "", "0"}));
  ASSERT_TRUE(data.isPurposeOneTreatmentEnabled());
  EXPECT_FALSE(data.purposeRules().isPurposeOneGrantedWithSpecialTreatment());
  EXPECT_EQ(data.publisherCC(), std::optional<std::string>("CH"));
}

TEST_F(TCFDataReadingTest, InfoPlistSwitchIsOnUnlessANumberTurnsItOff) {
  struct Case {
    platform::Object value;
    bool enabled;
  };
  const Case cases[] = {
      {platform::Object(), true},     {platform::Object(true), true},  {platform::Object(1), true},
      {platform::Object(false), false}, {platform::Object(0), false}, {platform::Object("YES"), false},
  };
  for (const auto& c : cases) {
    platform::Bundle::setInfoDictionaryValue("DIRODA_ANALYTICS_TCF_DATA_ENABLED", c.value);
    EXPECT_EQ(APMTCFData().isTCFDataEnabled(), c.enabled) << c.value.description();
  }
}

}  // namespace
