#pragma once
// Reports one transaction of the store's newer transaction interface as an in-app purchase. The
// host copies the transaction's values into a StoreKitTransaction and calls
// logStoreKitTransaction; the values reach DUDUravodazo::logTransaction unchanged but for the
// mapping below.

#include <cstdint>
#include <optional>
#include <string>

#include "DUDUravodazo.h"

enum class StoreKitProductType { NonConsumable, Consumable, NonRenewable, AutoRenewable, Other };
enum class StoreKitOfferType { Introductory, Promotional, Code, WinBack, Other };
enum class StoreKitOfferPaymentMode { FreeTrial, PayAsYouGo, PayUpFront, Other };

// The offer a transaction was bought with.
struct StoreKitTransactionOffer {
  StoreKitOfferType type = StoreKitOfferType::Other;
  StoreKitOfferPaymentMode paymentMode = StoreKitOfferPaymentMode::Other;
};

// The values of a store transaction that purchase reporting reads. Dates are seconds since 1970.
struct StoreKitTransaction {
  uint64_t id = 0;
  uint64_t originalID = 0;
  std::optional<uint64_t> webOrderLineItemID;
  std::string productID;
  StoreKitProductType productType = StoreKitProductType::Other;
  int64_t purchasedQuantity = 1;
  double purchaseDate = 0;
  double originalPurchaseDate = 0;
  std::optional<double> expirationDate;
  std::optional<double> revocationDate;
  std::optional<StoreKitTransactionOffer> offer;
  // The raw text of the store environment ("Production", "Sandbox", "Xcode"), when the store gives one.
  std::optional<std::string> environment;
  // The store's verification of the transaction succeeded. A transaction is unverified unless the
  // host says otherwise: only then is it reported as validated.
  bool isVerified = false;
};

// The product type purchase reporting uses: any other kind counts as non-consumable.
platform::StoreProductType StoreKitProductTypeCode(StoreKitProductType type);

// The fourteen values logTransaction takes, from the transaction.
platform::StoreTransaction StoreKitTransactionInfo(const StoreKitTransaction& transaction);

// Hands the transaction to DUDUravodazo::logTransaction once, on the calling thread.
void logStoreKitTransaction(const StoreKitTransaction& transaction);
