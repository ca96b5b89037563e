#include "APMProductsRequest.h"

#include <utility>

#include "APMError.h"

void APMProductsRequest::requestProductsWithProductIdentifiers(const std::set<std::string>& productIdentifiers,
                                                               std::shared_ptr<platform::DispatchQueue> queue,
                                                               Completion completion) {
  if (!queue || !completion) return;
  auto request = std::make_shared<APMProductsRequest>(productIdentifiers);
  if (!request->isValid()) {
    queue->async([completion = std::move(completion)] {
      completion(std::nullopt, std::nullopt,
                 APMError::apm_errorWithCode(kInvalidProductIdentifiersErrorCode, "Invalid product identifiers."));
    });
    return;
  }
  request->requestWithQueue(std::move(queue), std::move(completion));
}

APMProductsRequest::APMProductsRequest(std::set<std::string> productIdentifiers)
    : productIdentifiers_(std::move(productIdentifiers)), productsRequest_(platform::StoreProductsProvider::lookUp()) {}

void APMProductsRequest::requestWithQueue(std::shared_ptr<platform::DispatchQueue> queue, Completion completion) {
  if (!productsRequest_) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    completionHandler_ = std::move(completion);
    queue_ = std::move(queue);
    pendingSelf_ = shared_from_this();
  }
  std::weak_ptr<APMProductsRequest> weakSelf = weak_from_this();
  productsRequest_->requestProducts(
      productIdentifiers_, [weakSelf](std::vector<platform::StoreProduct> products, std::set<std::string> invalid,
                                      std::optional<platform::Error> error) {
        auto self = weakSelf.lock();
        if (!self) return;
        if (error) {
          self->requestDidFailWithError(*error);
        } else {
          self->productsRequestDidReceiveResponse(products, invalid);
        }
      });
}

void APMProductsRequest::productsRequestDidReceiveResponse(const std::vector<platform::StoreProduct>& products,
                                                           const std::set<std::string>& invalidProductIdentifiers) {
  Products byIdentifier;
  for (const auto& product : products) {
    if (!product.productIdentifier.empty()) byIdentifier.emplace(product.productIdentifier, product);
  }
  deliver(std::move(byIdentifier), invalidProductIdentifiers, std::nullopt);
}

void APMProductsRequest::requestDidFailWithError(const platform::Error& error) {
  deliver(std::nullopt, std::nullopt, error);
}

void APMProductsRequest::deliver(std::optional<Products> products, std::optional<std::set<std::string>> invalid,
                                 std::optional<platform::Error> error) {
  Completion completion;
  std::shared_ptr<platform::DispatchQueue> queue;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    completion = std::move(completionHandler_);
    queue = std::move(queue_);
  }
  // A catalog that answers twice is heard once.
  if (completion && queue) {
    queue->async([completion = std::move(completion), products = std::move(products), invalid = std::move(invalid),
                  error = std::move(error)] { completion(products, invalid, error); });
  }
  clearInstance();
}

void APMProductsRequest::clearInstance() {
  std::shared_ptr<APMProductsRequest> self;
  std::lock_guard<std::mutex> lock(mutex_);
  completionHandler_ = nullptr;
  queue_ = nullptr;
  self = std::move(pendingSelf_);
  // self is released after the lock: this may be the last reference.
}
