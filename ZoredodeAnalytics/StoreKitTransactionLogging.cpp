#include "StoreKitTransactionLogging.h"

#include <string>

int64_t StoreKitProductTypeCode(StoreKitProductType type) {
  switch (type) {
    case StoreKitProductType::NonConsumable:
      return 0;
    case StoreKitProductType::Consumable:
      return 1;
    case StoreKitProductType::NonRenewable:
      return 2;
    case StoreKitProductType::AutoRenewable:
      return 3;
    case StoreKitProductType::Other:
      break;
  }
  return 0;
}

APMTransactionInfo StoreKitTransactionInfo(const StoreKitTransaction& transaction) {
  APMTransactionInfo info;
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
