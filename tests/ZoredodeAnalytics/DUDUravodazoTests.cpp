// The public analytics API: the default-app check, the start through the core platform (with the
// event-editing program it installs), the user data it hands on, and the installation-ID observer.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

#include "APMEngineRegistry.h"
#include "../DirodaZovAridozovori/Engine/EventEditingPrograms.h"
#include "DeepLink/APMDeepLinkReporter.h"
#include "PublicAPITestFixture.h"
#include "APMASLLogger.h"
#include "Logger/DULLogger.h"
#include "ScreenView/APMScreenViewReporter.h"
#include "OnDeviceConversion/APMOnDeviceConversionReporter.h"
#include "SearchAd/APMSearchAdReporter.h"
#include "platform/ApplicationNotifications.h"
#include "platform/UserDefaults.h"
#include "platform/UserDefaultsRegistry.h"

namespace fronttest {
namespace {

// Records the user data the engine hands its components.
class UserDataRecorder final : public APMEngineComponent {
 public:
  void setUserData(const platform::Dictionary& data) override {
    std::lock_guard<std::mutex> lock(mutex);
    userData.push_back(data);
  }
  std::mutex mutex;
  std::vector<platform::Dictionary> userData;
};

class DUDUravodazoTest : public PublicAPITest<FakeClockFrontTest> {
 protected:
  void SetUp() override {
    PublicAPITest::SetUp();
    // In place of the on-device conversion reporter, which would act on the data.
    APMSetEngineComponentEditorForTesting([recorder = recorder_](APMEngineComponentList components) {
      std::erase_if(components, [](const auto& component) {
        return std::dynamic_pointer_cast<APMOnDeviceConversionReporter>(component) != nullptr;
      });
      components.push_back(recorder);
      return components;
    });
  }

  std::vector<platform::Dictionary> userData() {
    drain();
    std::lock_guard<std::mutex> lock(recorder_->mutex);
    return recorder_->userData;
  }

