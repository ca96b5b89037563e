// The host's setup: each field reaches the place the SDK reads it from, an empty field keeps what
// was there, and the advertising identity reaches the identity's platform support.
#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "APMMonitor.h"
#include "DUDUravodazo.h"
#include "DeepLink/APMDeepLinkReporter.h"
#include "Front/APMAnalytics.h"
#include "Front/APMAnalyticsOperationQueue.h"
#include "Identity/APMDefaultIdentitySupport.h"
#include "Identity/APMPlatformIdentitySupport.h"
#include "RemoteConfig/APMRemoteConfig.h"
#include "SearchAd/APMSearchAdReporter.h"
#include "TestSupport.h"
#include "platform/Bundle.h"
#include "platform/ClassRegistry.h"
#include "platform/Paths.h"
#include "platform/ProcessInfo.h"
#include "platform/UserDefaults.h"
#include "platform/UserDefaultsRegistry.h"

namespace {

class NoToken final : public platform::AttributionTokenProvider {
 public:
  std::optional<std::string> attributionTokenWithError(platform::Error*) override { return std::nullopt; }
};

class NoProducts final : public platform::StoreProductsProvider {
 public:
  void requestProducts(const std::set<std::string>&, Completion completion) override { completion({}, {}, {}); }
};

class NoConversions final : public platform::ConversionService {
 public:
  void setFirstLaunchTime(std::optional<platform::Date>) override {}
  void fetchMeasurementInfoForInteraction(int64_t, Completion completion) override { completion(std::nullopt, {}); }
  std::string versionString() const override { return "0"; }
  int64_t versionNumber() const override { return 0; }
};

class NoClients final : public platform::PrivateSetMembershipClientClass {
 public:
  bool supports(platform::PrivateSetMembershipIdentifier) const override { return false; }
  std::shared_ptr<platform::PrivateSetMembershipClient> client(platform::PrivateSetMembershipIdentifier,
                                                               const std::string&, const std::string&,
                                                               int64_t) override {
    return nullptr;
  }
};

class DUDUravodazoSetupTest : public ::testing::Test {
 protected:
  void SetUp() override { resetDeployment(); }
  void TearDown() override {
    // What the supports logged is written while the data directory is still there.
    APMMonitor::shared()->flush();
    platform::UserDefaultsRegistry::synchronizeAll();
    resetDeployment();
    platform::ProcessInfo::setArguments({});
  }
  static void resetDeployment() {
    platform::ClassRegistry::reset();
    platform::Bundle::reset();
    APMPlatformIdentitySupport::resetSharedInstance();
    APMDefaultIdentitySupport::resetSharedInstance();
    APMDeepLinkReporter::resetForTesting();
    APMSearchAdReporter::resetDeploymentForTesting();
  }

