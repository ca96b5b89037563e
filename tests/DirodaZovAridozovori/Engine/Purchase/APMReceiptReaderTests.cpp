// The store receipt reader: its pattern match, the scan of in-app purchase entries and the test of
// the version originally obtained, over receipts built byte by byte.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "PurchaseTestSupport.h"
#include "Purchase/APMReceiptReader.h"
#include "TestSupport.h"
#include "platform/Bundle.h"

namespace purchasetest {
namespace {

constexpr int X = kAPMReceiptAnyByte;

class ReceiptReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::Bundle::reset();
    platform::Bundle::setShortVersion("2.4.0");
    APMReceiptReaderResetForTesting();
  }
  void TearDown() override {
    platform::Bundle::reset();
    APMReceiptReaderResetForTesting();
  }

  // Writes the receipt file (or, with none, leaves it absent) and points the bundle at it.
  std::string placeReceipt(const std::optional<Bytes>& bytes, const std::string& name = "receipt") {
    const std::string path = (std::filesystem::path(dir_.path()) / name).string();
    if (bytes) {
      std::ofstream file(path, std::ios::binary);
      file.write(reinterpret_cast<const char*>(bytes->data()), static_cast<std::streamsize>(bytes->size()));
    }
    platform::Bundle::setAppStoreReceiptPath(path);
    return path;
  }

  static std::vector<APMInAppPurchaseItem> scan(const Bytes& bytes) {
    auto items = APMReceiptReaderPurchaseItems(bytes);
    EXPECT_TRUE(items);
    return items.value_or(std::vector<APMInAppPurchaseItem>{});
  }

  testsupport::TempDir dir_;
  PurchaseLogCapture log_;
};

TEST_F(ReceiptReaderTest, PatternMatchTakesTheValueAfterThePatternByItsLastCapturedLength) {
  struct Case {
    const char* name;
    APMReceiptPattern pattern;
    Bytes data;
    int64_t offset;
    std::optional<Bytes> expected;
    bool longForm;
  };
  const APMReceiptPattern pattern{0x04, X, 0x0C, X};
  const Case cases[] = {
      {"value after the pattern", pattern, {0x04, 0x09, 0x0C, 0x02, 'h', 'i', 0xFF}, 0, Bytes{'h', 'i'}, false},
      {"at an offset", pattern, {0xAA, 0x04, 0x01, 0x0C, 0x01, 'z'}, 1, Bytes{'z'}, false},
      {"the last capture is the length", {X, 0x0C, X}, {0x05, 0x0C, 0x01, 'q', 'r'}, 0, Bytes{'q'}, false},
      {"a fixed byte differs", pattern, {0x04, 0x09, 0x16, 0x02, 'h', 'i'}, 0, std::nullopt, false},
      {"negative offset", pattern, {0x04, 0x09, 0x0C, 0x01, 'h'}, -1, std::nullopt, false},
      {"empty data", pattern, {}, 0, std::nullopt, false},
      {"empty pattern", {}, {0x04, 0x09, 0x0C, 0x01, 'h'}, 0, std::nullopt, false},
      {"the pattern reaches the end", pattern, {0x04, 0x09, 0x0C, 0x01}, 0, std::nullopt, false},
      {"offset past the end", pattern, {0x04, 0x09, 0x0C, 0x01, 'h'}, 9, std::nullopt, false},
      {"length zero", pattern, {0x04, 0x09, 0x0C, 0x00, 'h'}, 0, std::nullopt, false},
      {"value runs past the end", pattern, {0x04, 0x09, 0x0C, 0x03, 'h', 'i'}, 0, std::nullopt, false},
      {"value ends at the end", pattern, {0x04, 0x09, 0x0C, 0x03, 'h', 'i', 'j'}, 0, Bytes{'h', 'i', 'j'}, false},
      {"long-form length", pattern, {0x04, 0x09, 0x0C, 0x81, 0x02, 'h', 'i'}, 0, std::nullopt, true},
      {"length 127 is short form", pattern, concat({Bytes{0x04, 0x09, 0x0C, 0x7F}, Bytes(127, 'a')}), 0,
       Bytes(127, 'a'), false},
  };
  for (const auto& c : cases) {
    log_.clear();
    EXPECT_EQ(APMReceiptReaderMatchPattern(c.pattern, c.data, c.offset), c.expected) << c.name;
    EXPECT_EQ(log_.logged(39027), c.longForm) << c.name;
    if (c.longForm) {
      EXPECT_EQ(log_.levelOf(39027), 5) << c.name;
    }
  }
}

