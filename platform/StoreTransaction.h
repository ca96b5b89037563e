#pragma once
// One store transaction as the host hands it in for purchase reporting: the fourteen values the
// store gives for it. Dates are seconds since 1970.

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

// What a store sold, as purchase reporting tells products apart (the values are its codes).
enum class StoreProductType : int64_t {
  NonConsumable = 0,
  Consumable = 1,
  NonRenewingSubscription = 2,
  AutoRenewableSubscription = 3,
};

struct StoreTransaction {
  std::string productID;
  std::string transactionID;
  std::string originalTransactionID;
  std::optional<uint64_t> webOrderLineItemID;
  StoreProductType productType = StoreProductType::NonConsumable;
  bool isFreeTrial = false;
  bool isIntroductoryOffer = false;
  int64_t paymentQuantity = 1;
  std::optional<double> purchaseDate;
  std::optional<double> originalPurchaseDate;
  std::optional<double> subscriptionExpirationDate;
  std::optional<double> cancellationDate;
  // The store environment ("Production", "Sandbox", "Xcode"), when known.
  std::optional<std::string> environment;
  // The store verified the transaction (its signature checked out). Unverified unless said so.
  bool isVerified = false;
};

}  // namespace platform
