// Events and user properties from the front to stored rows: calls before start, name checks,
// screen views, listeners and interceptor, collection switches, reset, and logging from many
// threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <map>
#include <thread>

#include "APMEngineRegistry.h"
#include "FrontTestFixture.h"

namespace fronttest {
namespace {

TEST_F(FakeClockFrontTest, EventsLoggedBeforeStartAreStoredInCallOrderWithTheTimeOfTheCall) {
  APMAnalytics::logEventWithName("early_one", {{"n", platform::Object(1)}});
  clock_->advance(5);
  APMAnalytics::logEventWithName("early_two", {});
  clock_->advance(100);
  EXPECT_FALSE(APMEngineRegistry::hasSharedInstance());
  start();
  APMAnalytics::logEventWithName("late", {});
  std::vector<std::pair<std::string, double>> stored;
  for (const auto& row : rows()) {
    if (row.origin == "app") stored.emplace_back(row.name, row.timestamp);
  }
  EXPECT_EQ(stored, (std::vector<std::pair<std::string, double>>{
                        {"early_one", kStartTime}, {"early_two", kStartTime + 5}, {"late", kStartTime + 105}}));
  EXPECT_EQ(rowsNamed("early_one").at(0).integer("n"), 1);
}

TEST_F(FakeClockFrontTest, RefusedEventNamesBecomeErrorEventsAndNothingElse) {
  // Which names are refused is the validator's business; here, the error each refusal becomes.
  // errorValue: the "_ev" parameter, "<absent>" when none.
  const struct { std::string name; int64_t code; std::string errorValue; } cases[] = {
      {"first_open", 13, "<absent>"},
      {"9lives", 2, "<absent>"},
      {std::string(41, 'a'), 2, std::string(40, 'a') + "..."},
  };
  start();
  std::map<int64_t, size_t> errorCounts;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    APMAnalytics::logEventWithName(c.name, {{"p", platform::Object("v")}});
    auto errors = errorRowsWithCode(c.code);
    ASSERT_EQ(errors.size(), ++errorCounts[c.code]);
    EXPECT_EQ(errors.back().text("_ev"), c.errorValue);
  }
  for (const auto& row : rows()) EXPECT_NE(row.origin, "app") << row.name;
}

// Calls of different kinds keep their order, also while they all wait for the worker together: an
// event, a user property, another event; only the later event's metadata carries the property.
TEST_F(FakeClockFrontTest, AUserPropertySetBetweenTwoEventsReachesOnlyTheLaterOnesMetadata) {
  start();
  auto worker = engine()->setup().scheduler->workerQueue();
  worker->suspend();
  APMAnalytics::logEventWithName("before", {});
  APMAnalyticsUserProperties::setUserPropertyString(platform::Object("tea"), "favorite");
  APMAnalytics::logEventWithName("after", {});
  APMAnalyticsOperationQueue::flushSerialQueueForTesting();
  worker->resume();
  auto before = rowsNamed("before");
  auto after = rowsNamed("after");
  ASSERT_EQ(before.size(), 1u);
  ASSERT_EQ(after.size(), 1u);
  auto beforeNames = metadataUserPropertyNames(before[0].fingerprint);
  auto afterNames = metadataUserPropertyNames(after[0].fingerprint);
  EXPECT_EQ(std::count(beforeNames.begin(), beforeNames.end(), "favorite"), 0);
  EXPECT_EQ(std::count(afterNames.begin(), afterNames.end(), "favorite"), 1);
}

// User-property calls queued together with events, while the front is still busy with what came
// before, take their places among them: each event's metadata carries the value of its moment,
// through a change, a change back and a removal.
TEST_F(FakeClockFrontTest, UserPropertyChangesQueuedAmongEventsReachExactlyTheEventsAfterThem) {
  start();
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  APMAnalyticsOperationQueue::queue()->async([released] { released.wait(); });
  // The tier set before each event ("" removes it); "<absent>": the metadata carries none.
  const struct {
    const char* event;
    const char* tierBefore;
    const char* carried;
  } steps[] = {
      {"e1", nullptr, "<absent>"}, {"e2", "gold", "gold"}, {"e3", "silver", "silver"},
      {"e4", "gold", "gold"},      {"e5", "", "<absent>"}, {"e6", nullptr, "<absent>"},
  };
  for (const auto& step : steps) {
    if (step.tierBefore) {
      APMAnalyticsUserProperties::setUserPropertyString(*step.tierBefore ? platform::Object(step.tierBefore) : platform::Object(),
                                          "tier");
    }
    APMAnalytics::logEventWithName(step.event, {});
  }
  release.set_value();
  std::map<std::string, int64_t> fingerprints;
  for (const auto& step : steps) {
    SCOPED_TRACE(step.event);
    auto stored = rowsNamed(step.event);
    ASSERT_EQ(stored.size(), 1u);
    fingerprints[step.event] = stored[0].fingerprint;
    auto properties = metadataStringUserProperties(stored[0].fingerprint);
    const std::string carried = properties.count("tier") ? properties["tier"] : "<absent>";
    EXPECT_EQ(carried, step.carried);
  }
  EXPECT_EQ(fingerprints["e4"], fingerprints["e2"]) << "changed back, the metadata is the earlier one";
  EXPECT_EQ(fingerprints["e6"], fingerprints["e5"]);
}

// A list nested `levels` deep around the number 1.
platform::Object nestedList(int levels) {
  platform::Object value(1);
  for (int level = 0; level < levels; ++level) value = platform::Object(platform::Array{value});
  return value;
}

// Releases a nested list level by level: releasing it at once recurses as deep as it is nested.
void releaseLevelByLevel(platform::Object& value) {
  while (const platform::Array* array = value.asArray()) {
    if (array->empty()) break;
    platform::Object inner = array->front();
    value = std::move(inner);
  }
  value = platform::Object();
}

// A value nested deeper than any the event road stores (a list of items, each a dictionary of
// scalars) is refused on the caller's path without walking it, and no SDK thread keeps it: a walk,
// a copy or the last release of 100,000 levels exhausts any thread's stack. It becomes the
// unsupported-value error (12) like any other value the road cannot take; the rest is stored.
TEST_F(FakeClockFrontTest, ValuesNestedDeeperThanStorableAreRefusedAsUnsupported) {
  platform::Object deep = nestedList(100000);
  // Handed over before start, so the SDK's copies outlive the caller's.
  APMAnalytics::logEventWithOrigin("app", true, "deep_with_time", {{"a_list", deep}}, kStartTime, {});
  APMAnalyticsUserProperties::setDefaultEventParameters(platform::Dictionary{{"deep_default", deep}});
  APMAnalytics::logEventWithName(
      "deep_values", {{"a_list", deep},
                      {"items", platform::Object(platform::Array{platform::Object(platform::Dictionary{
                                    {"item_id", platform::Object("x")}, {"nested", deep}})})},
                      {"level", platform::Object(3)}});
  releaseLevelByLevel(deep);
  start();

  for (const char* name : {"deep_with_time", "deep_values"}) {
    SCOPED_TRACE(name);
    auto stored = rowsNamed(name);
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].integer("_err"), 12);
    EXPECT_EQ(stored[0].text("_ev"), "a_list");
    // A list of lists keeps no items: its items must be dictionaries.
    EXPECT_TRUE(stored[0].parameters.at("a_list").arrayValue().empty());
  }
  auto stored = rowsNamed("deep_values");
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].integer("level"), 3);
  const auto& items = stored[0].parameters.at("items").arrayValue();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].size(), 1u);
  EXPECT_EQ(items[0].at("item_id").stringValue(), "x");
  // A default parameter must be a string or a number.
  EXPECT_EQ(errorRowsWithCode(27).size(), 1u);
}

