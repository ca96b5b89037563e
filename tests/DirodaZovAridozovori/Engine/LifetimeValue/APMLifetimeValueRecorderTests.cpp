// Lifetime values on the engine's event road: per-currency totals in micro-units, refunds, the
// oldest currency giving way, refused inputs, and amounts out of range rolling their event back.
#include <gtest/gtest.h>

#include <limits>
#include <map>

#include "../EngineTestFixture.h"
#include "../FakeEngineContext.h"
#include "../Purchase/PurchaseTestSupport.h"
#include "LifetimeValue/APMLifetimeValueRecorder.h"

namespace enginetest {
namespace {

using Totals = std::map<std::string, int64_t>;

struct Purchase {
  std::string name;
  platform::Dictionary parameters;
};

class LifetimeValueRecorderTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    APMSetEngineComponentEditorForTesting([](APMEngineComponentList) {
      return APMEngineComponentList{std::make_shared<APMLifetimeValueComponent>()};
    });
  }

  void log(const Purchase& purchase) {
    if (purchase.name.front() == '_') {
      logInternal(purchase.name, purchase.parameters);
    } else {
      logPublic(purchase.name, purchase.parameters);
    }
    drain();
    clock_->advance(1);
  }

  // Every "_ltv_" property with its value; each must be an "auto" property.
  Totals totals() {
    Totals result;
    onWorker([&] {
      platform::Error error;
      auto properties = engine().database()->userProperties().allLifetimeValueUserAttributes(&error);
      ASSERT_TRUE(properties) << error.description;
      for (const auto& property : *properties) {
        EXPECT_EQ(property->origin(), "auto") << property->name();
        result[property->name()] = property->value().int64Value();
      }
    });
    return result;
  }

  void clearTotals() {
    for (const auto& [name, total] : totals()) {
      onWorker([&, name = name] {
        platform::Error error;
        EXPECT_TRUE(engine().database()->userProperties().deleteUserAttributeWithName(name, &error))
            << error.description;
      });
    }
  }

  size_t purchaseRows() {
    size_t count = 0;
    for (const auto& row : rows()) {
      count += APMLifetimeValueRecorder::isPurchaseEvent(
          *APMEvent::create(row.origin, false, row.name, row.timestamp, 0, platform::Dictionary{}));
    }
    return count;
  }

  purchasetest::PurchaseLogCapture purchaseLog_;
};

TEST_F(LifetimeValueRecorderTest, PurchasesAddUpPerCurrencyInMicroUnits) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  struct Case {
    const char* name;
    std::vector<Purchase> purchases;
    Totals expected;
    size_t storedPurchases;
    std::vector<int64_t> codes;
  };
  const Case cases[] = {
      {"purchase then refund",
       {{"purchase", {{"value", 9.99}, {"currency", "usd"}}}, {"refund", {{"value", 9.99}, {"currency", "USD"}}}},
       {{"_ltv_USD", 0}},
       2,
       {}},
      {"a purchase alone", {{"purchase", {{"value", 9.99}, {"currency", "usd"}}}}, {{"_ltv_USD", 9990000}}, 1, {22006}},
      {"integer values and an e-commerce purchase",
       {{"ecommerce_purchase", {{"value", 3}, {"currency", "EUR"}}}, {"purchase", {{"value", 2.01}, {"currency", "EUR"}}}},
       {{"_ltv_EUR", 5010000}},
       2,
       {}},
      {"half a micro rounds away from zero",
       {{"purchase", {{"value", 4.0000005}, {"currency", "gbp"}}}, {"refund", {{"value", 0.0000005}, {"currency", "gbp"}}}},
       {{"_ltv_GBP", 4000000}},
       2,
       {}},
      {"in-app purchases carry micros already",
       {{"_iap", {{"value", 990000}, {"currency", "USD"}}}, {"_iap", {{"value", 10.9}, {"currency", "USD"}}}},
       {{"_ltv_USD", 990010}},
       2,
       {}},
      {"a four-letter currency is refused", {{"purchase", {{"value", 1}, {"currency", "USDX"}}}}, {}, 1, {22000}},
      {"a missing currency is refused", {{"purchase", {{"value", 1}}}}, {}, 1, {22000}},
      {"a text value is refused", {{"purchase", {{"value", "ten"}, {"currency", "USD"}}}}, {}, 1, {22001}},
      {"out of the micro range: the event is rolled back",
       {{"purchase", {{"value", 1e13}, {"currency", "USD"}}}},
       {},
       0,
       {22002}},
      {"a total that would overflow keeps the total and drops the event",
       {{"_iap", {{"value", kMax}, {"currency", "JPY"}}}, {"_iap", {{"value", 1}, {"currency", "JPY"}}}},
       {{"_ltv_JPY", kMax}},
       1,
       {22002}},
  };
  start();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    clearTotals();
    purchaseLog_.clear();
    const size_t before = purchaseRows();
    for (const auto& purchase : c.purchases) log(purchase);
    EXPECT_EQ(totals(), c.expected);
    EXPECT_EQ(purchaseRows() - before, c.storedPurchases);
    for (int64_t code : c.codes) EXPECT_TRUE(purchaseLog_.logged(code)) << code;
  }
}

