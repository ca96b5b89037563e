#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <thread>

#include "../EngineTestFixture.h"
#include "DirodaZovAridozovori/Configuration/Consent/APMConsentSettingsUtil.h"
#include "DirodaZovAridozovori/Store/APMPersistedConfig.h"
#include "Identity/APMDirodaServiceFileUtil.h"
#include "Identity/APMIdentifiers.h"
#include "Identity/APMIdentity.h"
#include "Identity/APMIdentityEnvironment.h"
#include "IdentityTestDoubles.h"
#include "RemoteConfig/APMRemoteConfig.h"
#include "TestSupport.h"
#include "platform/Bundle.h"
#include "platform/DispatchQueue.h"
#include "platform/PropertyList.h"

namespace {

using identitytest::LogCapture;
using identitytest::ScriptedSupport;
using identitytest::Switches;

constexpr const char* kDeviceA = "6D92078A-8246-4BA4-AE5B-76104861E7DC";
constexpr const char* kDeviceAHash = "f2d1311ca5c1ecb214c19a26e9ddbad0";
constexpr const char* kDeviceB = "A1B2C3D4-0000-4000-8000-000000000001";
constexpr const char* kDeviceBHash = "e58c206d9fcd39280131c9737bfbaaa8";
constexpr const char* kZeroDevice = "00000000-0000-0000-0000-000000000000";

class APMIdentityTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::Bundle::reset(); }
  void TearDown() override {
    platform::Bundle::reset();
    APMIdentifiers::setEngineIdentityProvider(nullptr);
    APMIdentity::setSharedInstance(nullptr);
    APMIdentifiers::resetSharedInstance();
  }

  std::shared_ptr<APMIdentity> makeIdentity() {
    return APMIdentity::create(persistence, identitytest::environmentFor(support, switches));
  }
  // Moves past the refresh cache so the next getter refreshes again.
  void expireCache() { clock->advance(switches->cacheTime + 1); }

  testsupport::ScopedFakeClock clock;
  testsupport::TempDir dir;
  std::shared_ptr<APMIdentityPersistence> persistence = identitytest::persistenceIn(dir);
  std::shared_ptr<ScriptedSupport> support = std::make_shared<ScriptedSupport>();
  std::shared_ptr<Switches> switches = std::make_shared<Switches>();
};

TEST_F(APMIdentityTest, CreationPersistsAnAppInstanceIDOnceUnlessAnalyticsStorageIsDenied) {
  auto identity = makeIdentity();
  ASSERT_TRUE(identity);
  std::optional<std::string> first = persistence->appInstanceID();
  ASSERT_TRUE(first.has_value());
  EXPECT_TRUE(std::regex_match(*first, std::regex("^[0-9A-F]{32}$")));
  auto denied = identitytest::persistenceIn(dir, "denied");
  switches->analyticsDenied = true;
  ASSERT_TRUE(APMIdentity::create(denied, identitytest::environmentFor(support, switches)));
  EXPECT_FALSE(denied->appInstanceID().has_value());
}

TEST_F(APMIdentityTest, CreationWithoutPersistenceFails) {
  LogCapture log;
  EXPECT_EQ(APMIdentity::create(nullptr, identitytest::environmentFor(support, switches)), nullptr);
  auto entry = log.find(20004);
  ASSERT_TRUE(entry.has_value());
  EXPECT_EQ(entry->level, 2);
  EXPECT_EQ(entry->message, "Unable to create measurement identity, missing a valid persisted config instance");
  LogCapture fromPersistedConfig;
  EXPECT_EQ(APMIdentity::initWithPersistedConfig(nullptr), nullptr);
  EXPECT_EQ(fromPersistedConfig.count(20004), 1);
}