TEST_F(FakeClockFrontTest, ParameterLimitsTheServiceConfiguredCleanLoggedEvents) {
  start();
  applyConfig({{"measurement.upload.max_event_parameter_value_length", "100"},
               {"measurement.upload.max_public_event_params", "25"},
               {"measurement.upload.max_item_scoped_custom_parameters", "10"}});
  auto numbered = [](const char* prefix, int count) {
    platform::Dictionary parameters;
    for (int i = 0; i < count; ++i) parameters[prefix + std::to_string(100 + i)] = platform::Object(i);
    return parameters;
  };
  APMAnalytics::logEventWithName("many", numbered("p", 30));
  APMAnalytics::logEventWithName("long", {{"text", std::string(150, 't')}});
  APMAnalytics::logEventWithName("cart", {{"items", platform::Array{numbered("c", 12)}}});

  auto many = rowsNamed("many");
  ASSERT_EQ(many.size(), 1u);
  EXPECT_TRUE(many[0].has("p124"));
  EXPECT_FALSE(many[0].has("p125"));  // the highest-sorting custom names go first
  EXPECT_EQ(many[0].integer("_err"), 5);
  auto longText = rowsNamed("long");
  ASSERT_EQ(longText.size(), 1u);
  EXPECT_EQ(longText[0].text("text"), std::string(100, 't'));
  EXPECT_EQ(longText[0].integer("_err"), 4);
  EXPECT_EQ(longText[0].integer("_el"), 150);
  auto cart = rowsNamed("cart");
  ASSERT_EQ(cart.size(), 1u);
  const auto& items = cart[0].parameters.at("items").arrayValue();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].size(), 10u);
}

