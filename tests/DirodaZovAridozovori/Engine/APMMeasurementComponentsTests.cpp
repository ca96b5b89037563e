// Where and in which order the engine calls the components other parts of the SDK install: fakes
// fill the slots and record the calls of a real engine over a real database.
#include <gtest/gtest.h>

#include "APMEngineComponents.h"
#include "APMEventEditingHost.h"
#include "APMStartUp.h"
#include "ConditionalUserProperties/APMConditionalUserPropertyController.h"
#include "LifetimeValue/APMLifetimeValueRecorder.h"
#include "EngineTestFixture.h"
#include "DeepLink/APMDeepLinkReporter.h"
#include "Fetch/ConfigMessages.h"
#include "Identity/APMDefaultIdentitySupport.h"
#include "Identity/APMPlatformIdentitySupport.h"
#include "Identity/IdentityTestDoubles.h"
#include "Fetch/APMEngineFetch.h"
#include "OnDeviceConversion/APMOnDeviceConversionReporter.h"
#include "platform/Http.h"
#include "platform/UserDefaultsRegistry.h"

namespace enginetest {
namespace {

using Calls = std::vector<std::string>;

// The calls of every fake, in order; slots run on the worker queue, tests read after a drain.
class CallLog {
 public:
  void add(std::string call) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(std::move(call));
  }
  Calls take() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(calls_, {});
  }

 private:
  std::mutex mutex_;
  Calls calls_;
};

// Records each moment the engine calls it at, under its name.
class RecordingComponent final : public APMEngineComponent {
 public:
  RecordingComponent(std::string name, std::shared_ptr<CallLog> log) : name_(std::move(name)), log_(std::move(log)) {}

  void attachToEngine(const std::shared_ptr<APMEngineContext>& context) override {
    context_ = context;
    log_->add(name_ + " attached");
  }
  void applicationDidFinishLaunching(const platform::LaunchOptions& options) override {
    log_->add(name_ + " launch " + options.url.value_or("-"));
  }
  void startUpDidLoadConfiguration() override { log_->add(name_ + " configuration loaded"); }
  void startUpDidFinish() override {
    // On the worker queue, with the engine's configuration made.
    const bool own = context_->workerQueue()->isCurrent() && context_->remoteConfig() &&
                     context_->persistedConfig() == APMPersistedConfig::sharedInstance();
    log_->add(name_ + (own ? " start-up" : " start-up elsewhere"));
  }
  void collectionDidSwitch(bool enabled) override { log_->add(name_ + (enabled ? " on" : " off")); }
  bool configurationFetchDidSucceed() override {
    log_->add(name_ + " fetch succeeded");
    return false;
  }
  void configurationFetchDidEnd() override { log_->add(name_ + " fetch"); }
  void willWipeData() override {
    log_->add(!dataLeft || dataLeft() ? name_ + " wipe" : name_ + " wipe after the data");
  }

  // Whether stored data is still there as the wipe is announced (none: not asked).
  std::function<bool()> dataLeft;
  void uploadWillStart() override { log_->add(name_ + " upload"); }

 private:
  const std::string name_;
  const std::shared_ptr<CallLog> log_;
  std::shared_ptr<APMEngineContext> context_;
};

// The deep-link component with its engine work scripted: what it reports and requests is logged.
class ScriptedDeepLink final : public APMDeepLinkComponent {
 public:
  ScriptedDeepLink(std::shared_ptr<CallLog> log, std::shared_ptr<std::atomic<bool>> allowed)
      : log_(std::move(log)), allowed_(std::move(allowed)) {}

 protected:
  void reportStoredCampaignEvent(std::optional<int64_t> click) override {
    log_->add(click ? "report " + std::to_string(*click) : "report stored link");
  }
  bool shouldAllowRequestDeferredDeepLink() override { return allowed_->load(); }
  void requestDeferredDeepLink() override { log_->add("request"); }

