#pragma once
// A transaction of the application store's payment queue, as far as purchase reporting uses it.
// This platform has no store of its own: a host that sells through one hands these in as its
// store's observer reports them.

#include <cstdint>
#include <optional>
#include <string>

#include "platform/Object.h"

namespace platform {

enum class StorePaymentTransactionState : int64_t { Purchasing = 0, Purchased = 1, Failed = 2, Restored = 3, Deferred = 4 };

struct StorePaymentTransaction {
  // The store's identifier of this transaction.
  std::optional<std::string> transactionIdentifier;
  StorePaymentTransactionState transactionState = StorePaymentTransactionState::Purchasing;
  // Of the payment: the product bought and how many.
  std::string productIdentifier;
  int64_t quantity = 1;
  // For a restore or a renewal: the identifier of the transaction it continues.
  std::optional<std::string> originalTransactionIdentifier;
  std::optional<Date> transactionDate;
  // The store's error code for a failed transaction (0 for none).
  int64_t errorCode = 0;
};

}  // namespace platform
