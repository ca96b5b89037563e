#pragma once
// The application store's product catalog, as far as purchase reporting uses it. This platform has
// no store of its own: a host that sells through one registers a provider. Absent by default; then
// a products request cannot be made and purchases that need a product's details are not reported
// (the request fails with "Invalid product identifiers.").

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/Error.h"
#include "platform/Provider.h"

namespace platform {

// How an introductory offer is paid.
enum class StoreProductPaymentMode : int64_t { PayAsYouGo = 0, PayUpFront = 1, FreeTrial = 2 };

struct StoreProductDiscount {
  std::optional<std::string> price;  // decimal text in the product's currency, e.g. "0.99"
  StoreProductPaymentMode paymentMode = StoreProductPaymentMode::PayAsYouGo;
};

struct StoreProduct {
  std::string productIdentifier;
  std::optional<std::string> price;         // decimal text, e.g. "9.99" (exact: no binary fractions)
  std::optional<std::string> currencyCode;  // of the price's locale, e.g. "USD"
  std::optional<std::string> localizedTitle;
  std::optional<StoreProductDiscount> introductoryPrice;
};

class StoreProductsProvider : public Provider<StoreProductsProvider> {
 public:
  static constexpr const char* kClassName = "SKProductsRequest";

  // The products found, the identifiers the store does not know, or an error (with whatever was
  // found before it).
  using Completion = std::function<void(std::vector<StoreProduct> products, std::set<std::string> invalidProductIdentifiers,
                                        std::optional<Error> error)>;

  // Looks the identifiers up; completion runs exactly once, on any thread (callers move the result
  // to their own queue).
  virtual void requestProducts(const std::set<std::string>& productIdentifiers, Completion completion) = 0;
};

}  // namespace platform
