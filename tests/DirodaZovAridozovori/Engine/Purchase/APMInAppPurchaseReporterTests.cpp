// The purchase reporter's two roads: payment-queue transactions and transactions handed in through
// the API, with the receipt, the host's catalog and the product cache behind them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "PurchaseTestSupport.h"
#include "Purchase/APMInAppPurchaseProductCache.h"
#include "Purchase/APMInAppPurchaseTransactionReporter.h"
#include "TestSupport.h"
#include "platform/Bundle.h"
#include "platform/ClassRegistry.h"

namespace purchasetest {
namespace {

using platform::Dictionary;
using platform::StorePaymentTransaction;
using platform::StorePaymentTransactionState;

// 2024-02-29T13:05:09Z.
constexpr double kFebruary = 1709211909;
constexpr int64_t kCoinsKey = 150423929966941964;  // "1000" "coins.100"

const platform::StoreProduct kCoins{"coins.100", "0.99", "USD", "100 Coins", std::nullopt};

StorePaymentTransaction purchased(const std::string& identifier, const std::string& product, int64_t quantity = 1,
                                  StorePaymentTransactionState state = StorePaymentTransactionState::Purchased) {
  StorePaymentTransaction transaction;
  transaction.transactionIdentifier = identifier;
  transaction.transactionState = state;
  transaction.productIdentifier = product;
  transaction.quantity = quantity;
  transaction.transactionDate = platform::Date{kFebruary};
  return transaction;
}

APMTransactionInfo apiTransaction(const std::string& identifier, bool verified) {
  APMTransactionInfo transaction;
  transaction.productID = "coins.100";
  transaction.transactionID = identifier;
  transaction.originalTransactionID = identifier;
  transaction.productType = platform::StoreProductType{1};
  transaction.purchaseDate = kFebruary + 0.5;
  transaction.originalPurchaseDate = kFebruary + 0.5;
  transaction.isVerified = verified;
  return transaction;
}

class InAppPurchaseReporterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::ClassRegistry::reset();
    platform::Bundle::reset();
    cache_ = std::make_shared<APMInAppPurchaseProductCache>();
    reporter_ = std::make_shared<APMInAppPurchaseTransactionReporter>(APMInAppPurchaseReporterHost{
        [this](const std::string& origin, const std::string& name, const Dictionary& parameters) {
          EXPECT_EQ(origin, "auto");
          std::lock_guard<std::mutex> lock(eventsMutex_);
          events_.push_back({name, parameters});
        },
        cache_});
  }
  void TearDown() override {
    reporter_->flushForTesting();
    platform::ClassRegistry::reset();
    platform::Bundle::reset();
  }

  std::shared_ptr<FakeCatalog> useCatalog(std::vector<platform::StoreProduct> products = {kCoins}) {
    auto catalog = std::make_shared<FakeCatalog>(std::move(products));
    platform::StoreProductsProvider::registerProvider(catalog);
    return catalog;
  }

  void placeReceipt(const Bytes& bytes, const std::string& name = "receipt") {
    const std::string path = (std::filesystem::path(dir_.path()) / name).string();
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    platform::Bundle::setAppStoreReceiptPath(path);
  }

  std::vector<APMInAppPurchaseEvent> events() {
    reporter_->flushForTesting();
    std::lock_guard<std::mutex> lock(eventsMutex_);
    return events_;
  }

  testsupport::TempDir dir_;
  PurchaseLogCapture log_;
  std::shared_ptr<APMInAppPurchaseProductCache> cache_;
  std::shared_ptr<APMInAppPurchaseTransactionReporter> reporter_;
  std::mutex eventsMutex_;
  std::vector<APMInAppPurchaseEvent> events_;
};

