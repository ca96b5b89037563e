// Purchases and screen views as a host reports them through the public API: store transactions
// handed in by the host's store observer or one by one, the receipt's say on a first open, and the
// screen-view helper.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <limits>

#include "../DirodaZovAridozovori/Engine/Purchase/PurchaseTestSupport.h"
#include "LoggedAnalyticsModifier.h"
#include "PublicAPITestFixture.h"
#include "Purchase/APMInAppPurchaseProductCache.h"
#include "Purchase/APMInAppPurchaseTransactionReporter.h"
#include "Purchase/APMReceiptReader.h"
#include "ScreenView/APMScreenViewReporter.h"
#include "StoreKitTransactionLogging.h"
#include "platform/ApplicationNotifications.h"

namespace fronttest {
namespace {

using purchasetest::ReceiptEntry;

// 2024-02-29T13:05:09Z.
constexpr double kFebruary = 1709211909;

const platform::StoreProduct kCoins{"coins.100", "0.99", "USD", "100 Coins", std::nullopt};
const platform::StoreProduct kGems{"gems.10", "1.99", "USD", "10 Gems", std::nullopt};

class StoreHelpersTest : public PublicAPITest<FakeClockFrontTest> {
 protected:
  void SetUp() override {
    PublicAPITest::SetUp();
    resetShared();
    catalog_ = std::make_shared<purchasetest::FakeCatalog>(std::vector<platform::StoreProduct>{kCoins, kGems});
    platform::StoreProductsProvider::registerProvider(catalog_);
  }
  void TearDown() override {
    APMInAppPurchaseTransactionReporter::sharedInstance()->flushForTesting();
    PublicAPITest::TearDown();
    resetShared();
  }
  static void resetShared() {
    APMInAppPurchaseTransactionReporter::resetSharedInstanceForTesting();
    APMInAppPurchaseProductCache::resetSharedInstanceForTesting();
    APMScreenViewReporter::resetSharedInstanceForTesting();
    APMReceiptReaderResetForTesting();
  }

  void placeReceipt(const platform::Data& bytes) {
    const std::string path = dataDirectory_.path() + "/receipt";
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    platform::Bundle::setAppStoreReceiptPath(path);
  }

  // Waits for purchases to go from the front through the engine's filter, the reporter and back.
  void settle() {
    for (int round = 0; round < 3; ++round) {
      drain();
      APMInAppPurchaseTransactionReporter::sharedInstance()->flushForTesting();
    }
    drain();
  }

  static platform::StorePaymentTransaction purchased(const std::string& identifier, const std::string& product) {
    platform::StorePaymentTransaction transaction;
    transaction.transactionIdentifier = identifier;
    transaction.transactionState = platform::StorePaymentTransactionState::Purchased;
    transaction.productIdentifier = product;
    transaction.transactionDate = platform::Date{kFebruary};
    return transaction;
  }

  // Waits until a row of this name is stored (the engine hands filtered purchases back on a queue
  // of its own).
  void waitForRow(const std::string& name) {
    EXPECT_TRUE(testsupport::waitFor([&] {
      settle();
      return !rowsNamed(name).empty();
    })) << name;
  }

