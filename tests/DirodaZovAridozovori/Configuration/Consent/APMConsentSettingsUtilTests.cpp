#include "DirodaZovAridozovori/Configuration/Consent/APMConsentSettingsUtil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/Bundle.h"

namespace {

using platform::Dictionary;
using platform::Object;
using Consent = APMConsentSettingsUtil;

class APMConsentSettingsUtilTests : public ::testing::Test {
 protected:
  void SetUp() override { Consent::reset(); }
  void TearDown() override { Consent::reset(); }
};
const Dictionary kAllGranted{{"ad_storage", "granted"}, {"analytics_storage", "granted"}, {"ad_user_data", "granted"},
                             {"ad_personalization", "granted"}};

// One scenario per row: the state to build, then the exact answers expected of it.
struct Scenario {
  const char* name;
  std::optional<Dictionary> settings;
  std::optional<int64_t> source;
  std::optional<Dictionary> defaults, delegated, regional;
  bool adStorageDenied, analyticsStorageDenied, adUserDataDenied;
  std::optional<int64_t> adPersonalization;
  const char *signals, *diagnostics, *description;
};

TEST_F(APMConsentSettingsUtilTests, Scenarios) {
  const Scenario scenarios[] = {
      {"all granted by the public API", kAllGranted, 10, {}, {}, {}, false, false, false, 1, "G111", "15555",
       "ad_storage is granted. analytics_storage is granted. ad_user_data is granted. ad_personalization is "
       "granted."},
      {"storage denied through TCF", Dictionary{{"ad_storage", "denied"}, {"analytics_storage", "DENIED"}}, 5, {}, {},
       {}, true, true, false, std::nullopt, "G100", "17799",
       "ad_storage is denied. analytics_storage is DENIED."},
      {"eu policy in capitals without regional defaults", Dictionary{{"ad_user_data", "EU_CONSENT_POLICY"}}, 20, {},
       {}, {}, false, false, true, std::nullopt, "G1--", "19989",
       "ad_storage is granted. analytics_storage is granted. ad_user_data is denied (eu_consent_policy)."},
      {"eu policy with a granting regional default",
       Dictionary{{"ad_user_data", "eu_consent_policy"}, {"ad_personalization", "eu_consent_policy"}}, 20, {}, {},
       Dictionary{{"ad_user_data", "granted"}}, false, false, false, 0, "G1--", "19988",
       "ad_storage is granted. analytics_storage is granted. ad_user_data is granted (eu_consent_policy). "
       "ad_personalization is denied (eu_consent_policy)."},
      {"ad user data delegated to ad storage", Dictionary{{"ad_storage", "denied"}}, 30, {},
       Dictionary{{"ad_user_data", "ad_storage"}}, {}, true, false, true, std::nullopt, "G10-", "15929",
       "ad_storage is denied. analytics_storage is granted."},
      {"delegation to an unset type falls back to defaults", Dictionary{{"analytics_storage", "granted"}}, 30,
       Dictionary{{"ad_user_data", "denied"}}, Dictionary{{"ad_user_data", "ad_storage"}}, {}, false, false, true,
       std::nullopt, "G1-1", "19529", "ad_storage is granted. analytics_storage is granted."},
      {"defaults never deny storage, but do deny ad user data", std::nullopt, std::nullopt,
       Dictionary{{"ad_storage", "denied"}, {"analytics_storage", "denied"}, {"ad_user_data", "denied"},
                  {"ad_personalization", "granted"}},
       {}, {}, false, false, true, 1, "G1--", "19911",
       "ad_storage is granted. analytics_storage is granted."},
      {"explicit settings win over defaults", Dictionary{{"ad_user_data", "granted"}, {"ad_personalization", "denied"}},
       40, Dictionary{{"ad_user_data", "denied"}, {"ad_personalization", "granted"}}, {}, {}, false, false, false, 0,
       "G1--", "19944",
       "ad_storage is granted. analytics_storage is granted. ad_user_data is granted. ad_personalization is "
       "denied."},
      {"non-string values never match", Dictionary{{"ad_storage", 0}, {"ad_user_data", false}}, 10, {}, {}, {}, false,
       false, false, std::nullopt, "G1--", "15959", "ad_storage is 0. analytics_storage is granted. ad_user_data is 0."},
  };
  for (const Scenario& s : scenarios) {
    SCOPED_TRACE(s.name);
    Consent::reset();
    Consent::setConsentSettings(s.settings);
    if (s.source) Consent::setConsentSource(*s.source);
    Consent::setDefaultSettings(s.defaults);
    Consent::setDelegatedSettings(s.delegated);
    Consent::setRegionalDefaults(s.regional);
    EXPECT_EQ(Consent::isAdStorageDenied(), s.adStorageDenied);
    EXPECT_EQ(Consent::isAnalyticsStorageDenied(), s.analyticsStorageDenied);
    EXPECT_EQ(Consent::isAdUserDataDenied(), s.adUserDataDenied);
    EXPECT_EQ(Consent::adPersonalization(), s.adPersonalization);
    EXPECT_EQ(Consent::consentSignals(), s.signals);
    EXPECT_EQ(Consent::consentDiagnostics(), s.diagnostics);
    EXPECT_EQ(Consent::description(), s.description);
  }
}

TEST_F(APMConsentSettingsUtilTests, SourcePriority) {
  struct Case {
    int64_t current;
    int64_t incoming;
    bool equal;
    bool mayReplace;
  } cases[] = {
      {5, 10, true, true},     {10, 5, true, true},     {5, 5, true, true},      {20, 30, false, false},
      {30, 20, false, true},   {40, 20, false, true},   {100, 20, false, true},  {100, 40, false, true},
      {40, 30, false, true},   {5, 30, false, false},   {10, 30, false, false},  {100, 100, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.current) + " <- " + std::to_string(c.incoming));
    Consent::setConsentSource(c.current);
    EXPECT_EQ(Consent::isConsentSourceEqualPriority(c.incoming), c.equal);
    EXPECT_EQ(Consent::isConsentSourceHigherPriority(c.incoming), c.mayReplace);
  }
}

