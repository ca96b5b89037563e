#include "APMInAppPurchaseTransactionReporter.h"

#include <algorithm>
#include <cmath>
#include <set>
#include <string_view>
#include <utility>

#include "Utilities/APMAEU.h"
#include "Utilities/APMDataDigest.h"
#include "APMInAppPurchaseProductCache.h"
#include "APMMeasurement.h"
#include "APMMicroUnits.h"
#include "APMNameTables.h"
#include "APMPurchaseLog.h"
#include "APMReceiptReader.h"
#include "Utilities/APMStringBits.h"
#include "platform/UTCDateFormat.h"
#include "platform/Unicode.h"

namespace {

// Parameter names of the purchase events.
constexpr const char* kProductID = "product_id";
constexpr const char* kPrice = "price";
constexpr const char* kValue = "value";
constexpr const char* kQuantity = "quantity";
constexpr const char* kCurrency = "currency";
constexpr const char* kProductName = "product_name";
constexpr const char* kInvalid = "invalid";
constexpr const char* kSubscription = "subscription";
constexpr const char* kDeduplicationKey = "_did";
constexpr const char* kFreeTrial = "free_trial";
constexpr const char* kPriceIsDiscounted = "price_is_discounted";
constexpr const char* kOriginalPrice = "original_price";
constexpr const char* kSubscriptionRenewal = "sub_renew";
constexpr const char* kSubscriptionConversion = "sub_convert";
constexpr const char* kValidated = "validated";
constexpr const char* kSandbox = "sandbox";
constexpr const char* kStoreKitVersion = "_skv";

constexpr const char* kValidEventName = kAPMInAppPurchaseEventName;
constexpr const char* kInvalidEventName = "_iapx";
constexpr const char* kRenewalEventName = "_assr";
constexpr const char* kConversionEventName = "_assc";

// Receipt purchase types.
constexpr int64_t kNonConsumable = 0;
constexpr int64_t kConsumable = 1;
constexpr int64_t kNonRenewingSubscription = 2;
constexpr int64_t kAutoRenewableSubscription = 3;

void logClassification(APMPurchaseLogCode code, std::string_view message) {
  APMLog(APMLogLevel::kVerbose, code, message);
}

bool isOne(const platform::Dictionary& parameters, const char* name) {
  auto found = parameters.find(name);
  return found != parameters.end() && found->second.isNumber() && found->second.integerValue() == 1;
}

bool has(const platform::Dictionary& parameters, const char* name) { return parameters.count(name) > 0; }

// Receipt dates carry whole seconds: a date with a fraction is compared at its second.
std::optional<double> wholeSeconds(std::optional<double> date) {
  if (!date || !std::isfinite(*date)) return std::nullopt;
  return std::floor(*date);
}

std::optional<double> receiptDate(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  auto date = platform::parseUTCDate(*text);
  if (!date) return std::nullopt;
  return date->seconds;
}

// The receipt's transaction ID equals its original transaction ID (both present).
bool isOriginalTransaction(const APMInAppPurchaseItem& item) {
  return item.transactionID && item.originalTransactionID && *item.transactionID == *item.originalTransactionID;
}

// A restore, repurchase or renewal: both IDs given and different.
bool isContinuation(const std::string& transactionID, const std::string& originalTransactionID) {
  return !transactionID.empty() && !originalTransactionID.empty() && transactionID != originalTransactionID;
}

// The receipt items of this product, oldest purchase first; items whose date cannot be read come
// first, in their receipt order.
std::vector<APMInAppPurchaseItem> itemsOfProduct(const std::vector<APMInAppPurchaseItem>& items,
                                                 const std::string& productID) {
  std::vector<std::pair<double, APMInAppPurchaseItem>> dated;
  for (const auto& item : items) {
    if (item.productID != productID) continue;
    dated.emplace_back(receiptDate(item.purchaseDateIA5String).value_or(-INFINITY), item);
  }
  std::stable_sort(dated.begin(), dated.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<APMInAppPurchaseItem> sorted;
  for (auto& entry : dated) sorted.push_back(std::move(entry.second));
  return sorted;
}

void markRenewal(const std::vector<APMInAppPurchaseItem>& items, size_t index, platform::Dictionary& parameters) {
  if (items.empty() || isOriginalTransaction(items[index])) return;
  const bool afterFreeTrial = index > 0 && items[index - 1].isFreeTrial();
  parameters[afterFreeTrial ? kSubscriptionConversion : kSubscriptionRenewal] = 1;
}

// Step 9: a subscription, matched to its receipt item by purchase date.
void classifySubscription(const std::vector<APMInAppPurchaseItem>& items, std::optional<int64_t> type,
                          const std::string& transactionID, const std::string& originalTransactionID,
                          std::optional<double> transactionDate, platform::Dictionary& parameters) {
  std::vector<size_t> matching;
  const std::optional<double> date = wholeSeconds(transactionDate);
  for (size_t i = 0; i < items.size(); ++i) {
    auto itemDate = receiptDate(items[i].purchaseDateIA5String);
    if (date && itemDate && *itemDate == *date) matching.push_back(i);
  }
  if (matching.size() != 1) {
    if (matching.empty()) {
      logClassification(APMPurchaseLogCode::kSubscriptionTransactionMissingReceiptReportedInvalid,
                        "Subscription transaction missing in receipt will be reported as invalid");
    } else {
      APMLog(APMLogLevel::kVerbose, APMPurchaseLogCode::kSubscriptionTransactionDuplicateTransactionDateReported,
             "Subscription transaction with duplicate transaction date will be reported as invalid",
             static_cast<int64_t>(matching.size()));
    }
    parameters[kInvalid] = 1;
    parameters[kSubscription] = 1;
    return;
  }
  const size_t index = matching.front();
  const APMInAppPurchaseItem& item = items[index];
  if (type == kNonRenewingSubscription) {
    parameters[kSubscription] = 1;
    parameters[kDeduplicationKey] = APMInAppPurchaseDeduplicationKey(item.originalTransactionID, std::nullopt, item.productID);
    logClassification(APMPurchaseLogCode::kTransactionNonRenewingSubscriptionReported,
                      "Transaction of non-renewing subscription will be reported");
    return;
  }
  if (isOriginalTransaction(item)) parameters[kSubscription] = 1;
  parameters[kDeduplicationKey] =
      APMInAppPurchaseDeduplicationKey(item.originalTransactionID, item.webOrderLineItemID, item.productID);
  if (!item.isFreeTrial() && !item.isIntroductoryOffer()) {
    logClassification(APMPurchaseLogCode::kTransactionAutoRenewableSubscriptionReported,
                      "Transaction of auto-renewable subscription will be reported");
    markRenewal(items, index, parameters);
  }
  if (item.isFreeTrial()) {
    parameters[kFreeTrial] = 1;
    if (isContinuation(transactionID, originalTransactionID)) {
      logClassification(APMPurchaseLogCode::kRepurchaseFreeTrialAutoRenewableSubscription,
                        "Repurchase of free-trial auto-renewable subscription will be reported as invalid");
      parameters[kInvalid] = 1;
      return;
    }
    logClassification(APMPurchaseLogCode::kTransactionFreeTrialAutoRenewableSubscription,
                      "Transaction of free-trial auto-renewable subscription will be reported");
  }
  if (item.isIntroductoryOffer()) {
    parameters[kPriceIsDiscounted] = 1;
    markRenewal(items, index, parameters);
    logClassification(APMPurchaseLogCode::kTransactionIntroductoryOfferReported,
                      "Transaction of introductory offer will be reported");
  }
  logClassification(APMPurchaseLogCode::kTransactionAutoRenewableSubscriptionRenewalReported,
                    "Transaction of auto-renewable subscription renewal will be reported");
}

// Steps 4 to 9: what the receipt says about the purchase.
void classify(const platform::StoreProduct& product, const std::string& transactionID,
              const std::string& originalTransactionID, std::optional<double> transactionDate,
              const std::vector<APMInAppPurchaseItem>& receiptItems, platform::Dictionary& parameters) {
  const std::vector<APMInAppPurchaseItem> items = itemsOfProduct(receiptItems, product.productIdentifier);
  if (items.empty()) {
    APMLog(APMLogLevel::kVerbose, APMPurchaseLogCode::kTransactionMissingReceiptReportedInvalid,
           "Transaction missing in receipt will be reported as invalid", product.productIdentifier);
    parameters[kInvalid] = 1;
    return;
  }
  const APMInAppPurchaseItem& last = items.back();
  const std::optional<int64_t> type = last.purchaseType;
  if (type == kNonConsumable && isContinuation(transactionID, originalTransactionID)) {
    logClassification(APMPurchaseLogCode::kRestoreRepurchaseNonConsumableItemReported,
                      "Restore/repurchase of non-consumable item will be reported as invalid");
    parameters[kInvalid] = 1;
    return;
  }
  const bool subscription =
      type == kNonRenewingSubscription || type == kAutoRenewableSubscription || last.webOrderLineItemID.has_value();
  if (subscription) {
    classifySubscription(items, type, transactionID, originalTransactionID, transactionDate, parameters);
    return;
  }
  if (!isOriginalTransaction(last)) {
    logClassification(
        APMPurchaseLogCode::kTransactionMismatchedTransactionIDOriginalTransaction,
        "Transaction with mismatched transaction ID and original transaction ID will be reported as consumable");
    return;
  }
  if (type == kConsumable)
    logClassification(APMPurchaseLogCode::kTransactionConsumableItemReported,
                      "Transaction of consumable item will be reported");
  if (type == kNonConsumable)
    logClassification(APMPurchaseLogCode::kTransactionNonConsumableItemReported,
                      "Transaction of non-consumable item will be reported");
  parameters[kDeduplicationKey] = APMInAppPurchaseDeduplicationKey(last.originalTransactionID, std::nullopt, last.productID);
}

// Step 11: a free trial costs nothing; an introductory offer costs its own price.
void applyDiscount(const platform::StoreProduct& product, int64_t quantity, platform::Dictionary& parameters) {
  const auto& introductory = product.introductoryPrice;
  const bool discounted = has(parameters, kPriceIsDiscounted);
  const bool free = has(parameters, kFreeTrial) ||
                    (discounted && introductory && introductory->paymentMode == platform::StoreProductPaymentMode::FreeTrial);
  if (free) {
    if (has(parameters, kPrice)) parameters[kOriginalPrice] = parameters[kPrice];
    parameters[kPriceIsDiscounted] = 1;
    parameters[kPrice] = 0;
    parameters[kValue] = 0;
    return;
  }
  if (!discounted || !introductory || !introductory->price) return;
  auto price = APMMicroUnitsFromText(*introductory->price, APMMicroUnitsRounding::TowardZero);
  if (!price) return;
  if (has(parameters, kPrice)) parameters[kOriginalPrice] = parameters[kPrice];
  parameters[kPrice] = *price;
  if (quantity == 0) return;
  // A value that does not fit leaves the purchase without one, so it is not reported at all.
  if (auto value = APMCheckedMultiply(quantity, *price)) {
    parameters[kValue] = *value;
  } else {
    parameters.erase(kValue);
  }
}

// Step 2: what the product and the payment say.
platform::Dictionary baseParameters(const platform::StoreProduct& product, int64_t quantity) {
  platform::Dictionary parameters{{kProductID, product.productIdentifier}};
  auto price = product.price ? APMMicroUnitsFromText(*product.price, APMMicroUnitsRounding::TowardZero) : std::nullopt;
  if (price) {
    parameters[kPrice] = *price;
    if (quantity != 0) {
      if (auto value = APMCheckedMultiply(quantity, *price)) parameters[kValue] = *value;
      parameters[kQuantity] = quantity;
    }
  }
  if (product.currencyCode && !product.currencyCode->empty()) parameters[kCurrency] = *product.currencyCode;
  if (product.localizedTitle) parameters[kProductName] = *product.localizedTitle;
  return parameters;
}

bool isSandboxEnvironment(const std::optional<std::string>& environment) {
  if (!environment) return false;
  const std::string lowered = platform::toLower(*environment);
  return lowered == "sandbox" || lowered == "xcode";
}

std::vector<platform::StorePaymentTransaction> storeTransactions(const std::vector<APMPurchaseTransaction>& filtered) {
  std::vector<platform::StorePaymentTransaction> transactions;
  transactions.reserve(filtered.size());
  for (const auto& entry : filtered) transactions.push_back(entry.transaction);
  return transactions;
}

std::mutex gSharedReporterMutex;
// Never destroyed: the SDK's threads may read it until the process has ended. Guarded by gSharedReporterMutex.
std::shared_ptr<APMInAppPurchaseTransactionReporter>& sharedReporter() {
  static auto& instance = *new std::shared_ptr<APMInAppPurchaseTransactionReporter>;
  return instance;
}

}  // namespace

std::optional<platform::Dictionary> APMInAppPurchaseParameters(const std::optional<platform::StoreProduct>& product,
                                                               int64_t quantity, const std::string& transactionID,
                                                               const std::string& originalTransactionID,
                                                               std::optional<double> transactionDate,
                                                               const std::vector<APMInAppPurchaseItem>& items) {
  if (!product) {
    logClassification(APMPurchaseLogCode::kIAPTransactionCannotCreatedNilProduct,
                      "IAP Transaction cannot be created from nil product");
    return std::nullopt;
  }
  if (product->productIdentifier.empty()) {
    logClassification(APMPurchaseLogCode::kIAPTransactionCannotCreatedEmptyNil,
                      "IAP Transaction cannot be created from empty or nil product ID");
    return std::nullopt;
  }
  platform::Dictionary parameters = baseParameters(*product, quantity);
  if (transactionID.empty())
    logClassification(APMPurchaseLogCode::kTransactionIDCannotNilEmpty, "Transaction ID cannot be nil or empty.");
  classify(*product, transactionID, originalTransactionID, transactionDate, items, parameters);
  applyDiscount(*product, quantity, parameters);
  if (!has(parameters, kPrice) || !has(parameters, kValue) || !has(parameters, kCurrency) ||
      !has(parameters, kProductID)) {
    return std::nullopt;
  }
  return parameters;
}

APMInAppPurchaseEvent APMInAppPurchaseEventWithParameters(platform::Dictionary parameters, bool verifyReceipt,
                                                          bool sandbox, const std::string& storeKitVersion) {
  APMInAppPurchaseEvent event{kValidEventName, {}};
  if (isOne(parameters, kInvalid)) {
    if (sandbox) parameters[kSandbox] = 1;
    parameters.erase(kInvalid);
    event.name = kInvalidEventName;
  } else if (!verifyReceipt) {
    parameters[kValidated] = 1;
    if (sandbox) parameters[kSandbox] = 1;
  }
  if (isOne(parameters, kSubscriptionRenewal)) {
    parameters.erase(kSubscriptionRenewal);
    event.name = kRenewalEventName;
  }
  if (isOne(parameters, kSubscriptionConversion)) {
    parameters.erase(kSubscriptionConversion);
    event.name = kConversionEventName;
  }
  parameters[kStoreKitVersion] = storeKitVersion;
  event.parameters = std::move(parameters);
  return event;
}

int64_t APMInAppPurchaseDeduplicationKey(const std::optional<std::string>& originalTransactionID,
                                         std::optional<uint64_t> webOrderLineItemID,
                                         const std::optional<std::string>& productID) {
  if (!originalTransactionID || originalTransactionID->empty() || !productID || productID->empty()) return -1;
  std::string bytes = *originalTransactionID;
  if (webOrderLineItemID) bytes += std::to_string(*webOrderLineItemID);
  bytes += *productID;
  return static_cast<int64_t>(apm_64LSBMD5(bytes));
}

// MARK: - Shared instance and the front's collaborator

std::shared_ptr<APMInAppPurchaseTransactionReporter> APMInAppPurchaseTransactionReporter::sharedInstance() {
  std::lock_guard<std::mutex> lock(gSharedReporterMutex);
  auto& instance = sharedReporter();
  if (!instance) instance = std::make_shared<APMInAppPurchaseTransactionReporter>();
  return instance;
}

void APMInAppPurchaseTransactionReporter::resetSharedInstanceForTesting() {
  std::lock_guard<std::mutex> lock(gSharedReporterMutex);
  sharedReporter() = nullptr;
}

void APMInAppPurchaseCollaborator::reportTransaction(const APMTransactionInfo& transaction) {
  APMInAppPurchaseTransactionReporter::sharedInstance()->reportTransactionWithProductID(transaction);
}

void APMInAppPurchaseCollaborator::reportFilteredTransactions(const std::vector<APMPurchaseTransaction>& transactions) {
  APMInAppPurchaseTransactionReporter::sharedInstance()->paymentQueueUpdatedFilteredTransactions(
      storeTransactions(transactions));
}

APMInAppPurchaseTransactionReporter::APMInAppPurchaseTransactionReporter(APMInAppPurchaseReporterHost host)
    : host_(std::move(host)), queue_(platform::DispatchQueue::create(kQueueLabel)) {}

// MARK: - Payment queue

void APMInAppPurchaseTransactionReporter::paymentQueueUpdatedTransactions(
    const std::vector<platform::StorePaymentTransaction>& transactions) {
  std::vector<APMPurchaseTransaction> offered;
  offered.reserve(transactions.size());
  for (const auto& transaction : transactions) {
    offered.push_back({transaction.productIdentifier, static_cast<int64_t>(transaction.transactionState),
                       transactionFingerprint(&transaction).value_or(""), transaction});
  }
  APMAnalytics::paymentQueueUpdatedTransactions(std::move(offered));
}

std::optional<std::string> APMInAppPurchaseTransactionReporter::transactionFingerprint(
    const platform::StorePaymentTransaction* transaction) {
  if (!transaction) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMPurchaseLogCode::kTransactionNil, "Transaction is nil");
    return std::nullopt;
  }
  if (transaction->transactionState != platform::StorePaymentTransactionState::Purchased) return std::nullopt;
  const auto& identifier = transaction->transactionIdentifier;
  if (!identifier) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMPurchaseLogCode::kTransactionIdentifierNil,
           "Transaction identifier is nil. Code", transaction->errorCode);
    return std::nullopt;
  }
  if (identifier->empty()) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMPurchaseLogCode::kTransactionIdentifierEmpty,
           "Transaction identifier is empty. Code", transaction->errorCode);
    return std::nullopt;
  }
  if (identifier->find_first_not_of("0-") == std::string::npos) {
    APMLog(APMLogLevel::kErrorSampledOnly, APMPurchaseLogCode::kTransactionIdentifierOnlyZeroes,
           "Transaction identifier is only zeroes. Code", transaction->errorCode);
    return std::nullopt;
  }
  return apm_MD5String(*identifier);
}

