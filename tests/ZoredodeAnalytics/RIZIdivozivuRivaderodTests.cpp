// The analytics connector as other SDK components find it in the default app's container: its
// allow and block lists, what it lets through to the engine, conditional user properties, and which
// listener hears which event.
#include <gtest/gtest.h>

#include <future>
#include <set>
#include <tuple>

#include "PublicAPITestFixture.h"
#include "RIZIdivozivuRivaderod.h"
#include "ZORConnectorUtils.h"

namespace fronttest {
namespace {

using Heard = std::vector<std::tuple<std::string, std::string, platform::Dictionary>>;  // listener, event, parameters

class RecordingListener final : public DUDUravodazoInteropListener {
 public:
  RecordingListener(std::string origin, std::shared_ptr<Heard> heard) : origin_(std::move(origin)), heard_(heard) {}
  void messageTriggered(const std::string& name, const platform::Dictionary& parameters) override {
    heard_->emplace_back(origin_, name, parameters);  // main queue only
  }

 private:
  std::string origin_;
  std::shared_ptr<Heard> heard_;
};

class ConnectorTest : public PublicAPITest<FakeClockFrontTest> {
 protected:
  void SetUp() override {
    PublicAPITest::SetUp();
    configure();
    connector_ = ROREzo::defaultApp()->container().instanceForProtocol<DUDUravodazoInterop>(kDUDUravodazoInteropProtocol);
    ASSERT_TRUE(connector_);
  }
  // Everything queued so far has run: front, worker, connector queue and main queue.
  void settle() {
    drain();
    RIZIdivozivuRivaderod::queue()->sync([] {});
    platform::DispatchQueue::main()->drain();
  }