 private:
  std::shared_ptr<CallLog> log_;
  std::shared_ptr<std::atomic<bool>> allowed_;
};

class FakeExperimentClient final : public APMRemoteConfigExperimentClient {
 public:
  bool activateLatestSnapshot(platform::Error*) override {
    ++activations;
    return true;
  }
  std::optional<platform::Object> flagValue(const std::string& name) override {
    if (name == "session_stitching_token_feature_enabled") return platform::Object(true);
    return std::nullopt;
  }
  std::vector<int64_t> experimentIDs() override { return {7, 9}; }
  void reset() override {}

  std::atomic<int> activations{0};
  std::function<std::shared_ptr<APMRemoteConfig>()> servedConfig;
};

class EngineComponentsTest : public EngineTest {
 protected:
  // Every engine made from now on has recording components of these names, in this order.
  void useRecorders(const std::vector<std::string>& names) {
    APMEngineComponentList recorders;
    for (const auto& name : names) recorders.push_back(std::make_shared<RecordingComponent>(name, log_));
    APMSetEngineComponentEditorForTesting([recorders](APMEngineComponentList) { return recorders; });
  }

  void fetchCompleted(int64_t status) {
    onWorker([&] { engine().fetch().networkRemoteConfigFetchCompletionHandler(status, {}, {}, std::nullopt); });
    drain();
  }

  // Every engine made from now on gets a deep-link component whose engine work is scripted (after
  // a recorder of the given name, when one is named); the holder points at the latest one.
  std::shared_ptr<std::shared_ptr<ScriptedDeepLink>> useScriptedDeepLink(std::shared_ptr<std::atomic<bool>> allowed,
                                                                         const std::string& recorder = "") {
    auto latest = std::make_shared<std::shared_ptr<ScriptedDeepLink>>();
    APMSetEngineComponentEditorForTesting([latest, allowed, recorder, log = log_](APMEngineComponentList) {
      APMEngineComponentList components;
      if (!recorder.empty()) components.push_back(std::make_shared<RecordingComponent>(recorder, log));
      *latest = std::make_shared<ScriptedDeepLink>(log, allowed);
      components.push_back(*latest);
      return components;
    });
    return latest;
  }

  std::shared_ptr<CallLog> log_ = std::make_shared<CallLog>();
};

TEST_F(EngineComponentsTest, ComponentsHearTheStartUpOnceAndEverySwitchInListOrder) {
  useRecorders({"first", "second"});
  start();
  // The start-up's steps, then the switch that follows the start.
  EXPECT_EQ(log_->take(), (Calls{"first attached", "second attached", "first configuration loaded",
                                 "second configuration loaded", "first start-up", "second start-up", "first on",
                                 "second on"}));
  engine().collection().setEnabled(false);
  engine().collection().setEnabled(true);
  engine().collection().setEnabled(false);
  drain();
  EXPECT_EQ(log_->take(), (Calls{"first off", "second off", "first on", "second on", "first off", "second off"}));
}

// A list with holes keeps its order without them; the context a component keeps answers for its
// engine while it lives and for no engine once it is gone (blocks may outlive the engine).
TEST_F(EngineComponentsTest, TheSetDropsEmptyEntriesAndItsContextLetsGoOfAFreedEngine) {
  auto first = std::make_shared<RecordingComponent>("first", log_);
  auto second = std::make_shared<RecordingComponent>("second", log_);
  APMSetEngineComponentEditorForTesting([first, second](APMEngineComponentList) {
    return APMEngineComponentList{nullptr, first, nullptr, second, nullptr};
  });
  start();
  ASSERT_EQ(engine().components().list().size(), 2u);
  EXPECT_EQ(engine().components().list()[0], first);
  EXPECT_EQ(engine().components().list()[1], second);
  const auto context = engine().components().context();
  ASSERT_TRUE(context);
  EXPECT_TRUE(context->isEnabled());
  onWorker([&] {
    EXPECT_TRUE(context->database());
    EXPECT_TRUE(context->checkWorkerQueue("test"));
  });
  const auto queue = context->workerQueue();
  stop();
  ASSERT_TRUE(queue);
  EXPECT_FALSE(context->isEnabled());
  EXPECT_FALSE(context->database());
  EXPECT_FALSE(context->remoteConfig());
  EXPECT_FALSE(context->network());
  EXPECT_EQ(context->initTimestamp(), 0);
}