TEST_F(APMIdentityTest, CreationReadsTheBundleAndTheServiceFile) {
  testsupport::TempDir resources;
  ASSERT_TRUE(platform::PropertyList::writeFile(resources.path() + "/DaveriZadiziv-Adav.plist",
                                                platform::Dictionary{{"DIRODA_APP_ID", "1:123:ios:abc"}}));
  platform::Bundle::setResourceDirectory(resources.path());
  platform::Bundle::setBundleIdentifier("com.example.companion");
  platform::Bundle::setShortVersion("2.7b.11");
  platform::Bundle::setInfoDictionaryValue("DIRODA_ANALYTICS_IDFV_COLLECTION_ENABLED", false);

  LogCapture log;
  auto identity = makeIdentity();
  EXPECT_EQ(identity->application().appID(), "com.example.companion");
  EXPECT_EQ(identity->application().appVersion(), "2.7b.11");
  EXPECT_EQ(identity->application().appVersionRelease(), 11);
  EXPECT_EQ(identity->providedIdentifiers().appIDFromDMP(), "1:123:ios:abc");
  EXPECT_EQ(identity->application().idfvCollectionEnabled(), false);
  auto entry = log.find(20009);
  ASSERT_TRUE(entry.has_value());
  EXPECT_EQ(entry->level, 7);
  EXPECT_EQ(entry->message, "DIRODA_ANALYTICS_IDFV_COLLECTION_ENABLED = NO");
  EXPECT_FALSE(identity->application().identifierForVendor().has_value());
}

TEST_F(APMIdentityTest, IdentifiersSurviveARestartThroughThePersistedConfig) {
  const std::string path = dir.path() + "/com.diroda.dmp.measurement";
  support->setDeviceID(std::string(kDeviceA));
  std::optional<std::string> appInstanceID;
  std::string diversionKey;
  {
    auto config = std::make_shared<APMPersistedConfig>(path);
    auto identity = APMIdentity::initWithPersistedConfig(config, identitytest::environmentFor(support, switches));
    ASSERT_TRUE(identity);
    appInstanceID = identity->appInstanceID();
    diversionKey = identity->diversionKey();
    ASSERT_TRUE(appInstanceID.has_value());
    ASSERT_TRUE(config->synchronizeToDisk());
  }
  auto config = std::make_shared<APMPersistedConfig>(path);
  EXPECT_EQ(config->identifiers().hashedResettableDeviceID(), kDeviceAHash);
  auto identity = APMIdentity::initWithPersistedConfig(config, identitytest::environmentFor(support, switches));
  EXPECT_EQ(identity->appInstanceID(), appInstanceID);
  EXPECT_EQ(identity->diversionKey(), diversionKey);

  // A reset advertising identifier between launches yields a new instance ID and the reset flag.
  support->setDeviceID(std::string(kDeviceB));
  expireCache();
  const auto renewed = identity->appInstanceID();
  ASSERT_TRUE(renewed.has_value());
  EXPECT_NE(renewed, appInstanceID);
  EXPECT_TRUE(identity->shouldSetLastAdvertisingIDResetUserProperty());
  EXPECT_TRUE(config->identifiers().shouldSetLastAdvertisingIDResetUserProperty());
  EXPECT_EQ(config->identifiers().hashedResettableDeviceID(), kDeviceBHash);
  expireCache();
  EXPECT_EQ(identity->appInstanceID(), renewed) << "the same identifier seen again changes nothing more";
}

TEST_F(APMIdentityTest, ZeroAdvertisingIdentifierNeverChangesTheAppInstanceID) {
  persistence->setHashedResettableDeviceID(std::string(kDeviceAHash));
  support->setDeviceID(std::string(kDeviceA));
  auto identity = makeIdentity();
  std::optional<std::string> before = identity->appInstanceID();
  EXPECT_EQ(identity->resettableDeviceID(), kDeviceA);

  support->setDeviceID(std::string(kZeroDevice));
  expireCache();
  EXPECT_EQ(identity->appInstanceID(), before);
  EXPECT_FALSE(identity->resettableDeviceID().has_value()) << "the kept identifier is cleared";
  EXPECT_EQ(persistence->hashedResettableDeviceID(), kDeviceAHash);
  EXPECT_FALSE(identity->shouldSetLastAdvertisingIDResetUserProperty());
}

