// Store transaction dates as the purchase reporter reads them: a receipt's purchase dates in text,
// one a line, and a transaction's date (the first line's, else the first eight bytes taken as the
// host's number of seconds). A date read must be a whole second the text form can write again;
// a date in the UTC form must write back as the very text it was read from; a subscription
// purchase is valid exactly when one receipt item of its product has its date.
#include <cmath>
#include <cstring>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "Purchase/APMInAppPurchaseTransactionReporter.h"
#include "platform/UTCDateFormat.h"

namespace {

constexpr double kFirstSecond = -62135596800;  // 0001-01-01T00:00:00Z
constexpr double kLastSecond = 253402300799;   // 9999-12-31T23:59:59Z
constexpr double kLargestOffset = 23 * 3600 + 59 * 60;
constexpr int64_t kAutoRenewableSubscription = 3;

std::optional<double> checkedDate(std::string_view text) {
  auto date = platform::parseUTCDate(text);
  if (!date) return std::nullopt;
  const double seconds = date->seconds;
  if (!std::isfinite(seconds) || std::floor(seconds) != seconds) fuzzsupport::fail("a date read is no whole second");
  if (seconds < kFirstSecond - kLargestOffset || seconds > kLastSecond + kLargestOffset) {
    fuzzsupport::fail("a date read lies outside what its text can say");
  }
  auto written = platform::formatUTCDate(*date);
  if (written && platform::parseUTCDate(*written) != date) fuzzsupport::fail("a date written back reads as another");
  if (!text.empty() && text.back() == 'Z' && written != std::string(text)) {
    fuzzsupport::fail("a UTC date writes back as other text");
  }
  if (APMInAppPurchaseTransactionReporter::ia5StringFromDate(seconds) != written) {
    fuzzsupport::fail("the reporter writes a date otherwise");
  }
  return seconds;
}

void checkHostDate(double seconds) {
  auto written = APMInAppPurchaseTransactionReporter::ia5StringFromDate(seconds);
  if (!written) return;
  auto read = platform::parseUTCDate(*written);
  if (!read || read->seconds != std::floor(seconds)) fuzzsupport::fail("a host's date does not read back at its second");
}

std::vector<std::string_view> lines(std::string_view text) {
  std::vector<std::string_view> all;
  for (size_t at = 0; at <= text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    all.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return all;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzsupport::setUpProcess();
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string_view> all = lines(text);

  std::optional<double> transactionDate = checkedDate(all.front());
  if (!transactionDate && size >= sizeof(double)) {
    double seconds = 0;
    std::memcpy(&seconds, data, sizeof seconds);
    checkHostDate(seconds);
    transactionDate = seconds;
  }

  std::vector<APMInAppPurchaseItem> items;
  size_t matching = 0;
  for (size_t i = 1; i < all.size(); ++i) {
    const std::optional<double> date = checkedDate(all[i]);
    APMInAppPurchaseItem item;
    item.productID = "com.example.gold";
    item.transactionID = "10000001" + std::to_string(i);
    item.originalTransactionID = "100000011";
    item.purchaseType = kAutoRenewableSubscription;
    item.purchaseDateIA5String = std::string(all[i]);
    items.push_back(std::move(item));
    if (date && transactionDate && std::isfinite(*transactionDate) && *date == std::floor(*transactionDate)) ++matching;
  }
  if (items.empty()) return 0;
  const platform::StoreProduct product{"com.example.gold", "9.99", "USD", "Gold", std::nullopt};
  auto parameters = APMInAppPurchaseParameters(product, 1, "100000012", "100000011", transactionDate, items);
  if (!parameters) fuzzsupport::fail("a priced purchase has no parameters");
  const bool invalid = parameters->count("invalid") != 0;
  if (invalid != (matching != 1)) fuzzsupport::fail("a subscription matched other receipt items than its date's");
  return 0;
}