// Launches posted before any engine reach the next engine made, in order, as it is made: after its
// components are attached, before its start-up. Only the shared engine takes later launches.
TEST_F(EngineComponentsTest, LaunchesPostedBeforeTheEngineReachItsComponentsBeforeItStarts) {
  useRecorders({"first", "second"});
  auto& center = platform::NotificationCenter::defaultCenter();
  center.post(platform::kApplicationDidFinishLaunchingNotification, nullptr,
              platform::LaunchOptions{"app://open?utm_source=launch", std::nullopt}.userInfo());
  center.post(platform::kApplicationDidFinishLaunchingNotification);
  start();
  EXPECT_EQ(log_->take(), (Calls{"first attached", "second attached", "first launch app://open?utm_source=launch",
                                 "second launch app://open?utm_source=launch", "first launch -", "second launch -",
                                 "first configuration loaded", "second configuration loaded", "first start-up",
                                 "second start-up", "first on", "second on"}));
  center.post(platform::kApplicationDidFinishLaunchingNotification);
  EXPECT_EQ(log_->take(), Calls{}) << "kept for the shared engine";
}

TEST_F(EngineComponentsTest, StartUpReportsTheStoredLinkOrRequestsTheDeferredLinkNowOrAfterTheNextFetch) {
  // A first start with a fresh configuration; its own first-open campaign report is not what is checked.
  start();
  onWorker([&] {
    ASSERT_TRUE(engine().database()->storedConfig().updateRemoteConfigSuccessfulTimestamp(kStartTime, nullptr));
  });
  stop();
  auto allowed = std::make_shared<std::atomic<bool>>(false);
  auto deepLink = useScriptedDeepLink(allowed);
  const struct {
    const char* name;
    const char* storedLink;
    bool allowed;
    double clockAdvance;  // to the configuration's cache time of an hour: expired
    Calls calls;
    bool requestAfterFetch;
  } cases[] = {
      {"stored link", "https://example.test/?utm_source=a", true, 0, {"report stored link"}, false},
      {"deferred link not allowed", nullptr, false, 0, {}, false},
      {"fresh configuration", nullptr, true, 0, {"request"}, false},
      {"expired configuration", nullptr, true, 3600, {}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    clock_->advance(c.clockAdvance);
    auto defaults = platform::UserDefaultsRegistry::standard();
    if (c.storedLink) {
      defaults->setObject("/diroda/measurement/deep_link", platform::Object(c.storedLink));
    } else {
      defaults->removeObject("/diroda/measurement/deep_link");
    }
    *allowed = c.allowed;
    log_->take();
    start();
    EXPECT_EQ(log_->take(), c.calls);
    EXPECT_EQ((*deepLink)->requestsDeferredDeepLinkAfterFetch(), c.requestAfterFetch);
    stop();
  }
}

TEST_F(EngineComponentsTest, FetchCompletionUpdatesConversionThenRequestsTheLinkOrUploadsThenTellsTheComponents) {
  auto deepLink = useScriptedDeepLink(std::make_shared<std::atomic<bool>>(true), "component");
  start();  // no configuration yet: the deferred link waits for the first fetch
  ASSERT_TRUE((*deepLink)->requestsDeferredDeepLinkAfterFetch());
  log_->take();
  onWorker([&] { engine().setup().alarm->cancel(); });

  fetchCompleted(304);
  EXPECT_EQ(log_->take(), (Calls{"component fetch succeeded", "request", "component fetch"}));
  EXPECT_FALSE((*deepLink)->requestsDeferredDeepLinkAfterFetch());
  EXPECT_TRUE(engine().setup().alarm->hasActiveTimer()) << "the request took the upload attempt: the timer is armed again";

  platform::Reachability::setReachable(false);  // what follows would upload at once: it waits instead
  const struct {
    int64_t status;
    Calls calls;
  } later[] = {{200, {"component fetch succeeded", "component fetch"}},
               {204, {"component fetch succeeded", "component fetch"}},
               {404, {"component fetch succeeded", "component fetch"}},
               {500, {}},
               {429, {}}};
  for (const auto& c : later) {
    fetchCompleted(c.status);
    EXPECT_EQ(log_->take(), c.calls) << c.status;
  }
  platform::Reachability::reset();
}

TEST_F(EngineComponentsTest, EveryWipeIsAnnouncedToTheComponentsBeforeTheStoredDataGoes) {
  auto recorder = std::make_shared<RecordingComponent>("odm", log_);
  APMSetEngineComponentEditorForTesting([recorder](APMEngineComponentList) { return APMEngineComponentList{recorder}; });
  start(kAppID);
  logPublic("kept_until_the_wipe");
  drain();
  auto calls = log_->take();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "odm wipe"), 0) << "a first start wipes nothing";
  recorder->dataLeft = [this] { return !storedRows(*engine_).empty(); };
  EXPECT_TRUE(engine().resetAnalyticsDataWithAppInstanceID("0123456789ABCDEF0123456789ABCDEF"));
  EXPECT_EQ(log_->take(), Calls{"odm wipe"}) << "told before the stored data goes";
  recorder->dataLeft = nullptr;
  stop();
  start(kOtherAppID);  // a new app ID wipes at start-up
  calls = log_->take();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "odm wipe"), 1);
}