TEST_F(APMIdentityTest, GatedAdvertisingIdentifierIsNotReadUntilTrackingIsAuthorised) {
  switches->gate = true;
  support->status = 2;  // denied
  support->setDeviceID(std::string(kDeviceA));
  auto identity = makeIdentity();
  EXPECT_FALSE(identity->resettableDeviceID().has_value());
  EXPECT_FALSE(identity->hashedResettableDeviceID().has_value());
  EXPECT_TRUE(identity->limitedAdTracking());
  EXPECT_EQ(support->deviceIDReads, 0);
  EXPECT_EQ(support->limitedAdTrackingReads, 0) << "the support reads the identifier to answer";

  support->status = 3;
  expireCache();
  EXPECT_EQ(identity->resettableDeviceID(), kDeviceA);
  EXPECT_EQ(identity->hashedResettableDeviceID(), kDeviceAHash);
  EXPECT_FALSE(identity->limitedAdTracking());
}

TEST_F(APMIdentityTest, DeniedAdStorageDropsTheDeviceIDAtOnceAndKeepsTheStoredHash) {
  switches->cacheTime = 3600;
  support->setDeviceID(std::string(kDeviceA));
  auto identity = makeIdentity();
  EXPECT_EQ(identity->resettableDeviceID(), kDeviceA);
  EXPECT_FALSE(identity->limitedAdTracking());

  switches->adDenied = true;
  support->setDeviceID(std::string(kDeviceB));
  EXPECT_FALSE(identity->resettableDeviceID().has_value()) << "within the cache time too";
  EXPECT_FALSE(identity->hashedResettableDeviceID().has_value());
  EXPECT_TRUE(identity->limitedAdTracking());
  expireCache();
  EXPECT_FALSE(identity->resettableDeviceID().has_value());
  EXPECT_EQ(persistence->hashedResettableDeviceID(), kDeviceAHash);

  // Once nothing is kept, the cache applies again: granted consent shows at the next refresh.
  switches->adDenied = false;
  EXPECT_FALSE(identity->resettableDeviceID().has_value());
  expireCache();
  EXPECT_EQ(identity->resettableDeviceID(), kDeviceB);
}

TEST_F(APMIdentityTest, DeniedAnalyticsStorageHidesTheAppInstanceIDAndStoresNoNewOne) {
  persistence->setHashedResettableDeviceID(std::string(kDeviceAHash));
  support->setDeviceID(std::string(kDeviceB));
  auto identity = makeIdentity();
  std::optional<std::string> stored = persistence->appInstanceID();
  switches->analyticsDenied = true;

  EXPECT_FALSE(identity->appInstanceID().has_value());
  identity->updateIdentifiersAndWait();
  // The reset is recorded, but no new instance ID is written while analytics storage is denied.
  EXPECT_EQ(persistence->appInstanceID(), stored);
  EXPECT_EQ(persistence->hashedResettableDeviceID(), kDeviceBHash);
}

TEST_F(APMIdentityTest, RefreshIsCachedForTheRemoteCacheTime) {
  switches->cacheTime = 60;
  support->setDeviceID(std::string(kDeviceA));
  auto identity = makeIdentity();
  identity->updateIdentifiersAndWait();
  int reads = support->deviceIDReads;

  support->setDeviceID(std::string(kDeviceB));
  clock->advance(59);
  EXPECT_EQ(identity->resettableDeviceID(), kDeviceA);
  EXPECT_EQ(support->deviceIDReads, reads);

  clock->advance(1);
  EXPECT_EQ(identity->resettableDeviceID(), kDeviceB);

  // A clock set back makes the last refresh lie in the future: refresh rather than trust it.
  support->setDeviceID(std::string(kDeviceA));
  clock->advance(-3600);
  EXPECT_EQ(identity->resettableDeviceID(), kDeviceA);
}