  std::shared_ptr<purchasetest::FakeCatalog> catalog_;
};

TEST_F(StoreHelpersTest, AConsumableHandedInTwiceIsReportedOnce) {
  placeReceipt(purchasetest::receipt({ReceiptEntry{"coins.100", "1000", "1000", "2024-02-29T13:05:09Z", 1}}));
  configure();
  DUDUravodazo::paymentQueueUpdatedTransactions({purchased("1000", "coins.100")});
  waitForRow("_iap");
  // The duplicate is decided together with the purchase that follows it.
  DUDUravodazo::paymentQueueUpdatedTransactions({purchased("1000", "coins.100"), purchased("1001", "gems.10")});
  waitForRow("_iapx");

  auto purchases = rowsNamed("_iap");
  ASSERT_EQ(purchases.size(), 1u);
  const Row& purchase = purchases[0];
  EXPECT_EQ(purchase.origin, "auto");
  EXPECT_EQ(purchase.text("product_id"), "coins.100");
  EXPECT_EQ(purchase.integer("price"), 990000);
  EXPECT_EQ(purchase.integer("value"), 990000);
  EXPECT_EQ(purchase.integer("quantity"), 1);
  EXPECT_EQ(purchase.text("currency"), "USD");
  EXPECT_EQ(purchase.text("product_name"), "100 Coins");
  EXPECT_EQ(purchase.integer("_did"), 150423929966941964);
  EXPECT_EQ(purchase.text("_skv"), "1");
  auto invalid = rowsNamed("_iapx");
  ASSERT_EQ(invalid.size(), 1u) << "a consumable with no receipt entry";
  EXPECT_EQ(invalid[0].text("product_id"), "gems.10");
  EXPECT_FALSE(invalid[0].has("invalid"));
  // The valid purchase counts towards the lifetime value; the invalid one does not.
  ASSERT_TRUE(userProperty("_ltv_USD"));
  EXPECT_EQ(userProperty("_ltv_USD")->value().int64Value(), 990000);
}

TEST_F(StoreHelpersTest, ATransactionIsHandedOnValueByValue) {
  constexpr uint64_t kLargest = std::numeric_limits<uint64_t>::max();
  struct Case {
    const char* name;
    StoreKitTransaction transaction;
    platform::StoreTransaction expected;
  };
  StoreKitTransaction consumable;
  consumable.id = kLargest;
  consumable.originalID = 17;
  consumable.productID = "coins.100";
  consumable.productType = StoreKitProductType::Consumable;
  consumable.purchasedQuantity = 3;
  consumable.purchaseDate = kFebruary;
  consumable.originalPurchaseDate = kFebruary - 60;
  consumable.environment = "Sandbox";
  consumable.isVerified = true;
  platform::StoreTransaction consumableInfo;
  consumableInfo.productID = "coins.100";
  consumableInfo.transactionID = "18446744073709551615";
  consumableInfo.originalTransactionID = "17";
  consumableInfo.productType = platform::StoreProductType{1};
  consumableInfo.paymentQuantity = 3;
  consumableInfo.purchaseDate = kFebruary;
  consumableInfo.originalPurchaseDate = kFebruary - 60;
  consumableInfo.environment = "Sandbox";
  consumableInfo.isVerified = true;

  StoreKitTransaction trial;
  trial.id = 20;
  trial.originalID = 20;
  trial.webOrderLineItemID = 1234567;
  trial.productID = "pro.monthly";
  trial.productType = StoreKitProductType::AutoRenewable;
  trial.purchaseDate = kFebruary;
  trial.originalPurchaseDate = kFebruary;
  trial.expirationDate = kFebruary + 604800;
  trial.revocationDate = kFebruary + 3600;
  trial.offer = StoreKitTransactionOffer{StoreKitOfferType::Introductory, StoreKitOfferPaymentMode::FreeTrial};
  platform::StoreTransaction trialInfo;
  trialInfo.productID = "pro.monthly";
  trialInfo.transactionID = "20";
  trialInfo.originalTransactionID = "20";
  trialInfo.webOrderLineItemID = 1234567;
  trialInfo.productType = platform::StoreProductType{3};
  trialInfo.isFreeTrial = true;
  trialInfo.isIntroductoryOffer = true;
  trialInfo.purchaseDate = kFebruary;
  trialInfo.originalPurchaseDate = kFebruary;
  trialInfo.subscriptionExpirationDate = kFebruary + 604800;
  trialInfo.cancellationDate = kFebruary + 3600;

  StoreKitTransaction promoted = trial;
  promoted.productType = StoreKitProductType::NonRenewable;
  promoted.offer = StoreKitTransactionOffer{StoreKitOfferType::Promotional, StoreKitOfferPaymentMode::PayUpFront};
  platform::StoreTransaction promotedInfo = trialInfo;
  promotedInfo.productType = platform::StoreProductType{2};
  promotedInfo.isFreeTrial = false;
  promotedInfo.isIntroductoryOffer = false;

  StoreKitTransaction other = consumable;
  other.productType = StoreKitProductType::Other;
  platform::StoreTransaction otherInfo = consumableInfo;
  otherInfo.productType = platform::StoreProductType{0};

  StoreKitTransaction lifetime = other;
  lifetime.productType = StoreKitProductType::NonConsumable;

  const Case cases[] = {{"consumable", consumable, consumableInfo},
                        {"free trial", trial, trialInfo},
                        {"promotional offer", promoted, promotedInfo},
                        {"other type", other, otherInfo},
                        {"non-consumable", lifetime, otherInfo}};
  for (const auto& c : cases) {
    const platform::StoreTransaction info = StoreKitTransactionInfo(c.transaction);
    const auto& e = c.expected;
    EXPECT_EQ(std::tie(info.productID, info.transactionID, info.originalTransactionID, info.webOrderLineItemID,
                       info.productType, info.isFreeTrial, info.isIntroductoryOffer, info.paymentQuantity),
              std::tie(e.productID, e.transactionID, e.originalTransactionID, e.webOrderLineItemID, e.productType,
                       e.isFreeTrial, e.isIntroductoryOffer, e.paymentQuantity))
        << c.name;
    EXPECT_EQ(std::tie(info.purchaseDate, info.originalPurchaseDate, info.subscriptionExpirationDate,
                       info.cancellationDate, info.environment, info.isVerified),
              std::tie(e.purchaseDate, e.originalPurchaseDate, e.subscriptionExpirationDate, e.cancellationDate,
                       e.environment, e.isVerified))
        << c.name;
  }
}

TEST_F(StoreHelpersTest, AVerifiedTransactionIsReportedAsValidatedAndUnverifiedOnesNeedTheReceipt) {
  configure();
  StoreKitTransaction transaction;
  transaction.id = 1000;
  transaction.originalID = 1000;
  transaction.productID = "coins.100";
  transaction.productType = StoreKitProductType::Consumable;
  transaction.purchaseDate = kFebruary;
  transaction.originalPurchaseDate = kFebruary;
  transaction.environment = "Sandbox";
  transaction.isVerified = true;
  logStoreKitTransaction(transaction);
  waitForRow("_iap");
  // Unverified: only a receipt entry of its product could vouch for it, and there is none.
  transaction.id = 1001;
  transaction.productID = "gems.10";
  transaction.isVerified = false;
  logStoreKitTransaction(transaction);
  waitForRow("_iapx");

  auto valid = rowsNamed("_iap");
  ASSERT_EQ(valid.size(), 1u);
  EXPECT_EQ(valid[0].integer("validated"), 1);
  EXPECT_EQ(valid[0].integer("sandbox"), 1);
  EXPECT_EQ(valid[0].text("_skv"), "2");
  auto invalid = rowsNamed("_iapx");
  ASSERT_EQ(invalid.size(), 1u);
  EXPECT_EQ(invalid[0].text("product_id"), "gems.10");
  EXPECT_FALSE(invalid[0].has("validated"));
  EXPECT_EQ(invalid[0].integer("sandbox"), 1);
}

TEST_F(StoreHelpersTest, AReceiptOfAnOlderVersionMakesTheFirstOpenAnUpdate) {
  placeReceipt(purchasetest::receipt(std::vector<platform::Data>{}, "0.9"));  // running: "1.0"
  configure();
  ASSERT_TRUE(userProperty("_fi"));
  EXPECT_EQ(userProperty("_fi")->value().int64Value(), 0);
}

TEST_F(StoreHelpersTest, EachAppearanceLogsOneScreenViewOfTheModifiersScreen) {
  configure();
  platform::NotificationCenter::defaultCenter().post(platform::kApplicationDidBecomeActiveNotification);
  const auto modifier =
      loggedAnalyticsScreen("Settings", "SettingsView", {{"screen_name", "Ignored"}, {"section", "general"}});
  EXPECT_EQ(modifier.screenViewParameters(),
            (platform::Dictionary{{"screen_name", "Settings"}, {"screen_class", "SettingsView"}, {"section", "general"}}));
  modifier.onAppear();
  clock_->advance(2);
  modifier.onAppear();
  APMScreenViewReporter::sharedInstance()->currentScreen();  // waits for the reporter's queue
  auto views = rowsNamed("_vs");
  ASSERT_EQ(views.size(), 2u);
  for (const auto& view : views) {
    EXPECT_EQ(view.text("_sn"), "Settings");
    EXPECT_EQ(view.text("_sc"), "SettingsView");
  }
  EXPECT_TRUE(rowsNamed("screen_view").empty());
}

}  // namespace
}  // namespace fronttest