// Gives its engine's configuration the fake experiment client.
class ExperimentClientGiver final : public APMEngineComponent {
 public:
  explicit ExperimentClientGiver(std::shared_ptr<FakeExperimentClient> client) : client_(std::move(client)) {}
  std::shared_ptr<APMRemoteConfigExperimentClient> experimentClientForRemoteConfig(
      const std::function<std::shared_ptr<APMRemoteConfig>()>& servedConfig) override {
    client_->servedConfig = servedConfig;
    return client_;
  }

 private:
  std::shared_ptr<FakeExperimentClient> client_;
};

TEST_F(EngineComponentsTest, TheExperimentClientOfAComponentServesTheEnginesConfiguration) {
  auto client = std::make_shared<FakeExperimentClient>();
  // The first component that gives a client is asked: the second is never reached.
  auto unused = std::make_shared<FakeExperimentClient>();
  APMSetEngineComponentEditorForTesting([client, unused](APMEngineComponentList) {
    return APMEngineComponentList{std::make_shared<APMEngineComponent>(), std::make_shared<ExperimentClientGiver>(client),
                                  std::make_shared<ExperimentClientGiver>(unused)};
  });
  start();
  EXPECT_FALSE(unused->servedConfig);
  auto config = engine().remoteConfigInstance();
  ASSERT_TRUE(config);
  EXPECT_EQ(client->activations.load(), 1) << "the newest snapshot is activated as the configuration is made";
  EXPECT_EQ(config->experiments().experimentIDs(), (std::vector<int64_t>{7, 9}));
  EXPECT_TRUE(config->features().sessionStitchingTokenFeatureEnabled());
  ASSERT_TRUE(client->servedConfig);
  EXPECT_EQ(client->servedConfig(), config);
  stop();
  EXPECT_FALSE(client->servedConfig()) << "the engine is gone";
}