TEST_F(APMIdentityTest, GettersCalledFromTheWorkerQueueRefreshFirstAndDoNotWait) {
  switches->cacheTime = 0;
  auto identity = makeIdentity();
  EXPECT_FALSE(identity->resettableDeviceID().has_value());
  support->setDeviceID(std::string(kDeviceB));
  std::atomic<bool> done{false};
  std::optional<std::string> seenAsync;
  std::string key;
  identity->workerQueue()->async([&] {
    seenAsync = identity->resettableDeviceID();
    key = identity->diversionKey();
    identity->appInstanceID();
    done = true;
  });
  ASSERT_TRUE(testsupport::waitFor([&] { return done.load(); }));
  EXPECT_EQ(seenAsync, kDeviceB);
  EXPECT_EQ(key.size(), 5u);
}

TEST_F(APMIdentityTest, DiversionKeyIsFiveUpperCaseHexCharactersCreatedOnce) {
  auto identity = makeIdentity();
  std::vector<std::thread> threads;
  std::mutex mutex;
  std::set<std::string> keys;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&] {
      std::string key = identity->diversionKey();
      std::lock_guard<std::mutex> lock(mutex);
      keys.insert(key);
    });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_TRUE(std::regex_match(*keys.begin(), std::regex("^[0-9A-F]{5}$")));
  EXPECT_EQ(persistence->diversionKey(), *keys.begin());

  // A stored key of another length is replaced.
  for (std::string bad : {"", "ABCD", "ABCDEF"}) {
    persistence->setDiversionKey(bad);
    std::string key = identity->diversionKey();
    EXPECT_TRUE(std::regex_match(key, std::regex("^[0-9A-F]{5}$"))) << bad;
    EXPECT_EQ(persistence->diversionKey(), key);
  }
}

TEST_F(APMIdentityTest, SessionStitchingToken) {
  auto identity = makeIdentity();
  auto token = [&](int64_t number, bool expired, bool userID) {
    return identity->ephemeralIdentifiers().sessionStitchingTokenWithSessionNumber(number, expired, userID);
  };

  // 5 then 6, neither expired: a new session, a new token.
  auto first = token(5, false, false);
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->size(), 32u);
  EXPECT_EQ(token(5, false, false), first);
  auto second = token(6, false, false);
  EXPECT_NE(second, first);

  // 6 expired, then 7 not expired: the session resumed, the token is kept.
  auto expiredToken = token(6, true, false);
  EXPECT_NE(expiredToken, second) << "the expired flag changed";
  EXPECT_EQ(token(7, false, false), expiredToken);

  // Skipping a number is never a resumption.
  token(7, true, false);
  auto kept = token(7, true, false);
  EXPECT_NE(token(9, false, false), kept);

  // Without a user ID the token lasts at most a day.
  auto daily = token(10, false, false);
  clock->advance(86399);
  EXPECT_EQ(token(10, false, false), daily);
  clock->advance(1);
  auto renewed = token(10, false, false);
  EXPECT_NE(renewed, daily);

  // With a user ID the expiry is not applied and a new token gets none.
  clock->advance(86400);
  EXPECT_EQ(token(10, false, true), renewed);
  identity->ephemeralIdentifiers().resetSessionStitchingToken();
  auto withUser = token(10, false, true);
  EXPECT_NE(withUser, renewed);
  clock->advance(10 * 86400);
  EXPECT_EQ(token(10, false, true), withUser);

  switches->analyticsDenied = true;
  EXPECT_FALSE(token(10, false, true).has_value());
}

