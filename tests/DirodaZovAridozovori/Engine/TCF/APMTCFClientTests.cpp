// The TCF client between the application's defaults and its own suite: what a reading is stored
// as, what the "_tcf" event reports, and when the TCF consent is set. A fake engine context records
// what the client asks of its engine.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "../FakeEngineContext.h"
#include "APMUserDefaults.h"
#include "RemoteConfig/APMRemoteConfig.h"
#include "TCF/APMTCFClient.h"
#include "TCFTestSupport.h"
#include "platform/Bundle.h"

namespace {

using tcftest::kVendorSet;
using tcftest::storeGrantingEverything;

const platform::Dictionary kAllGranted{
    {"ad_storage", "granted"}, {"ad_personalization", "granted"}, {"ad_user_data", "granted"}};
const platform::Dictionary kAllDenied{
    {"ad_storage", "denied"}, {"ad_personalization", "denied"}, {"ad_user_data", "denied"}};

class TCFClientTest : public tcftest::TCFTest {
 public:  // the case tables' steps reach in
  APMTCFClient client(bool isDMARegion = true) {
    APMTCFClient created;
    created.attachToEngine(context_);
    created.setIsDMARegion(isDMARegion);
    return created;
  }

  void set(const std::string& key, platform::Object value) {
    APMUserDefaults::sharedUserDefaults()->setObject(value, key);
  }
  APMUserDefaults suite() { return APMUserDefaults("com.diroda.dmp.measurement.tcf.userdefaults"); }