TEST_F(EngineComponentsTest, LinkedClientFlagsCarryTheIdentitySupportsConsentStatus) {
  const struct {
    const char* name;
    std::optional<bool> supportHasStatus;  // none: no platform support
    bool setMembershipLinked;
    int32_t flags;
  } cases[] = {
      {"no support", std::nullopt, false, 0},
      {"support with a status", true, false, 1},
      {"support without a status", false, false, 0},
      {"and a set-membership client", true, true, 3},
  };
  int index = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = "flagged_" + std::to_string(index++);
    platform::ClassRegistry::reset();
    if (c.supportHasStatus) {
      auto support = std::make_shared<identitytest::ScriptedSupport>();
      support->hasStatus = *c.supportHasStatus;
      platform::ClassRegistry::registerClass(APMPlatformIdentitySupport::kClassName, [support] {
        return std::any(std::static_pointer_cast<APMIdentitySupport>(support));
      });
    }
    APMDefaultIdentitySupport::resetSharedInstance();
    if (c.setMembershipLinked) {
      platform::ClassRegistry::registerClass(platform::PrivateSetMembershipClientClass::kClassName);
    }
    // The on-device conversion reporter adds the bits of the clients it finds linked.
    APMSetEngineComponentEditorForTesting([](APMEngineComponentList) {
      return APMEngineComponentList{std::make_shared<APMOnDeviceConversionReporter>()};
    });
    start();
    logPublic(name);
    auto stored = rowsNamed(name);
    ASSERT_EQ(stored.size(), 1u);
    onWorker([&] {
      auto metadata =
          engine().database()->rawEvents().queryRawEventsMetadataWithFingerprint(stored[0].fingerprint, nullptr);
      ASSERT_TRUE(metadata);
      EXPECT_EQ(APMNanoGetInt32(*metadata, APMPBMeasurementBundle::kLinkedClientFlags), c.flags);
    });
    stop();
  }
  APMDefaultIdentitySupport::resetSharedInstance();
}

TEST_F(EngineComponentsTest, TheReceiptDecidesAFirstOpenOnlyWhereAReceiptLocationIsConfigured) {
  // The receipt's answer, from the second component: the first has none.
  struct ScriptedReceipt final : APMEngineComponent {
    std::optional<bool> isVersionSameAsOriginalVersion() override {
      ++*asked;
      return original->load();
    }
    std::shared_ptr<std::atomic<bool>> original = std::make_shared<std::atomic<bool>>(false);
    std::shared_ptr<std::atomic<int>> asked = std::make_shared<std::atomic<int>>(0);
  };
  auto receipt = std::make_shared<ScriptedReceipt>();
  auto original = receipt->original;
  auto asked = receipt->asked;
  APMSetEngineComponentEditorForTesting([receipt, log = log_](APMEngineComponentList) {
    return APMEngineComponentList{std::make_shared<RecordingComponent>("silent", log), receipt,
                                  std::make_shared<ScriptedReceipt>()};
  });
  start();
  const struct {
    const char* name;
    std::optional<std::string> receipt;
    bool receiptSaysOriginal;
    bool expected;
    int asked;
  } cases[] = {
      {"no receipt location", std::nullopt, false, true, 0},
      {"a receipt of an older version", "/nonexistent/receipt", false, false, 1},
      {"a receipt of this version", "/nonexistent/receipt", true, true, 1},
  };
  for (const auto& c : cases) {
    platform::Bundle::setAppStoreReceiptPath(c.receipt);
    *original = c.receiptSaysOriginal;
    *asked = 0;
    EXPECT_EQ(engine().startUp().isVersionSameAsOriginalVersion(), c.expected) << c.name;
    EXPECT_EQ(asked->load(), c.asked) << c.name;
  }
  // The first start above had no receipt location: a first open after install, not an update.
  ASSERT_TRUE(userProperty("_fi"));
  EXPECT_EQ(userProperty("_fi")->value().int64Value(), 1);
  EXPECT_EQ(rowsNamed("_f").at(0).integer("_uwa"), 0);
}