// Events are made ahead under the limits read a while before; the ones logged after the service
// changed the limits are stored under the new ones all the same.
TEST_F(FakeClockFrontTest, LimitsConfiguredBetweenEventsCleanTheEventsLoggedAfterThem) {
  start();
  const std::string text(150, 't');
  APMAnalytics::logEventWithName("before", {{"text", text}});
  drain();
  applyConfig({{"measurement.upload.max_event_parameter_value_length", "100"}});
  for (int i = 0; i < 3; ++i) APMAnalytics::logEventWithName("after", {{"text", text}});

  auto before = rowsNamed("before");
  ASSERT_EQ(before.size(), 1u);
  EXPECT_EQ(before[0].text("text"), text);
  auto after = rowsNamed("after");
  ASSERT_EQ(after.size(), 3u);
  for (const auto& row : after) {
    EXPECT_EQ(row.text("text"), std::string(100, 't'));
    EXPECT_EQ(row.integer("_err"), 4);
  }
}

TEST_F(FakeClockFrontTest, ScreenViewsGoToTheReporterAndItsScreenJoinsLaterEvents) {
  std::vector<std::pair<platform::Dictionary, double>> tracked;
  auto collaborator = std::make_shared<FakeCollaborator>();
  collaborator->trackScreen = [&](const platform::Dictionary& parameters, double timestamp) {
    tracked.emplace_back(parameters, timestamp);
    APMAnalytics::setCurrentScreenParameters(
        {{"_sn", platform::Object("Home")}, {"_sc", platform::Object("HomeView")}, {"_si", platform::Object(7)}});
  };
  APMAnalytics::setCollaborators({collaborator});
  APMAnalytics::logEventWithName("screen_view", {{"screen_name", platform::Object("Home")}});
  ASSERT_EQ(tracked.size(), 1u);
  EXPECT_EQ(tracked[0].second, kStartTime);
  start();
  APMAnalytics::logEventWithName("tap", {});
  APMAnalytics::logInternalEventWithOrigin("auto", "_own", {{"_sn", platform::Object("Other")}});
  EXPECT_TRUE(rowsNamed("screen_view").empty());
  EXPECT_TRUE(rowsNamed("_vs").empty());
  auto taps = rowsNamed("tap");
  ASSERT_EQ(taps.size(), 1u);
  EXPECT_EQ(taps[0].text("_sn"), "Home");
  EXPECT_EQ(taps[0].text("_sc"), "HomeView");
  EXPECT_EQ(taps[0].integer("_si"), 7);
  auto own = rowsNamed("_own");
  ASSERT_EQ(own.size(), 1u);
  EXPECT_EQ(own[0].text("_sn"), "Other");
  EXPECT_FALSE(own[0].has("_sc"));
}

