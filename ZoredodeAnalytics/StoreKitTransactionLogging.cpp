#include "StoreKitTransactionLogging.h"

#include <string>

platform::StoreProductType StoreKitProductTypeCode(StoreKitProductType type) {
  switch (type) {
    case StoreKitProductType::NonConsumable:
      return platform::StoreProductType::NonConsumable;
    case StoreKitProductType::Consumable:
      return platform::StoreProductType::Consumable;
    case StoreKitProductType::NonRenewable:
      return platform::StoreProductType::NonRenewingSubscription;
    case StoreKitProductType::AutoRenewable:
      return platform::StoreProductType::AutoRenewableSubscription;
    case StoreKitProductType::Other:
      break;
  }
  return platform::StoreProductType::NonConsumable;
}

platform::StoreTransaction StoreKitTransactionInfo(const StoreKitTransaction& transaction) {
  platform::StoreTransaction info;
  info.productID = transaction.productID;
  info.transactionID = std::to_string(transaction.id);
  info.originalTransactionID = std::to_string(transaction.originalID);
  info.webOrderLineItemID = transaction.webOrderLineItemID;
  info.productType = StoreKitProductTypeCode(transaction.productType);
  if (transaction.offer) {
    info.isFreeTrial = transaction.offer->paymentMode == StoreKitOfferPaymentMode::FreeTrial;
    info.isIntroductoryOffer = transaction.offer->type == StoreKitOfferType::Introductory;
  }
  info.paymentQuantity = transaction.purchasedQuantity;
  info.purchaseDate = transaction.purchaseDate;
  info.originalPurchaseDate = transaction.originalPurchaseDate;
  info.subscriptionExpirationDate = transaction.expirationDate;
  info.cancellationDate = transaction.revocationDate;
  info.environment = transaction.environment;
  info.isVerified = transaction.isVerified;
  return info;
}

void logStoreKitTransaction(const StoreKitTransaction& transaction) {
  DUDUravodazo::logTransaction(StoreKitTransactionInfo(transaction));
}
