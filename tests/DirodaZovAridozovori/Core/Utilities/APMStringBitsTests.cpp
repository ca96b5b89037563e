#include "DirodaZovAridozovori/Core/Utilities/APMStringBits.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(APMStringBitsTests, BitAtIndex) {
  struct Case { const char* bits; int64_t index; bool expected; } cases[] = {
      {"1011", 1, false}, {"1011", 3, true}, {"1011", 4, false}, {"1011", -1, false}, {"1", INT64_MAX, false},
      {"x1", 1, true},
      // "é" is one UTF-16 unit: the "1" after it sits at index 1.
      {"\xc3\xa9" "1", 1, true},
      // An emoji is two UTF-16 units.
      {"\xf0\x9f\x98\x80" "1", 2, true},
      {"\xf0\x9f\x98\x80" "1", 1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.bits) + " @ " + std::to_string(c.index));
    EXPECT_EQ(isBitEnabledAtIndex(c.bits, c.index), c.expected);
  }
}

TEST(APMStringBitsTests, MD5StringMatchesReferenceDigests) {
  // Reference digests from Python's hashlib.
  struct Case { const char* text; const char* expected; } cases[] = {
      {"h\xc3\xa9llo", "be50e8478cf24ff3595bc7307fb91b50"},
      {"00000000-0000-0000-0000-000000000001", "c96589eefb0828c07179095bcd0cef5f"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(apm_MD5String(c.text), std::optional<std::string>(c.expected)) << c.text;
  }
  EXPECT_EQ(apm_MD5String("bad \xff byte"), std::nullopt);
  EXPECT_EQ(apm_MD5String("\xed\xa0\x80"), std::nullopt);  // an encoded surrogate
}

TEST(APMStringBitsTests, UTF32BytesKeepWholeCharacters) {
  // U+1F600 then U+00E9, little-endian (checked with Python's "utf-32-le" codec).
  const char* text = "\xf0\x9f\x98\x80\xc3\xa9";
  struct Case { size_t limit; std::vector<uint8_t> expected; } cases[] = {
      {3, {}},
      {4, {0x00, 0xf6, 0x01, 0x00}},
      {7, {0x00, 0xf6, 0x01, 0x00}},
      {8, {0x00, 0xf6, 0x01, 0x00, 0xe9, 0x00, 0x00, 0x00}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.limit);
    std::vector<uint8_t> buffer(64, 0xAA);
    size_t used = 99;
    EXPECT_EQ(apm_getUTF32Bytes(text, buffer.data(), c.limit, &used), !c.expected.empty());
    ASSERT_EQ(used, c.expected.size());
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + static_cast<long>(used)), c.expected);
    // Nothing past the written characters is touched.
    EXPECT_EQ(buffer[used], 0xAA);
  }
  EXPECT_FALSE(apm_getUTF32Bytes("", nullptr, 0));
}

}  // namespace
