// How a purchase becomes its event: classification against the receipt items, prices in micros,
// discounts, the event name rules, the de-duplication key and the transaction fingerprint.
#include <gtest/gtest.h>

#include <limits>
#include <optional>

#include "PurchaseTestSupport.h"
#include "Purchase/APMInAppPurchaseTransactionReporter.h"

namespace purchasetest {
namespace {

using platform::Dictionary;
using platform::StoreProduct;
using platform::StoreProductDiscount;
using platform::StoreProductPaymentMode;

// 2024-01-29T13:05:09Z, 2024-02-29T13:05:09Z and 2024-03-29T13:05:09Z.
constexpr double kJanuary = 1706533509;
constexpr double kFebruary = 1709211909;
constexpr double kMarch = 1711717509;

// Keys of original ID + web order line item + product.
constexpr int64_t kCoinsKey = 150423929966941964;         // "1000" "coins.100"
constexpr int64_t kLifetimeKey = 4461753506245718905;     // "4000" "lifetime"
constexpr int64_t kMonthlyKey = -5778400035085014242;     // "2000" "pro.monthly"
constexpr int64_t kMonthlyLineKey = 4164181317989199149;  // "2000" 1234567 "pro.monthly"
constexpr int64_t kPassKey = 1900099357573920345;         // "3000" "pass.year"

const StoreProduct kCoins{"coins.100", "0.99", "USD", "100 Coins", std::nullopt};
const StoreProduct kLifetime{"lifetime", "19.99", "EUR", "Lifetime", std::nullopt};
const StoreProduct kMonthly{"pro.monthly", "4.99", "USD", "Pro Monthly",
                            StoreProductDiscount{"0.99", StoreProductPaymentMode::PayAsYouGo}};
const StoreProduct kMonthlyFreeIntro{"pro.monthly", "4.99", "USD", "Pro Monthly",
                                     StoreProductDiscount{std::nullopt, StoreProductPaymentMode::FreeTrial}};
const StoreProduct kPass{"pass.year", "2.01", "USD", "Season Pass", std::nullopt};

APMInAppPurchaseItem item(const std::string& product, const std::string& transactionID,
                          const std::string& originalID, const char* date, std::optional<int64_t> type,
                          bool freeTrial = false, bool introductory = false,
                          std::optional<uint64_t> webOrderLineItem = std::nullopt) {
  APMInAppPurchaseItem result;
  result.productID = product;
  result.transactionID = transactionID;
  result.originalTransactionID = originalID;
  if (date) result.purchaseDateIA5String = date;
  result.purchaseType = type;
  result.freeTrial = freeTrial;
  result.introductoryOffer = introductory;
  result.webOrderLineItemID = webOrderLineItem;
  return result;
}

constexpr const char* kJanuaryText = "2024-01-29T13:05:09Z";
constexpr const char* kFebruaryText = "2024-02-29T13:05:09Z";

// The product's own parameters for one unit at the list price.
Dictionary listed(const StoreProduct& product, int64_t price) {
  return {{"product_id", product.productIdentifier}, {"price", price}, {"value", price}, {"quantity", 1},
          {"currency", *product.currencyCode}, {"product_name", *product.localizedTitle}};
}

Dictionary with(Dictionary base, const Dictionary& added) {
  for (const auto& [name, value] : added) base[name] = value;
  return base;
}

TEST(InAppPurchaseClassificationTest, PurchasesAreClassifiedAgainstTheReceipt) {
  struct Case {
    const char* name;
    std::optional<StoreProduct> product;
    int64_t quantity;
    std::string transactionID;
    std::string originalID;
    std::optional<double> date;
    std::vector<APMInAppPurchaseItem> items;
    std::optional<Dictionary> expected;
    int64_t code;
  };
  const auto coinsItem = item("coins.100", "1000", "1000", kFebruaryText, 1);
  const Case cases[] = {
      {"consumable in the receipt", kCoins, 3, "1000", "", kFebruary, {item("other", "9", "9", kJanuaryText, 1), coinsItem},
       Dictionary{{"product_id", "coins.100"}, {"price", 990000}, {"value", 2970000}, {"quantity", 3},
                  {"currency", "USD"}, {"product_name", "100 Coins"}, {"_did", kCoinsKey}},
       40021},
      {"missing in the receipt", kCoins, 1, "1000", "", kFebruary, {item("other", "9", "9", kJanuaryText, 1)},
       with(listed(kCoins, 990000), {{"invalid", 1}}), 40020},
      {"quantity 0 has no value", kCoins, 0, "1000", "", kFebruary, {coinsItem}, std::nullopt, 40021},
      {"no transaction ID is still reported", kCoins, 1, "", "", kFebruary, {coinsItem},
       with(listed(kCoins, 990000), {{"_did", kCoinsKey}}), 40003},
      {"exact decimal price", kPass, 3, "3000", "", kFebruary, {item("pass.year", "3000", "3000", kFebruaryText, 1)},
       Dictionary{{"product_id", "pass.year"}, {"price", 2010000}, {"value", 6030000}, {"quantity", 3},
                  {"currency", "USD"}, {"product_name", "Season Pass"}, {"_did", kPassKey}},
       40021},
      {"value out of range", kCoins, std::numeric_limits<int64_t>::max() / 100000, "1000", "", kFebruary, {coinsItem},
       std::nullopt, 40021},
      {"non-consumable bought", kLifetime, 1, "4000", "", kFebruary, {item("lifetime", "4000", "4000", kFebruaryText, 0)},
       with(listed(kLifetime, 19990000), {{"_did", kLifetimeKey}}), 40022},
      {"non-consumable restored", kLifetime, 1, "5001", "4000", kFebruary,
       {item("lifetime", "4000", "4000", kFebruaryText, 0)}, with(listed(kLifetime, 19990000), {{"invalid", 1}}), 40005},
      {"mismatched IDs count as consumable", kCoins, 1, "1001", "1000", kFebruary,
       {item("coins.100", "1001", "1000", kFebruaryText, 1)}, listed(kCoins, 990000), 40007},
      {"free-trial start", kMonthly, 1, "2000", "", kFebruary + 0.75,
       {item("pro.monthly", "2000", "2000", kFebruaryText, 3, true, false, 1234567)},
       with(listed(kMonthly, 0), {{"value", 0}, {"subscription", 1}, {"_did", kMonthlyLineKey}, {"free_trial", 1},
                                  {"price_is_discounted", 1}, {"original_price", 4990000}}),
       40009},
      {"renewal after a free trial", kMonthly, 1, "2001", "2000", kFebruary,
       {item("pro.monthly", "2001", "2000", kFebruaryText, 3), item("pro.monthly", "2000", "2000", kJanuaryText, 3, true)},
       with(listed(kMonthly, 4990000), {{"_did", kMonthlyKey}, {"sub_convert", 1}}), 40008},
      {"renewal after a paid period", kMonthly, 1, "2001", "2000", kFebruary,
       {item("pro.monthly", "2000", "2000", kJanuaryText, 3), item("pro.monthly", "2001", "2000", kFebruaryText, 3)},
       with(listed(kMonthly, 4990000), {{"_did", kMonthlyKey}, {"sub_renew", 1}}), 40010},
      {"renewal whose earlier periods are not in the receipt", kMonthly, 1, "2001", "2000", kFebruary,
       {item("pro.monthly", "2001", "2000", kFebruaryText, 3)},
       with(listed(kMonthly, 4990000), {{"_did", kMonthlyKey}, {"sub_renew", 1}}), 40008},
      {"introductory offer", kMonthly, 2, "2000", "", kFebruary,
       {item("pro.monthly", "2000", "2000", kFebruaryText, 3, false, true)},
       Dictionary{{"product_id", "pro.monthly"}, {"price", 990000}, {"value", 1980000}, {"quantity", 2},
                  {"currency", "USD"}, {"product_name", "Pro Monthly"}, {"subscription", 1}, {"_did", kMonthlyKey},
                  {"price_is_discounted", 1}, {"original_price", 4990000}},
       40018},
      {"free introductory offer", kMonthlyFreeIntro, 1, "2000", "", kFebruary,
       {item("pro.monthly", "2000", "2000", kFebruaryText, 3, false, true)},
       with(listed(kMonthly, 0), {{"value", 0}, {"subscription", 1}, {"_did", kMonthlyKey}, {"price_is_discounted", 1},
                                  {"original_price", 4990000}}),
       40018},
      {"free-trial repurchase", kMonthly, 1, "2005", "2000", kFebruary,
       {item("pro.monthly", "2000", "2000", kFebruaryText, 3, true)},
       with(listed(kMonthly, 0), {{"value", 0}, {"subscription", 1}, {"_did", kMonthlyKey}, {"free_trial", 1},
                                  {"invalid", 1}, {"price_is_discounted", 1}, {"original_price", 4990000}}),
       40011},
      {"subscription not at this date", kMonthly, 1, "2002", "2000", kMarch,
       {item("pro.monthly", "2001", "2000", kFebruaryText, 3)},
       with(listed(kMonthly, 4990000), {{"invalid", 1}, {"subscription", 1}}), 40023},
      {"subscription without a date", kMonthly, 1, "2002", "2000", std::nullopt,
       {item("pro.monthly", "2001", "2000", kFebruaryText, 3)},
       with(listed(kMonthly, 4990000), {{"invalid", 1}, {"subscription", 1}}), 40023},
      {"two subscription items at one date", kMonthly, 1, "2001", "2000", kFebruary,
       {item("pro.monthly", "2001", "2000", kFebruaryText, 3), item("pro.monthly", "2002", "2000", kFebruaryText, 3)},
       with(listed(kMonthly, 4990000), {{"invalid", 1}, {"subscription", 1}}), 40024},
      {"non-renewing subscription", kPass, 1, "3001", "3000", kFebruary,
       {item("pass.year", "3001", "3000", kFebruaryText, 2)},
       with(listed(kPass, 2010000), {{"subscription", 1}, {"_did", kPassKey}}), 40025},
      {"a web order line item makes a subscription", kMonthly, 1, "2000", "", kFebruary,
       {item("pro.monthly", "2000", "2000", kFebruaryText, std::nullopt, false, false, 1234567)},
       with(listed(kMonthly, 4990000), {{"subscription", 1}, {"_did", kMonthlyLineKey}}), 40008},
      {"no product", std::nullopt, 1, "1000", "", kFebruary, {coinsItem}, std::nullopt, 40026},
      {"empty product ID", StoreProduct{"", "0.99", "USD", "x", std::nullopt}, 1, "1000", "", kFebruary, {coinsItem},
       std::nullopt, 40027},
      {"no currency", StoreProduct{"coins.100", "0.99", std::nullopt, "x", std::nullopt}, 1, "1000", "", kFebruary,
       {coinsItem}, std::nullopt, 40021},
      {"no price", StoreProduct{"coins.100", std::nullopt, "USD", "x", std::nullopt}, 1, "1000", "", kFebruary,
       {coinsItem}, std::nullopt, 40021},
  };
  for (const auto& c : cases) {
    PurchaseLogCapture log;
    EXPECT_EQ(APMInAppPurchaseParameters(c.product, c.quantity, c.transactionID, c.originalID, c.date, c.items),
              c.expected)
        << c.name;
    EXPECT_TRUE(log.logged(c.code)) << c.name;
    EXPECT_EQ(log.levelOf(c.code), 8) << c.name;
  }
}

TEST(InAppPurchaseClassificationTest, TheEventNameFollowsValidityVerificationAndRenewal) {
  const Dictionary base{{"product_id", "p"}, {"price", 1}, {"value", 1}, {"currency", "USD"}};
  struct Case {
    const char* name;
    Dictionary added;
    bool verifyReceipt;
    bool sandbox;
    std::string version;
    std::string expectedName;
    Dictionary expectedAdded;
  };
  const Case cases[] = {
      {"receipt-checked purchase", {}, true, true, "1", "_iap", {{"_skv", "1"}}},
      {"store-verified purchase", {}, false, false, "2", "_iap", {{"validated", 1}, {"_skv", "2"}}},
      {"store-verified sandbox purchase", {}, false, true, "2", "_iap", {{"validated", 1}, {"sandbox", 1}, {"_skv", "2"}}},
      {"invalid purchase", {{"invalid", 1}}, true, false, "1", "_iapx", {{"_skv", "1"}}},
      {"invalid sandbox purchase", {{"invalid", 1}}, false, true, "2", "_iapx", {{"sandbox", 1}, {"_skv", "2"}}},
      {"renewal", {{"sub_renew", 1}}, true, false, "1", "_assr", {{"_skv", "1"}}},
      {"conversion", {{"sub_convert", 1}}, false, false, "2", "_assc", {{"validated", 1}, {"_skv", "2"}}},
  };
  for (const auto& c : cases) {
    const auto event = APMInAppPurchaseEventWithParameters(with(base, c.added), c.verifyReceipt, c.sandbox, c.version);
    EXPECT_EQ(event.name, c.expectedName) << c.name;
    EXPECT_EQ(event.parameters, with(base, c.expectedAdded)) << c.name;
  }
}

TEST(InAppPurchaseClassificationTest, DeduplicationKeyAndFingerprint) {
  EXPECT_EQ(APMInAppPurchaseDeduplicationKey("1000", std::nullopt, "coins.100"), kCoinsKey);
  EXPECT_EQ(APMInAppPurchaseDeduplicationKey("2000", 1234567, "pro.monthly"), kMonthlyLineKey);
  EXPECT_EQ(APMInAppPurchaseDeduplicationKey("", std::nullopt, "coins.100"), -1);
  EXPECT_EQ(APMInAppPurchaseDeduplicationKey(std::nullopt, 1, "coins.100"), -1);
  EXPECT_EQ(APMInAppPurchaseDeduplicationKey("1000", std::nullopt, ""), -1);

  using State = platform::StorePaymentTransactionState;
  struct Case {
    const char* name;
    std::optional<std::string> identifier;
    State state;
    std::optional<std::string> expected;
    int64_t code;
  };
  const Case cases[] = {
      {"purchased", "1000000000000001", State::Purchased, "f56a9e630b931e993bc1ecdd3b0ba853", 0},
      {"zeroes and hyphens", "000-000", State::Purchased, std::nullopt, 21017},
      {"one zero", "0", State::Purchased, std::nullopt, 21017},
      {"a one among zeroes", "000-001", State::Purchased, "701bd44d30a844d25ee9bd9577a2c813", 0},
      {"empty", "", State::Purchased, std::nullopt, 21016},
      {"none", std::nullopt, State::Purchased, std::nullopt, 21015},
      {"restored", "1000000000000001", State::Restored, std::nullopt, 0},
      {"failed", "1000000000000001", State::Failed, std::nullopt, 0},
  };
  for (const auto& c : cases) {
    PurchaseLogCapture log;
    platform::StorePaymentTransaction transaction;
    transaction.transactionIdentifier = c.identifier;
    transaction.transactionState = c.state;
    transaction.errorCode = 7;
    EXPECT_EQ(APMInAppPurchaseTransactionReporter::transactionFingerprint(&transaction), c.expected) << c.name;
    EXPECT_EQ(log.codes(), c.code ? std::vector<int64_t>{c.code} : std::vector<int64_t>{}) << c.name;
    if (c.code) {
      EXPECT_EQ(log.levelOf(c.code), 2) << c.name;
    }
  }
  PurchaseLogCapture log;
  EXPECT_EQ(APMInAppPurchaseTransactionReporter::transactionFingerprint(nullptr), std::nullopt);
  EXPECT_EQ(log.codes(), std::vector<int64_t>{21014});
}

TEST(InAppPurchaseClassificationTest, DatesAreWrittenAsTheReceiptWritesThem) {
  EXPECT_EQ(APMInAppPurchaseTransactionReporter::ia5StringFromDate(kFebruary + 0.999),
            std::optional<std::string>("2024-02-29T13:05:09Z"));
  EXPECT_EQ(APMInAppPurchaseTransactionReporter::ia5StringFromDate(std::nullopt), std::nullopt);
}

}  // namespace
}  // namespace purchasetest
