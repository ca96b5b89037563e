#include <gtest/gtest.h>

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
      {"10.20.30.40", {10, 20, 30, 40}, 0},
      {"", {}, 0},
      {"1..2", {1, 2}, 0},  // empty fields are skipped, not zero
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

}  // namespace
