#include "platform/Crypto.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

// Reference digests computed with Python's hashlib.
TEST(CryptoTests, DigestsMatchReferenceValues) {
  std::string allByteValues;
  for (int i = 0; i < 256; ++i) allByteValues.push_back(static_cast<char>(i));
  const struct {
    std::string input, md5, sha1;
  } cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {allByteValues, "e2c865db4162bed963bfaa9ef6ac18f0", "4916d6bdb7f78e6803698cab32d1586ea457dfc8"},
      {std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21", "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input.size());
    const platform::Data data(c.input.begin(), c.input.end());
    EXPECT_EQ(platform::md5Hex(c.input), c.md5);
    EXPECT_EQ(platform::hexString(platform::md5(data)), c.md5);
    EXPECT_EQ(platform::sha1Hex(c.input), c.sha1);
    EXPECT_EQ(platform::hexString(platform::sha1(data)), c.sha1);
  }
}

TEST(CryptoTests, SecureRandomBytesFillsTheBuffer) {
  // Eight draws of 32 bytes that repeat, or stay zero, mean the buffer was never written.
  std::set<std::string> seen{std::string(32, '\0')};
  for (int round = 0; round < 8; ++round) {
    uint8_t buffer[32] = {};
    std::string error;
    ASSERT_TRUE(platform::secureRandomBytes(buffer, sizeof(buffer), &error)) << error;
    seen.insert(std::string(reinterpret_cast<char*>(buffer), sizeof(buffer)));
  }
  EXPECT_EQ(seen.size(), 9u);
  EXPECT_TRUE(platform::secureRandomBytes(nullptr, 0));
}

}  // namespace