TEST_F(LifetimeValueRecorderTest, AFifthCurrencyReplacesTheOneSetLongestAgo) {
  start();
  for (const char* currency : {"USD", "EUR", "GBP", "JPY"}) log({"purchase", {{"value", 1}, {"currency", currency}}});
  log({"purchase", {{"value", 2}, {"currency", "USD"}}});  // USD is now the latest set
  log({"purchase", {{"value", 5}, {"currency", "CHF"}}});
  EXPECT_EQ(totals(), (Totals{{"_ltv_USD", 3000000}, {"_ltv_GBP", 1000000}, {"_ltv_JPY", 1000000},
                              {"_ltv_CHF", 5000000}}));
  log({"purchase", {{"value", 1}, {"currency", "JPY"}}});
  EXPECT_EQ(totals().size(), 4u) << "an existing currency takes no one's place";
  EXPECT_EQ(totals().at("_ltv_JPY"), 2000000);
}

// Purchases handed over together share one group: each stored purchase carries the totals after
// it, a purchase rolled back after its total changed (here refused by the event-name limit) leaves
// the totals as they were, and the totals stored at the end are the last ones.
TEST_F(LifetimeValueRecorderTest, PurchasesInOneGroupCarryTheirRunningTotals) {
  start();
  applyConfig({{"measurement.upload.max_event_name_cardinality", "500"}});
  onWorker([&] {
    platform::Error error;
    for (int i = 0; i < 500; ++i) {
      ASSERT_TRUE(engine().database()->eventAggregates().updateEventAggregates(
          APMEventAggregates("name_" + std::to_string(i), 0, 0, 0, 0), &error));
    }
  });
  engine().setup().scheduler->workerQueue()->suspend();  // so that all arrive in one group
  logInternal("_iap", {{"value", 5000000}, {"currency", "USD"}, {"seq", 1}});
  logPublic("purchase", {{"value", 7}, {"currency", "USD"}});
  logInternal("_iap", {{"value", 2000000}, {"currency", "EUR"}, {"seq", 2}});
  logInternal("_iap", {{"value", 1000000}, {"currency", "USD"}, {"seq", 3}});
  engine().setup().scheduler->workerQueue()->resume();
  drain();
  EXPECT_TRUE(rowsNamed("purchase").empty());
  EXPECT_EQ(totals(), (Totals{{"_ltv_USD", 6000000}, {"_ltv_EUR", 2000000}}));
  std::vector<std::map<std::string, int64_t>> carried;
  for (const auto& row : rowsNamed("_iap")) {
    auto values = metadataIntegerUserProperties(row.fingerprint);
    std::map<std::string, int64_t> totalsOnly;
    for (const auto& [name, value] : values) {
      if (name.rfind("_ltv_", 0) == 0) totalsOnly[name] = value;
    }
    carried.push_back(totalsOnly);
  }
  EXPECT_EQ(carried, (std::vector<std::map<std::string, int64_t>>{
                         {{"_ltv_USD", 5000000}},
                         {{"_ltv_USD", 5000000}, {"_ltv_EUR", 2000000}},
                         {{"_ltv_USD", 6000000}, {"_ltv_EUR", 2000000}}}));
}