  std::shared_ptr<enginetest::FakeEngineContext> context_ = std::make_shared<enginetest::FakeEngineContext>();
  std::vector<enginetest::FakeEngineContext::LoggedEvent>& events_ = context_->events;
  std::vector<std::pair<platform::Dictionary, std::string>>& consents_ = context_->consents;
};

TEST_F(TCFClientTest, AcceptedReadingLogsOnceAndGrantsTheTCFConsent) {
  storeGrantingEverything();
  APMTCFClient tcf = client();
  tcf.setConsentFromTCFData();

  ASSERT_EQ(events_.size(), 1u);
  EXPECT_EQ(events_[0].origin, "auto");
  EXPECT_EQ(events_[0].name, "_tcf");
  EXPECT_EQ(events_[0].parameters,
            (platform::Dictionary{{"_tcfd", "14I4f"}, {"_tcfd2", "21111"}, {"_tcfm", "01"}}));
  ASSERT_EQ(consents_.size(), 1u);
  EXPECT_EQ(consents_[0].first, kAllGranted);
  EXPECT_EQ(consents_[0].second, "consent_settings_tcf");
  EXPECT_EQ(suite().stringForKey("tcf_StringRepresentation"),
            std::optional<std::string>("_v_=2,isTCFDataEnabled=1,isAdvertiserConsentModeEnabled=1,cmpSDKID=300,"
                                       "hasDirodaInVendorConsents=1,hasDirodaInVendorLegitimateInterests=1,"
                                       "gdprApplies=1,policyVersion=4,purposeConsents=1111111111,"
                                       "purposeLegitimateInterests=1111111111"));

  // The same readings again, also by a client of a later launch.
  tcf.setConsentFromTCFData();
  client().setConsentFromTCFData();
  EXPECT_EQ(events_.size(), 1u);
  EXPECT_EQ(consents_.size(), 1u);

  // Cleared, the reading counts as new.
  tcf.clearPersistedValues();
  EXPECT_FALSE(suite().objectForKey("IABTCF_gdprApplies").isNumber());
  tcf.setConsentFromTCFData();
  EXPECT_EQ(events_.size(), 2u);
}

TEST_F(TCFClientTest, ReadingsGiveTheirRepresentationAndCompactValue) {
  struct Case {
    const char* what;
    std::function<void(TCFClientTest&)> store;
    bool isDMARegion;
    std::string representation;
    std::string compact;
    bool hasData;
  };
  const Case cases[] = {
      {"nothing stored", nullptr, true, "_v_=2,isTCFDataEnabled=1", "10005", false},
      {"switch off in Info.plist",
       [](TCFClientTest&) {
         platform::Bundle::setInfoDictionaryValue("DIRODA_ANALYTICS_TCF_DATA_ENABLED", platform::Object(false));
       },
       false, "_v_=2,isTCFDataEnabled=0", "10000", true},
      {"edges of the compact alphabet",
       [](TCFClientTest& t) {
         t.set("IABTCF_CmpSdkID", platform::Object(4095));
         t.set("IABTCF_PolicyVersion", platform::Object(63));
         t.set("IABTCF_gdprApplies", platform::Object(0));
         t.set("IABTCF_EnableAdvertiserConsentMode", platform::Object(false));
       },
       true,
       "_v_=2,isTCFDataEnabled=1,isAdvertiserConsentModeEnabled=0,cmpSDKID=4095,gdprApplies=0,policyVersion=63",
       "1___5", true},
      {"out-of-range identifiers, restrictions, purpose-one treatment",
       [](TCFClientTest& t) {
         storeGrantingEverything();
         t.set("IABTCF_CmpSdkID", platform::Object(5000));
         t.set("IABTCF_PolicyVersion", platform::Object(64));
         t.set("IABTCF_PublisherRestrictions1", platform::Object(std::string(754, '0') + "2"));
         t.set("IABTCF_PublisherRestrictions3", platform::Object(std::string(755, '0')));
         t.set("IABTCF_PurposeOneTreatment", platform::Object(1));
         t.set("IABTCF_PublisherCC", platform::Object("CH"));
       },
       false,
       "_v_=2,isTCFDataEnabled=1,isAdvertiserConsentModeEnabled=1,cmpSDKID=5000,hasDirodaInVendorConsents=1,"
       "hasDirodaInVendorLegitimateInterests=1,gdprApplies=1,policyVersion=64,purposeConsents=1111111111,"
       "purposeLegitimateInterests=1111111111,publisherRestrictions=2||0|||||||,isPurposeOneTreatmentEnabled=1,"
       "publisherCC=CH",
       "1000e", true},
      {"vendor strings without the vendor",
       [](TCFClientTest& t) {
         t.set("IABTCF_VendorConsents", platform::Object("1"));
         t.set("IABTCF_VendorLegitimateInterests", platform::Object(""));
         t.set("IABTCF_CmpSdkID", platform::Object(-1));
       },
       true, "_v_=2,isTCFDataEnabled=1,cmpSDKID=-1,hasDirodaInVendorConsents=0,hasDirodaInVendorLegitimateInterests=0",
       "10005", true},
  };
  for (const auto& c : cases) {
    reset();
    if (c.store) c.store(*this);
    APMTCFClient tcf = client(c.isDMARegion);
    tcf.readTCFData();
    EXPECT_EQ(tcf.stringRepresentationFromTCFData(), c.representation) << c.what;
    EXPECT_EQ(tcf.tcfBundleParameterValue(), c.compact) << c.what;
    EXPECT_EQ(tcf.hasTCFDataToRead(), c.hasData) << c.what;
  }
}

TEST_F(TCFClientTest, ChangedReadingsReportTheirMigrationAndSetConsentOnlyWhenTheyApply) {
  struct Case {
    const char* what;
    std::function<void(TCFClientTest&)> before;  // what an earlier launch left behind
    std::function<void(TCFClientTest&)> now;     // the reading now
    std::optional<std::string> migration;        // "_tcfm", none when nothing is logged
    std::optional<platform::Dictionary> consent;
  };
  auto stored = [](TCFClientTest& t) {
    storeGrantingEverything();
    t.client().setConsentFromTCFData();
  };
  const Case cases[] = {
      {"no TCF keys", nullptr, nullptr, std::nullopt, std::nullopt},
      {"GDPR not applying: logged, consent left alone", nullptr,
       [](TCFClientTest& t) {
         storeGrantingEverything();
         t.set("IABTCF_gdprApplies", platform::Object(0));
       },
       "01", std::nullopt},
      {"advertiser consent mode stored as text does not apply", nullptr,
       [](TCFClientTest& t) {
         storeGrantingEverything();
         t.set("IABTCF_EnableAdvertiserConsentMode", platform::Object("1"));
       },
       "01", std::nullopt},
      {"older version without the vendor: one-time fix",
       [](TCFClientTest& t) { t.suite().setObject(platform::Object("isTCFDataEnabled=1"), "tcf_StringRepresentation"); },
       [](TCFClientTest& t) {
         storeGrantingEverything();
         t.set("IABTCF_VendorConsents", platform::Object(std::string(755, '0')));
       },
       "10", kAllDenied},
      {"vendor dropped since this version's last reading: no fix", stored,
       [](TCFClientTest& t) { t.set("IABTCF_VendorConsents", platform::Object(std::string(755, '0'))); }, "01",
       kAllDenied},
      {"consent withdrawn since the last launch", stored,
       [](TCFClientTest& t) { t.set("IABTCF_PurposeConsents", platform::Object("0000000000")); }, "01", kAllDenied},
      {"reading changed, consent the same", stored,
       [](TCFClientTest& t) { t.set("IABTCF_CmpSdkID", platform::Object(301)); }, "00", kAllGranted},
      {"a key removed since the last reading leaves the stored copy too",
       [stored](TCFClientTest& t) {
         stored(t);
         APMUserDefaults::sharedUserDefaults()->removeObjectForKey("IABTCF_PurposeConsents");
         t.client().setConsentFromTCFData();
         EXPECT_TRUE(t.suite().objectForKey("IABTCF_PurposeConsents").isNull());
       },
       // Compared with what is stored now, not with the consents of two readings ago.
       [](TCFClientTest& t) { t.set("IABTCF_CmpSdkID", platform::Object(301)); }, "00", kAllDenied},
      {"stored values of the wrong types count as absent",
       [stored](TCFClientTest& t) {
         stored(t);
         APMUserDefaults previous = t.suite();
         previous.setObject(platform::Object("_v_=2,older reading"), "tcf_StringRepresentation");
         previous.setObject(platform::Object("4"), "IABTCF_PolicyVersion");
         previous.setObject(platform::Object("CH"), "IABTCF_PublisherRestrictions");
       },
       nullptr, "01", kAllGranted},
  };
  for (const auto& c : cases) {
    reset();
    if (c.before) c.before(*this);
    events_.clear();
    consents_.clear();
    if (c.now) c.now(*this);
    client().setConsentFromTCFData();
    if (!c.migration) {
      EXPECT_TRUE(events_.empty()) << c.what;
    } else {
      ASSERT_EQ(events_.size(), 1u) << c.what;
      EXPECT_EQ(events_[0].parameters.at("_tcfm"), platform::Object(*c.migration)) << c.what;
    }
    if (!c.consent) {
      EXPECT_TRUE(consents_.empty()) << c.what;
    } else {
      ASSERT_EQ(consents_.size(), 1u) << c.what;
      EXPECT_EQ(consents_[0].first, *c.consent) << c.what;
    }
  }
}

TEST_F(TCFClientTest, PreviousConsentIsRebuiltFromTheStoredReading) {
  EXPECT_EQ(client().previousConsent(), kAllDenied);
  storeGrantingEverything();
  set("IABTCF_PublisherRestrictions1", platform::Object(std::string(754, '0') + "2"));
  set("IABTCF_PolicyVersion", platform::Object(3));
  APMTCFClient tcf = client();
  tcf.readTCFData();
  tcf.storeCurrentData();
  EXPECT_EQ(client().previousConsent(),
            (platform::Dictionary{
                {"ad_storage", "denied"}, {"ad_personalization", "granted"}, {"ad_user_data", "denied"}}));
  // A stored restriction entry of another type counts as no restriction.
  suite().setObject(platform::Object(platform::Array{platform::Object(2)}), "IABTCF_PublisherRestrictions");
  EXPECT_EQ(client().previousConsent().at("ad_storage"), platform::Object("granted"));
}

// The engine's moments: the end of start-up and every upload apply the decision; the DMA-region
// flag follows the engine's configuration at start-up and after every fetch.
TEST_F(TCFClientTest, TheEnginesMomentsApplyTheDecisionAndFollowTheConfigurationsRegion) {
  context_->config = APMRemoteConfig::defaultInstance();  // a DMA region until a fetch says otherwise
  storeGrantingEverything();
  APMTCFClient tcf = client(false);
  tcf.startUpDidFinish();
  EXPECT_TRUE(tcf.isDMARegion());
  ASSERT_EQ(events_.size(), 1u);
  EXPECT_EQ(events_[0].parameters.at("_tcfd"), platform::Object("14I4f")) << "read in a DMA region";
  ASSERT_EQ(consents_.size(), 1u);

  tcf.uploadWillStart();
  EXPECT_EQ(events_.size(), 1u) << "an unchanged decision";
  set("IABTCF_PurposeConsents", platform::Object("0000000000"));
  tcf.uploadWillStart();
  EXPECT_EQ(events_.size(), 2u) << "a changed decision before an upload";

  tcf.setIsDMARegion(false);
  tcf.configurationFetchDidEnd();
  EXPECT_TRUE(tcf.isDMARegion());
}

}  // namespace