void APMInAppPurchaseTransactionReporter::paymentQueueUpdatedFilteredTransactions(
    const std::vector<platform::StorePaymentTransaction>& transactions) {
  auto cache = productCache();
  std::vector<platform::StorePaymentTransaction> kept;
  std::set<std::string> missing;
  for (const auto& transaction : transactions) {
    if (transaction.transactionState != platform::StorePaymentTransactionState::Purchased ||
        transaction.productIdentifier.empty()) {
      continue;
    }
    kept.push_back(transaction);
    if (!cache->cachedProductForProductIdentifier(transaction.productIdentifier)) {
      missing.insert(transaction.productIdentifier);
    }
  }
  if (kept.empty()) return;
  std::weak_ptr<APMInAppPurchaseTransactionReporter> weakSelf = weak_from_this();
  if (missing.empty()) {
    queue_->async([weakSelf, kept = std::move(kept)] {
      if (auto self = weakSelf.lock()) self->reportTransactionsFromArray(kept);
    });
    return;
  }
  cache->requestProductsWithProductIdentifiers(
      missing, queue_,
      [weakSelf, kept = std::move(kept)](std::optional<APMProductsRequest::Products> products,
                                         std::optional<std::set<std::string>>, std::optional<platform::Error> error) {
        if (error && (!products || products->empty())) {
          APMLog(APMLogLevel::kErrorSampled, APMPurchaseLogCode::kCannotRequestProductInformation,
                 "Cannot request product information. Error", *error);
          return;
        }
        if (auto self = weakSelf.lock()) self->reportTransactionsFromArray(kept);
      });
}