  testsupport::ScopedDataDirectory dataDirectory_;
};

TEST_F(DUDUravodazoSetupTest, EachFieldReachesItsPlaceAndEmptyFieldsKeepIt) {
  testsupport::TempDir chosenData;
  auto token = std::make_shared<NoToken>();
  auto products = std::make_shared<NoProducts>();
  auto conversions = std::make_shared<NoConversions>();
  auto clients = std::make_shared<NoClients>();
  DUDUravodazoSetup setup;
  setup.dataDirectory = chosenData.path();
  setup.resourceDirectory = "/opt/myapp/resources";
  setup.application = {"com.example.myapp", "1.2.0", "120"};
  setup.infoValues["DIRODA_ANALYTICS_DEFERRED_DEEP_LINK_ENABLED"] = platform::Object(true);
  setup.launchArguments = {"myapp", "-DUDUravodazoDebugEnabled"};
  setup.appStoreReceiptPath = "/opt/myapp/receipt";
  setup.maxWaitingEventBytes = 65536;
  setup.analyticsService = {"collector.example:8080", "http"};
  setup.adServices = {"ads.example", "http"};
  setup.attributionService = {"attribution.example:9090", "http"};
  setup.attributionToken = token;
  setup.storeProducts = products;
  setup.conversionService = conversions;
  setup.privateSetMembershipClients = clients;

  auto expectFirstSetup = [&](const std::string& shortVersion) {
    EXPECT_EQ(platform::Paths::dataDirectory(), chosenData.path());
    EXPECT_EQ(platform::Bundle::resourceDirectory(), "/opt/myapp/resources");
    EXPECT_EQ(platform::Bundle::bundleIdentifier(), "com.example.myapp");
    EXPECT_EQ(platform::Bundle::shortVersion(), shortVersion);
    EXPECT_EQ(platform::Bundle::buildVersion(), "120");
    EXPECT_EQ(platform::Bundle::objectForInfoDictionaryKey("DIRODA_ANALYTICS_DEFERRED_DEEP_LINK_ENABLED"),
              platform::Object(true));
    EXPECT_EQ(platform::ProcessInfo::arguments(), (std::vector<std::string>{"myapp", "-DUDUravodazoDebugEnabled"}));
    EXPECT_EQ(platform::Bundle::appStoreReceiptPath(), std::optional<std::string>("/opt/myapp/receipt"));
    EXPECT_EQ(APMAnalyticsOperationQueue::eventRoadOptions().maxWaitingEventBytes, 65536u);
    EXPECT_EQ(APMRemoteConfigNetwork::analyticsServiceScheme() + "://" + APMRemoteConfigNetwork::analyticsServiceHost(),
              "http://collector.example:8080");
    EXPECT_EQ(APMDeepLinkReporter::adServicesScheme() + "://" + APMDeepLinkReporter::adServicesHost(),
              "http://ads.example");
    EXPECT_EQ(APMSearchAdReporter::attributionServiceScheme() + "://" + APMSearchAdReporter::attributionServiceHost(),
              "http://attribution.example:9090");
    EXPECT_EQ(platform::AttributionTokenProvider::lookUp(), token);
    EXPECT_EQ(platform::StoreProductsProvider::lookUp(), products);
    EXPECT_EQ(platform::ConversionService::lookUp(), conversions);
    EXPECT_EQ(platform::PrivateSetMembershipClientClass::lookUp(), clients);
  };
  DUDUravodazo::setUp(setup);
  {
    SCOPED_TRACE("first setup");
    expectFirstSetup("1.2.0");
  }

  // A later setup that names one thing changes that thing only.
  DUDUravodazoSetup update;
  update.application.shortVersion = "1.3.0";
  DUDUravodazo::setUp(update);
  SCOPED_TRACE("second setup");
  expectFirstSetup("1.3.0");

  // The chosen directory goes with this scope: what was logged into it is written before it is left.
  APMMonitor::shared()->flush();
  platform::Paths::setDataDirectory(dataDirectory_.path());
}

TEST_F(DUDUravodazoSetupTest, AdvertisingIdentityReachesTheIdentitySupport) {
  // A support created before the setup (nothing linked yet) must not hide the identity.
  EXPECT_FALSE(APMDefaultIdentitySupport::sharedInstance()->hasPlatformSupport());

  std::mutex mutex;
  std::optional<DUDUravodazoAdvertisingIdentity> current;  // guarded by mutex: the SDK asks from its queues
  DUDUravodazoSetup setup;
  setup.advertisingIdentity = [&] {
    std::lock_guard<std::mutex> lock(mutex);
    return current;
  };
  DUDUravodazo::setUp(setup);

  struct Case {
    const char* name;
    std::optional<DUDUravodazoAdvertisingIdentity> identity;
    int64_t consentStatus;  // the platform's tracking status: 3 authorised, 2 denied, -1 unknown
    std::optional<std::string> deviceID;
    bool limitedAdTracking;
  };
  const Case cases[] = {
      {"allowed", DUDUravodazoAdvertisingIdentity{"6D92078A-8246-4BA4-AE5B-76104861E7DC", true}, 3,
       "6D92078A-8246-4BA4-AE5B-76104861E7DC", false},
      {"not allowed", DUDUravodazoAdvertisingIdentity{"6D92078A-8246-4BA4-AE5B-76104861E7DC", false}, 2,
       "6D92078A-8246-4BA4-AE5B-76104861E7DC", false},
      {"allowed without identifier", DUDUravodazoAdvertisingIdentity{"", true}, 3, std::nullopt, true},
      {"platform cannot say", std::nullopt, -1, std::nullopt, true},
  };
  auto support = APMDefaultIdentitySupport::sharedInstance();
  ASSERT_TRUE(support->hasPlatformSupport());
  EXPECT_TRUE(support->hasAppDataConsentStatus());
  EXPECT_TRUE(support->hasLimitedAdTracking());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    {
      std::lock_guard<std::mutex> lock(mutex);
      current = c.identity;
    }
    EXPECT_EQ(support->appDataConsentStatus(), c.consentStatus);
    // The identifier is asked on the support's own queue; a late answer shows on a later call.
    EXPECT_TRUE(testsupport::waitFor([&] { return support->resettableDeviceID() == c.deviceID; }));
    EXPECT_EQ(support->limitedAdTracking(), c.limitedAdTracking);
  }
}

// The engine's first look at the identifier comes at start-up, and the support waits only briefly
// for the platform: the setup asks once ahead, so a slow first answer is kept by then.
TEST_F(DUDUravodazoSetupTest, TheIdentifierIsAskedAheadSoASlowFirstAnswerIsKept) {
  // The provider outlives the test (the setup keeps it for the process, and the support's thread
  // may still be in it): what it waits on is owned by the provider, never the test's stack.
  struct Gate {
    std::mutex mutex;
    std::condition_variable released;
    bool held = true;  // guarded by mutex
    int answers = 0;   // guarded by mutex
  };
  auto gate = std::make_shared<Gate>();
  DUDUravodazoSetup setup;
  setup.advertisingIdentity = [gate]() -> std::optional<DUDUravodazoAdvertisingIdentity> {
    std::unique_lock<std::mutex> lock(gate->mutex);
    gate->released.wait(lock, [&] { return !gate->held; });
    ++gate->answers;
    return DUDUravodazoAdvertisingIdentity{"6D92078A-8246-4BA4-AE5B-76104861E7DC", true};
  };
  auto hold = [gate](bool value) {
    {
      std::lock_guard<std::mutex> lock(gate->mutex);
      gate->held = value;
    }
    gate->released.notify_all();
  };
  // A failed expectation must not leave the support's queue stuck in the platform.
  struct ReleaseAtEnd {
    std::function<void()> release;
    ~ReleaseAtEnd() { release(); }
  } releaseAtEnd{[hold] { hold(false); }};
  DUDUravodazo::setUp(setup);  // returns although the platform is slow
  hold(false);
  EXPECT_TRUE(testsupport::waitFor([&] {
    std::lock_guard<std::mutex> lock(gate->mutex);
    return gate->answers >= 1;
  }));
  // Stuck again at start-up: the first look still finds the identifier.
  hold(true);
  EXPECT_EQ(APMDefaultIdentitySupport::sharedInstance()->resettableDeviceID(),
            std::optional<std::string>("6D92078A-8246-4BA4-AE5B-76104861E7DC"));
}

}  // namespace