TEST_F(APMConsentSettingsUtilTests, DiagnosticCodesFollowTheSource) {
  struct Case {
    int64_t source;
    const char* diagnostics;
  } cases[] = {{5, "17777"}, {20, "13333"}, {30, "15555"}, {40, "14444"}, {100, "10000"}, {7, "10000"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    Consent::reset();
    Consent::setConsentSettings(kAllGranted);
    Consent::setConsentSource(c.source);
    EXPECT_EQ(Consent::consentDiagnostics(), c.diagnostics);
  }
  // An explicit diagnostic source sets the code of its type alone.
  Consent::reset();
  Consent::setConsentSettings(Dictionary{{"analytics_storage", "granted"}});
  Consent::setDiagnosticSource(7, "analytics_storage");
  EXPECT_EQ(Consent::consentDiagnostics(), "19799");
}

TEST_F(APMConsentSettingsUtilTests, UpdateSettingsMergesAndStampsOnlyTheMergedTypes) {
  Consent::updateSettings({{"ad_storage", "granted"}, {"analytics_storage", "granted"}}, 20);
  Consent::updateSettings({{"ad_storage", "denied"}}, 10);
  EXPECT_EQ(Consent::consentSource(), 10);
  EXPECT_EQ(Object(*Consent::consentSettings()), Object(Dictionary{{"ad_storage", "denied"}, {"analytics_storage", "granted"}}));
  EXPECT_EQ(Consent::consentDiagnostics(), "15399");
  // Without a source the merge leaves source and diagnostics alone.
  Consent::updateSettings({{"ad_user_data", "denied"}});
  EXPECT_EQ(Consent::consentSource(), 10);
  EXPECT_TRUE(Consent::isAdUserDataDenied());
  // The type keeps the code it had (9, not set) instead of taking the source's 5.
  EXPECT_EQ(Consent::consentDiagnostics(), "15399");
}

TEST_F(APMConsentSettingsUtilTests, ClearingAndUnsetting) {
  Consent::setConsentSettings(Dictionary{{"ad_storage", "denied"}, {"ad_personalization", "granted"}});
  Consent::setConsentSource(10);
  Consent::setVersion(2);
  Consent::unsetAdPersonalization();
  EXPECT_EQ(Object(*Consent::consentSettings()), Object(Dictionary{{"ad_storage", "denied"}}));
  EXPECT_EQ(Consent::adPersonalization(), std::nullopt);
  EXPECT_EQ(Consent::consentDiagnostics(), "15999");
  Consent::setConsentSettings(std::nullopt);
  EXPECT_EQ(Consent::consentSource(), 100) << "no settings reset the source too";
  Consent::setConsentSettings(Dictionary{{"ad_storage", "denied"}});
  Consent::setConsentSource(30);
  Consent::setDefaultSettings(Dictionary{{"ad_user_data", "denied"}});
  Consent::setDelegatedSettings(Dictionary{{"ad_user_data", "ad_storage"}});
  Consent::setRegionalDefaults(Dictionary{{"ad_user_data", "granted"}});
  Consent::clearAllSettings();
  EXPECT_EQ(Consent::consentSource(), 100);
  EXPECT_FALSE(Consent::isAdUserDataDenied());
  EXPECT_EQ(Consent::consentSignals(), "G1--");
  EXPECT_EQ(Consent::consentDiagnostics(), "19999");
  EXPECT_EQ(Consent::version(), 2) << "clearing keeps the version";
}

TEST_F(APMConsentSettingsUtilTests, ReadersSeeEarlierWritesOfOtherThreads) {
  // Each writer thread alternates a write and a read of its own consent type; a reader that ran
  // before the write it follows would see the previous value.
  std::atomic<int> stale{0};
  std::vector<std::thread> threads;
  for (const char* type : {"ad_storage", "analytics_storage", "ad_user_data", "ad_personalization"}) {
    threads.emplace_back([type, &stale] {
      for (int i = 0; i < 200; ++i) {
        const char* value = i % 2 ? "denied" : "granted";
        Consent::updateSettings({{type, value}}, 10);
        auto settings = Consent::consentSettings();
        if (!settings || (*settings)[type] != Object(value)) ++stale;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(stale.load(), 0);
  EXPECT_EQ(Consent::consentSignals(), "G100");
  EXPECT_EQ(Consent::consentDiagnostics(), "15555");
}

TEST_F(APMConsentSettingsUtilTests, SettingsFromInfoPlist) {
  struct Case {
    const char* name;
    Dictionary info;
    Dictionary expected;
  } cases[] = {
      {"truthy strings",
       {{"DIRODA_ANALYTICS_DEFAULT_ALLOW_AD_STORAGE", "YES"},
        {"DIRODA_ANALYTICS_DEFAULT_ALLOW_ANALYTICS_STORAGE", "true"},
        {"DIRODA_ANALYTICS_DEFAULT_ALLOW_AD_USER_DATA", "1"},
        {"DIRODA_ANALYTICS_DEFAULT_ALLOW_AD_PERSONALIZATION_SIGNALS", "no"}},
       {{"ad_storage", "granted"}, {"analytics_storage", "granted"}, {"ad_user_data", "granted"},
        {"ad_personalization", "denied"}}},
      {"eu policy only for the regional types",
       {{"DIRODA_ANALYTICS_DEFAULT_ALLOW_AD_STORAGE", "EU_Consent_Policy"},
        {"DIRODA_ANALYTICS_DEFAULT_ALLOW_AD_USER_DATA", "EU_CONSENT_POLICY"},
        {"DIRODA_ANALYTICS_DEFAULT_ALLOW_AD_PERSONALIZATION_SIGNALS", "eu_consent_policy"}},
       {{"ad_storage", "denied"}, {"ad_user_data", "eu_consent_policy"}, {"ad_personalization", "eu_consent_policy"}}},
      {"personalization needs a string; other kinds are left out",
       {{"DIRODA_ANALYTICS_DEFAULT_ALLOW_AD_PERSONALIZATION_SIGNALS", true},
        {"DIRODA_ANALYTICS_DEFAULT_ALLOW_AD_STORAGE", platform::Array{true}},
        {"DIRODA_ANALYTICS_DEFAULT_ALLOW_AD_USER_DATA", 0}},
       {{"ad_user_data", "denied"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Object(Consent::consentSettingsFromInfoDictionary(c.info)), Object(c.expected));
  }

  platform::Bundle::reset();
  platform::Bundle::setInfoDictionaryValue("DIRODA_ANALYTICS_DEFAULT_ALLOW_AD_STORAGE", false);
  EXPECT_EQ(Object(Consent::consentSettingsFromPlist()), Object(Dictionary{{"ad_storage", "denied"}}));
  platform::Bundle::reset();
}

}  // namespace

// The host may quit right after changing consent: writes still queued, or running on the consent
// queue while the process tears down its statics, must find the state still there.
TEST(APMConsentSettingsUtilExitTest, WritesPendingAtExitEndCleanly) {
  // A fresh process: a forked one would inherit the records of threads it does not have.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        for (int i = 0; i < 2000; ++i) Consent::updateSettings({{"ad_storage", i % 2 ? "denied" : "granted"}}, 10);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}