TEST_F(APMIdentityTest, EphemeralAppInstanceIDIsKeptUntilItsOwnReset) {
  auto ids = std::make_shared<APMEphemeralIdentifiers>(platform::DispatchQueue::create("EphemeralIdentifiersTest"),
                                                       [] { return false; });
  const std::string first = ids->ephemeralAppInstanceID();
  EXPECT_TRUE(std::regex_match(first, std::regex("^[0-9A-F]{32}$")));
  EXPECT_EQ(ids->ephemeralAppInstanceID(), first);
  const auto token = ids->sessionStitchingTokenWithSessionNumber(1, false, true);

  // Each reset drops its own identifier and leaves the other.
  ids->resetEphemeralAppInstanceID();
  const std::string second = ids->ephemeralAppInstanceID();
  EXPECT_NE(second, first);
  EXPECT_EQ(ids->ephemeralAppInstanceID(), second);
  EXPECT_EQ(ids->sessionStitchingTokenWithSessionNumber(1, false, true), token);
  ids->resetSessionStitchingToken();
  EXPECT_NE(ids->sessionStitchingTokenWithSessionNumber(1, false, true), token);
  EXPECT_EQ(ids->ephemeralAppInstanceID(), second);
}

TEST_F(APMIdentityTest, AppIDsComeFromTheEngineIdentityElseTheSharedOne) {
  auto engine = makeIdentity();
  auto shared = makeIdentity();
  APMIdentity::setSharedInstance(shared);
  auto runEngine = [&] { APMIdentifiers::setEngineIdentityProvider([engine] { return engine; }); };
  APMIdentifiers identifiers;
  // Nothing set anywhere yet: each getter answers "" and says where it looked.
  for (auto [engineRuns, code] : {std::pair<bool, int64_t>{true, 37000}, {false, 37001}}) {
    engineRuns ? runEngine() : APMIdentifiers::setEngineIdentityProvider(nullptr);
    LogCapture log;
    EXPECT_EQ(identifiers.dirodaAppID(), "");
    EXPECT_EQ(log.count(code), 1) << code;
    EXPECT_EQ(identifiers.analyticsAppID(), "");
    EXPECT_EQ(log.count(37005), 1);
  }

  engine->providedIdentifiers().setAppIDFromDMP("1:engine");
  shared->providedIdentifiers().setAppIDFromDMP("1:shared");
  runEngine();
  EXPECT_EQ(identifiers.dirodaAppID(), "1:engine");
  EXPECT_EQ(identifiers.analyticsAppID(), "1:engine");
  APMIdentifiers::setEngineIdentityProvider(nullptr);
  EXPECT_EQ(identifiers.dirodaAppID(), "1:shared");
  EXPECT_EQ(identifiers.analyticsAppID(), "1:shared");
}

TEST_F(APMIdentityTest, AdEventIDsAreConsecutiveAndUniqueAcrossThreads) {
  APMIdentifiers identifiers;
  int64_t first = std::stoll(identifiers.adEventID());
  int64_t second = std::stoll(identifiers.adEventID());
  EXPECT_EQ(second, static_cast<int64_t>(static_cast<uint64_t>(first) + 1));

  std::mutex mutex;
  std::set<std::string> seen;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 500; ++i) {
        std::string id = identifiers.adEventID();
        std::lock_guard<std::mutex> lock(mutex);
        seen.insert(id);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(seen.size(), 2000u);
}

TEST_F(APMIdentityTest, PendingRefreshDoesNotKeepTheIdentityAlive) {
  auto identity = makeIdentity();
  auto queue = identity->workerQueue();
  std::weak_ptr<APMIdentity> weak = identity;
  queue->suspend();
  identity->updateIdentifiers();
  identity.reset();
  EXPECT_TRUE(weak.expired());
  queue->resume();
  queue->sync([] {});
}

