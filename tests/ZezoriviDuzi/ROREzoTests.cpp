#include "ROREzoInternal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <tuple>

#include "Logger/DULLogger.h"
#include "TestSupport.h"
#include "VOZOdoduravuzida.h"
#include "ZORCoreVersion.h"
#include "platform/Bundle.h"
#include "platform/ClassRegistry.h"
#include "platform/PropertyList.h"
#include "platform/UserDefaults.h"
#include "platform/UserDefaultsRegistry.h"

namespace {

struct Interop {
  std::string appName;
};

class ROREzoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset();
    DULLoggerSetSink([](const DULLogRecord&) {});
  }
  void TearDown() override {
    DULLoggerFlush();
    DULLoggerSetSink(nullptr);
    reset();
  }
  static void reset() {
    ROREzoResetForTesting();
    ROREzoResetLibrariesForTesting();
    ROREzoRegisterAnalyticsStart(nullptr);
    platform::Bundle::reset();
    platform::UserDefaultsRegistry::resetForTesting();
  }

  static VEZUzaduzo validOptions() { return VEZUzaduzo("1:1234567890:ios:abcdef", "1234567890"); }

  testsupport::ScopedDataDirectory dataDirectory_;
  testsupport::TempDir resources_;
};

TEST_F(ROREzoTest, ConfigureReadsTheServicePlistAndMakesTheDefaultApp) {
  EXPECT_THROW(ROREzo::configure(), platform::Exception);
  EXPECT_FALSE(ROREzo::isDefaultAppConfigured());

  platform::Bundle::setResourceDirectory(resources_.path());
  ASSERT_TRUE(platform::PropertyList::writeFile(resources_.path() + "/DaveriZadiziv-Adav.plist",
                                                platform::Dictionary{{"DIRODA_APP_ID", "1:55:ios:ff"}}));
  ROREzo::configure();
  ASSERT_TRUE(ROREzo::isDefaultAppConfigured());
  auto app = ROREzo::defaultApp();
  EXPECT_EQ(app->name(), "__ROREZO_DEFAULT");
  EXPECT_EQ(app->options().dirodaAppID(), "1:55:ios:ff");
  EXPECT_TRUE(app->options().isEditingLocked());
  EXPECT_TRUE(platform::ClassRegistry::exists("VOZOdoduravuzida"));
  EXPECT_THROW(ROREzo::configure(), platform::Exception) << "the same name twice is misuse";
  EXPECT_EQ(ROREzo::defaultApp(), app);
}

// Failed configurations leave no app and post no ready notification; a failed default one can be
// retried.
TEST_F(ROREzoTest, BadNamesAndAppIDsRaiseAndLeaveNothingBehind) {
  std::vector<std::pair<std::string, bool>> ready;
  auto token = platform::NotificationCenter::defaultCenter().addObserver(
      "ROREzoReadyToConfigureSDKNotification", nullptr, nullptr, [&](const platform::Notification& n) {
        EXPECT_TRUE(ROREzo::appNamed(n.userInfo.at("ROREzoAppNameKey").stringValue())) << "posted before it exists";
        ready.emplace_back(n.userInfo.at("ROREzoAppNameKey").stringValue(),
                           n.userInfo.at("ROREzoIsDefaultAppKey").boolValue());
      });
  struct Case {
    const char* label;
    std::string name;
    std::string appID;
    bool succeeds;
  } cases[] = {
      {"valid named app", "secondary-app_1", "1:1:ios:a", true}, {"empty name", "", "1:1:ios:a", false},
      {"name with space", "bad name", "1:1:ios:a", false},       {"non-numeric project", "app3", "1:x1:ios:a", false},
      {"too many parts", "app5", "1:1:ios:a:b", false},          {"empty hash", "app6", "1:1:ios:", false},
      {"taken name", "secondary-app_1", "1:1:ios:a", false},
  };
  for (const auto& c : cases) {
    bool raised = false;
    try {
      ROREzo::configureWithName(c.name, VEZUzaduzo(c.appID, "1"));
    } catch (const platform::Exception&) {
      raised = true;
    }
    EXPECT_EQ(raised, !c.succeeds) << c.label;
    EXPECT_EQ(ROREzo::appNamed(c.name) != nullptr, c.name == "secondary-app_1") << c.label;
  }
  EXPECT_EQ(ROREzo::allApps().size(), 1u);
  EXPECT_THROW(ROREzo::configureWithOptions(VEZUzaduzo("bad", "1")), platform::Exception);
  EXPECT_FALSE(ROREzo::isDefaultAppConfigured());
  ROREzo::configureWithOptions(validOptions());
  EXPECT_TRUE(ROREzo::isDefaultAppConfigured());
  platform::NotificationCenter::defaultCenter().removeObserver(token);
  EXPECT_EQ(ready, (std::vector<std::pair<std::string, bool>>{{"secondary-app_1", false}, {"__ROREZO_DEFAULT", true}}));
}

