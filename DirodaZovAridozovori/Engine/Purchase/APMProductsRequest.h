#pragma once
// One request for product details to the store's catalog (the host's StoreProductsProvider). The
// answer, or the failure, is delivered once, asynchronously, on the queue given with the request.

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/DispatchQueue.h"
#include "platform/Error.h"
#include "platform/StoreProductsProvider.h"

class APMProductsRequest : public std::enable_shared_from_this<APMProductsRequest> {
 public:
  using Products = std::map<std::string, platform::StoreProduct>;
  // Products by identifier and the identifiers the store does not know; both none on failure.
  using Completion = std::function<void(std::optional<Products> products,
                                        std::optional<std::set<std::string>> invalidProductIdentifiers,
                                        std::optional<platform::Error> error)>;

  // The code of the error delivered when no catalog is there to ask.
  static constexpr int64_t kInvalidProductIdentifiersErrorCode = 1;

  // Starts a request; without a queue or a completion nothing happens. Without a catalog the
  // completion receives error 1 "Invalid product identifiers.".
  static void requestProductsWithProductIdentifiers(const std::set<std::string>& productIdentifiers,
                                                    std::shared_ptr<platform::DispatchQueue> queue,
                                                    Completion completion);

  // Looks up the catalog; check isValid() before starting.
  explicit APMProductsRequest(std::set<std::string> productIdentifiers);
  bool isValid() const { return static_cast<bool>(productsRequest_); }
  // Starts the request; the request keeps itself alive until it has delivered.
  void requestWithQueue(std::shared_ptr<platform::DispatchQueue> queue, Completion completion);

  // The catalog's answers.
  void productsRequestDidReceiveResponse(const std::vector<platform::StoreProduct>& products,
                                         const std::set<std::string>& invalidProductIdentifiers);
  void requestDidFailWithError(const platform::Error& error);
  // Drops the pending completion and queue (after delivery).
  void clearInstance();

 private:
  void deliver(std::optional<Products> products, std::optional<std::set<std::string>> invalid,
               std::optional<platform::Error> error);

  const std::set<std::string> productIdentifiers_;
  const std::shared_ptr<platform::StoreProductsProvider> productsRequest_;
  std::mutex mutex_;  // guards the three below: the catalog may answer on any thread
  Completion completionHandler_;
  std::shared_ptr<platform::DispatchQueue> queue_;
  std::shared_ptr<APMProductsRequest> pendingSelf_;
};