TEST_F(APMIdentityTest, ConsentStateOfTheProcessGatesTheIdentifiersInTheStandardEnvironment) {
  APMConsentSettingsUtil::reset();
  support->setDeviceID(std::string(kDeviceA));
  APMIdentityEnvironment environment = APMIdentityEnvironment::standard();
  environment.support = support;
  auto identity = APMIdentity::create(persistence, environment);
  ASSERT_TRUE(identity->appInstanceID().has_value());
  EXPECT_EQ(identity->hashedResettableDeviceID(), kDeviceAHash);

  APMConsentSettingsUtil::setConsentSettings(
      platform::Dictionary{{"analytics_storage", "denied"}, {"ad_storage", "DENIED"}});
  EXPECT_FALSE(identity->appInstanceID().has_value());
  EXPECT_FALSE(identity->hashedResettableDeviceID().has_value());
  EXPECT_FALSE(identity->ephemeralIdentifiers().sessionStitchingTokenWithSessionNumber(1, false, false).has_value());
  APMConsentSettingsUtil::reset();
}

TEST_F(APMIdentityTest, MissingDamagedOrNonDictionaryServiceFilesReadAsAbsent) {
  testsupport::TempDir resources;
  platform::Bundle::setResourceDirectory(resources.path());
  const std::string plistPath = resources.path() + "/DaveriZadiziv-Adav.plist";
  EXPECT_FALSE(APMDirodaServiceFileUtil::dirodaServiceInfoPlistPath().has_value());
  EXPECT_FALSE(APMDirodaServiceFileUtil::dictionaryFromDirodaServiceInfoPlist().has_value());
  const std::string contents[] = {"", "not a plist", "<?xml version=\"1.0\"?><plist><dict><key>A"};
  for (const std::string& content : contents) {
    std::ofstream(plistPath, std::ios::trunc) << content;
    identitytest::LogCapture log;
    EXPECT_FALSE(APMDirodaServiceFileUtil::dictionaryFromDirodaServiceInfoPlist().has_value()) << content;
    EXPECT_EQ(log.count(20010), 1);
  }
  ASSERT_TRUE(platform::PropertyList::writeFile(plistPath, platform::Array{"DIRODA_APP_ID"}));
  EXPECT_FALSE(APMDirodaServiceFileUtil::dictionaryFromDirodaServiceInfoPlist().has_value());
}

TEST(APMIdentityHelpers, NumericFieldsOfAppVersions) {
  struct Case {
    std::string version;
    std::vector<int32_t> fields;
    int nonNumericWarnings;
  };
  const Case cases[] = {
      {"1.2b.3", {1, 2, 3}, 1},
      {"10.20.30.40", {10, 20, 30, 40}, 0},
      {"", {}, 0},
      {"1..2", {1, 2}, 0},  // empty fields are skipped, not zero
      {"beta", {0}, 1},  // nothing numeric left reads as 0
      {"v1.x2.3rc1", {1, 2, 31}, 3},
      {"99999999999.1", {2147483647, 1}, 0},  // saturates instead of wrapping
  };
  for (const Case& c : cases) {
    LogCapture log;
    EXPECT_EQ(APMApplicationIdentity::numericFieldsFromAppVersionNumeric(c.version), c.fields) << c.version;
    EXPECT_EQ(log.count(20002), c.nonNumericWarnings) << c.version;
    if (auto entry = log.find(20002)) {
      EXPECT_EQ(entry->level, 5);
      EXPECT_EQ(entry->message, "app version numeric has non-numeric characters");
    }
  }
}

// The identity's two remote settings follow the configuration the running engine publishes, and
// fall back to their defaults once the engine is gone.
using APMIdentityRemoteSettingsTest = enginetest::EngineTest;

TEST_F(APMIdentityRemoteSettingsTest, FollowTheEnginesConfiguration) {
  start();
  applyConfig({{"measurement.ad_id_cache_time", "60000"}, {"measurement.attmas_gate", "1"}});
  EXPECT_EQ(APMIdentityRemoteAdIDCacheTime(), 60);
  EXPECT_TRUE(APMIdentityRemoteGateIDFAOnATTMASEnabled());
  stop();
  EXPECT_EQ(APMIdentityRemoteAdIDCacheTime(), 1) << "the identity keeps no configuration alive";
  EXPECT_FALSE(APMIdentityRemoteGateIDFAOnATTMASEnabled());
}

}  // namespace
