#include "APMReceiptReader.h"

#include <array>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <string_view>

#include "Utilities/APMAEU.h"
#include "Utilities/APMDataDigest.h"
#include "APMPurchaseLog.h"
#include "platform/Bundle.h"
#include "platform/Unicode.h"

namespace {

constexpr int kAny = kAPMReceiptAnyByte;
constexpr uint8_t kLongFormLengthFlag = 0x80;

// DER tags of the values inside an attribute's OCTET STRING.
constexpr int kTagInteger = 0x02;
constexpr int kTagUTF8String = 0x0C;
constexpr int kTagIA5String = 0x16;

// Never destroyed (here and below): the SDK's threads may read them until the process has ended.
// Attribute 17 (an in-app purchase record), any version, then its OCTET STRING.
const APMReceiptPattern& recordStartPattern() {
  static const auto& pattern = *new APMReceiptPattern{0x02, 0x01, 0x11, 0x02, 0x01, kAny, 0x04};
  return pattern;
}
// Attribute 19 (the original application version) inside its SEQUENCE.
const APMReceiptPattern& versionPattern() {
  static const auto& pattern = *new APMReceiptPattern{0x30, kAny, 0x02, 0x01, 0x13, 0x02, 0x01, kAny, 0x04, kAny};
  return pattern;
}

// Attribute 0x06XX (1702-1719), any version, an OCTET STRING of any length holding one value with
// DER tag `tag` and its length.
APMReceiptPattern attributePattern(int typeLowByte, int tag) {
  return {0x02, 0x02, 0x06, typeLowByte, 0x02, 0x01, kAny, 0x04, kAny, tag, kAny};
}

enum class Field {
  ProductID,
  TransactionID,
  OriginalTransactionID,
  SubscriptionExpirationDate,
  FreeTrial,
  IntroductoryOffer,
  PurchaseType,
  WebOrderLineItem,
  PurchaseDate,
  OriginalPurchaseDate,
  CancellationDate,
};

struct FieldPattern {
  Field field;
  APMReceiptPattern pattern;
};

// The order in which the fields of an entry are tried at each offset.
const std::array<FieldPattern, 11>& fieldPatterns() {
  static const auto& patterns = *new std::array<FieldPattern, 11>{{
      {Field::ProductID, attributePattern(0xA6, kTagUTF8String)},                   // 1702
      {Field::TransactionID, attributePattern(0xA7, kTagUTF8String)},               // 1703
      {Field::OriginalTransactionID, attributePattern(0xA9, kTagUTF8String)},       // 1705
      {Field::SubscriptionExpirationDate, attributePattern(0xAC, kTagIA5String)},   // 1708
      {Field::FreeTrial, attributePattern(0xB1, kTagInteger)},                      // 1713
      {Field::IntroductoryOffer, attributePattern(0xB7, kTagInteger)},              // 1719
      {Field::PurchaseType, attributePattern(0xAB, kTagInteger)},                   // 1707
      {Field::WebOrderLineItem, attributePattern(0xAF, kTagInteger)},               // 1711
      {Field::PurchaseDate, attributePattern(0xA8, kTagIA5String)},                 // 1704
      {Field::OriginalPurchaseDate, attributePattern(0xAA, kTagIA5String)},         // 1706
      {Field::CancellationDate, attributePattern(0xB0, kTagIA5String)},             // 1712
  }};
  return patterns;
}

bool matchesFixedBytes(const APMReceiptPattern& pattern, const platform::Data& data, size_t offset) {
  if (offset + pattern.size() > data.size()) return false;
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != kAny && data[offset + i] != pattern[i]) return false;
  }
  return true;
}

std::string_view textOf(const platform::Data& value) {
  return {reinterpret_cast<const char*>(value.data()), value.size()};
}

std::optional<std::string> utf8Text(const platform::Data& value) {
  if (!platform::isValidUtf8(textOf(value))) return std::nullopt;
  return std::string(textOf(value));
}

std::optional<std::string> ia5Text(const platform::Data& value) {
  for (uint8_t byte : value) {
    if (byte >= 0x80) return std::nullopt;
  }
  return std::string(textOf(value));
}

// A one-byte flag: 0 NO, 1 YES, anything else NO with a warning; none for a value of another size.
std::optional<bool> flagValue(const platform::Data& value, APMPurchaseLogCode unexpectedCode,
                              const char* unexpectedMessage) {
  if (value.size() != 1) return std::nullopt;
  if (value[0] > 1)
    APMLog(APMLogLevel::kWarningSampledOnly, unexpectedCode, unexpectedMessage, static_cast<int64_t>(value[0]));
  return value[0] == 1;
}

