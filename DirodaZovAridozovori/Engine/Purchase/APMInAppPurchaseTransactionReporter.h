#pragma once
// Turns store purchases into the automatic purchase events "_iap" (valid), "_iapx" (invalid),
// "_assr" (renewal of an auto-renewable subscription) and "_assc" (conversion from a free trial).
// Each purchased transaction is classified against the in-app purchase entries of the
// application's store receipt (consumable, non-consumable, non-renewing or auto-renewable
// subscription, free trial, introductory offer, restore or repurchase) and carries price, value,
// currency, product and a de-duplication key. Money is in micro-units, computed on decimal digits.
//
// Two sources feed it: transactions of the store's payment queue (the host hands them in as its
// store observer; the engine drops those it has seen before) and transactions handed in through
// the public API. Product details come from the product cache over the host's catalog; without a
// catalog nothing can be priced and nothing is reported (21027).
//
// Threads: any caller. Reports run on the reporter's serial queue. The receipt items of the report
// in progress are shared between the two sources and guarded by a mutex; every report works on its
// own copy of them.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "APMInAppPurchaseItem.h"
#include "Front/APMAnalytics.h"
#include "platform/DispatchQueue.h"
#include "platform/Object.h"
#include "platform/StorePaymentTransaction.h"
#include "platform/StoreProductsProvider.h"

class APMInAppPurchaseProductCache;

// An automatic purchase event: its name and parameters.
struct APMInAppPurchaseEvent {
  std::string name;
  platform::Dictionary parameters;
};

// The parameters of a purchase of product (quantity, transaction ID, original transaction ID,
// transaction date) classified against the receipt items; none when no event is to be logged.
// Classification lines are logged at the verbose level (40003-40027).
std::optional<platform::Dictionary> APMInAppPurchaseParameters(const std::optional<platform::StoreProduct>& product,
                                                               int64_t quantity, const std::string& transactionID,
                                                               const std::string& originalTransactionID,
                                                               std::optional<double> transactionDate,
                                                               const std::vector<APMInAppPurchaseItem>& items);

// The event for these parameters. verifyReceipt: the store has not verified the transaction (the
// receipt is what vouches for it); sandbox: a test purchase.
APMInAppPurchaseEvent APMInAppPurchaseEventWithParameters(platform::Dictionary parameters, bool verifyReceipt,
                                                          bool sandbox, const std::string& storeKitVersion);

// -1 when the original transaction ID or the product is empty; otherwise the low 64 bits of the MD5
// of original ID + web order line item (decimal) + product, as a signed integer.
int64_t APMInAppPurchaseDeduplicationKey(const std::optional<std::string>& originalTransactionID,
                                         std::optional<uint64_t> webOrderLineItemID,
                                         const std::optional<std::string>& productID);

// Where the reporter's results go and what it reads. Empty members use the engine front and the
// shared product cache.
struct APMInAppPurchaseReporterHost {
  std::function<void(const std::string& origin, const std::string& name, const platform::Dictionary& parameters)>
      logInternalEvent;
  std::shared_ptr<APMInAppPurchaseProductCache> productCache;
};

class APMInAppPurchaseTransactionReporter
    : public std::enable_shared_from_this<APMInAppPurchaseTransactionReporter> {
 public:
  static constexpr const char* kQueueLabel = "com.diroda.dmp.measurement.iap-report";
  static constexpr const char* kEventOrigin = "auto";
  static constexpr const char* kPaymentQueueVersion = "1";
  static constexpr const char* kAPIVersion = "2";

  static std::shared_ptr<APMInAppPurchaseTransactionReporter> sharedInstance();
  // Tests: forgets the shared reporter.
  static void resetSharedInstanceForTesting();

  // The store observer's entry: fingerprints the transactions and hands them to the front, which
  // drops duplicates before they reach paymentQueueUpdatedFilteredTransactions.
  static void paymentQueueUpdatedTransactions(const std::vector<platform::StorePaymentTransaction>& transactions);
  // The MD5 of a purchased transaction's identifier; none (logged, 21014-21017) without a usable
  // identifier, and none, silently, for other states.
  static std::optional<std::string> transactionFingerprint(const platform::StorePaymentTransaction* transaction);
  // The date as the receipt writes dates; none for none.
  static std::optional<std::string> ia5StringFromDate(std::optional<double> date);

  explicit APMInAppPurchaseTransactionReporter(APMInAppPurchaseReporterHost host = {});
  APMInAppPurchaseTransactionReporter(const APMInAppPurchaseTransactionReporter&) = delete;
  APMInAppPurchaseTransactionReporter& operator=(const APMInAppPurchaseTransactionReporter&) = delete;

  // Payment-queue transactions that passed the engine's duplicate filter.
  void paymentQueueUpdatedFilteredTransactions(const std::vector<platform::StorePaymentTransaction>& transactions);
  // Reports transactions whose products are cached, then forgets the receipt items.
  void reportTransactionsFromArray(const std::vector<platform::StorePaymentTransaction>& transactions);
  // A transaction handed in through the public API.
  void reportTransactionWithProductID(const APMTransactionInfo& transaction);
  // The common last step: classifies and logs one purchase.
  void reportTransactionWithProduct(const std::optional<platform::StoreProduct>& product, int64_t paymentQuantity,
                                    const std::string& transactionIdentifier,
                                    const std::string& originalTransactionIdentifier,
                                    std::optional<double> transactionDate, bool verifyReceipt,
                                    const std::optional<std::string>& environment, const std::string& storeKitVersion,
                                    const std::vector<APMInAppPurchaseItem>& items);
  // Replaces the receipt items with those of the receipt when there is one with data (else keeps
  // them); a copy of the items.
  std::vector<APMInAppPurchaseItem> parsePurchasedItemsFromReceipt();
  // A copy of the receipt items; none once forgotten.
  std::optional<std::vector<APMInAppPurchaseItem>> allPurchaseItems();

  // Tests: waits until reports queued so far (and the product answers they wait for) have run.
  void flushForTesting();

 private:
  std::shared_ptr<APMInAppPurchaseProductCache> productCache() const;
  void logEvent(const APMInAppPurchaseEvent& event);

  const APMInAppPurchaseReporterHost host_;
  const std::shared_ptr<platform::DispatchQueue> queue_;
  std::mutex itemsMutex_;  // guards allPurchaseItems_
  std::optional<std::vector<APMInAppPurchaseItem>> allPurchaseItems_;
};

// The shared reporter as one of the front's collaborators: transactions the host hands in and the
// store's updates that passed the engine's duplicate filter.
class APMInAppPurchaseCollaborator final : public APMFrontCollaborator {
 public:
  void reportTransaction(const APMTransactionInfo& transaction) override;
  void reportFilteredTransactions(const std::vector<APMPurchaseTransaction>& transactions) override;
};
