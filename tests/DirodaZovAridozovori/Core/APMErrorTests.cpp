#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>

#include "APMError.h"

using platform::Error;
using platform::Object;

TEST(APMError, ErrorsCarryDomainDescriptionAndContext) {
  Error plain = APMError::apm_errorWithCode(2, "Remote config data is corrupted");
  EXPECT_EQ(plain.domain, "com.diroda.dmp.measurement.ErrorDomain");
  EXPECT_EQ(plain.code, 2);
  EXPECT_EQ(plain.description, "Remote config data is corrupted");
  EXPECT_EQ(plain.userInfo, (platform::Dictionary{{"NSLocalizedDescription", Object("Remote config data is corrupted")}}));
  EXPECT_EQ(APMError::monitorContextOf(plain), "");

  Error withContext = APMError::apm_errorWithCode(7, "", "db_locked");
  EXPECT_EQ(withContext.userInfo, (platform::Dictionary{{"APMMonitorContext", Object("db_locked")}}));
  EXPECT_EQ(APMError::monitorContextOf(withContext), "db_locked");

  Error foreign("other.domain", 1, "x", {{"APMMonitorContext", Object("ignored")}});
  EXPECT_EQ(APMError::monitorContextOf(foreign), "");
}

TEST(APMError, HelpersFillOnlyOnFailureAndOnlyWhenAsked) {
  Error untouched("keep", 99);
  EXPECT_TRUE(APMCheckBool(true, &untouched, 1, "no"));
  EXPECT_TRUE(APMCheckNotNil(std::make_shared<int>(1), &untouched, 1, "no"));
  EXPECT_TRUE(APMCheckNotNil(std::optional<int>(0), &untouched, 1, "no"));
  EXPECT_TRUE(APMCheckNotNil(Object(0), &untouched, 1, "no"));
  EXPECT_EQ(untouched.domain, "keep");
  EXPECT_EQ(untouched.code, 99);

  struct Row {
    const char* name;
    std::function<bool(Error*)> check;
  };
  const Row failing[] = {
      {"bool", [](Error* e) { return APMCheckBool(false, e, 11, "failed"); }},
      {"pointer", [](Error* e) { return APMCheckNotNil(std::shared_ptr<int>(), e, 11, "failed"); }},
      {"optional", [](Error* e) { return APMCheckNotNil(std::optional<std::string>(), e, 11, "failed"); }},
      {"function", [](Error* e) { return APMCheckNotNil(std::function<void()>(), e, 11, "failed"); }},
      {"null object", [](Error* e) { return APMCheckNotNil(Object(), e, 11, "failed"); }},
  };
  for (const auto& row : failing) {
    SCOPED_TRACE(row.name);
    Error error;
    EXPECT_FALSE(row.check(&error));
    EXPECT_EQ(error.domain, kAPMErrorDomain);
    EXPECT_EQ(error.code, 11);
    EXPECT_EQ(error.description, "failed");
    EXPECT_FALSE(row.check(nullptr));
  }

  Error set;
  APMSetErrorWithMonitorContext(&set, 4, "bad", "ctx");
  EXPECT_EQ(APMError::monitorContextOf(set), "ctx");
  APMSetError(nullptr, 4, "no target");
}
