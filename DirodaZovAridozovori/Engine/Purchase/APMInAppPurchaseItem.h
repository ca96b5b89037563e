#pragma once
// One in-app purchase entry of the application's store receipt, as far as purchase reporting
// uses it. Dates stay in the receipt's text form ("2024-02-29T13:05:09Z"); whatever the receipt
// did not carry is absent.

#include <cstdint>
#include <optional>
#include <string>

struct APMInAppPurchaseItem {
  bool freeTrial = false;
  bool introductoryOffer = false;
  std::optional<std::string> subscriptionExpirationDateIA5String;
  std::optional<std::string> productID;
  std::optional<std::string> originalTransactionID;
  std::optional<std::string> transactionID;
  std::optional<uint64_t> webOrderLineItemID;
  std::optional<std::string> originalPurchaseDateIA5String;
  std::optional<std::string> purchaseDateIA5String;
  std::optional<std::string> cancellationDateIA5String;
  // 0 non-consumable, 1 consumable, 2 non-renewing subscription, 3 auto-renewable subscription.
  std::optional<int64_t> purchaseType;

  bool isFreeTrial() const { return freeTrial; }
  bool isIntroductoryOffer() const { return introductoryOffer; }
  bool operator==(const APMInAppPurchaseItem&) const = default;
};