TEST_F(ReceiptReaderTest, ScanReadsEntriesInFileOrderWithEveryField) {
  const Bytes consumable = purchaseRecord({
      attribute(kProductID, derUTF8("coins.100")),
      attribute(kTransactionID, derUTF8("1000000000000001")),
      attribute(kPurchaseDate, derIA5("2024-02-29T13:05:09Z")),
      attribute(kOriginalTransactionID, derUTF8("1000000000000001")),
      attribute(kOriginalPurchaseDate, derIA5("2024-02-28T08:00:00Z")),
      attribute(kPurchaseType, derInteger(1)),
      attribute(kCancellationDate, derIA5("2024-03-01T00:00:00Z")),
      attribute(kFreeTrial, derInteger(0)),
      attribute(kIntroductoryOffer, derInteger(0)),
  });
  // Attributes in another order than the one the reader tries them in.
  const Bytes subscription = purchaseRecord({
      attribute(kIntroductoryOffer, derInteger(1)),
      attribute(kWebOrderLineItem, derInteger(0x8000000000000123ULL)),
      attribute(kFreeTrial, derInteger(1)),
      attribute(kExpirationDate, derIA5("2024-04-01T00:00:00Z")),
      attribute(kOriginalTransactionID, derUTF8("2000")),
      attribute(kTransactionID, derUTF8("2001")),
      attribute(kProductID, derUTF8("pro.monthly")),
      attribute(kPurchaseType, derInteger(3)),
  });
  const auto items = scan(receipt({consumable, subscription}));
  ASSERT_EQ(items.size(), 2u);

  APMInAppPurchaseItem first;
  first.productID = "coins.100";
  first.transactionID = "1000000000000001";
  first.originalTransactionID = "1000000000000001";
  first.purchaseDateIA5String = "2024-02-29T13:05:09Z";
  first.originalPurchaseDateIA5String = "2024-02-28T08:00:00Z";
  first.cancellationDateIA5String = "2024-03-01T00:00:00Z";
  first.purchaseType = 1;
  EXPECT_EQ(items[0], first);

  APMInAppPurchaseItem second;
  second.productID = "pro.monthly";
  second.transactionID = "2001";
  second.originalTransactionID = "2000";
  second.subscriptionExpirationDateIA5String = "2024-04-01T00:00:00Z";
  second.webOrderLineItemID = 0x8000000000000123ULL;
  second.purchaseType = 3;
  second.freeTrial = true;
  second.introductoryOffer = true;
  EXPECT_EQ(items[1], second);
}

TEST_F(ReceiptReaderTest, AnEntryWithoutProductIDIsDroppedUnlessItIsTheLast) {
  const Bytes noProduct = purchaseRecord({attribute(kTransactionID, derUTF8("orphan"))});
  const Bytes named = purchaseRecord({attribute(kProductID, derUTF8("a")), attribute(kTransactionID, derUTF8("1"))});
  struct Case {
    const char* name;
    std::vector<Bytes> records;
    std::vector<std::optional<std::string>> transactionIDs;
  };
  const Case cases[] = {
      {"in the middle", {named, noProduct, named}, {"1", "1"}},
      {"first", {noProduct, named}, {"1"}},
      {"last", {named, noProduct}, {"1", "orphan"}},
      {"no entries", {}, {}},
  };
  for (const auto& c : cases) {
    std::vector<std::optional<std::string>> read;
    for (const auto& item : scan(receipt(c.records))) read.push_back(item.transactionID);
    EXPECT_EQ(read, c.transactionIDs) << c.name;
  }
  EXPECT_EQ(APMReceiptReaderPurchaseItems({}), std::nullopt);
  EXPECT_TRUE(scan({0x02, 0x02, 0x06, 0xA6, 0x02, 0x01, 0x01, 0x04, 0x03, 0x0C, 0x01, 'a'}).empty())
      << "fields before any entry belong to none";
}