// The road reads a screen's parameters once for a run of events on the same screen: every event
// still carries the screen current when it was logged, whichever came before it.
TEST_F(FakeClockFrontTest, EachEventCarriesTheScreenCurrentWhenItWasLoggedAsTheScreenChanges) {
  start();
  const platform::Dictionary home{{"_sn", "Home"}, {"_sc", "HomeView"}, {"_si", int64_t{1}}};
  const platform::Dictionary cart{{"_sn", "Cart"}, {"_si", int64_t{2}}};
  const platform::Dictionary cartAgain{{"_sn", "Cart"}, {"_si", int64_t{3}}};  // same size, another instance
  const platform::Dictionary none;
  // The screen each step's events are logged under: the same twice running, a change, a screen
  // without a class after one with it, the same name as another instance, none, and back.
  const platform::Dictionary* steps[] = {&home, &home, &cart, &cartAgain, &none, &home};
  for (size_t step = 0; step < std::size(steps); ++step) {
    APMAnalytics::setCurrentScreenParameters(*steps[step]);
    for (int i = 0; i < 2; ++i) APMAnalytics::logEventWithName("tap", {{"step", static_cast<int64_t>(step)}});
  }
  auto taps = rowsNamed("tap");
  ASSERT_EQ(taps.size(), 2 * std::size(steps));
  for (const auto& tap : taps) {
    const int64_t step = tap.integer("step");
    ASSERT_GE(step, 0);
    ASSERT_LT(step, static_cast<int64_t>(std::size(steps)));
    SCOPED_TRACE(step);
    const platform::Dictionary& screen = *steps[step];
    for (const char* key : {"_sn", "_sc"}) {
      auto expected = screen.find(key);
      EXPECT_EQ(tap.text(key), expected == screen.end() ? "<absent>" : expected->second.stringValue()) << key;
    }
    auto instance = screen.find("_si");
    EXPECT_EQ(tap.integer("_si"), instance == screen.end() ? INT64_MIN : instance->second.integerValue());
  }
}

TEST_F(FakeClockFrontTest, ReporterLoggingFromItsOwnQueueDoesNotBlock) {
  auto reporterQueue = platform::DispatchQueue::create("APMScreenViewReporter");
  auto collaborator = std::make_shared<FakeCollaborator>();
  collaborator->trackScreen = [reporterQueue](const platform::Dictionary& parameters, double timestamp) {
    reporterQueue->sync([&] {
      APMAnalytics::setCurrentScreenParameters({{"_sn", platform::Object("Next")}});
      APMAnalytics::logInternalEventWithOrigin("auto", "_vs", timestamp, parameters);
    });
  };
  APMAnalytics::setCollaborators({collaborator});
  start();
  std::atomic<bool> done{false};
  reporterQueue->async([&] {
    APMAnalytics::logEventWithName("screen_view", {{"_sn", platform::Object("Next")}});
    APMAnalytics::logEventWithName("from_reporter_queue", {});
    done = true;
  });
  ASSERT_TRUE(testsupport::waitFor([&] { return done.load(); }));
  EXPECT_EQ(rowsNamed("_vs").size(), 1u);
  auto logged = rowsNamed("from_reporter_queue");
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0].text("_sn"), "Next");
}

TEST_F(FakeClockFrontTest, UserPropertiesAreCheckedStoredAndReadBackOnTheGivenQueue) {
  start();
  APMAnalyticsUserProperties::setUserPropertyString(platform::Object("blue"), "color");
  APMAnalyticsUserProperties::setUserID(platform::Object("user-1"));
  ASSERT_TRUE(userProperty("_id"));
  EXPECT_EQ(userProperty("_id")->value().stringValue(), "user-1");
  auto queue = platform::DispatchQueue::create("test.reader");
  std::atomic<bool> answered{false};
  platform::Dictionary readBack;
  bool onGivenQueue = false;
  APMAnalyticsUserProperties::userPropertiesIncludingInternal(false, queue, [&](const platform::Dictionary& result) {
    readBack = result;
    onGivenQueue = queue->isCurrent();
    answered = true;
  });
  ASSERT_TRUE(testsupport::waitFor([&] { return answered.load(); }));
  EXPECT_TRUE(onGivenQueue);
  EXPECT_EQ(platform::Object(readBack)["color"], platform::Object("blue"));

  // The error event's code, or else the log line's.
  const struct { platform::Object value; std::string name; int64_t errorCode, logCode; } refused[] = {
      {platform::Object("x"), "first_open_time", 15, 0},
      {platform::Object("x"), "9lives", 6, 0},
      {platform::Object(std::string(37, 'v')), "shade", 7, 0},
      {platform::Object(3), "count", 0, 25003},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.name);
    APMAnalyticsUserProperties::setUserPropertyString(c.value, c.name);
    EXPECT_FALSE(userProperty(c.name));
    if (c.errorCode) {
      EXPECT_EQ(errorRowsWithCode(c.errorCode).size(), 1u);
    } else {
      EXPECT_EQ(linesWithCode(c.logCode).size(), 1u);
    }
  }

  // A null value removes; a user ID that is not a string is refused.
  APMAnalyticsUserProperties::setUserPropertyString(platform::Object(), "color");
  APMAnalyticsUserProperties::setUserID(platform::Object());
  EXPECT_FALSE(userProperty("color"));
  EXPECT_FALSE(userProperty("_id"));
  APMAnalyticsUserProperties::setUserID(platform::Object(5));
  EXPECT_EQ(linesWithCode(25004).size(), 1u);
  EXPECT_FALSE(userProperty("_id"));
}

