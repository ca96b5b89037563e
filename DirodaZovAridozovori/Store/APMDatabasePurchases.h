#pragma once
// The part of the measurement database that keeps the purchases and subscriptions already seen
// ("purchase_transactions", "subscriptions"), so that each is reported once.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "APMDatabaseConnection.h"

class APMDatabasePurchases {
 public:
  explicit APMDatabasePurchases(std::shared_ptr<APMDatabaseConnection> connection)
      : connection_(std::move(connection)) {}

  // True when new (and now stored), false when seen.
  std::optional<bool> insertIfNotDuplicatePurchaseFingerprint(const std::string& fingerprint, platform::Error* error);
  std::optional<bool> insertIfNotDuplicateSubscriptionID(const std::string& subscriptionID, platform::Error* error);
  // Keeps the newest subscription IDs up to the limit; the number deleted.
  std::optional<int64_t> deleteSubscriptionsOverLimit(platform::Error* error);

 private:
  std::shared_ptr<APMDatabaseConnection> connection_;
};