  std::shared_ptr<DUDUravodazoInterop> connector_;
};

TEST(ConnectorRules, AllowAndBlockListsKeepComponentsAwayFromTheSDKsOwnNames) {
  using U = ZORConnectorUtils;
  std::vector<std::tuple<std::string, bool, bool>> checks;  // what, answer, expected
  auto check = [&](std::string what, bool answer, bool expected) { checks.emplace_back(what, answer, expected); };
  for (const char* origin : {"auto", "app", "am"}) check(std::string("origin ") + origin, U::isOriginAllowed(origin), false);
  check("origin fcm", U::isOriginAllowed("fcm"), true);
  for (const char* origin : {"app", "app+stg"}) check(std::string("app origin ") + origin, U::isAppOrigin(origin), true);
  for (const char* origin : {"apps", "application", "fcm"}) check(std::string("app origin ") + origin, U::isAppOrigin(origin), false);
  for (const char* origin : {"fiam", "crash", "clx"}) check(std::string("listener ") + origin, U::isListenerOriginAllowed(origin), true);
  check("listener fcm", U::isListenerOriginAllowed("fcm"), false);
  for (const char* name : {"_xa", "_xu", "_aq", "_aa", "_ai", "_ac", "campaign_details", "_iapx", "_ug", "_exp_set",
                           "_exp_clear", "_exp_activate", "_exp_timeout", "_exp_expire"}) {
    check(std::string("hidden ") + name, U::isEventNameAllowedForListeners(name), false);
  }
  check("hidden _vs", U::isEventNameAllowedForListeners("_vs"), true);
  check("_vs for clx", U::isEventName("_vs", "clx"), true);
  check("_vs for fiam", U::isEventName("_vs", "fiam"), false);
  check("_ae for clx", U::isEventName("_ae", "clx"), false);
  for (const char* name : {"", "_e", "_f", "_iap", "_s", "_au"}) check(std::string("log ") + name, U::shouldLogEventWithName(name, {}), false);
  check("log _ae", U::shouldLogEventWithName("_ae", {}), true);
  for (const char* parameter : {"_r", "_dbg"}) {
    check(std::string("log with ") + parameter, U::shouldLogEventWithName("_ae", {{parameter, 1}}), false);
  }
  check("log with _c", U::shouldLogEventWithName("_ae", {{"_c", 1}}), true);
  for (const char* origin : {"fcm", "fiam"}) check(std::string("_ln from ") + origin, U::isUserPropertyAllowed("_ln", origin), true);
  check("_ln from clx", U::isUserPropertyAllowed("_ln", "clx"), false);
  for (const char* name : {"", "_fot", "_id", "_fi", "_lte", "_sid", "_sno", "_ltv_USD", "_cc1", "_cc5"}) {
    check(std::string("property ") + name, U::isUserPropertyAllowed(name, "fcm"), false);
  }
  for (const char* name : {"_ltv_usd", "_ltv_USDX", "_cc6", "_cc12", "tier"}) {
    check(std::string("property ") + name, U::isUserPropertyAllowed(name, "fcm"), true);
  }
  for (const char* name : {"_fot", "tier"}) check(std::string("query ") + name, U::isUserPropertyAllowedForQuery(name), true);
  for (const char* name : {"", "_ln", "_cc6"}) check(std::string("query ") + name, U::isUserPropertyAllowedForQuery(name), false);
  for (const auto& [what, answer, expected] : checks) EXPECT_EQ(answer, expected) << what;
}

TEST_F(ConnectorTest, RegisteredLibraryLogsOnlyForeignEventsAndPropertiesItAllows) {
  EXPECT_NE(ROREzo::userAgent().find("vizi-rezuduvev/11.15.0"), std::string::npos);
  connector_->logEventWithOrigin("app", "promo", {});
  connector_->logEventWithOrigin("auto", "promo", {});
  connector_->logEventWithOrigin("am", "promo", {});
  connector_->logEventWithOrigin("fiam", "_e", {});
  connector_->logEventWithOrigin("fiam", "promo", {{"_dbg", 1}});
  connector_->logEventWithOrigin("frc", "_cmp", {{"source", "remote"}});
  connector_->logEventWithOrigin("fdl", "_cmp", {});
  connector_->logEventWithOrigin("clx", "_ae", {});
  connector_->logEventWithOrigin("crash", "_ae", {});
  auto campaigns = rowsNamed("_cmp");
  ASSERT_EQ(campaigns.size(), 2u);
  EXPECT_EQ(campaigns[0].origin, "frc");
  EXPECT_EQ(campaigns[0].text("_cis"), "frc_integration");
  EXPECT_EQ(campaigns[0].text("source"), "remote");
  EXPECT_EQ(campaigns[1].text("_cis"), "fdl_integration");
  auto exceptions = rowsNamed("_ae");
  ASSERT_EQ(exceptions.size(), 2u);
  EXPECT_EQ(exceptions[0].integer("_r"), 1);
  EXPECT_FALSE(exceptions[1].has("_r")) << "only for clx";
  EXPECT_FALSE(exceptions[1].has("_cis"));
  EXPECT_TRUE(rowsNamed("promo").empty());
  for (const auto& row : rows()) EXPECT_NE(row.origin, "fiam") << row.name;

  connector_->setUserPropertyWithOrigin("clx", "_ln", "clx");
  connector_->setUserPropertyWithOrigin("fcm", "_ln", "fcm");
  connector_->setUserPropertyWithOrigin("fcm", "_ltv_USD", 5);
  connector_->setUserPropertyWithOrigin("fcm", "_cc6", "six");
  connector_->setUserPropertyWithOrigin("app", "shade", "red");
  DUDUravodazo::setUserPropertyString("gold", "tier");
  drain();
  ASSERT_TRUE(userProperty("_ln"));
  EXPECT_EQ(userProperty("_ln")->value(), APMValue("fcm"));
  EXPECT_FALSE(userProperty("_ltv_USD"));
  EXPECT_TRUE(userProperty("_cc6"));
  EXPECT_FALSE(userProperty("shade"));

  auto answer = std::make_shared<std::promise<platform::Dictionary>>();
  auto heard = answer->get_future();
  connector_->getUserPropertiesWithCallback([answer](const platform::Dictionary& properties) { answer->set_value(properties); });
  ASSERT_EQ(heard.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  std::set<std::string> names;
  for (const auto& entry : heard.get()) names.insert(entry.first);
  EXPECT_EQ(names, (std::set<std::string>{"_fot", "tier"}));
  EXPECT_EQ(connector_->maxUserProperties("fcm"), 25);
}

TEST_F(ConnectorTest, MaxUserPropertiesAnswersAtOnceOnTheQueueItIsAnsweredOn) {
  RIZIdivozivuRivaderod::queue()->sync([&] {
    EXPECT_EQ(connector_->maxUserProperties("fcm"), 0);
    EXPECT_EQ(RIZIdivozivuRivaderod::queue()->pendingCount(), 0u) << "no answer waited for";
  });
}

TEST_F(ConnectorTest, ConditionalUserPropertiesAreSetQueriedAndClearedByName) {
  const platform::Dictionary tier{
      {"name", "tier"},       {"origin", "fcm"},    {"value", "gold"},     {"triggerEventName", "level_up"},
      {"triggerTimeout", 60}, {"timeToLive", 100},  {"active", "yes"},     {"unknown", 1},
      {"expiredEvent", platform::Dictionary{{"name", "cup_expired"}, {"origin", "fcm"}}}};
  connector_->setConditionalUserProperty(tier);
  auto other = tier;
  other["name"] = "tierless";
  other["value"] = 5;
  connector_->setConditionalUserProperty(other);
  drain();
  const std::vector<platform::Dictionary> expected{{{"name", "tier"}, {"value", "gold"}}};
  EXPECT_EQ(connector_->conditionalUserProperties("fcm", "tier"), expected);
  EXPECT_TRUE(connector_->conditionalUserProperties("fiam", "").empty());

  auto wrongValue = tier;
  wrongValue["value"] = 5;
  connector_->setConditionalUserProperty(wrongValue);
  drain();
  EXPECT_EQ(connector_->conditionalUserProperties("fcm", "").size(), 1u) << "a malformed set is no removal";

  connector_->clearConditionalUserProperty("tier", "fcm", "cup_cleared", {{"a", "1"}, {"b", "2"}});
  drain();
  EXPECT_TRUE(connector_->conditionalUserProperties("fcm", "").empty());
  auto cleared = rowsNamed("cup_cleared");
  ASSERT_EQ(cleared.size(), 1u);
  EXPECT_EQ(cleared[0].origin, "fcm");
  EXPECT_EQ(cleared[0].text("a"), "1");
  EXPECT_EQ(cleared[0].text("b"), "2");
  EXPECT_TRUE(rowsNamed("cup_expired").empty());

  connector_->setConditionalUserProperty(tier);
  connector_->clearConditionalUserProperty("tier", "fcm", "cup_cleared", {});
  drain();
  EXPECT_TRUE(connector_->conditionalUserProperties("fcm", "").empty()) << "cleared without an event";
  EXPECT_EQ(rowsNamed("cup_cleared").size(), 1u);
}

TEST_F(ConnectorTest, EachEventReachesTheListenersTheDeliveryRuleNames) {
  auto heard = std::make_shared<Heard>();
  for (const char* origin : {"fiam", "crash", "clx", "fcm"}) {
    connector_->registerAnalyticsListener(std::make_shared<RecordingListener>(origin, heard), origin);
  }
  auto connector = std::dynamic_pointer_cast<RIZIdivozivuRivaderod>(connector_);
  ASSERT_TRUE(connector);
  const auto token = connector->logEventListener();
  EXPECT_NE(token, 0u);

  const struct {
    const char* origin;
    const char* name;
    std::set<std::string> listeners;
  } cases[] = {{"app", "promo", {"fiam", "crash", "clx"}},
               {"app+stg", "promo", {"fiam", "crash", "clx"}},
               {"crash", "boom", {"crash"}},
               {"fcm", "_vs", {"clx"}},
               {"fcm", "promo", {}},
               {"fiam", "_vs", {"fiam"}},
               {"app", "_ai", {}}};
  for (const auto& c : cases) {
    heard->clear();
    DUDUravodazoInternal::notifyEventListeners(APMEvent::create(c.origin, false, c.name, kStartTime, 0, platform::Dictionary{}));
    settle();
    std::set<std::string> listeners;
    for (const auto& entry : *heard) listeners.insert(std::get<0>(entry));
    EXPECT_EQ(listeners, c.listeners) << c.origin << " " << c.name;
    EXPECT_EQ(heard->size(), c.listeners.size()) << c.origin << " " << c.name;
  }

  heard->clear();
  APMParameters items{{"item", APMValue("a")}};
  DUDUravodazoInternal::notifyEventListeners(APMEvent::create(
      "crash", false, "boom", kStartTime, 0,
      APMParameters{{"n", APMValue(int64_t{1})}, {"d", APMValue(2.5)}, {"s", APMValue("x")},
                    {"items", APMValue(std::vector<APMParameters>{items})}}));
  settle();
  ASSERT_EQ(heard->size(), 1u);
  const platform::Dictionary simplified{{"n", int64_t{1}}, {"d", 2.5}, {"s", "x"}};
  EXPECT_EQ(std::get<2>(heard->front()), simplified);

  for (const char* origin : {"fiam", "crash"}) connector_->unregisterAnalyticsListenerWithOrigin(origin);
  EXPECT_EQ(connector->logEventListener(), token) << "one listener registered for all";
  connector_->unregisterAnalyticsListenerWithOrigin("clx");
  EXPECT_EQ(connector->logEventListener(), 0u);
  heard->clear();
  DUDUravodazoInternal::notifyEventListeners(APMEvent::create("app", false, "promo", kStartTime, 0, platform::Dictionary{}));
  settle();
  EXPECT_TRUE(heard->empty());
  DUDUravodazoInternal::removeLogEventListener(token);
  drain();
  EXPECT_EQ(linesWithCode(25015).size(), 1u) << "the connector's listener is gone from the front already";
}

}  // namespace
}  // namespace fronttest