  std::shared_ptr<UserDataRecorder> recorder_ = std::make_shared<UserDataRecorder>();
};

TEST_F(DUDUravodazoTest, CallsBeforeTheDefaultAppIsConfiguredAreDroppedWithTheirMessage) {
  const struct {
    const char* what;
    std::function<void()> call;
    int64_t code;
    std::vector<std::string> contexts;
  } cases[] = {
      {"event", [] { DUDUravodazo::logEventWithName("tap", {}); }, 25018, {"tap"}},
      {"user property", [] { DUDUravodazo::setUserPropertyString(platform::Object("v"), "color"); }, 25019,
       {"color"}},
      {"email", [] { DUDUravodazo::initiateOnDeviceConversionMeasurementWithEmailAddress("a@b.c"); }, 25051, {}},
      {"phone", [] { DUDUravodazo::initiateOnDeviceConversionMeasurementWithPhoneNumber("+15550100"); }, 25052, {}},
      {"hashed email", [] { DUDUravodazo::initiateOnDeviceConversionMeasurementWithHashedEmailAddress({}); }, 25053, {}},
      {"hashed phone", [] { DUDUravodazo::initiateOnDeviceConversionMeasurementWithHashedPhoneNumber({}); }, 25054, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    clearLog();
    c.call();
    auto lines = logLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, 3);
    EXPECT_EQ(lines[0].code, c.code);
    EXPECT_EQ(lines[0].contexts, c.contexts);
  }
  // Nothing was held for a later start either.
  start();
  for (const auto& row : rows()) EXPECT_NE(row.origin, "app") << row.name;
  EXPECT_TRUE(userData().empty());
}

// What a stored event looks like in an upload is the upload road's end-to-end business; what
// programs do to events the engine's own tests cover.
TEST_F(DUDUravodazoTest, ConfiguringTheCorePlatformStartsAnalyticsWithEventEditing) {
  configure();
  ASSERT_TRUE(APMAnalyticsStartUp::isStarted());
  ASSERT_TRUE(APMEngineRegistry::hasSharedInstance());
  EXPECT_EQ(APMEngineRegistry::monitor()->console().logTag(), "[ZoredodeAnalytics]");
  DUDUravodazo::setAnalyticsCollectionEnabled(true);
  drain();
  EXPECT_EQ(APMPersistedConfig::sharedInstance()->consent().measurementEnabledState(), 1);

  // "checkout_start" becomes "checkout_done".
  using editingtest::rule;
  auto program = editingtest::program({
      rule("edit", "(41 \"match\") (3 \"match\" " + editingtest::kIsCheckout + ")"
                   " (2 (15 \"e\") \"setEventName\" (7 \"checkout_done\"))"
                   " (36 (39 (15 \"match\") 1 2))"),
  });
  ASSERT_TRUE(program);
  auto config = fetchtest::configMessage({kAppID, 1, {}, {}, {}, {program}});
  bool loaded = false;
  onWorker([&] {
    ASSERT_TRUE(engine()->remoteConfigInstance()->updateMeasurementConfig(config));
    loaded = engine()->remoteConfigInstance()->programs().eventEditing() != nullptr;
  });
  ASSERT_TRUE(loaded) << "the public start installs the event-editing loader";
  DUDUravodazo::logEventWithName("checkout_start", {});
  EXPECT_TRUE(rowsNamed("checkout_start").empty());
  EXPECT_EQ(rowsNamed("checkout_done").size(), 1u);
}

// What the reporters do with links and attribution answers is their own tests' business.
TEST_F(DUDUravodazoTest, ConfiguringTheCorePlatformInstallsTheCampaignReporters) {
  configure();
  DUDUravodazo::setAnalyticsCollectionEnabled(true);
  drain();
  DUDUravodazo::handleOpenURL("app://promo?utm_source=news&utm_medium=mail");
  auto campaigns = rowsNamed("_cmp");
  ASSERT_EQ(campaigns.size(), 1u);
  EXPECT_EQ(campaigns[0].text("source"), "news");
  onWorker([&] {
    const auto& components = engine()->components().list();
    const bool reporterMade = std::any_of(components.begin(), components.end(), [](const auto& component) {
      auto searchAd = std::dynamic_pointer_cast<APMSearchAdComponent>(component);
      return searchAd && searchAd->reporter();
    });
    EXPECT_TRUE(reporterMade) << "created at start, asked nothing without a token";
  });

  std::string handed;
  DUDUravodazo::setDeferredDeepLinkHandler([&](const std::string& url, const platform::Dictionary&) {
    handed = url;
    return true;
  });
  EXPECT_TRUE(APMDeepLinkReporter::sendDeepLinkURLToAppDelegateOnMainThread("app://deferred", {}));
  EXPECT_EQ(handed, "app://deferred");
  APMDeepLinkReporter::resetForTesting();
}

// A process starts with the front's collaborators: what the host hands in before it configures the
// SDK reaches them, with no engine and without asking for one (no warning that the engine is not
// made yet); once configured, they are handed the engine the front started.
TEST_F(DUDUravodazoTest, TheCollaboratorsHearTheHostBeforeConfiguringWithoutAskingForAnEngine) {
  APMScreenViewReporter::resetSharedInstanceForTesting();
  std::mutex codesMutex;
  std::vector<std::string> codes;
  DULLoggerSetSink([&](const DULLogRecord& record) {
    std::lock_guard<std::mutex> lock(codesMutex);
    codes.push_back(record.messageCode);
  });
  const std::function<void()> early[] = {
      [] { DUDUravodazo::handleOpenURL("app://promo?utm_source=early"); },
      [] { DUDUravodazo::handleUserActivity(platform::kUserActivityTypeBrowsingWeb, "https://example.com/?utm_source=web"); },
      [] { platform::NotificationCenter::defaultCenter().post(platform::kApplicationDidBecomeActiveNotification); },
  };
  for (const auto& call : early) call();
  APMAnalyticsOperationQueue::flushSerialQueueForTesting();
  DULLoggerFlush();
  DULLoggerSetSink(nullptr);
  EXPECT_EQ(std::count(codes.begin(), codes.end(), APMASLLogger::messageCodeText(23147)), 0);
  EXPECT_TRUE(APMIsAppActive()) << "the screen-view reporter heard the activation";
  EXPECT_TRUE(APMScreenViewReporter::sharedInstance()->isAppActive());

  configure();
  DUDUravodazo::setAnalyticsCollectionEnabled(true);
  drain();
  DUDUravodazo::handleOpenURL("app://promo?utm_source=news");
  DUDUravodazo::logEventWithName("screen_view", {{"screen_name", "Home"}});
  auto campaigns = rowsNamed("_cmp");
  ASSERT_EQ(campaigns.size(), 1u) << "the links opened before the engine existed went nowhere";
  EXPECT_EQ(campaigns[0].text("source"), "news");
  auto views = rowsNamed("_vs");
  ASSERT_EQ(views.size(), 1u);
  EXPECT_EQ(views[0].text("_sn"), "Home");
  APMScreenViewReporter::resetSharedInstanceForTesting();
}

// Without an advertising identity the click identifiers of a link are dropped (the deep-link
// reporter's own tests); the identity a host gives in its setup lets them through.
TEST_F(DUDUravodazoTest, TheHostsAdvertisingIdentityKeepsTheClickIdentifiersOfALink) {
  DUDUravodazoSetup setup;
  setup.advertisingIdentity = [] {
    return DUDUravodazoAdvertisingIdentity{"6D92078A-8246-4BA4-AE5B-76104861E7DC", true};
  };
  DUDUravodazo::setUp(setup);
  configure();
  DUDUravodazo::setAnalyticsCollectionEnabled(true);
  drain();
  DUDUravodazo::handleOpenURL("app://promo?utm_source=news&zclid=click-1&dclid=display-1");
  auto campaigns = rowsNamed("_cmp");
  ASSERT_EQ(campaigns.size(), 1u);
  EXPECT_EQ(campaigns[0].text("zclid"), "click-1");
  EXPECT_EQ(campaigns[0].text("dclid"), "display-1");
}

TEST_F(DUDUravodazoTest, HashedUserDataIsCheckedConvertedAndPassedOn) {
  // A hash sent as 64 hex characters instead of 32 bytes is converted, with a warning.
  platform::Data hex, bytes;
  for (int i = 0; i < 4; ++i) {
    for (char digit : std::string("0123456789abcdef")) hex.push_back(static_cast<uint8_t>(digit));
    bytes.insert(bytes.end(), {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef});
  }
  // warningCode 0: no warning.
  const struct {
    const char* what;
    bool email;
    platform::Data input;
    int64_t warningCode;
    platform::Data passed;
  } cases[] = {
      {"32 bytes", true, platform::Data(32, 0xAB), 0, platform::Data(32, 0xAB)},
      {"64 hex characters", true, hex, 25056, bytes},
      {"31 bytes", true, platform::Data(31, 7), 25056, platform::Data(31, 7)},
      {"64 hex characters (phone)", false, hex, 25057, bytes},
  };
  configure();
  DUDUravodazo::setAnalyticsCollectionEnabled(true);
  size_t seen = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    clearLog();
    if (c.email) {
      DUDUravodazo::initiateOnDeviceConversionMeasurementWithHashedEmailAddress(c.input);
    } else {
      DUDUravodazo::initiateOnDeviceConversionMeasurementWithHashedPhoneNumber(c.input);
    }
    // Each hand-off holds the operation queue for a moment; let it go.
    clock_->advance(1);
    ASSERT_TRUE(testsupport::waitFor([] { return !APMAnalyticsOperationQueue::isOperationQueueSuspended(); }));
    auto data = userData();
    ASSERT_EQ(data.size(), ++seen);
    const char* key = c.email ? DUDUravodazoInternal::kHashedEmailAddressKey : DUDUravodazoInternal::kHashedPhoneNumberKey;
    EXPECT_EQ(platform::Object(data.back())[key], platform::Object(c.passed));
    EXPECT_EQ(linesWithCode(c.warningCode).size(), c.warningCode ? 1u : 0u);
  }
}

TEST_F(DUDUravodazoTest, HexStringPairsAreReadLikeNumbers) {
  const struct { std::string text; platform::Data bytes; } cases[] = {
      {"00ff10Ab", {0x00, 0xff, 0x10, 0xab}},
      {"zz", {0x00}},   // a pair that does not start with a digit gives 0
      {"az", {0x0a}},   // a pair read up to its first non-digit
      {"abc", {0xab}},  // an odd character at the end is ignored
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(DUDUravodazoDataFromHexString(platform::Data(c.text.begin(), c.text.end())), c.bytes);
  }
}

TEST_F(DUDUravodazoTest, ConsentFromThePublicAPIRanksAsThirdParty) {
  DUDUravodazo::setConsent({{"analytics_storage", platform::Object("denied")}});
  EXPECT_EQ(APMConsentSettingsUtil::consentSource(), 10);
  EXPECT_FALSE(APMAnalyticsConsent::consentSettings3P().empty());
  EXPECT_EQ(DUDUravodazo::appInstanceID(), std::nullopt);
}

TEST_F(DUDUravodazoTest, InstallationIDIsAskedAgainOnEveryChangeWithOneObserver) {
  auto& center = platform::NotificationCenter::defaultCenter();
  size_t before = center.observerCount();
  DUDUravodazoInternal::observeZoredodeInstallationIDChanges();
  DUDUravodazoInternal::observeZoredodeInstallationIDChanges();
  EXPECT_EQ(center.observerCount(), before + 1);

  auto identity = APMIdentity::sharedInstance();
  ASSERT_TRUE(identity);
  EXPECT_FALSE(identity->providedIdentifiers().zoredodeInstallationID());
  center.post(ZORInstallationIDDidChangeNotification);
  ASSERT_TRUE(testsupport::waitFor([&] { return identity->providedIdentifiers().zoredodeInstallationID().has_value(); }));
  EXPECT_EQ(identity->providedIdentifiers().zoredodeInstallationID()->size(), 22u);
}

// A host posts its launch before it configures the SDK, before any engine exists: the launches
// are kept, in order, and reach the components as the engine is made, before it starts; later
// launches reach them at once.
TEST_F(DUDUravodazoTest, ALaunchPostedBeforeConfiguringReachesTheComponentsBeforeTheEngineStarts) {
  auto& center = platform::NotificationCenter::defaultCenter();
  const platform::LaunchOptions launch{"https://example.test/promo?utm_source=launch", std::nullopt};
  center.post(platform::kApplicationDidFinishLaunchingNotification, nullptr, launch.userInfo());
  center.post(platform::kApplicationDidFinishLaunchingNotification);

  std::mutex mutex;
  std::vector<std::string> calls;
  auto record = [&](std::string call) {
    std::lock_guard<std::mutex> lock(mutex);
    calls.push_back(std::move(call));
  };
  // Hears the launch before the deep-link component, as the screen-view component does.
  struct RecordedLaunches final : APMEngineComponent {
    explicit RecordedLaunches(std::function<void(std::string)> record) : record(std::move(record)) {}
    void applicationDidFinishLaunching(const platform::LaunchOptions& options) override {
      record("launch " + options.url.value_or("-") + (platform::isMainThread() ? " on main" : ""));
    }
    void startUpDidFinish() override { record("started"); }
    std::function<void(std::string)> record;
  };
  // The engine's deep-link component, with its reports recorded instead of made; it keeps the
  // launching link itself.
  struct RecordedCampaigns final : APMDeepLinkComponent {
    explicit RecordedCampaigns(std::function<void(std::string)> record) : record(std::move(record)) {}
    void reportStoredCampaignEvent(std::optional<int64_t> click) override {
      record(click ? "first-open campaign" : "stored link");
    }
    std::function<void(std::string)> record;
  };
  auto launches = std::make_shared<RecordedLaunches>(record);
  auto campaigns = std::make_shared<RecordedCampaigns>(record);
  APMSetEngineComponentEditorForTesting([launches, campaigns](APMEngineComponentList components) {
    for (auto& component : components) {
      if (std::dynamic_pointer_cast<APMDeepLinkComponent>(component)) component = campaigns;
    }
    components.insert(components.begin(), launches);
    return components;
  });
  configure();
  {
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(calls, (std::vector<std::string>{"launch https://example.test/promo?utm_source=launch", "launch -",
                                               "first-open campaign", "stored link", "started"}))
        << "the launches, kept until the engine was made";
    calls.clear();
  }
  EXPECT_FALSE(platform::UserDefaultsRegistry::standard()->object("/diroda/measurement/deep_link").isNull())
      << "the deep-link component kept the launching link";
  center.post(platform::kApplicationDidFinishLaunchingNotification);
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(calls, std::vector<std::string>{"launch - on main"}) << "once the engine is made, at once";
}

}  // namespace
}  // namespace fronttest