// A group that cannot commit stores none of its totals, and the next group adds to what is stored.
TEST_F(LifetimeValueRecorderTest, AGroupThatFailsWholeLeavesTheStoredTotals) {
  start();
  log({"_iap", {{"value", 1000000}, {"currency", "USD"}}});
  // The totals are written as the group commits: refused there, the whole group goes.
  executeOnDatabaseFile(
      "CREATE TRIGGER refuse_totals BEFORE INSERT ON user_attributes WHEN NEW.name = '_ltv_USD' "
      "BEGIN SELECT RAISE(ABORT, 'refused'); END");
  const size_t before = purchaseRows();
  engine().setup().scheduler->workerQueue()->suspend();
  logInternal("_iap", {{"value", 4000000}, {"currency", "USD"}});
  logInternal("_iap", {{"value", 3000000}, {"currency", "USD"}});
  engine().setup().scheduler->workerQueue()->resume();
  drain();
  EXPECT_EQ(purchaseRows(), before);
  EXPECT_EQ(totals(), (Totals{{"_ltv_USD", 1000000}}));
  executeOnDatabaseFile("DROP TRIGGER refuse_totals");
  log({"_iap", {{"value", 2000000}, {"currency", "USD"}}});
  EXPECT_EQ(totals(), (Totals{{"_ltv_USD", 3000000}}));
  auto stored = rowsNamed("_iap");
  ASSERT_FALSE(stored.empty());
  EXPECT_EQ(metadataIntegerUserProperties(stored.back().fingerprint)["_ltv_USD"], 3000000);
}

TEST_F(LifetimeValueRecorderTest, OnlyPurchaseEventsArePurchaseEvents) {
  struct Case {
    const char* name;
    bool purchase;
    bool ecommerce;
  };
  const Case cases[] = {{"_iap", true, false},        {"purchase", true, true},  {"refund", true, true},
                        {"ecommerce_purchase", true, true}, {"_iapx", false, false}, {"_assr", false, false},
                        {"in_app_purchase", false, false}};
  for (const auto& c : cases) {
    auto event = APMEvent::create("app", false, c.name, kStartTime, 0, platform::Dictionary{});
    EXPECT_EQ(APMLifetimeValueRecorder::isPurchaseEvent(*event), c.purchase) << c.name;
    EXPECT_EQ(APMLifetimeValueRecorder::isEcommercePurchaseEvent(*event), c.ecommerce) << c.name;
  }
}

// The component alone, behind a fake engine that has no configuration yet: only purchases count,
// and the default of four tracked currencies holds.
TEST(LifetimeValueComponentTest, AnEngineWithoutConfigurationKeepsFourCurrenciesOfPurchasesOnly) {
  testsupport::ScopedDataDirectory dataDirectory;
  testsupport::ScopedFakeClock clock(kStartTime);
  auto engine = std::make_shared<FakeEngineContext>();
  ASSERT_TRUE(engine->openDatabase());
  APMLifetimeValueComponent component;
  component.attachToEngine(engine);
  auto event = [](const std::string& name, const std::string& currency) {
    return APMEvent::create("app", true, name, platform::now(), 0,
                            platform::Dictionary{{"currency", currency}, {"value", 1}});
  };
  Totals totals;
  engine->queue->sync([&] {
    ASSERT_TRUE(engine->db->performTransaction([&] {
      for (const char* currency : {"USD", "EUR", "GBP", "JPY", "CHF"}) {
        clock->advance(1);
        EXPECT_TRUE(component.eventWillBeStored(*engine->db, *event("purchase", currency))) << currency;
      }
      EXPECT_TRUE(component.eventWillBeStored(*engine->db, *event("checkout", "SEK")));
      return true;
    }));
    platform::Error error;
    auto properties = engine->db->userProperties().allLifetimeValueUserAttributes(&error);
    ASSERT_TRUE(properties);
    for (const auto& property : *properties) totals[property->name()] = property->value().int64Value();
  });
  EXPECT_EQ(totals, (Totals{{"_ltv_EUR", 1000000}, {"_ltv_GBP", 1000000}, {"_ltv_JPY", 1000000},
                            {"_ltv_CHF", 1000000}}));
}

}  // namespace
}  // namespace enginetest