void APMInAppPurchaseTransactionReporter::reportTransactionsFromArray(
    const std::vector<platform::StorePaymentTransaction>& transactions) {
  const std::vector<APMInAppPurchaseItem> items = parsePurchasedItemsFromReceipt();
  auto cache = productCache();
  for (const auto& transaction : transactions) {
    std::optional<double> date;
    if (transaction.transactionDate) date = transaction.transactionDate->seconds;
    reportTransactionWithProduct(cache->cachedProductForProductIdentifier(transaction.productIdentifier),
                                 transaction.quantity, transaction.transactionIdentifier.value_or(""),
                                 transaction.originalTransactionIdentifier.value_or(""), date, true, std::nullopt,
                                 kPaymentQueueVersion, items);
  }
  std::lock_guard<std::mutex> lock(itemsMutex_);
  allPurchaseItems_.reset();
}

// MARK: - Transactions handed in through the API

void APMInAppPurchaseTransactionReporter::reportTransactionWithProductID(const APMTransactionInfo& transaction) {
  std::vector<APMInAppPurchaseItem> items = parsePurchasedItemsFromReceipt();
  const bool inReceipt = std::any_of(items.begin(), items.end(), [&](const APMInAppPurchaseItem& item) {
    return item.transactionID == transaction.transactionID;
  });
  if (transaction.isVerified && !inReceipt) {
    // The store vouched for it: it stands in for the receipt entry the receipt does not have yet.
    APMInAppPurchaseItem item;
    item.freeTrial = transaction.isFreeTrial;
    item.introductoryOffer = transaction.isIntroductoryOffer;
    item.productID = transaction.productID;
    item.transactionID = transaction.transactionID;
    item.originalTransactionID = transaction.originalTransactionID;
    item.webOrderLineItemID = transaction.webOrderLineItemID;
    item.purchaseDateIA5String = ia5StringFromDate(transaction.purchaseDate);
    item.originalPurchaseDateIA5String = ia5StringFromDate(transaction.originalPurchaseDate);
    item.subscriptionExpirationDateIA5String = ia5StringFromDate(transaction.subscriptionExpirationDate);
    item.cancellationDateIA5String = ia5StringFromDate(transaction.cancellationDate);
    item.purchaseType = static_cast<int64_t>(transaction.productType);
    items.insert(items.begin(), item);
    std::lock_guard<std::mutex> lock(itemsMutex_);
    if (!allPurchaseItems_) allPurchaseItems_.emplace();
    allPurchaseItems_->insert(allPurchaseItems_->begin(), std::move(item));
  }
  std::optional<double> date;
  if (auto text = ia5StringFromDate(transaction.purchaseDate)) date = receiptDate(text);

  auto report = [weakSelf = weak_from_this(), transaction, date, items = std::move(items)](
                    const std::optional<platform::StoreProduct>& product) {
    auto self = weakSelf.lock();
    if (!self) return;
    self->reportTransactionWithProduct(product, transaction.paymentQuantity, transaction.transactionID,
                                       transaction.originalTransactionID, date, !transaction.isVerified,
                                       transaction.environment, kAPIVersion, items);
  };
  auto cache = productCache();
  if (auto product = cache->cachedProductForProductIdentifier(transaction.productID)) {
    queue_->async([report = std::move(report), product = std::move(*product)] { report(product); });
    return;
  }
  cache->requestProductsWithProductIdentifiers(
      {transaction.productID}, queue_,
      [report = std::move(report)](std::optional<APMProductsRequest::Products> products,
                                   std::optional<std::set<std::string>>, std::optional<platform::Error> error) {
        if (!products || products->empty()) {
          APMLog(APMLogLevel::kErrorSampled, APMPurchaseLogCode::kCannotRequestProductInformation,
                 "Cannot request product information. Error",
                 error ? APMMonitorContext(*error) : APMMonitorContext(nullptr));
          return;
        }
        report(products->begin()->second);
      });
}