TEST_F(FakeClockFrontTest, InterceptorTakesPublicEventsAndListenersHearStoredOnes) {
  start();
  std::vector<std::string> intercepted;
  std::vector<std::string> heard;
  APMAnalyticsListeners::addLogEventListener([&](const std::shared_ptr<APMEvent>& event) { heard.push_back(event->name()); });
  APMAnalytics::logEventWithName("before_interceptor", {});
  drain();
  APMAnalyticsListeners::setLogEventInterceptor([&](const std::string&, const std::string& name, const platform::Dictionary&,
                                           double) { intercepted.push_back(name); });
  APMAnalytics::logEventWithName("intercepted_event", {});
  drain();
  EXPECT_EQ(intercepted, std::vector<std::string>{"intercepted_event"});
  EXPECT_TRUE(rowsNamed("intercepted_event").empty());
  EXPECT_EQ(rowsNamed("before_interceptor").size(), 1u);
  EXPECT_NE(std::find(heard.begin(), heard.end(), "before_interceptor"), heard.end());
  EXPECT_EQ(std::find(heard.begin(), heard.end(), "intercepted_event"), heard.end());
}

// Whether anyone listens is read once per group of waiting events: a listener added or removed
// between two groups decides for every event of the next one.
TEST_F(FakeClockFrontTest, ListenersAddedOrRemovedBetweenGroupsHearTheGroupsAfter) {
  start();
  std::vector<std::string> heard;
  APMAnalytics::logEventWithName("before_listener", {});
  drain();
  const auto token = APMAnalyticsListeners::addLogEventListener(
      [&](const std::shared_ptr<APMEvent>& event) { heard.push_back(event->name()); });
  APMAnalytics::logEventWithName("while_listening", {});
  APMAnalytics::logEventWithName("still_listening", {});
  drain();
  APMAnalyticsListeners::removeLogEventListener(token);
  APMAnalytics::logEventWithName("after_listener", {});
  drain();
  EXPECT_EQ(heard, (std::vector<std::string>{"while_listening", "still_listening"}));
  for (const char* name : {"before_listener", "while_listening", "still_listening", "after_listener"}) {
    EXPECT_EQ(rowsNamed(name).size(), 1u) << name;
  }
}

