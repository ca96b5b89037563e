#pragma once
// What the purchase tests share: the purchase log lines a test caused, and store receipts built
// byte by byte the way the store writes them (DER, with long-form lengths where the content needs
// them).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "Purchase/APMPurchaseLog.h"
#include "platform/Object.h"
#include "platform/StoreProductsProvider.h"

namespace purchasetest {

// Captures every purchase log line while it lives.
class PurchaseLogCapture {
 public:
  PurchaseLogCapture() {
    APMSetLogSink([this](int64_t level, int64_t code, const std::string&, const APMMonitorContexts&) {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back({level, code});
    });
  }
  ~PurchaseLogCapture() { APMSetLogSink(nullptr); }

  std::vector<int64_t> codes() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<int64_t> result;
    for (const auto& line : lines_) result.push_back(line.second);
    return result;
  }
  bool logged(int64_t code) {
    auto all = codes();
    return std::find(all.begin(), all.end(), code) != all.end();
  }
  int64_t levelOf(int64_t code) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& line : lines_) {
      if (line.second == code) return line.first;
    }
    return -1;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
  }

 private:
  std::mutex mutex_;
  std::vector<std::pair<int64_t, int64_t>> lines_;
};

// The host's store catalog: answers from its products at once, or holds its answers until released.
class FakeCatalog final : public platform::StoreProductsProvider {
 public:
  explicit FakeCatalog(std::vector<platform::StoreProduct> products = {}) {
    for (auto& product : products) products_[product.productIdentifier] = std::move(product);
  }

  void requestProducts(const std::set<std::string>& identifiers, Completion completion) override {
    std::vector<platform::StoreProduct> found;
    std::set<std::string> invalid;
    std::function<void()> answer;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(identifiers);
      for (const auto& identifier : identifiers) {
        auto product = products_.find(identifier);
        if (product == products_.end()) {
          invalid.insert(identifier);
        } else {
          found.push_back(product->second);
        }
      }
      answer = [completion, found, invalid, failure = failure_] { completion(found, invalid, failure); };
      if (holding_) {
        held_.push_back(answer);
        return;
      }
    }
    answer();
  }

  void fail(platform::Error error) {
    std::lock_guard<std::mutex> lock(mutex_);
    failure_ = std::move(error);
  }
  void hold() {
    std::lock_guard<std::mutex> lock(mutex_);
    holding_ = true;
  }
  // Answers every held request, in order.
  void release() {
    std::vector<std::function<void()>> held;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      holding_ = false;
      held.swap(held_);
    }
    for (auto& answer : held) answer();
  }
  std::vector<std::set<std::string>> requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  std::mutex mutex_;
  std::map<std::string, platform::StoreProduct> products_;
  std::optional<platform::Error> failure_;
  bool holding_ = false;
  std::vector<std::function<void()>> held_;
  std::vector<std::set<std::string>> requests_;
};

using Bytes = platform::Data;

inline Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

inline Bytes concat(const std::vector<Bytes>& parts) {
  Bytes all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

inline Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

// A DER element: tag, length (short form below 128, else long form) and content.
inline Bytes der(uint8_t tag, const Bytes& content) {
  Bytes element{tag};
  if (content.size() < 0x80) {
    element.push_back(static_cast<uint8_t>(content.size()));
  } else {
    Bytes length;
    for (size_t size = content.size(); size > 0; size >>= 8) length.insert(length.begin(), static_cast<uint8_t>(size));
    element.push_back(static_cast<uint8_t>(0x80 | length.size()));
    element.insert(element.end(), length.begin(), length.end());
  }
  element.insert(element.end(), content.begin(), content.end());
  return element;
}

// The minimal two's-complement bytes of a non-negative integer.
inline Bytes integerContent(uint64_t value) {
  Bytes content;
  do {
    content.insert(content.begin(), static_cast<uint8_t>(value));
    value >>= 8;
  } while (value != 0);
  if (content.front() & 0x80) content.insert(content.begin(), 0);
  return content;
}

inline Bytes derInteger(uint64_t value) { return der(0x02, integerContent(value)); }
inline Bytes derUTF8(const std::string& text) { return der(0x0C, bytesOf(text)); }
inline Bytes derIA5(const std::string& text) { return der(0x16, bytesOf(text)); }

// One receipt attribute: SEQUENCE { INTEGER type, INTEGER version 1, OCTET STRING value }.
inline Bytes attribute(uint64_t type, const Bytes& value) {
  return der(0x30, concat({derInteger(type), derInteger(1), der(0x04, value)}));
}

// The attribute types of an in-app purchase entry.
enum : uint64_t {
  kProductID = 1702,
  kTransactionID = 1703,
  kPurchaseDate = 1704,
  kOriginalTransactionID = 1705,
  kOriginalPurchaseDate = 1706,
  kPurchaseType = 1707,
  kExpirationDate = 1708,
  kWebOrderLineItem = 1711,
  kCancellationDate = 1712,
  kFreeTrial = 1713,
  kIntroductoryOffer = 1719,
};

// An in-app purchase entry (attribute 17) holding the given attributes as a SET.
inline Bytes purchaseRecord(const std::vector<Bytes>& attributes) {
  return attribute(17, der(0x31, concat(attributes)));
}

struct ReceiptEntry {
  std::string productID;
  std::string transactionID;
  std::string originalTransactionID;
  std::string purchaseDate;
  int64_t purchaseType = 1;
  bool freeTrial = false;
  bool introductoryOffer = false;
  uint64_t webOrderLineItem = 0;
};

// The entry's attributes in the order the store tends to write them (by type).
inline Bytes purchaseRecord(const ReceiptEntry& entry) {
  std::vector<Bytes> attributes{attribute(kProductID, derUTF8(entry.productID)),
                                attribute(kTransactionID, derUTF8(entry.transactionID)),
                                attribute(kPurchaseDate, derIA5(entry.purchaseDate)),
                                attribute(kOriginalTransactionID, derUTF8(entry.originalTransactionID)),
                                attribute(kPurchaseType, derInteger(static_cast<uint64_t>(entry.purchaseType)))};
  if (entry.webOrderLineItem) attributes.push_back(attribute(kWebOrderLineItem, derInteger(entry.webOrderLineItem)));
  attributes.push_back(attribute(kFreeTrial, derInteger(entry.freeTrial ? 1 : 0)));
  attributes.push_back(attribute(kIntroductoryOffer, derInteger(entry.introductoryOffer ? 1 : 0)));
  return purchaseRecord(attributes);
}

// A receipt payload: the bundle attributes, then the purchase records.
inline Bytes receipt(const std::vector<Bytes>& records, const std::string& originalVersion = "1.0") {
  std::vector<Bytes> attributes{attribute(2, derUTF8("com.example.host")), attribute(19, derUTF8(originalVersion))};
  attributes.insert(attributes.end(), records.begin(), records.end());
  return der(0x31, concat(attributes));
}

inline Bytes receipt(const std::vector<ReceiptEntry>& entries, const std::string& originalVersion = "1.0") {
  std::vector<Bytes> records;
  for (const auto& entry : entries) records.push_back(purchaseRecord(entry));
  return receipt(records, originalVersion);
}

}  // namespace purchasetest