template <typename T>
bool assign(std::optional<T>& target, std::optional<T> value) {
  if (!value) return false;
  target = std::move(value);
  return true;
}

// Sets the field from the matched value; NO when the value is not of the field's form.
bool applyField(Field field, const platform::Data& value, APMInAppPurchaseItem& item) {
  switch (field) {
    case Field::ProductID:
      return assign(item.productID, utf8Text(value));
    case Field::TransactionID:
      return assign(item.transactionID, utf8Text(value));
    case Field::OriginalTransactionID:
      return assign(item.originalTransactionID, utf8Text(value));
    case Field::SubscriptionExpirationDate:
      return assign(item.subscriptionExpirationDateIA5String, ia5Text(value));
    case Field::PurchaseDate:
      return assign(item.purchaseDateIA5String, ia5Text(value));
    case Field::OriginalPurchaseDate:
      return assign(item.originalPurchaseDateIA5String, ia5Text(value));
    case Field::CancellationDate:
      return assign(item.cancellationDateIA5String, ia5Text(value));
    case Field::FreeTrial: {
      auto flag = flagValue(value, APMPurchaseLogCode::kSubdataFTUnexpectedValue, "Subdata FT unexpected value");
      if (flag) item.freeTrial = *flag;
      return flag.has_value();
    }
    case Field::IntroductoryOffer: {
      auto flag = flagValue(value, APMPurchaseLogCode::kSubdataIOUnexpectedValue, "Subdata IO unexpected value");
      if (flag) item.introductoryOffer = *flag;
      return flag.has_value();
    }
    case Field::PurchaseType:
      if (value.size() != 1) return false;
      item.purchaseType = static_cast<int64_t>(value[0]);
      return true;
    case Field::WebOrderLineItem: {
      const uint64_t identifier = apm_64LeastSignificantBits(value);
      if (identifier != 0) item.webOrderLineItemID = identifier;
      return true;
    }
  }
  return false;
}

// The entry being read, with the fields found so far.
struct EntryInProgress {
  APMInAppPurchaseItem item;
  std::array<bool, 11> found{};
};

// Tries the fields not yet found at offset; the bytes to move on by after a match (none without).
std::optional<size_t> readFieldAt(const platform::Data& receipt, size_t offset, EntryInProgress& entry) {
  const auto& patterns = fieldPatterns();
  for (size_t i = 0; i < patterns.size(); ++i) {
    if (entry.found[i]) continue;
    auto value = APMReceiptReaderMatchPattern(patterns[i].pattern, receipt, static_cast<int64_t>(offset));
    if (!value || !applyField(patterns[i].field, *value, entry.item)) continue;
    entry.found[i] = true;
    return value->size() + 1;
  }
  return std::nullopt;
}

enum class ReceiptRead { Read, Missing, NotData, Empty };

ReceiptRead readReceipt(platform::Data* data) {
  auto path = APMAEU::appStoreRURL();
  if (!path) return ReceiptRead::Missing;
  std::error_code error;
  if (std::filesystem::is_directory(*path, error)) return ReceiptRead::NotData;
  std::ifstream file(*path, std::ios::binary);
  if (!file) return ReceiptRead::Missing;
  data->assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  if (file.bad()) return ReceiptRead::Missing;
  return data->empty() ? ReceiptRead::Empty : ReceiptRead::Read;
}

std::mutex gVersionMutex;
std::optional<bool> gIsVersionSameAsOriginalVersion;  // guarded by gVersionMutex

}  // namespace

std::optional<platform::Data> APMReceiptReaderMatchPattern(const APMReceiptPattern& pattern, const platform::Data& data,
                                                           int64_t offset) {
  if (offset < 0 || data.empty() || pattern.empty()) return std::nullopt;
  const size_t start = static_cast<size_t>(offset);
  if (start >= data.size() || pattern.size() >= data.size() - start) return std::nullopt;
  if (!matchesFixedBytes(pattern, data, start)) return std::nullopt;
  size_t lengthAt = pattern.size();
  for (size_t i = pattern.size(); i-- > 0;) {
    if (pattern[i] == kAny) {
      lengthAt = i;
      break;
    }
  }
  if (lengthAt == pattern.size()) return std::nullopt;
  const uint8_t length = data[start + lengthAt];
  if (length >= kLongFormLengthFlag) {
    // The byte only announces how many length bytes follow; reading it as the length would take
    // unrelated bytes as the value.
    APMLog(APMLogLevel::kWarningSampledOnly, APMPurchaseLogCode::kDataLongerThan, "Data is longer than 127",
           static_cast<int64_t>(length));
    return std::nullopt;
  }
  const size_t valueStart = start + pattern.size();
  if (length == 0 || length > data.size() - valueStart) return std::nullopt;
  return platform::Data(data.begin() + static_cast<std::ptrdiff_t>(valueStart),
                        data.begin() + static_cast<std::ptrdiff_t>(valueStart + length));
}

