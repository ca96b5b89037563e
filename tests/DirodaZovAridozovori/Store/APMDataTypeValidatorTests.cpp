#include "APMDataTypeValidator.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "APMEventParameters.h"
#include "StoreTestSupport.h"

namespace {

struct NameCase {
  const char* label;
  std::string name;
  bool valid;
  int code;
};

void expectNames(const std::function<bool(const std::string&, int*)>& check, const std::vector<NameCase>& cases) {
  for (const NameCase& c : cases) {
    int code = -1;
    EXPECT_EQ(check(c.name, &code), c.valid) << c.label;
    EXPECT_EQ(code, c.code) << c.label;
    EXPECT_EQ(check(c.name, nullptr), c.valid) << c.label << " without a code pointer";
  }
}

const std::string kE = "\xC3\xA9";           // U+00E9, one UTF-16 unit in two bytes
const std::string kEmoji = "\xF0\x9F\x98\x80";  // U+1F600, two UTF-16 units in four bytes

TEST(APMDataTypeValidatorTest, PublicEventNames) {
  expectNames(APMDataTypeValidator::isValidPublicEventName,
              {
                  {"empty", "", false, kAPMValidationEmpty},
                  {"40 characters", repeat("a", 40), true, kAPMValidationNone},
                  {"41 characters", repeat("a", 41), false, kAPMValidationTooLong},
                  {"leading digit", "2fast", false, kAPMValidationInvalidCharacters},
                  {"leading underscore", "_internal", false, kAPMValidationInvalidCharacters},
                  {"space", "add to cart", false, kAPMValidationInvalidCharacters},
                  {"multi-byte within the limit", "caf" + kE, false, kAPMValidationInvalidCharacters},
                  {"multi-byte over the limit counts characters", repeat(kE, 41), false, kAPMValidationTooLong},
                  {"ad_impression is open", "ad_impression", true, kAPMValidationNone},
                  {"reserved name", "first_open", false, kAPMValidationReserved},
                  {"reserved prefix", "zoredode_thing", false, kAPMValidationReserved},
                  {"prefix is not a whole word", "gazette", true, kAPMValidationNone},
              });
}

TEST(APMDataTypeValidatorTest, EventParameterNames) {
  expectNames(APMDataTypeValidator::isValidPublicEventParameterName,
              {
                  {"empty", "", false, kAPMValidationEmpty},
                  {"plain", "item_id", true, kAPMValidationNone},
                  {"41", repeat("p", 41), false, kAPMValidationTooLong},
                  {"internal name from the app", "_err", false, kAPMValidationInvalidCharacters},
                  {"reserved prefix", "diroda_x", false, kAPMValidationReserved},
              });
  expectNames(APMDataTypeValidator::isValidInternalEventParameterName,
              {
                  {"internal", "_err", true, kAPMValidationNone},
                  {"41", "_" + repeat("p", 40), false, kAPMValidationTooLong},
              });
}

TEST(APMDataTypeValidatorTest, UserPropertyNames) {
  expectNames(APMDataTypeValidator::isValidPublicUserAttributeName,
              {
                  {"empty", "", false, kAPMValidationEmpty},
                  {"24 characters", repeat("u", 24), true, kAPMValidationNone},
                  {"25 characters", repeat("u", 25), false, kAPMValidationTooLong},
                  {"reserved name", "user_id", false, kAPMValidationReserved},
                  {"reserved prefix", "da_pref", false, kAPMValidationReserved},
                  {"internal from the app", "_id", false, kAPMValidationInvalidCharacters},
              });
  expectNames(APMDataTypeValidator::isValidInternalUserAttributeName,
              {
                  {"internal", "_id", true, kAPMValidationNone},
                  {"25", "_" + repeat("u", 24), false, kAPMValidationTooLong},
              });
}

TEST(APMDataTypeValidatorTest, PublicUserPropertyValuesAreStringsOfOneTo36Characters) {
  struct ValueCase {
    const char* label;
    APMValue value;
    bool valid;
    int code;
  };
  const std::vector<ValueCase> cases = {
      {"one character", APMValue("x"), true, kAPMValidationNone},
      {"36 characters", APMValue(repeat("v", 36)), true, kAPMValidationNone},
      {"37 characters", APMValue(repeat("v", 37)), false, kAPMValidationTooLong},
      {"18 emoji are 36 UTF-16 units", APMValue(repeat(kEmoji, 18)), true, kAPMValidationNone},
      {"19 emoji are 38 UTF-16 units", APMValue(repeat(kEmoji, 19)), false, kAPMValidationTooLong},
      {"empty", APMValue(""), false, kAPMValidationEmpty},
      {"integer", APMValue(int64_t{5}), false, kAPMValidationUnsupportedType},
  };
  for (const ValueCase& c : cases) {
    int code = -1;
    EXPECT_EQ(APMDataTypeValidator::isValidPublicUserAttributeValue(c.value, &code), c.valid) << c.label;
    EXPECT_EQ(code, c.code) << c.label;
  }
}

TEST(APMDataTypeValidatorTest, InternalUserPropertyValueLimitDependsOnTheName) {
  int code = -1;
  EXPECT_TRUE(APMDataTypeValidator::isValidInternalUserAttributeValue(APMValue(repeat("i", 256)), "_id", &code));
  EXPECT_FALSE(APMDataTypeValidator::isValidInternalUserAttributeValue(APMValue(repeat("i", 257)), "_id", &code));
  EXPECT_EQ(code, kAPMValidationTooLong);
  EXPECT_FALSE(APMDataTypeValidator::isValidInternalUserAttributeValue(APMValue(repeat("i", 37)), "_sid", &code));
  EXPECT_EQ(code, kAPMValidationTooLong);
  EXPECT_TRUE(APMDataTypeValidator::isValidInternalUserAttributeValue(APMValue(int64_t{1} << 40), "_sid", &code));
  EXPECT_TRUE(APMDataTypeValidator::isValidInternalUserAttributeValue(APMValue(2.5), "_lte", &code));
}

TEST(APMDataTypeValidatorTest, ForwardedOrigins) {
  expectNames(APMDataTypeValidator::isValidForwardedEventOrigin,
              {
                  {"empty", "", false, kAPMValidationEmpty},
                  {"no suffix", "app", false, kAPMValidationMissingSuffix},
                  {"valid", "app+stg", true, kAPMValidationNone},
                  {"32 characters before the suffix", repeat("o", 32) + "+stg", true, kAPMValidationNone},
                  {"33 characters before the suffix", repeat("o", 33) + "+stg", false, kAPMValidationTooLong},
                  {"bad characters", "a b+stg", false, kAPMValidationInvalidCharacters},
              });
}

TEST(APMDataTypeValidatorTest, EventParameterValues) {
  const APMEventParameterLimits defaults;
  const auto publicLimit = static_cast<size_t>(defaults.maxPublicEventParameterValueLength);
  const auto internalLimit = static_cast<size_t>(defaults.maxInternalEventParameterValueLength());
  int code = -1;
  EXPECT_TRUE(APMDataTypeValidator::isValidPublicEventParameterValue(APMValue(repeat("v", publicLimit)), &code));
  EXPECT_FALSE(APMDataTypeValidator::isValidPublicEventParameterValue(APMValue(repeat("v", publicLimit + 1)), &code));
  EXPECT_EQ(code, kAPMValidationTooLong);
  EXPECT_FALSE(APMDataTypeValidator::isValidPublicEventParameterValue(APMValue(std::vector<APMParameters>{}), &code));
  EXPECT_EQ(code, kAPMValidationUnsupportedType);
  EXPECT_TRUE(APMDataTypeValidator::isValidInternalEventParameterValue(APMValue(repeat("v", internalLimit)), &code));
  EXPECT_FALSE(APMDataTypeValidator::isValidInternalEventParameterValue(APMValue(repeat("v", internalLimit + 1)), &code));
}

}  // namespace