TEST_F(ReceiptReaderTest, FieldsThatAreNotOfTheirFormAreNotRead) {
  struct Case {
    const char* name;
    Bytes attribute;
    std::function<bool(const APMInAppPurchaseItem&)> check;
    int64_t warning;
  };
  const Case cases[] = {
      {"free-trial byte 2", attribute(kFreeTrial, derInteger(2)), [](const auto& i) { return !i.freeTrial; }, 39025},
      {"introductory-offer byte 3", attribute(kIntroductoryOffer, derInteger(3)),
       [](const auto& i) { return !i.introductoryOffer; }, 39028},
      {"free trial of two bytes", attribute(kFreeTrial, derInteger(0x101)), [](const auto& i) { return !i.freeTrial; },
       0},
      {"purchase type of two bytes", attribute(kPurchaseType, derInteger(0x103)),
       [](const auto& i) { return !i.purchaseType; }, 0},
      {"web order line item 0", attribute(kWebOrderLineItem, derInteger(0)),
       [](const auto& i) { return !i.webOrderLineItemID; }, 0},
      {"invalid UTF-8", attribute(kTransactionID, der(0x0C, {'a', 0xC3, 0x28})),
       [](const auto& i) { return !i.transactionID; }, 0},
      {"non-ASCII date", attribute(kPurchaseDate, der(0x16, {'2', 0xE9})),
       [](const auto& i) { return !i.purchaseDateIA5String; }, 0},
      // A long-form inner length behind a short outer one; read as a length, 0x81 would take in the
      // padding after it as text.
      {"long-form length",
       concat({der(0x30, concat({derInteger(kTransactionID), derInteger(1), Bytes{0x04, 0x7F, 0x0C, 0x81, 0x05},
                                 bytesOf("77777")})),
               Bytes(200, 'x')}),
       [](const auto& i) { return !i.transactionID; }, 39027},
      {"wrong inner tag", attribute(kTransactionID, derIA5("42")), [](const auto& i) { return !i.transactionID; }, 0},
  };
  for (const auto& c : cases) {
    log_.clear();
    const auto items = scan(receipt({purchaseRecord({attribute(kProductID, derUTF8("p")), c.attribute})}));
    ASSERT_EQ(items.size(), 1u) << c.name;
    EXPECT_EQ(items[0].productID, std::optional<std::string>("p")) << c.name;
    EXPECT_TRUE(c.check(items[0])) << c.name;
    if (c.warning) {
      EXPECT_TRUE(log_.logged(c.warning)) << c.name;
    }
  }
}

TEST_F(ReceiptReaderTest, AFieldNotOfItsFormLeavesRoomForAValidOneLater) {
  // The first transaction ID is not UTF-8; the entry's second one is still read.
  const auto items = scan(receipt({purchaseRecord({attribute(kTransactionID, der(0x0C, {0xFF, 0xFE})),
                                                   attribute(kProductID, derUTF8("p")),
                                                   attribute(kTransactionID, derUTF8("good"))})}));
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].transactionID, std::optional<std::string>("good"));
}

TEST_F(ReceiptReaderTest, AttributesAreFoundByTheirBytesAloneEvenPackedWithoutContainers) {
  // Record start, then two attribute bodies back to back with no SEQUENCE headers between them.
  const Bytes packed = concat({Bytes{0x02, 0x01, 0x11, 0x02, 0x01, 0x01, 0x04},
                               Bytes{0x02, 0x02, 0x06, 0xA6, 0x02, 0x01, 0x01, 0x04, 0x03, 0x0C, 0x01, 'p'},
                               Bytes{0x02, 0x02, 0x06, 0xA7, 0x02, 0x01, 0x01, 0x04, 0x04, 0x0C, 0x02, '4', '2'}});
  const auto items = scan(packed);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].productID, std::optional<std::string>("p"));
  EXPECT_EQ(items[0].transactionID, std::optional<std::string>("42"));
}