std::optional<std::vector<APMInAppPurchaseItem>> APMReceiptReaderPurchaseItems(const platform::Data& receipt) {
  if (receipt.empty()) return std::nullopt;
  std::vector<APMInAppPurchaseItem> items;
  std::optional<EntryInProgress> entry;
  size_t offset = 0;
  while (offset < receipt.size()) {
    if (matchesFixedBytes(recordStartPattern(), receipt, offset)) {
      if (entry && entry->item.productID) items.push_back(std::move(entry->item));
      entry.emplace();
      ++offset;
      continue;
    }
    std::optional<size_t> step;
    if (entry) step = readFieldAt(receipt, offset, *entry);
    offset += step.value_or(1);
  }
  // The last entry has no record start after it to be checked against: it is kept as it is.
  if (entry) items.push_back(std::move(entry->item));
  return items;
}

std::optional<platform::Data> APMReceiptReaderReceiptData() {
  platform::Data data;
  if (readReceipt(&data) != ReceiptRead::Read) return std::nullopt;
  return data;
}

bool APMReceiptReaderReadIsVersionSameAsOriginalVersion() {
  if (APMAEU::isNOD() || APMAEU::isASRS()) return true;
  platform::Data receipt;
  switch (readReceipt(&receipt)) {
    case ReceiptRead::Missing:
      APMLog(APMLogLevel::kWarningSampledOnly, APMPurchaseLogCode::kVersionDataNil, "Version data is nil");
      return false;
    case ReceiptRead::NotData:
      APMLog(APMLogLevel::kWarningSampledOnly, APMPurchaseLogCode::kVersionDataNotData, "Version data is not data");
      return false;
    case ReceiptRead::Empty:
      APMLog(APMLogLevel::kWarningSampledOnly, APMPurchaseLogCode::kVersionDataEmpty, "Version data is empty");
      return false;
    case ReceiptRead::Read:
      break;
  }
  std::optional<platform::Data> version;
  for (size_t offset = 0; offset < receipt.size() && !version; ++offset) {
    version = APMReceiptReaderMatchPattern(versionPattern(), receipt, static_cast<int64_t>(offset));
  }
  const platform::Data value = version.value_or(platform::Data{});
  if (value.size() <= 2) {
    APMLog(APMLogLevel::kWarningSampledOnly, APMPurchaseLogCode::kVDataTooShort, "V data is too short. Length",
           static_cast<int64_t>(value.size()));
    return false;
  }
  if (value[0] != kTagUTF8String)
    APMLog(APMLogLevel::kWarningSampledOnly, APMPurchaseLogCode::kVDataByteWrong, "V data byte 0 is wrong. Value",
           static_cast<int64_t>(value[0]));
  if (value[1] != value.size() - 2) {
    APMLog(APMLogLevel::kWarningSampledOnly, APMPurchaseLogCode::kVDataByteWrongValueExpected,
           "V data byte 1 is wrong. Value, expected", static_cast<int64_t>(value[1]),
           static_cast<int64_t>(value.size() - 2));
  }
  const platform::Data text(value.begin() + 2, value.end());
  auto original = utf8Text(text);
  return original && *original == platform::Bundle::shortVersion();
}

bool APMReceiptReaderIsVersionSameAsOriginalVersion() {
  std::lock_guard<std::mutex> lock(gVersionMutex);
  if (!gIsVersionSameAsOriginalVersion) gIsVersionSameAsOriginalVersion = APMReceiptReaderReadIsVersionSameAsOriginalVersion();
  return *gIsVersionSameAsOriginalVersion;
}

void APMReceiptReaderResetForTesting() {
  std::lock_guard<std::mutex> lock(gVersionMutex);
  gIsVersionSameAsOriginalVersion.reset();
}

std::optional<bool> APMReceiptComponent::isVersionSameAsOriginalVersion() {
  return APMReceiptReaderIsVersionSameAsOriginalVersion();
}
