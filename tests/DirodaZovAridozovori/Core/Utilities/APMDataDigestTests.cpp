#include "DirodaZovAridozovori/Core/Utilities/APMDataDigest.h"

#include <gtest/gtest.h>

#include <string>

namespace {

platform::Data bytes(std::initializer_list<uint8_t> list) { return platform::Data(list); }

platform::Data bytesOf(const std::string& text) { return platform::Data(text.begin(), text.end()); }

TEST(APMDataDigestTests, LeastSignificantBitsReadTheTailBigEndian) {
  struct Case { platform::Data data; uint64_t expected; } cases[] = {
      {{}, 0},
      {bytes({0x01, 0x02, 0x03}), 0x010203},
      {bytes({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}), 0x08090a0b0c0d0e0fULL},
      {bytes({0xf0, 0xe1, 0xd2, 0xc3, 0xb4, 0xa5, 0x96, 0x87}), 0xf0e1d2c3b4a59687ULL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.data.size());
    EXPECT_EQ(apm_64LeastSignificantBits(c.data), c.expected);
  }
}

TEST(APMDataDigestTests, FingerprintsAreTheLowBytesOfIndependentMD5Digests) {
  // Digests from Python's hashlib: the fingerprint is bytes 8-15 of the MD5 digest.
  struct Case { std::string input; uint64_t fingerprint; } cases[] = {
      {"", 0xe9800998ecf8427eULL},
      {"hello world", 0x93cb22bb8f5acdc3ULL},
      {std::string("\x00\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f", 16), 0xe0d329331a4fc2a8ULL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(apm_64LSBMD5(bytesOf(c.input)), c.fingerprint);
    EXPECT_EQ(apm_64LSBMD5(std::string_view(c.input)), c.fingerprint);
  }
}

}  // namespace
