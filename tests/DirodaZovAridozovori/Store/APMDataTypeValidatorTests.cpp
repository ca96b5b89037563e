#include "APMDataTypeValidator.h"

#include <gtest/gtest.h>

#include "APMEventParameters.h"
#include "StoreTestSupport.h"

namespace {

using V = APMDataTypeValidator;
const std::string kE = "\xC3\xA9";              // U+00E9, one UTF-16 unit in two bytes
const std::string kEmoji = "\xF0\x9F\x98\x80";  // U+1F600, two UTF-16 units in four bytes

TEST(APMDataTypeValidatorTest, NamesAndOrigins) {
  struct Case {
    const char* label;
    bool (*check)(const std::string&, int*);
    std::string name;
    bool valid;
    int code;
  };
  const Case cases[] = {
      {"event: empty", V::isValidPublicEventName, "", false, kAPMValidationEmpty},
      {"event: 40 characters", V::isValidPublicEventName, repeat("a", 40), true, kAPMValidationNone},
      {"event: 41 characters", V::isValidPublicEventName, repeat("a", 41), false, kAPMValidationTooLong},
      {"event: leading digit", V::isValidPublicEventName, "2fast", false, kAPMValidationInvalidCharacters},
      {"event: leading underscore", V::isValidPublicEventName, "_internal", false, kAPMValidationInvalidCharacters},
      {"event: multi-byte", V::isValidPublicEventName, "caf" + kE, false, kAPMValidationInvalidCharacters},
      {"event: counts characters", V::isValidPublicEventName, repeat(kE, 41), false, kAPMValidationTooLong},
      {"event: 40 two-byte characters are not too long", V::isValidPublicEventName, repeat(kE, 40), false,
       kAPMValidationInvalidCharacters},
      {"parameter: 40 two-byte characters are not too long", V::isValidPublicEventParameterName, repeat(kE, 40),
       false, kAPMValidationInvalidCharacters},
      {"parameter: 20 emoji are 40 units", V::isValidPublicEventParameterName, repeat(kEmoji, 20), false,
       kAPMValidationInvalidCharacters},
      {"parameter: 21 emoji are 42 units", V::isValidPublicEventParameterName, repeat(kEmoji, 21), false,
       kAPMValidationTooLong},
      {"parameter: 40 characters", V::isValidPublicEventParameterName, repeat("p", 40), true, kAPMValidationNone},
      {"parameter: reserved prefix alone", V::isValidPublicEventParameterName, "zoredode_", false,
       kAPMValidationReserved},
      {"parameter: shorter than a prefix", V::isValidPublicEventParameterName, "d", true, kAPMValidationNone},
      {"parameter: a prefix's first letters only", V::isValidPublicEventParameterName, "diroda", true,
       kAPMValidationNone},
      {"parameter: letters, digits and underscores", V::isValidPublicEventParameterName, "aZ09_b", true,
       kAPMValidationNone},
      {"parameter: a punctuation byte", V::isValidPublicEventParameterName, "a-b", false,
       kAPMValidationInvalidCharacters},
      {"parameter: a byte above ASCII", V::isValidPublicEventParameterName, "ab\xC3", false,
       kAPMValidationInvalidCharacters},
      {"parameter: a zero byte", V::isValidPublicEventParameterName, std::string("a\0b", 3), false,
       kAPMValidationInvalidCharacters},
      {"event: ad_impression is open", V::isValidPublicEventName, "ad_impression", true, kAPMValidationNone},
      {"event: reserved name", V::isValidPublicEventName, "first_open", false, kAPMValidationReserved},
      {"event: reserved prefix", V::isValidPublicEventName, "zoredode_thing", false, kAPMValidationReserved},
      {"event: prefix is not a whole word", V::isValidPublicEventName, "gazette", true, kAPMValidationNone},
      {"parameter: 41", V::isValidPublicEventParameterName, repeat("p", 41), false, kAPMValidationTooLong},
      {"parameter: internal from the app", V::isValidPublicEventParameterName, "_err", false,
       kAPMValidationInvalidCharacters},
      {"parameter: reserved prefix", V::isValidPublicEventParameterName, "diroda_x", false, kAPMValidationReserved},
      {"internal parameter", V::isValidInternalEventParameterName, "_err", true, kAPMValidationNone},
      {"internal parameter: 41", V::isValidInternalEventParameterName, "_" + repeat("p", 40), false,
       kAPMValidationTooLong},
      {"property: 24 characters", V::isValidPublicUserAttributeName, repeat("u", 24), true, kAPMValidationNone},
      {"property: 25 characters", V::isValidPublicUserAttributeName, repeat("u", 25), false, kAPMValidationTooLong},
      {"property: reserved name", V::isValidPublicUserAttributeName, "user_id", false, kAPMValidationReserved},
      {"property: reserved prefix", V::isValidPublicUserAttributeName, "da_pref", false, kAPMValidationReserved},
      {"property: internal from the app", V::isValidPublicUserAttributeName, "_id", false,
       kAPMValidationInvalidCharacters},
      {"internal property: 25", V::isValidInternalUserAttributeName, "_" + repeat("u", 24), false,
       kAPMValidationTooLong},
      {"origin: no suffix", V::isValidForwardedEventOrigin, "app", false, kAPMValidationMissingSuffix},
      {"origin: 32 before the suffix", V::isValidForwardedEventOrigin, repeat("o", 32) + "+stg", true,
       kAPMValidationNone},
      {"origin: 33 before the suffix", V::isValidForwardedEventOrigin, repeat("o", 33) + "+stg", false,
       kAPMValidationTooLong},
      {"origin: bad characters", V::isValidForwardedEventOrigin, "a b+stg", false, kAPMValidationInvalidCharacters},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    int code = -1;
    EXPECT_EQ(c.check(c.name, &code), c.valid);
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(c.check(c.name, nullptr), c.valid) << "without a code pointer";
  }
}

TEST(APMDataTypeValidatorTest, Values) {
  using Check = bool (*)(const APMValue&, int*);
  const Check property = V::isValidPublicUserAttributeValue;
  const Check id = [](const APMValue& v, int* c) { return V::isValidInternalUserAttributeValue(v, "_id", c); };
  const Check sid = [](const APMValue& v, int* c) { return V::isValidInternalUserAttributeValue(v, "_sid", c); };
  struct Case {
    const char* label;
    Check check;
    APMValue value;
    bool valid;
    int code;
  };
  const Case cases[] = {
      {"property: 36 characters", property, APMValue(repeat("v", 36)), true, kAPMValidationNone},
      {"property: 37 characters", property, APMValue(repeat("v", 37)), false, kAPMValidationTooLong},
      {"property: 18 emoji are 36 UTF-16 units", property, APMValue(repeat(kEmoji, 18)), true, kAPMValidationNone},
      {"property: 19 emoji are 38 UTF-16 units", property, APMValue(repeat(kEmoji, 19)), false, kAPMValidationTooLong},
      {"property: empty", property, APMValue(""), false, kAPMValidationEmpty},
      {"property: integer", property, APMValue(int64_t{5}), false, kAPMValidationUnsupportedType},
      {"_id: 256", id, APMValue(repeat("i", 256)), true, kAPMValidationNone},
      {"_id: 257", id, APMValue(repeat("i", 257)), false, kAPMValidationTooLong},
      {"_sid: 37", sid, APMValue(repeat("i", 37)), false, kAPMValidationTooLong},
      {"_sid: integer", sid, APMValue(int64_t{1} << 40), true, kAPMValidationNone},
      {"parameter: 500 characters", V::isValidPublicEventParameterValue, APMValue(repeat("v", 500)), true,
       kAPMValidationNone},
      {"parameter: 501 characters", V::isValidPublicEventParameterValue, APMValue(repeat("v", 501)), false,
       kAPMValidationTooLong},
      {"parameter: list", V::isValidPublicEventParameterValue, APMValue(std::vector<APMParameters>{}), false,
       kAPMValidationUnsupportedType},
      {"internal parameter: 500 characters", V::isValidInternalEventParameterValue, APMValue(repeat("v", 500)), true,
       kAPMValidationNone},
      {"internal parameter: 501 characters", V::isValidInternalEventParameterValue, APMValue(repeat("v", 501)), false,
       kAPMValidationTooLong},
  };
  for (const Case& c : cases) {
    int code = -1;
    EXPECT_EQ(c.check(c.value, &code), c.valid) << c.label;
    EXPECT_EQ(code, c.code) << c.label;
  }
}

// A configuration that lowers the public length to 100 keeps internal values at 256.
TEST(APMDataTypeValidatorTest, InternalValuesKeepTwoHundredFiftySixUnderALowerPublicLimit) {
  APMSetEventParameterLimitsProvider([] {
    APMEventParameterLimits limits;
    limits.maxPublicEventParameterValueLength = 100;
    return limits;
  });
  EXPECT_TRUE(V::isValidPublicEventParameterValue(APMValue(repeat("v", 100)), nullptr));
  EXPECT_FALSE(V::isValidPublicEventParameterValue(APMValue(repeat("v", 101)), nullptr));
  EXPECT_TRUE(V::isValidInternalEventParameterValue(APMValue(repeat("v", 256)), nullptr));
  EXPECT_FALSE(V::isValidInternalEventParameterValue(APMValue(repeat("v", 257)), nullptr));
  APMSetEventParameterLimitsProvider(nullptr);
}

// A screen's name or class is a string of 1 to the public value length characters, under the
// lowest limit a configuration may set (100) as under the default (500); short names skip reading
// the limit, so both sides of that shortcut are pinned.
TEST(APMDataTypeValidatorTest, ScreenValuesFollowTheConfiguredLengthOnBothSidesOfTheShortcut) {
  struct Case {
    const char* label;
    int64_t limit;
    platform::Object value;
    bool valid;
    int code;
  };
  const Case cases[] = {
      {"lowest: 100 characters", 100, platform::Object(repeat("s", 100)), true, kAPMValidationNone},
      {"lowest: 101 characters", 100, platform::Object(repeat("s", 101)), false, kAPMValidationTooLong},
      {"lowest: 100 two-byte characters", 100, platform::Object(repeat(kE, 100)), true, kAPMValidationNone},
      {"lowest: 101 two-byte characters", 100, platform::Object(repeat(kE, 101)), false, kAPMValidationTooLong},
      {"lowest: 51 emoji", 100, platform::Object(repeat(kEmoji, 51)), false, kAPMValidationTooLong},
      {"default: 500 characters", 500, platform::Object(repeat("s", 500)), true, kAPMValidationNone},
      {"default: 501 characters", 500, platform::Object(repeat("s", 501)), false, kAPMValidationTooLong},
      {"empty", 500, platform::Object(""), false, kAPMValidationEmpty},
      {"not a string", 500, platform::Object(int64_t{7}), false, kAPMValidationUnsupportedType},
  };
  for (const Case& c : cases) {
    APMSetEventParameterLimitsProvider([limit = c.limit] {
      APMEventParameterLimits limits;
      limits.maxPublicEventParameterValueLength = limit;
      return limits;
    });
    int code = -1;
    EXPECT_EQ(V::isValidScreenParameterValue(c.value, &code), c.valid) << c.label;
    EXPECT_EQ(code, c.code) << c.label;
    // A screen's own name or class is checked as the text it holds, with the same answer.
    if (const std::string* text = c.value.asString()) {
      code = -1;
      EXPECT_EQ(V::isValidScreenParameterText(*text, &code), c.valid) << c.label;
      EXPECT_EQ(code, c.code) << c.label;
    }
  }
  APMSetEventParameterLimitsProvider(nullptr);
}

}  // namespace