TEST_F(InAppPurchaseReporterTest, PaymentQueuePurchasesAreReportedFromTheReceiptAndTheCatalog) {
  auto catalog = useCatalog();
  placeReceipt(receipt({ReceiptEntry{"coins.100", "1000", "1000", "2024-02-29T13:05:09Z", 1}}));
  reporter_->paymentQueueUpdatedFilteredTransactions(
      {purchased("1000", "coins.100", 2), purchased("1002", "coins.100", 1, StorePaymentTransactionState::Restored),
       purchased("1003", "coins.100", 1, StorePaymentTransactionState::Purchasing), purchased("1004", "")});
  auto reported = events();
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(reported[0].name, "_iap");
  EXPECT_EQ(reported[0].parameters,
            (Dictionary{{"product_id", "coins.100"}, {"price", 990000}, {"value", 1980000}, {"quantity", 2},
                        {"currency", "USD"}, {"product_name", "100 Coins"}, {"_did", kCoinsKey}, {"_skv", "1"}}));
  EXPECT_EQ(reporter_->allPurchaseItems(), std::nullopt) << "the payment-queue road forgets the receipt items";
  EXPECT_EQ(catalog->requests(), (std::vector<std::set<std::string>>{{"coins.100"}}));
  EXPECT_TRUE(log_.logged(21028));

  // The product is cached now: the catalog is not asked again.
  reporter_->paymentQueueUpdatedFilteredTransactions({purchased("1000", "coins.100")});
  EXPECT_EQ(events().size(), 2u);
  EXPECT_EQ(catalog->requests().size(), 1u);
}

