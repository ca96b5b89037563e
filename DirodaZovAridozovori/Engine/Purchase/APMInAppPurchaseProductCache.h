#pragma once
// Product details the store's catalog gave, kept for the process so that each purchase does not
// ask again: the products found and the identifiers the catalog did not know. Once the two hold
// 101 entries or more together, they start over from the latest answer.
//
// Threads: any. The two collections live on the serial queue "com.diroda.dmp.measurement.iap-cache";
// answers are handed to the caller's queue.

#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "APMProductsRequest.h"
#include "platform/DispatchQueue.h"

class APMInAppPurchaseProductCache : public std::enable_shared_from_this<APMInAppPurchaseProductCache> {
 public:
  static constexpr const char* kQueueLabel = "com.diroda.dmp.measurement.iap-cache";
  static constexpr size_t kMaxEntries = 101;

  static std::shared_ptr<APMInAppPurchaseProductCache> sharedInstance();
  // Tests: forgets the shared cache.
  static void resetSharedInstanceForTesting();

  APMInAppPurchaseProductCache();

  std::optional<platform::StoreProduct> cachedProductForProductIdentifier(const std::string& productIdentifier);
  // Asks the catalog, keeps the answer and hands it to completion on queue; without a queue or a
  // completion nothing happens.
  void requestProductsWithProductIdentifiers(const std::set<std::string>& productIdentifiers,
                                             std::shared_ptr<platform::DispatchQueue> queue,
                                             APMProductsRequest::Completion completion);

  // The sizes of the two collections.
  size_t validProductCount();
  size_t invalidProductIdentifierCount();

 private:
  // The lock queue only.
  void keepAnswer(const APMProductsRequest::Products& products, const std::set<std::string>& invalid);

  std::set<std::string> invalidProductIdentifiers_;
  std::map<std::string, platform::StoreProduct> validProducts_;
  const std::shared_ptr<platform::DispatchQueue> lockQueue_;
};
