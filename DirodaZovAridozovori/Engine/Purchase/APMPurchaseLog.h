#pragma once
// The message codes of purchase reporting (21000s, 40000s), the store receipt reader (39000s)
// and the lifetime value recorder (22000s). Most classification lines are verbose: a log sink is
// how a host's diagnostics follow why a purchase became the event it did. Lines go out through APMLog.

#include <cstdint>

#include "DirodaZovAridozovori/Core/APMLogChannel.h"

enum class APMPurchaseLogCode : int64_t {
  kTransactionNil = 21014,
  kTransactionIdentifierNil = 21015,
  kTransactionIdentifierEmpty = 21016,
  kTransactionIdentifierOnlyZeroes = 21017,
  kCannotRequestProductInformation = 21027,
  kParsedPurchaseItemsReceipt = 21028,
  kCannotRecordTransactionInvalidCurrencyCode = 22000,
  kCannotRecordTransactionInvalidTransactionValue = 22001,
  kCannotRecordTransactionValueOutBounds = 22002,
  kFailedQueryAllLifetimeValueUser = 22003,
  kUnableDeleteLifetimeValueUserProperty = 22004,
  kUnableUpsertLifetimeValueUserAttribute = 22005,
  kLifetimeValueUpdatedDatabase = 22006,
  kVersionDataNil = 39002,
  kVersionDataNotData = 39003,
  kVersionDataEmpty = 39004,
  kVDataTooShort = 39006,
  kVDataByteWrong = 39007,
  kVDataByteWrongValueExpected = 39008,
  kSubdataFTUnexpectedValue = 39025,
  kDataLongerThan = 39027,
  kSubdataIOUnexpectedValue = 39028,
  kTransactionIDCannotNilEmpty = 40003,
  kRestoreRepurchaseNonConsumableItemReported = 40005,
  kTransactionMismatchedTransactionIDOriginalTransaction = 40007,
  kTransactionAutoRenewableSubscriptionReported = 40008,
  kTransactionFreeTrialAutoRenewableSubscription = 40009,
  kTransactionAutoRenewableSubscriptionRenewalReported = 40010,
  kRepurchaseFreeTrialAutoRenewableSubscription = 40011,
  kTransactionIntroductoryOfferReported = 40018,
  kTransactionMissingReceiptReportedInvalid = 40020,
  kTransactionConsumableItemReported = 40021,
  kTransactionNonConsumableItemReported = 40022,
  kSubscriptionTransactionMissingReceiptReportedInvalid = 40023,
  kSubscriptionTransactionDuplicateTransactionDateReported = 40024,
  kTransactionNonRenewingSubscriptionReported = 40025,
  kIAPTransactionCannotCreatedNilProduct = 40026,
  kIAPTransactionCannotCreatedEmptyNil = 40027,
};
template <>
inline constexpr bool kAPMIsLogCode<APMPurchaseLogCode> = true;