TEST_F(InAppPurchaseReporterTest, WithoutAReceiptEntryAPurchaseIsInvalidAndASandboxReceiptSaysSo) {
  useCatalog();
  const ReceiptEntry coins{"coins.100", "1000", "1000", "2024-02-29T13:05:09Z", 1};
  const struct {
    const char* what;
    std::optional<ReceiptEntry> entry;  // none: no receipt file at all
    std::string fileName;
    std::string expectedName;
    bool sandbox;
  } cases[] = {
      {"no receipt", std::nullopt, "", "_iapx", false},
      {"a receipt without the purchase", ReceiptEntry{"other", "1", "1", "2024-01-01T00:00:00Z", 1}, "receipt",
       "_iapx", false},
      {"a sandbox receipt without the purchase", ReceiptEntry{"other", "1", "1", "2024-01-01T00:00:00Z", 1},
       "sandboxReceipt", "_iapx", true},
      // A valid payment-queue purchase is not marked here: the bundle marks it later.
      {"a sandbox receipt with the purchase", coins, "sandboxReceipt", "_iap", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    log_.clear();
    if (c.entry) placeReceipt(receipt({*c.entry}), c.fileName);
    const size_t before = events().size();
    reporter_->paymentQueueUpdatedFilteredTransactions({purchased("1000", "coins.100")});
    auto reported = events();
    ASSERT_EQ(reported.size(), before + 1);
    EXPECT_EQ(reported.back().name, c.expectedName);
    EXPECT_EQ(reported.back().parameters.count("invalid"), 0u);
    EXPECT_EQ(reported.back().parameters.count("sandbox") ? reported.back().parameters.at("sandbox")
                                                           : platform::Object(),
              c.sandbox ? platform::Object(1) : platform::Object());
    EXPECT_EQ(log_.logged(40020), c.expectedName == "_iapx");
  }
}

TEST_F(InAppPurchaseReporterTest, APaymentQueueSubscriptionIsMatchedToItsReceiptItemAtItsWholeSecond) {
  const platform::StoreProduct monthly{"monthly", "4.99", "USD", "Monthly", std::nullopt};
  useCatalog({monthly});
  // Receipt dates are whole seconds; the store's transaction date may carry a fraction.
  placeReceipt(receipt({ReceiptEntry{"monthly", "2000", "2000", "2024-02-29T13:05:09Z", 3}}));
  const struct {
    const char* what;
    double date;
    std::string expectedName;
  } cases[] = {
      {"three quarters into the receipt's second", kFebruary + 0.75, "_iap"},
      {"the receipt's second exactly", kFebruary, "_iap"},
      {"a quarter into the next second", kFebruary + 1.25, "_iapx"},
      {"just before the receipt's second", kFebruary - 0.001, "_iapx"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto transaction = purchased("2000", "monthly");
    transaction.transactionDate = platform::Date{c.date};
    const size_t before = events().size();
    reporter_->paymentQueueUpdatedFilteredTransactions({transaction});
    auto reported = events();
    ASSERT_EQ(reported.size(), before + 1);
    EXPECT_EQ(reported.back().name, c.expectedName);
    EXPECT_EQ(reported.back().parameters.at("subscription"), platform::Object(1));
  }
}

TEST_F(InAppPurchaseReporterTest, WithoutProductDetailsNothingIsReported) {
  struct Case {
    const char* name;
    std::function<void()> setUp;
  };
  const Case cases[] = {
      {"no catalog", [] {}},
      {"the catalog fails", [this] { useCatalog()->fail(platform::Error("store", 5, "offline")); }},
      {"the catalog does not know the product", [this] { useCatalog({}); }},
  };
  for (const auto& c : cases) {
    platform::ClassRegistry::reset();
    log_.clear();
    c.setUp();
    reporter_->paymentQueueUpdatedFilteredTransactions({purchased("1000", "coins.100")});
    reporter_->reportTransactionWithProductID(apiTransaction("1001", true));
    EXPECT_TRUE(events().empty()) << c.name;
    EXPECT_TRUE(log_.logged(21027) || log_.logged(40026)) << c.name;
  }
  platform::ClassRegistry::reset();
  log_.clear();
  reporter_->reportTransactionWithProductID(apiTransaction("1001", true));
  events();
  EXPECT_EQ(log_.codes(), std::vector<int64_t>{21027}) << "no catalog: the request fails, with its error";
}

TEST_F(InAppPurchaseReporterTest, APITransactionsAreValidatedByTheStoreOrByTheReceipt) {
  struct Case {
    const char* name;
    bool verified;
    std::optional<std::string> environment;
    bool inReceipt;
    std::string expectedName;
    Dictionary expectedFlags;
  };
  const Case cases[] = {
      {"verified, not yet in the receipt", true, "Production", false, "_iap", {{"validated", 1}}},
      {"verified sandbox purchase", true, "Sandbox", false, "_iap", {{"validated", 1}, {"sandbox", 1}}},
      {"verified Xcode purchase", true, "xcode", false, "_iap", {{"validated", 1}, {"sandbox", 1}}},
      {"verified and in the receipt", true, std::nullopt, true, "_iap", {{"validated", 1}}},
      {"unverified, in the receipt", false, "Sandbox", true, "_iap", {}},
      {"unverified, not in the receipt", false, "Sandbox", false, "_iapx", {{"sandbox", 1}}},
  };
  useCatalog();
  int next = 5000;
  for (const auto& c : cases) {
    const std::string identifier = std::to_string(next++);
    placeReceipt(receipt({ReceiptEntry{"other", "1", "1", "2024-01-01T00:00:00Z", 1},
                          ReceiptEntry{c.inReceipt ? "coins.100" : "other", c.inReceipt ? identifier : "x",
                                       c.inReceipt ? identifier : "x", "2024-02-29T13:05:09Z", 1}}));
    auto transaction = apiTransaction(identifier, c.verified);
    transaction.environment = c.environment;
    reporter_->reportTransactionWithProductID(transaction);
    auto reported = events();
    ASSERT_FALSE(reported.empty()) << c.name;
    const auto& event = reported.back();
    EXPECT_EQ(event.name, c.expectedName) << c.name;
    Dictionary flags;
    for (const char* flag : {"validated", "sandbox", "invalid"}) {
      if (event.parameters.count(flag)) flags[flag] = event.parameters.at(flag);
    }
    EXPECT_EQ(flags, c.expectedFlags) << c.name;
    EXPECT_EQ(event.parameters.at("_skv"), platform::Object("2")) << c.name;
    if (c.expectedName == "_iap") {
      EXPECT_EQ(event.parameters.at("_did"), platform::Object(APMInAppPurchaseDeduplicationKey(identifier, std::nullopt,
                                                                                               "coins.100")))
          << c.name;
    }
    // The API road keeps the items; a transaction the store vouched for joins them at the head.
    auto items = reporter_->allPurchaseItems();
    ASSERT_TRUE(items) << c.name;
    const bool synthesized = c.verified && !c.inReceipt;
    EXPECT_EQ(items->size(), synthesized ? 3u : 2u) << c.name;
    if (synthesized) {
      EXPECT_EQ(items->front().transactionID, std::optional<std::string>(identifier)) << c.name;
      EXPECT_EQ(items->front().purchaseDateIA5String, std::optional<std::string>("2024-02-29T13:05:09Z")) << c.name;
      EXPECT_EQ(items->front().purchaseType, std::optional<int64_t>(1)) << c.name;
    }
  }
}

TEST_F(InAppPurchaseReporterTest, AReportKeepsItsReceiptItemsWhileAnotherReportForgetsThem) {
  const platform::StoreProduct gems{"gems.10", "1.99", "USD", "10 Gems", std::nullopt};
  auto catalog = useCatalog({kCoins, gems});
  std::atomic<bool> cached{false};
  cache_->requestProductsWithProductIdentifiers({"coins.100"}, platform::DispatchQueue::create("test"),
                                                [&](auto, auto, auto) { cached = true; });
  ASSERT_TRUE(testsupport::waitFor([&] { return cached.load(); }));
  catalog->hold();
  // The API report waits for the catalog with the store-vouched item it made for itself ...
  auto transaction = apiTransaction("7000", true);
  transaction.productID = "gems.10";
  reporter_->reportTransactionWithProductID(transaction);
  // ... while a payment-queue report, its product cached, runs and forgets the items.
  reporter_->paymentQueueUpdatedFilteredTransactions({purchased("7001", "coins.100")});
  reporter_->flushForTesting();
  EXPECT_EQ(reporter_->allPurchaseItems(), std::nullopt);
  catalog->release();
  auto reported = events();
  ASSERT_EQ(reported.size(), 2u);
  EXPECT_EQ(reported[0].name, "_iapx") << "coins.100 has no receipt item";
  EXPECT_EQ(reported[1].name, "_iap") << "the API report classifies against its own items";
  EXPECT_EQ(reported[1].parameters.at("product_id"), platform::Object("gems.10"));
}

TEST_F(InAppPurchaseReporterTest, TheProductCacheStartsOverOnceItHolds101Entries) {
  std::vector<platform::StoreProduct> products;
  for (int i = 0; i < 70; ++i) products.push_back({"p" + std::to_string(i), "1", "USD", "P", std::nullopt});
  auto catalog = useCatalog(products);
  auto request = [&](int from, int to, const char* prefix) {
    std::set<std::string> identifiers;
    for (int i = from; i < to; ++i) identifiers.insert(prefix + std::to_string(i));
    std::atomic<bool> done{false};
    cache_->requestProductsWithProductIdentifiers(identifiers, platform::DispatchQueue::create("test"),
                                                  [&](auto, auto, auto) { done = true; });
    ASSERT_TRUE(testsupport::waitFor([&] { return done.load(); }));
  };
  request(0, 60, "p");
  request(0, 40, "unknown");
  EXPECT_EQ(cache_->validProductCount(), 60u);
  EXPECT_EQ(cache_->invalidProductIdentifierCount(), 40u);
  EXPECT_TRUE(cache_->cachedProductForProductIdentifier("p59"));
  request(60, 61, "p");  // the 101st entry
  EXPECT_EQ(cache_->validProductCount(), 1u);
  EXPECT_EQ(cache_->invalidProductIdentifierCount(), 0u);
  EXPECT_FALSE(cache_->cachedProductForProductIdentifier("p59"));
  EXPECT_EQ(cache_->cachedProductForProductIdentifier("p60")->price, std::optional<std::string>("1"));
}

TEST_F(InAppPurchaseReporterTest, TheCacheFollowsTheCatalogsLatestAnswerAboutAProduct) {
  auto catalog = useCatalog({kCoins});
  std::atomic<int> answers{0};
  auto request = [&] {
    cache_->requestProductsWithProductIdentifiers({"coins.100"}, platform::DispatchQueue::create("test"),
                                                  [&](auto, auto, auto) { ++answers; });
  };
  request();
  ASSERT_TRUE(testsupport::waitFor([&] { return answers == 1; }));
  EXPECT_TRUE(cache_->cachedProductForProductIdentifier("coins.100"));
  useCatalog({});  // the product was withdrawn
  request();
  ASSERT_TRUE(testsupport::waitFor([&] { return answers == 2; }));
  EXPECT_FALSE(cache_->cachedProductForProductIdentifier("coins.100"));
  EXPECT_EQ(cache_->invalidProductIdentifierCount(), 1u);
  useCatalog({kCoins});
  request();
  ASSERT_TRUE(testsupport::waitFor([&] { return answers == 3; }));
  EXPECT_TRUE(cache_->cachedProductForProductIdentifier("coins.100"));
  EXPECT_EQ(cache_->invalidProductIdentifierCount(), 0u);
}

}  // namespace
}  // namespace purchasetest
