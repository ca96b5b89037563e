#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "Identity/APMIdentity.h"
#include "IdentityTestDoubles.h"

namespace {

using identitytest::LogCapture;

TEST(APMIdentityHelpers, NumericFieldsOfAppVersions) {
  struct Case {
    std::string version;
    std::vector<int32_t> fields;
    int nonNumericWarnings;
  };
  const Case cases[] = {
      {"1.2b.3", {1, 2, 3}, 1},
      {"4", {4}, 0},
      {"10.20.30.40", {10, 20, 30, 40}, 0},
      {"", {}, 0},
      {"1..2", {1, 2}, 0},  // empty fields are skipped, not zero
      {".5.", {5}, 0},
      {"beta", {0}, 1},  // nothing numeric left reads as 0
      {"v1.x2.3rc1", {1, 2, 31}, 3},
      {"99999999999.1", {2147483647, 1}, 0},  // saturates instead of wrapping
  };
  for (const Case& c : cases) {
    LogCapture log;
    EXPECT_EQ(APMIdentity::numericFieldsFromAppVersionNumeric(c.version), c.fields) << c.version;
    EXPECT_EQ(log.count(20002), c.nonNumericWarnings) << c.version;
    if (auto entry = log.find(20002)) {
      EXPECT_EQ(entry->level, 5);
      EXPECT_EQ(entry->message, "app version numeric has non-numeric characters");
    }
  }
}

TEST(APMIdentityHelpers, RandomAppInstanceIDsAre32UpperCaseHexCharacters) {
  const std::regex shape("^[0-9A-F]{32}$");
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    std::string id = APMIdentity::randomAppInstanceID();
    ASSERT_TRUE(std::regex_match(id, shape)) << id;
    // Version 4 UUID: the version digit and the variant bits.
    EXPECT_EQ(id[12], '4') << id;
    EXPECT_NE(std::string("89AB").find(id[16]), std::string::npos) << id;
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 1000u);
}

}  // namespace
