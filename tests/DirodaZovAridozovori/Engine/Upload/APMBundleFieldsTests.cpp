#include "Upload/APMBundleFields.h"

#include <gtest/gtest.h>

#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "UploadTestSupport.h"

namespace {

using Bundle = APMPBMeasurementBundle;
using OptText = std::optional<std::string>;

// Limited ad tracking off, both device IDs, an instance ID and an authorised tracking status.
const APMBundleIdentity kIdentity{false, "RID", "VID", "AIID", "EPHEMERAL", 3};

std::shared_ptr<APMPBUserAttribute> npa(int64_t value) {
  auto attribute = APMPBUserAttribute::initWithMessageInfo();
  APMNanoSetString(*attribute, APMPBUserAttribute::kName, std::string("_npa"));
  APMNanoSetInt64(*attribute, APMPBUserAttribute::kIntValue, value);
  return attribute;
}

std::optional<int64_t> npaValue(const Bundle& bundle) { return uploadtest::intUserProperty(bundle, "_npa"); }

TEST(APMBundleFieldsTest, IdentifierFieldsFollowConsentSignalsAndTrackingGate) {
  const struct {
    const char* name;
    std::string signals;
    bool gate;
    int64_t status;
    bool latKnown;
    OptText resettable, vendor, instance, storedSignals;
  } cases[] = {
      {"no signals: device ID and instance ID", "", false, 3, true, "RID", std::nullopt, "AIID", std::nullopt},
      {"all granted", "G111", false, 3, true, "RID", std::nullopt, "AIID", "G111"},
      {"ad storage denied: vendor ID instead", "G101", false, 3, true, std::nullopt, "VID", "AIID", "G101"},
      {"ad storage denied by 'd'", "G1d1", false, 3, true, std::nullopt, "VID", "AIID", "G1d1"},
      {"analytics denied: no vendor or instance ID", "G110", false, 3, true, "RID", std::nullopt, std::nullopt,
       "G110"},
      {"both denied: no identifiers", "G1DD", false, 3, true, std::nullopt, std::nullopt, std::nullopt, "G1DD"},
      {"gate without authorisation: vendor ID", "G111", true, 2, true, std::nullopt, "VID", "AIID", "G111"},
      {"gate with authorisation: device ID", "G111", true, 3, true, "RID", std::nullopt, "AIID", "G111"},
      {"unknown ad-tracking state: vendor ID", "G111", false, 3, false, std::nullopt, "VID", "AIID", "G111"},
      {"short signals deny nothing and are not stored", "G10", false, 3, true, "RID", std::nullopt, "AIID",
       std::nullopt},
  };
  for (const auto& c : cases) {
    APMBundleIdentity identity = kIdentity;
    identity.trackingAuthorizationStatus = c.status;
    if (!c.latKnown) identity.limitedAdTracking.reset();
    Bundle bundle;
    APMSetIdentifierFields(bundle, c.signals, c.gate, identity, false);
    EXPECT_EQ(APMNanoGetString(bundle, Bundle::kResettableDeviceId), c.resettable) << c.name;
    EXPECT_EQ(APMNanoGetString(bundle, Bundle::kVendorDeviceId), c.vendor) << c.name;
    EXPECT_EQ(APMNanoGetString(bundle, Bundle::kAppInstanceId), c.instance) << c.name;
    EXPECT_EQ(APMNanoGetString(bundle, Bundle::kConsentSignals), c.storedSignals) << c.name;
    EXPECT_EQ(APMNanoHasField(bundle, Bundle::kLimitedAdTracking), c.latKnown) << c.name;
    EXPECT_EQ(APMNanoGetInt32(bundle, Bundle::kTrackingAuthorizationStatus), c.status) << c.name;
  }
}

TEST(APMBundleFieldsTest, StoredSignalsWinUnlessOverwrittenAndDenialClearsStaleIDs) {
  Bundle bundle;
  APMNanoSetString(bundle, Bundle::kConsentSignals, std::string("G110"));
  APMNanoSetString(bundle, Bundle::kAppInstanceId, std::string("OLD"));
  APMNanoSetString(bundle, Bundle::kSessionStitchingToken, std::string("TOKEN"));
  APMSetIdentifierFields(bundle, "G111", false, kIdentity, false);
  EXPECT_EQ(APMNanoGetString(bundle, Bundle::kConsentSignals), "G110") << "stored consent kept without overwrite";
  EXPECT_FALSE(APMNanoHasField(bundle, Bundle::kAppInstanceId)) << "analytics denial in the stored signals";
  EXPECT_FALSE(APMNanoHasField(bundle, Bundle::kSessionStitchingToken));

  APMSetIdentifierFields(bundle, "G111", false, kIdentity, true);
  EXPECT_EQ(APMNanoGetString(bundle, Bundle::kConsentSignals), "G111");
  EXPECT_EQ(APMNanoGetString(bundle, Bundle::kAppInstanceId), "AIID");

  Bundle notReported;
  APMBundleIdentity identity = kIdentity;
  identity.trackingAuthorizationStatus = 6;
  APMSetIdentifierFields(notReported, "", false, identity, false);
  EXPECT_FALSE(APMNanoHasField(notReported, Bundle::kTrackingAuthorizationStatus));
}

TEST(APMBundleFieldsTest, ConsentFieldsAndNonPersonalizedAdsProperty) {
  const struct {
    const char* name;
    bool adUserDataDenied, dma;
    std::set<std::string> services;
    OptText expected;
  } cases[] = {
      {"services sorted and joined", false, true, {"zeta", "alpha"}, "alphazeta"},
      {"ad user data denied", true, true, {"alpha"}, "-"},
      {"no services", false, true, {}, "-"},
      {"outside the region", false, false, {"alpha"}, std::nullopt},
  };
  for (const auto& c : cases) {
    Bundle bundle;
    APMSetConsentFields(bundle, "diag", c.adUserDataDenied, nullptr, {c.dma, c.services}, false);
    EXPECT_EQ(APMNanoGetString(bundle, Bundle::kCorePlatformServices), c.expected) << c.name;
    EXPECT_EQ(APMNanoGetBool(bundle, Bundle::kDmaRegion), c.dma) << c.name;
  }

  Bundle bundle;
  APMSetConsentFields(bundle, "first", false, npa(0), {true, {"a"}}, false);
  EXPECT_EQ(npaValue(bundle), 0) << "a missing \"_npa\" is appended";
  APMSetConsentFields(bundle, "second", false, npa(1), {true, {"a"}}, false);
  EXPECT_EQ(npaValue(bundle), 0) << "without overwrite the stored value stays";
  EXPECT_EQ(APMNanoGetString(bundle, Bundle::kConsentDiagnostics), "first");
  APMSetConsentFields(bundle, "third", false, npa(1), {true, {"a"}}, true);
  EXPECT_EQ(npaValue(bundle), 1);
  EXPECT_EQ(APMNanoGetString(bundle, Bundle::kConsentDiagnostics), "third");
}

TEST(APMBundleFieldsTest, BundlesShareMetadataOnlyWithEqualConsentAndNPA) {
  auto make = [](OptText signals, bool dma, std::optional<int64_t> npaValueToSet) {
    auto bundle = std::make_shared<Bundle>();
    if (signals) APMNanoSetString(*bundle, Bundle::kConsentSignals, *signals);
    APMNanoSetBool(*bundle, Bundle::kDmaRegion, dma);
    if (npaValueToSet) APMNanoSetRepeatedField(*bundle, Bundle::kUserAttributes, std::vector{npa(*npaValueToSet)});
    return bundle;
  };
  const struct { const char* name; std::shared_ptr<Bundle> first, second; bool share; } cases[] = {
      {"identical", make("G111", true, 1), make("G111", true, 1), true},
      {"both without signals or npa", make(std::nullopt, true, std::nullopt), make(std::nullopt, true, std::nullopt),
       true},
      {"signals differ", make("G111", true, 1), make("G110", true, 1), false},
      {"one without signals", make("G111", true, 1), make(std::nullopt, true, 1), false},
      {"region differs", make("G111", true, 1), make("G111", false, 1), false},
      {"npa differs", make("G111", true, 1), make("G111", true, 0), false},
      {"one without npa", make("G111", true, 1), make("G111", true, std::nullopt), false},
  };
  for (const auto& c : cases) EXPECT_EQ(APMBundlesShareMetadata(*c.first, *c.second), c.share) << c.name;
}

TEST(APMBundleFieldsTest, RedactionFollowsDataControls) {
  auto make = [] {
    Bundle bundle;
    APMNanoSetString(bundle, Bundle::kAppInstanceId, std::string("AIID"));
    APMNanoSetString(bundle, Bundle::kOsVersion, std::string("14.2.1"));
    APMNanoSetString(bundle, Bundle::kDeviceModel, std::string("Mac14,2"));
    APMNanoSetString(bundle, Bundle::kSessionStitchingToken, std::string("TOKEN"));
    auto id = APMPBUserAttribute::initWithMessageInfo();
    APMNanoSetString(*id, APMPBUserAttribute::kName, std::string("_id"));
    APMNanoSetRepeatedField(bundle, Bundle::kUserAttributes, std::vector{id, npa(1)});
    return bundle;
  };
  Bundle untouched = make();
  APMRedactBundle(untouched, {}, kIdentity);
  EXPECT_TRUE(untouched.isEqual(make())) << "no data controls change nothing";

  Bundle bundle = make();
  APMRedactBundle(bundle, {"app_instance_id", "user_id", "device_info", "enhanced_user_id"}, kIdentity);
  EXPECT_FALSE(APMNanoHasField(bundle, Bundle::kAppInstanceId));
  EXPECT_EQ(APMNanoGetString(bundle, Bundle::kEphemeralAppInstanceId), "EPHEMERAL");
  EXPECT_EQ(APMNanoGetString(bundle, Bundle::kOsVersion), "14");
  EXPECT_FALSE(APMNanoHasField(bundle, Bundle::kDeviceModel));
  EXPECT_FALSE(APMNanoHasField(bundle, Bundle::kSessionStitchingToken));
  EXPECT_FALSE((uploadtest::namedEntry<APMPBUserAttribute>(bundle, Bundle::kUserAttributes, "_id")));
  EXPECT_EQ(npaValue(bundle), 1) << "only \"_id\" leaves the user properties";
  EXPECT_EQ(APMNanoGetRepeatedField<std::string>(bundle, Bundle::kRedactedFields),
            (std::vector<std::string>{"app_instance_id", "user_id", "device_info", "enhanced_user_id"}));

  Bundle denied = make();
  APMNanoSetString(denied, Bundle::kConsentSignals, std::string("G110"));
  APMNanoSetString(denied, Bundle::kEphemeralAppInstanceId, std::string("STALE"));
  APMRedactBundle(denied, {"app_instance_id"}, kIdentity);
  EXPECT_FALSE(APMNanoHasField(denied, Bundle::kEphemeralAppInstanceId))
      << "no replacement identifier while analytics storage is denied";
}

TEST(APMBundleFieldsTest, BatchesKeepTheCompatiblePrefixOnly) {
  auto make = [](const std::string& appID, OptText resettable, OptText vendor) {
    auto bundle = std::make_shared<Bundle>();
    APMNanoSetString(*bundle, Bundle::kAppId, appID);
    if (resettable) APMNanoSetString(*bundle, Bundle::kResettableDeviceId, *resettable);
    if (vendor) APMNanoSetString(*bundle, Bundle::kVendorDeviceId, *vendor);
    return bundle;
  };
  const struct { const char* name; std::vector<std::shared_ptr<Bundle>> bundles; size_t kept; } cases[] = {
      {"same app and device", {make("A", "r1", {}), make("A", "r1", {}), make("A", {}, {})}, 3},
      {"first device ID found later is the reference", {make("A", {}, {}), make("A", "r2", {}), make("A", "r2", {})},
       3},
      {"another device ID starts the next batch", {make("A", "r1", {}), make("A", {}, {}), make("A", "r2", {})}, 2},
      {"another app ID starts the next batch", {make("A", "r1", {}), make("B", "r1", {}), make("A", "r1", {})}, 1},
      {"vendor IDs compared when no bundle has a resettable one", {make("A", {}, "v1"), make("A", {}, "v2")}, 1},
      {"a resettable reference ignores vendor IDs", {make("A", "r1", "v1"), make("A", "r1", "v2")}, 2},
  };
  for (const auto& c : cases) {
    auto reference = APMBatchReferenceForBundles(c.bundles);
    EXPECT_FALSE(reference.resettableDeviceID && reference.vendorDeviceID) << c.name;
    EXPECT_EQ(APMCompatibleBundlePrefix(c.bundles, reference.appID, reference.resettableDeviceID,
                                        reference.vendorDeviceID),
              c.kept)
        << c.name;
  }
  auto bundles = std::vector{make("A", "r1", {})};
  EXPECT_EQ(APMCompatibleBundlePrefix(bundles, "A", "r1", "v1"), 0u) << "both kinds of reference is refused";
}

}  // namespace