// The options an SDK component logs with travel from the front through the engine to the worker:
// whichever level drops or swaps one sends the event the wrong way.
TEST_F(FakeClockFrontTest, LogOptionsDecideInterceptorListenersAndDefaultsUnderTheFrontsSwitch) {
  struct Case {
    const char* name;
    bool collectionOn;
    bool interceptorInstalled;
    APMLogEventOptions options;
    bool intercepted;
    bool heard;
    int storedRows;
    bool storedWithDefaults;
  };
  const Case cases[] = {
      {"on_plain", true, false, {}, false, true, 1, true},
      {"on_intercepted", true, true, {}, true, false, 0, false},
      {"on_past_interceptor", true, true, {.ignoreInterceptor = true}, false, true, 1, false},
      {"off_plain", false, true, {}, false, false, 0, false},
      {"off_ignoring_switch", false, true, {.ignoreEnabled = true}, true, false, 0, false},
      {"off_ignoring_both", false, true, {.ignoreEnabled = true, .ignoreInterceptor = true}, false, true, 0, false},
      // The front's own switch decides, whatever the caller claims.
      {"off_caller_says_on", false, true, {.enabled = true}, false, false, 0, false},
  };
  start();
  APMAnalyticsUserProperties::setDefaultEventParameters(platform::Dictionary{{"joined", "yes"}});
  std::mutex seenMutex;
  std::vector<std::string> intercepted;
  std::vector<std::string> heard;
  APMAnalyticsListeners::addLogEventListener([&](const std::shared_ptr<APMEvent>& event) {
    std::lock_guard<std::mutex> lock(seenMutex);
    heard.push_back(event->name());
  });
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    APMAnalyticsCollection::setAnalyticsEnabled(c.collectionOn);
    APMAnalyticsListeners::setLogEventInterceptor(
        c.interceptorInstalled ? APMAnalyticsListeners::Interceptor([&](const std::string&, const std::string& name,
                                                               const platform::Dictionary&, double) {
          std::lock_guard<std::mutex> lock(seenMutex);
          intercepted.push_back(name);
        })
                               : APMAnalyticsListeners::Interceptor());
    APMAnalytics::logEventWithOrigin("app", true, c.name, {{"own", 1}}, kStartTime, c.options);
    drain();
    std::lock_guard<std::mutex> lock(seenMutex);
    EXPECT_EQ(std::count(intercepted.begin(), intercepted.end(), c.name), c.intercepted ? 1 : 0);
    EXPECT_EQ(std::count(heard.begin(), heard.end(), c.name), c.heard ? 1 : 0);
    const auto rows = rowsNamed(c.name);
    ASSERT_EQ(rows.size(), static_cast<size_t>(c.storedRows));
    if (!rows.empty()) {
      EXPECT_EQ(rows[0].integer("own"), 1);
      EXPECT_EQ(rows[0].text("joined"), c.storedWithDefaults ? "yes" : "<absent>");
    }
  }
}

TEST_F(FakeClockFrontTest, ResetCalledOnTheWorkerQueueDoesNotDeadlockAndWipes) {
  start();
  APMAnalytics::logEventWithName("before_reset", {});
  ASSERT_EQ(rowsNamed("before_reset").size(), 1u);
  std::atomic<bool> returned{false};
  engine()->setup().scheduler->workerQueue()->async([&] {
    APMAnalytics::resetAnalyticsData();
    returned = true;
  });
  ASSERT_TRUE(testsupport::waitFor([&] { return returned.load(); }));
  drain();
  EXPECT_TRUE(rowsNamed("before_reset").empty());
  EXPECT_EQ(APMAnalyticsSuite::resetRetryCount(), 0);
  EXPECT_FALSE(APMAnalyticsSuite::appInstanceIDAfterReset());
  EXPECT_TRUE(linesWithCode(25037).empty());
}

// A clock whose every reading is ten milliseconds later than the one before, so the time taken for
// an event says exactly where among all readings it was taken.
class SteppingClock final : public platform::Clock {
 public:
  double now() const override { return kStartTime + 0.01 * static_cast<double>(ticks_.fetch_add(1) + 1); }
  double uptime() const override { return 1000.0; }

 private:
  mutable std::atomic<int64_t> ticks_{0};
};

TEST_F(FrontTest, TenThousandEventsFromFourThreadsAreStoredOnceInCallOrderPerThread) {
  platform::installClock(std::make_shared<SteppingClock>());
  start();
  constexpr int kThreads = 4;
  constexpr int kPerThread = 2500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kPerThread; ++i) {
        APMAnalytics::logEventWithName("burst", {{"thread", platform::Object(t)}, {"seq", platform::Object(i)}});
      }
    });
  }
  for (auto& thread : threads) thread.join();
  auto stored = rowsNamed("burst");
  platform::installClock(nullptr);

  // Rows come back in storage order: per thread in call order (so, with the count, each thread's
  // events exactly once), and overall in strictly increasing time order.
  ASSERT_EQ(stored.size(), static_cast<size_t>(kThreads * kPerThread));
  std::vector<int64_t> nextSeq(kThreads, 0);
  double previousRowTime = 0;
  for (const auto& row : stored) {
    int64_t t = row.integer("thread");
    ASSERT_TRUE(t >= 0 && t < kThreads) << t;
    EXPECT_EQ(row.integer("seq"), nextSeq[t]++) << "thread " << t;
    EXPECT_GT(row.timestamp, previousRowTime);
    previousRowTime = row.timestamp;
  }
}

}  // namespace
}  // namespace fronttest