// MARK: - The common last step

void APMInAppPurchaseTransactionReporter::reportTransactionWithProduct(
    const std::optional<platform::StoreProduct>& product, int64_t paymentQuantity,
    const std::string& transactionIdentifier, const std::string& originalTransactionIdentifier,
    std::optional<double> transactionDate, bool verifyReceipt, const std::optional<std::string>& environment,
    const std::string& storeKitVersion, const std::vector<APMInAppPurchaseItem>& items) {
  auto parameters = APMInAppPurchaseParameters(product, paymentQuantity, transactionIdentifier,
                                               originalTransactionIdentifier, transactionDate, items);
  if (!parameters) return;
  const bool sandbox = isSandboxEnvironment(environment) || APMAEU::isASRS();
  logEvent(APMInAppPurchaseEventWithParameters(std::move(*parameters), verifyReceipt, sandbox, storeKitVersion));
}

void APMInAppPurchaseTransactionReporter::logEvent(const APMInAppPurchaseEvent& event) {
  if (host_.logInternalEvent) return host_.logInternalEvent(kEventOrigin, event.name, event.parameters);
  APMAnalytics::logInternalEventWithOrigin(kEventOrigin, event.name, event.parameters);
}

// MARK: - Receipt items

std::vector<APMInAppPurchaseItem> APMInAppPurchaseTransactionReporter::parsePurchasedItemsFromReceipt() {
  std::optional<std::vector<APMInAppPurchaseItem>> parsed;
  if (auto receipt = APMReceiptReaderReceiptData()) parsed = APMReceiptReaderPurchaseItems(*receipt);
  if (parsed)
    APMLog(APMLogLevel::kDebug, APMPurchaseLogCode::kParsedPurchaseItemsReceipt, "Parsed purchase items from receipt");
  std::lock_guard<std::mutex> lock(itemsMutex_);
  if (parsed) allPurchaseItems_ = std::move(parsed);
  return allPurchaseItems_.value_or(std::vector<APMInAppPurchaseItem>{});
}

std::optional<std::vector<APMInAppPurchaseItem>> APMInAppPurchaseTransactionReporter::allPurchaseItems() {
  std::lock_guard<std::mutex> lock(itemsMutex_);
  return allPurchaseItems_;
}

std::optional<std::string> APMInAppPurchaseTransactionReporter::ia5StringFromDate(std::optional<double> date) {
  if (!date) return std::nullopt;
  return platform::formatUTCDate(platform::Date{*date});
}

std::shared_ptr<APMInAppPurchaseProductCache> APMInAppPurchaseTransactionReporter::productCache() const {
  return host_.productCache ? host_.productCache : APMInAppPurchaseProductCache::sharedInstance();
}

void APMInAppPurchaseTransactionReporter::flushForTesting() {
  auto cache = productCache();
  for (int round = 0; round < 4; ++round) {
    cache->validProductCount();  // waits for the cache's queue
    queue_->sync([] {});
  }
}
