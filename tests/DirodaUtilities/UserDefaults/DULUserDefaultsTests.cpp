#include "UserDefaults/DULUserDefaults.h"

#include <gtest/gtest.h>

#include "Logger/DULLogger.h"
#include "TestSupport.h"
#include "platform/UserDefaults.h"
#include "platform/UserDefaultsRegistry.h"

namespace {

class DULUserDefaultsTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::UserDefaultsRegistry::resetForTesting(); }
  void TearDown() override {
    DULLoggerSetSink(nullptr);
    platform::UserDefaultsRegistry::resetForTesting();
  }
  testsupport::ScopedDataDirectory dataDirectory_;
};

// A value of another kind reads as absent (or 0 / false), a numeric string included.
TEST_F(DULUserDefaultsTest, TypedGettersAnswerOnlyForTheirKindAndSuitesStayApart) {
  DULUserDefaults defaults("com.test.typed");
  defaults.setObject("7", "s");
  defaults.setObject(2.5, "d");
  defaults.setObject(platform::Array{1, "x"}, "a");
  defaults.setObject(platform::Dictionary{{"k", "v"}}, "m");
  defaults.setObject(platform::Data{1, 2}, "data");
  struct Case {
    const char* key;
    bool isString, isArray, isDictionary, isData;
    int64_t integer;
    double real;
    bool boolean;
  } cases[] = {
      {"s", true, false, false, false, 0, 0, false},    {"d", false, false, false, false, 2, 2.5, true},
      {"a", false, true, false, false, 0, 0, false},    {"m", false, false, true, false, 0, 0, false},
      {"data", false, false, false, true, 0, 0, false}, {"absent", false, false, false, false, 0, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    EXPECT_EQ(defaults.stringForKey(c.key).has_value(), c.isString);
    EXPECT_EQ(defaults.arrayForKey(c.key).has_value(), c.isArray);
    EXPECT_EQ(defaults.dictionaryForKey(c.key).has_value(), c.isDictionary);
    EXPECT_EQ(defaults.dataForKey(c.key).has_value(), c.isData);
    EXPECT_EQ(defaults.integerForKey(c.key), c.integer);
    EXPECT_DOUBLE_EQ(defaults.doubleForKey(c.key), c.real);
    EXPECT_EQ(defaults.boolForKey(c.key), c.boolean);
  }
  EXPECT_EQ(defaults.stringForKey("s").value_or(""), "7");

  // "" names the standard defaults, which a named suite does not see.
  DULUserDefaults("").setString("standard", "where");
  EXPECT_EQ(DULUserDefaults::standardUserDefaults()->stringForKey("where").value_or(""), "standard");
  EXPECT_TRUE(defaults.objectForKey("where").isNull());
}

TEST_F(DULUserDefaultsTest, NullRemovesAndNonPropertyListValuesAreRefused) {
  std::vector<DULLogRecord> logged;
  std::mutex mutex;
  DULLoggerSetSink([&](const DULLogRecord& record) {
    std::lock_guard<std::mutex> lock(mutex);
    logged.push_back(record);
  });
  DULUserDefaults defaults("com.test.refused");
  defaults.setString("kept", "key");
  EXPECT_FALSE(defaults.setObject(platform::Array{1, platform::Object()}, "key"));
  EXPECT_FALSE(defaults.setObject(platform::Dictionary{{"a", platform::Dictionary{{"b", nullptr}}}}, "key"));
  EXPECT_EQ(defaults.stringForKey("key").value_or(""), "kept");
  EXPECT_FALSE(defaults.setObject("x", ""));
  EXPECT_TRUE(defaults.setObject(platform::Object(), "key"));
  EXPECT_TRUE(defaults.objectForKey("key").isNull());
  DULLoggerFlush();
  std::lock_guard<std::mutex> lock(mutex);
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_EQ(logged[0].messageCode, "I-DUL000001");
}

}  // namespace