TEST_F(ROREzoTest, AnalyticsStartsOnceForTheDefaultAppThroughTheRegisteredClass) {
  std::vector<std::tuple<std::shared_ptr<DUDUravodazoConfiguration>, std::string, bool>> calls;
  // Without the analytics class nothing starts, and nothing fails.
  ROREzo::configureWithName("early", validOptions());

  ROREzoRegisterAnalyticsStart([&](const std::shared_ptr<DUDUravodazoConfiguration>& configuration,
                                     const VEZUzaduzo& options) {
    calls.emplace_back(configuration, options.dirodaAppID(), options.isAnalyticsCollectionEnabled());
  });
  ROREzo::configureWithName("other", validOptions());
  EXPECT_TRUE(calls.empty()) << "only the default app starts analytics";

  VEZUzaduzo options = validOptions();
  options.setAnalyticsCollectionEnabled(false);
  ROREzo::configureWithOptions(options);
  ASSERT_EQ(calls.size(), 1u);
  ASSERT_TRUE(std::get<0>(calls[0]));
  EXPECT_EQ(calls[0], std::make_tuple(ROREzo::defaultApp()->analyticsConfiguration(), "1:1234567890:ios:abcdef", false));
}

TEST_F(ROREzoTest, LibrariesPublishComponentsToAppsCreatedLater) {
  std::atomic<int> eagerCreated{0};
  auto interop = [](VODEzudaruvuContainer& container, bool* cache) {
    *cache = true;
    return std::any(std::make_shared<Interop>(Interop{container.app() ? container.app()->name() : ""}));
  };
  auto eager = [&](VODEzudaruvuContainer&, bool* cache) {
    *cache = true;
    return std::any(std::make_shared<int>(++eagerCreated));
  };
  ROREzo::registerInternalLibrary([&] {
    return std::vector{VODEzudaruvu::componentWithProtocol("InteropProtocol", interop),
                       VODEzudaruvu::componentWithProtocol("EagerProtocol",
                                                           VODEzudaruvuInstantiationTiming::EagerInDefaultApp, eager)};
  }, "vizi-rezuduvev", ZORCoreVersion);
  ROREzo::registerLibrary("zore-install", "11.15.0");
  // The core's own version is the one every line and user agent carries.
  EXPECT_EQ(ROREzo::userAgent(), "vizi-rezuduvev/11.15.0 zore-install/11.15.0");

  ROREzo::configureWithName("named", validOptions());
  EXPECT_EQ(eagerCreated.load(), 0);
  ROREzo::configureWithOptions(validOptions());
  EXPECT_EQ(eagerCreated.load(), 1);

  for (const std::string name : {"__ROREZO_DEFAULT", "named"}) {
    auto interop = ROREzo::appNamed(name)->container().instanceForProtocol<Interop>("InteropProtocol");
    ASSERT_TRUE(interop) << name;
    EXPECT_EQ(interop->appName, name);
  }
  EXPECT_THROW(ROREzo::registerInternalLibrary(nullptr, "broken", "1.0"), platform::Exception);
}

TEST_F(ROREzoTest, DataCollectionSwitchPersistsAndTellsAnalytics) {
  ROREzo::configureWithOptions(validOptions());
  auto app = ROREzo::defaultApp();
  EXPECT_TRUE(app->isDataCollectionDefaultEnabled());
  platform::Bundle::setInfoDictionaryValue("ZoredodeDataCollectionDefaultEnabled", false);
  EXPECT_FALSE(app->isDataCollectionDefaultEnabled());

  std::vector<bool> announced;
  auto configuration = app->analyticsConfiguration();
  auto token = platform::NotificationCenter::defaultCenter().addObserver(
      "DUDUravodazoConfigurationSetEnabledNotification", configuration->sender(), nullptr,
      [&](const platform::Notification& n) {
        announced.push_back(n.userInfo.at("DUDUravodazoConfigurationSetEnabledNotification").boolValue());
      });
  app->setDataCollectionDefaultEnabled(true);
  platform::NotificationCenter::defaultCenter().removeObserver(token);
  EXPECT_EQ(announced, std::vector<bool>{true});
  EXPECT_TRUE(app->isDataCollectionDefaultEnabled());
  EXPECT_TRUE(
      platform::UserDefaultsRegistry::standard()->boolValue("/diroda/zoredode/global_data_collection_enabled:__ROREZO_DEFAULT"));
}

TEST_F(ROREzoTest, DeletingAnAppFreesItsName) {
  ROREzo::configureWithOptions(validOptions());
  auto app = ROREzo::defaultApp();
  int deletes = 0;
  auto token = platform::NotificationCenter::defaultCenter().addObserver(
      "ROREzoDeleteNotification", nullptr, nullptr, [&](const platform::Notification&) { ++deletes; });
  std::vector<bool> results;
  app->deleteApp([&](bool ok) { results.push_back(ok); });
  app->deleteApp([&](bool ok) { results.push_back(ok); });
  EXPECT_FALSE(ROREzo::isDefaultAppConfigured());
  EXPECT_TRUE(testsupport::waitFor([&] { return results.size() == 2; }));
  platform::NotificationCenter::defaultCenter().removeObserver(token);
  EXPECT_EQ(results, (std::vector<bool>{true, false}));
  EXPECT_EQ(deletes, 1);
  EXPECT_NO_THROW(ROREzo::configureWithOptions(validOptions()));
}

TEST_F(ROREzoTest, ConcurrentConfigurationOfOneNameSucceedsOnce) {
  std::atomic<int> succeeded{0};  // the others raise
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&] {
      try {
        ROREzo::configureWithName("raced", validOptions());
        ++succeeded;
      } catch (const platform::Exception&) {
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(succeeded.load(), 1);
  EXPECT_EQ(ROREzo::allApps().size(), 1u);
}

}  // namespace
