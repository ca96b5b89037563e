#include "APMDatabasePurchases.h"

#include "APMStoreLog.h"
#include "platform/Clock.h"

using platform::Object;

std::optional<bool> APMDatabasePurchases::insertIfNotDuplicatePurchaseFingerprint(const std::string& fingerprint,
                                                                                  platform::Error* error) {
  if (!connection_->checkQueue("insertIfNotDuplicatePurchaseFingerprint", error)) return std::nullopt;
  if (fingerprint.empty()) {
    APMFail(error, kAPMStoreErrorInvalidArgument, "Received empty purchase fingerprint");
    return std::nullopt;
  }
  auto inserted =
      connection_->execute("INSERT OR IGNORE INTO purchase_transactions (fingerprint, created_timestamp) VALUES (?, ?)",
                           {Object(fingerprint), Object(platform::now())}, error);
  if (!inserted) return std::nullopt;
  return *inserted > 0;
}

std::optional<bool> APMDatabasePurchases::insertIfNotDuplicateSubscriptionID(const std::string& subscriptionID,
                                                                             platform::Error* error) {
  if (!connection_->checkQueue("insertIfNotDuplicateSubscriptionID", error)) return std::nullopt;
  if (subscriptionID.empty()) {
    APMFail(error, kAPMStoreErrorInvalidArgument, "Received empty subscription ID");
    return std::nullopt;
  }
  auto inserted =
      connection_->execute("INSERT OR IGNORE INTO subscriptions (subscription_id, created_timestamp) VALUES (?, ?)",
                           {Object(subscriptionID), Object(platform::now())}, error);
  if (!inserted) return std::nullopt;
  return *inserted > 0;
}

std::optional<int64_t> APMDatabasePurchases::deleteSubscriptionsOverLimit(platform::Error* error) {
  if (!connection_->checkQueue("deleteSubscriptionsOverLimit", error)) return std::nullopt;
  const int64_t limit = std::max<int64_t>(0, connection_->limits().maxStoredSubscriptionIDs);
  return connection_->execute(
      "DELETE FROM subscriptions WHERE rowid NOT IN (SELECT rowid FROM subscriptions ORDER BY rowid DESC LIMIT ?)",
      {Object(limit)}, error);
}
