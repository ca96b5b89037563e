#include <gtest/gtest.h>

#include "APMError.h"

using platform::Error;
using platform::Object;

TEST(APMError, ErrorsCarryDomainDescriptionAndContext) {
  Error plain = APMError::apm_errorWithCode(2, "Remote config data is corrupted");
  EXPECT_EQ(plain.domain, "com.diroda.dmp.measurement.ErrorDomain");
  EXPECT_EQ(plain.userInfo, (platform::Dictionary{{"NSLocalizedDescription", Object("Remote config data is corrupted")}}));
  EXPECT_EQ(APMError::monitorContextOf(plain), "");

  Error withContext = APMError::apm_errorWithCode(7, "", "db_locked");
  EXPECT_EQ(withContext.userInfo, (platform::Dictionary{{"APMMonitorContext", Object("db_locked")}}));
  EXPECT_EQ(APMError::monitorContextOf(withContext), "db_locked");

  Error foreign("other.domain", 1, "x", {{"APMMonitorContext", Object("ignored")}});
  EXPECT_EQ(APMError::monitorContextOf(foreign), "");
}
