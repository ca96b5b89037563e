#include "platform/Object.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <type_traits>

namespace {

using platform::Object;
using Kind = Object::Kind;

enum class ScopedKind { kFirst, kSecond };
enum PlainCode { kPlainCode = 3 };
enum WideCode : uint64_t { kWideCode = 0xFFFFFFFFFFFFFFFFull };

// A scoped enumeration carries a meaning, not a number: storing one must be spelled out.
static_assert(!std::is_constructible_v<Object, ScopedKind>);
static_assert(!std::is_convertible_v<ScopedKind, Object>);
// A pointer tested for presence has to say so; it is neither a text nor silently a boolean.
static_assert(!std::is_constructible_v<Object, const int*>);
// Parameter tables are written as {"key", 1}: every number type converts without a cast.
static_assert(std::is_convertible_v<unsigned short, Object>);
static_assert(std::is_convertible_v<uint64_t, Object>);
static_assert(std::is_convertible_v<float, Object>);
static_assert(std::is_nothrow_default_constructible_v<Object>);

struct Construction {
  const char* label;
  Object value;
  Kind kind;
  std::string description;
};

TEST(ObjectTests, EachSourceTypeKeepsItsKindAndValue) {
  char mutableText[] = "12";
  const char* missingText = nullptr;
  const Construction cases[] = {
      {"default", Object(), Kind::Null, "(null)"},
      {"nullptr", Object(nullptr), Kind::Null, "(null)"},
      {"true", Object(true), Kind::Bool, "1"},
      {"false", Object(false), Kind::Bool, "0"},
      {"char", Object('a'), Kind::Integer, "97"},
      {"signed char", Object(static_cast<signed char>(-5)), Kind::Integer, "-5"},
      {"unsigned char", Object(static_cast<unsigned char>(200)), Kind::Integer, "200"},
      {"short", Object(static_cast<short>(-32768)), Kind::Integer, "-32768"},
      {"unsigned short", Object(static_cast<unsigned short>(65535)), Kind::Integer, "65535"},
      {"int", Object(-7), Kind::Integer, "-7"},
      {"unsigned", Object(4294967295u), Kind::Integer, "4294967295"},
      {"long", Object(-2147483649L), Kind::Integer, "-2147483649"},
      {"long long min", Object(std::numeric_limits<long long>::min()), Kind::Integer, "-9223372036854775808"},
      {"size_t", Object(sizeof(int64_t)), Kind::Integer, "8"},
      {"uint64 past the signed range", Object(std::numeric_limits<uint64_t>::max()), Kind::Integer, "-1"},
      {"unscoped enumeration", Object(kPlainCode), Kind::Integer, "3"},
      {"wide unscoped enumeration", Object(kWideCode), Kind::Integer, "-1"},
      {"float", Object(1.5f), Kind::Double, "1.5"},
      {"double", Object(-0.25), Kind::Double, "-0.25"},
      {"whole double", Object(3.0), Kind::Double, "3"},
      {"long double", Object(2.5L), Kind::Double, "2.5"},
      {"literal", Object("7"), Kind::String, "7"},
      {"char pointer", Object(mutableText), Kind::String, "12"},
      {"null char pointer", Object(missingText), Kind::String, ""},
      {"string view", Object(std::string_view("ab")), Kind::String, "ab"},
      {"string", Object(std::string("1")), Kind::String, "1"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.value.kind(), c.kind) << c.label;
    EXPECT_EQ(c.value.description(), c.description) << c.label;
  }
}

TEST(ObjectTests, ImplicitConversionsInTablesChooseTheSameKinds) {
  const platform::Dictionary parameters{{"flag", true}, {"count", 3u}, {"ratio", 0.5f}, {"name", "x"}};
  EXPECT_EQ(parameters.at("flag").kind(), Kind::Bool);
  EXPECT_EQ(parameters.at("count").kind(), Kind::Integer);
  EXPECT_EQ(parameters.at("ratio").kind(), Kind::Double);
  EXPECT_EQ(parameters.at("name").kind(), Kind::String);
  // Booleans are numbers but never equal to one, and a text is never equal to the number it spells.
  EXPECT_NE(Object(true), Object(1));
  EXPECT_NE(Object("1"), Object(1));
  EXPECT_EQ(Object(2), Object(2.0));
}

}  // namespace
