#include "APMInAppPurchaseProductCache.h"

#include <mutex>
#include <utility>

namespace {
std::mutex gSharedCacheMutex;
// Never destroyed: the SDK's threads may read it until the process has ended. Guarded by gSharedCacheMutex.
std::shared_ptr<APMInAppPurchaseProductCache>& sharedCache() {
  static auto& instance = *new std::shared_ptr<APMInAppPurchaseProductCache>;
  return instance;
}
}  // namespace

std::shared_ptr<APMInAppPurchaseProductCache> APMInAppPurchaseProductCache::sharedInstance() {
  std::lock_guard<std::mutex> lock(gSharedCacheMutex);
  auto& instance = sharedCache();
  if (!instance) instance = std::make_shared<APMInAppPurchaseProductCache>();
  return instance;
}

void APMInAppPurchaseProductCache::resetSharedInstanceForTesting() {
  std::lock_guard<std::mutex> lock(gSharedCacheMutex);
  sharedCache() = nullptr;
}

APMInAppPurchaseProductCache::APMInAppPurchaseProductCache()
    : lockQueue_(platform::DispatchQueue::create(kQueueLabel)) {}

std::optional<platform::StoreProduct> APMInAppPurchaseProductCache::cachedProductForProductIdentifier(
    const std::string& productIdentifier) {
  std::optional<platform::StoreProduct> product;
  lockQueue_->sync([&] {
    auto found = validProducts_.find(productIdentifier);
    if (found != validProducts_.end()) product = found->second;
  });
  return product;
}

void APMInAppPurchaseProductCache::requestProductsWithProductIdentifiers(
    const std::set<std::string>& productIdentifiers, std::shared_ptr<platform::DispatchQueue> queue,
    APMProductsRequest::Completion completion) {
  if (!queue || !completion) return;
  // The pending answer holds the cache until it is kept.
  APMProductsRequest::requestProductsWithProductIdentifiers(
      productIdentifiers, lockQueue_,
      [self = shared_from_this(), queue = std::move(queue), completion = std::move(completion)](
          std::optional<APMProductsRequest::Products> products, std::optional<std::set<std::string>> invalid,
          std::optional<platform::Error> error) {
        self->keepAnswer(products.value_or(APMProductsRequest::Products{}), invalid.value_or(std::set<std::string>{}));
        queue->async([completion, products = std::move(products), invalid = std::move(invalid),
                      error = std::move(error)] { completion(products, invalid, error); });
      });
}

void APMInAppPurchaseProductCache::keepAnswer(const APMProductsRequest::Products& products,
                                              const std::set<std::string>& invalid) {
  for (const auto& [identifier, product] : products) validProducts_.insert_or_assign(identifier, product);
  for (const auto& identifier : invalid) validProducts_.erase(identifier);
  invalidProductIdentifiers_.insert(invalid.begin(), invalid.end());
  for (const auto& [identifier, product] : products) invalidProductIdentifiers_.erase(identifier);
  if (validProducts_.size() + invalidProductIdentifiers_.size() < kMaxEntries) return;
  validProducts_ = products;
  invalidProductIdentifiers_ = invalid;
}

size_t APMInAppPurchaseProductCache::validProductCount() {
  size_t count = 0;
  lockQueue_->sync([&] { count = validProducts_.size(); });
  return count;
}

size_t APMInAppPurchaseProductCache::invalidProductIdentifierCount() {
  size_t count = 0;
  lockQueue_->sync([&] { count = invalidProductIdentifiers_.size(); });
  return count;
}