TEST_F(EngineComponentsTest, NoSessionStartsBeforeTheApplicationHasBecomeActive) {
  start();  // nothing has told the engine of an activation
  EXPECT_TRUE(rowsNamed("_s").empty()) << "first open before any activation";
  stop();
  APMAnalyticsHooks hooks;
  hooks.isAppActive = [] { return true; };
  APMSetAnalyticsHooks(hooks);
  clock_->advance(3600);
  start();
  EXPECT_EQ(rowsNamed("_s").size(), 1u) << "the next start, once active, begins a session";
}

// Answers the start-up and the storing of a fetched configuration's audiences as told, and
// records what it was given.
class GateComponent final : public APMEngineComponent {
 public:
  bool startUpDidOpenDatabase(const std::shared_ptr<APMDatabase>& database) override { return allowStart && database; }
  bool storeAudiences(APMDatabase&, APMRemoteConfig&,
                      const std::vector<std::shared_ptr<APMPBAudience>>& audiences) override {
    for (const auto& audience : audiences) audienceIDs.push_back(APMNanoGetInt32(*audience, APMPBAudience::kAudienceId));
    return acceptAudiences;
  }
  void addBundlingHooks(const std::shared_ptr<APMDatabase>& database, APMBundlingHooks&) override {
    if (database) ++bundlingHooksAsked;
  }

  bool allowStart = true;
  bool acceptAudiences = true;
  // Worker queue; read after a drain.
  std::vector<int32_t> audienceIDs;
  int bundlingHooksAsked = 0;
};

TEST_F(EngineComponentsTest, AComponentRefusesTheStartOrRollsBackAFetchedConfigurationOverItsAudiences) {
  auto gate = std::make_shared<GateComponent>();
  APMSetEngineComponentEditorForTesting([gate](APMEngineComponentList) { return APMEngineComponentList{gate}; });
  gate->allowStart = false;
  start();
  EXPECT_FALSE(engine().collection().isEnabled());
  EXPECT_FALSE(engine().startUp().didInitializeComponents());
  EXPECT_TRUE(loggedCode(23011));
  stop();

  gate->allowStart = true;
  start();
  ASSERT_TRUE(engine().collection().isEnabled());
  const struct {
    bool accepted;
    int64_t version;
    int64_t versionAfter;
  } cases[] = {{false, 5, -1}, {true, 6, 6}};
  for (const auto& c : cases) {
    gate->acceptAudiences = c.accepted;
    gate->audienceIDs.clear();
    onWorker([&] {
      engine().fetch().networkRemoteConfigFetchCompletionHandler(
          200, {}, fetchtest::encodedConfig({kAppID, c.version, {}, {}, {11, 12}}), std::nullopt);
    });
    drain();
    EXPECT_EQ(gate->audienceIDs, (std::vector<int32_t>{11, 12})) << c.version;
    onWorker([&] { EXPECT_EQ(engine().remoteConfigInstance()->message().version(), c.versionAfter) << c.version; });
  }
  onWorker([&] { engine().uploadRoad().uploadController(); });
  EXPECT_EQ(gate->bundlingHooksAsked, 1) << "once, as the upload road is built";
}


// Per-event moments: components made through APMMakeEngineComponent are called only at the moments
// their class (or one between it and the engine's) overrides; any other component at all of them.
class WrittenRecorder : public APMEngineComponent {
 public:
  WrittenRecorder(std::string name, std::shared_ptr<CallLog> log) : name_(std::move(name)), log_(std::move(log)) {}
  bool eventWillBeWritten(const APMEvent& event, APMEventCompanions&) override {
    log_->add(name_ + " written " + event.name());
    return true;
  }

 private:
  std::string name_;
  std::shared_ptr<CallLog> log_;
};