TEST_F(ReceiptReaderTest, OriginalVersionTestComparesTheReceiptVersionWithTheRunningOne) {
  struct Case {
    const char* name;
    std::optional<Bytes> receipt;
    std::string fileName;
    bool expected;
    int64_t code;
  };
  const Bytes withVersion = receipt(std::vector<Bytes>{}, "2.4.0");
  const Case cases[] = {
      {"same version", withVersion, "receipt", true, 0},
      {"older version", receipt(std::vector<Bytes>{}, "2.3.9"), "receipt", false, 0},
      {"version with more after it", receipt(std::vector<Bytes>{}, "2.4.0.1"), "receipt", false, 0},
      {"missing file", std::nullopt, "receipt", false, 39002},
      {"empty file", Bytes{}, "receipt", false, 39004},
      {"no version attribute", Bytes{0x31, 0x03, 0x02, 0x01, 0x05}, "receipt", false, 39006},
      {"version of two bytes", Bytes{0x30, 0x0A, 0x02, 0x01, 0x13, 0x02, 0x01, 0x01, 0x04, 0x02, 0x0C, 0x00},
       "receipt", false, 39006},
      {"sandbox receipt, even missing", std::nullopt, "sandboxReceipt", true, 0},
      {"version as IA5 text is still compared", Bytes{0x30, 0x0F, 0x02, 0x01, 0x13, 0x02, 0x01, 0x01, 0x04, 0x07,
                                                      0x16, 0x05, '2', '.', '4', '.', '0'},
       "receipt", true, 39007},
      {"inner length disagrees", Bytes{0x30, 0x0F, 0x02, 0x01, 0x13, 0x02, 0x01, 0x01, 0x04, 0x07, 0x0C, 0x04, '2',
                                       '.', '4', '.', '0'},
       "receipt", true, 39008},
  };
  for (const auto& c : cases) {
    log_.clear();
    placeReceipt(c.receipt, c.fileName);
    EXPECT_EQ(APMReceiptReaderReadIsVersionSameAsOriginalVersion(), c.expected) << c.name;
    if (c.code) {
      EXPECT_TRUE(log_.logged(c.code)) << c.name;
    }
    std::filesystem::remove(std::filesystem::path(dir_.path()) / c.fileName);
  }
  std::filesystem::create_directory(std::filesystem::path(dir_.path()) / "folder");
  platform::Bundle::setAppStoreReceiptPath((std::filesystem::path(dir_.path()) / "folder").string());
  EXPECT_FALSE(APMReceiptReaderReadIsVersionSameAsOriginalVersion());
  EXPECT_TRUE(log_.logged(39003));
}

TEST_F(ReceiptReaderTest, OriginalVersionIsReadOncePerProcess) {
  const std::string path = placeReceipt(receipt(std::vector<Bytes>{}, "2.4.0"));
  EXPECT_TRUE(APMReceiptReaderIsVersionSameAsOriginalVersion());
  std::filesystem::remove(path);
  EXPECT_TRUE(APMReceiptReaderIsVersionSameAsOriginalVersion()) << "the first answer is kept";
  APMReceiptReaderResetForTesting();
  EXPECT_FALSE(APMReceiptReaderIsVersionSameAsOriginalVersion());
}

// The engine asks the receipt through its component, which always answers.
TEST_F(ReceiptReaderTest, TheReceiptComponentAnswersWhatTheReceiptSays) {
  APMReceiptComponent component;
  placeReceipt(receipt(std::vector<Bytes>{}, "2.3.9"));
  EXPECT_EQ(component.isVersionSameAsOriginalVersion(), std::optional<bool>(false));
  APMReceiptReaderResetForTesting();
  placeReceipt(receipt(std::vector<Bytes>{}, "2.4.0"));
  EXPECT_EQ(component.isVersionSameAsOriginalVersion(), std::optional<bool>(true));
}

}  // namespace
}  // namespace purchasetest