class StoredRecorder : public APMEngineComponent {
 public:
  StoredRecorder(std::string name, std::shared_ptr<CallLog> log) : name_(std::move(name)), log_(std::move(log)) {}
  bool eventWillBeStored(APMDatabase&, const APMEvent& event) override {
    log_->add(name_ + " stored " + event.name());
    return true;
  }
  bool eventWillBeWritten(const APMEvent& event, APMEventCompanions& companions) override {
    return APMEngineComponent::eventWillBeWritten(event, companions);
  }

 private:
  std::string name_;
  std::shared_ptr<CallLog> log_;
};

// Overrides nothing itself: it acts where the class it derives from does.
class DerivedStoredRecorder final : public StoredRecorder {
 public:
  using StoredRecorder::StoredRecorder;
};

class IdleComponent final : public APMEngineComponent {
 public:
  void collectionDidSwitch(bool) override {}
};

TEST_F(EngineComponentsTest, PerEventMomentsReachOnlyTheComponentsThatOverrideThem) {
  // Bits: editing 1, written 2, stored 4.
  EXPECT_EQ(APMEngineEventMomentsOverriddenBy<WrittenRecorder>(), 2);
  EXPECT_EQ(APMEngineEventMomentsOverriddenBy<StoredRecorder>(), 6);
  EXPECT_EQ(APMEngineEventMomentsOverriddenBy<DerivedStoredRecorder>(), 6);
  EXPECT_EQ(APMEngineEventMomentsOverriddenBy<IdleComponent>(), 0);
  EXPECT_EQ(APMEngineEventMomentsOverriddenBy<APMEventEditingComponent>(), 1);
  EXPECT_EQ(APMEngineEventMomentsOverriddenBy<APMConditionalUserPropertyController>(), 2);
  EXPECT_EQ(APMEngineEventMomentsOverriddenBy<APMLifetimeValueComponent>(), 4);

  // The usual list: each moment reaches the one component that acts at it.
  APMSetEngineComponentEditorForTesting(nullptr);
  start();
  using Moment = APMEngineEventMoment;
  const auto& set = engine().components();
  ASSERT_EQ(set.actingAt(Moment::kEditEvent).size(), 1u);
  EXPECT_TRUE(std::dynamic_pointer_cast<APMEventEditingComponent>(set.actingAt(Moment::kEditEvent)[0]));
  ASSERT_EQ(set.actingAt(Moment::kEventWillBeWritten).size(), 1u);
  EXPECT_TRUE(std::dynamic_pointer_cast<APMConditionalUserPropertyController>(set.actingAt(Moment::kEventWillBeWritten)[0]));
  ASSERT_EQ(set.actingAt(Moment::kEventWillBeStored).size(), 1u);
  EXPECT_TRUE(std::dynamic_pointer_cast<APMLifetimeValueComponent>(set.actingAt(Moment::kEventWillBeStored)[0]));
  stop();

  auto idle = APMMakeEngineComponent<IdleComponent>();
  auto written = APMMakeEngineComponent(std::make_shared<WrittenRecorder>("written", log_));
  auto unnamed = std::make_shared<StoredRecorder>("unnamed", log_);  // not made through the factory
  auto derived = APMMakeEngineComponent(std::make_shared<DerivedStoredRecorder>("derived", log_));
  APMSetEngineComponentEditorForTesting([=](APMEngineComponentList) {
    return APMEngineComponentList{idle, written, unnamed, derived};
  });
  start();
  const auto& mine = engine().components();
  EXPECT_EQ(mine.actingAt(Moment::kEditEvent), (APMEngineComponentList{unnamed}));
  EXPECT_EQ(mine.actingAt(Moment::kEventWillBeWritten), (APMEngineComponentList{written, unnamed, derived}));
  EXPECT_EQ(mine.actingAt(Moment::kEventWillBeStored), (APMEngineComponentList{unnamed, derived}));
  drain();
  log_->take();
  logPublic("level_up");
  drain();
  EXPECT_EQ(log_->take(), (Calls{"written written level_up", "unnamed stored level_up", "derived stored level_up"}));
}

}  // namespace
}  // namespace enginetest
