#pragma once
// The tagged value of event parameters and user properties: a 64-bit integer, a double, a string,
// or (for item lists) an array of parameter dictionaries.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/Object.h"

class APMValue;
// Parameter names in byte order (as std::string orders them), looked up by any text, so a literal
// name costs no string of its own. Names are short and differ within their first bytes, so a loop
// here settles them without a call to memcmp: every parameter map is searched several times per
// event.
struct APMParameterNameLess {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const noexcept {
    const size_t common = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < common; ++i) {
      if (a[i] != b[i]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]);
    }
    return a.size() < b.size();
  }
};
using APMParameters = std::map<std::string, APMValue, APMParameterNameLess>;

class APMValue {
 public:
  enum class Type { Int64, Double, String, Array };

  // The integer 0, so parameter maps can be filled with operator[].
  APMValue() : value_(int64_t{0}) {}
  explicit APMValue(int64_t value) : value_(value) {}
  explicit APMValue(int value) : APMValue(static_cast<int64_t>(value)) {}
  explicit APMValue(double value) : value_(value) {}
  explicit APMValue(std::string value) : value_(std::move(value)) {}
  explicit APMValue(const char* value) : APMValue(std::string(value ? value : "")) {}
  explicit APMValue(std::vector<APMParameters> items);

  // A string value from a string, a double from a floating number, else a 64-bit integer from a
  // number (booleans included). Null logs code 35000 and any other kind code 35001; both give none.
  static std::optional<APMValue> valueFromObject(const platform::Object& object);
  // Like valueFromObject, and an array of dictionaries becomes an array value whose entries are
  // converted the same way (one level only; entries that do not convert are left out).
  static std::optional<APMValue> valueFromParameterObject(const platform::Object& object);

  Type type() const { return static_cast<Type>(value_.index()); }
  bool isInt64() const { return type() == Type::Int64; }
  bool isDouble() const { return type() == Type::Double; }
  bool isString() const { return type() == Type::String; }
  bool isArray() const { return type() == Type::Array; }

  // Neutral values for other kinds (0, 0.0, "", empty).
  int64_t int64Value() const { return isInt64() ? std::get<int64_t>(value_) : 0; }
  double doubleValue() const { return isDouble() ? std::get<double>(value_) : 0; }
  const std::string& stringValue() const;
  const std::vector<APMParameters>& arrayValue() const;

  // The host form: an integer, floating or string object, or an array of dictionaries.
  platform::Object object() const;
  // Readable text for logs.
  std::string description() const;

  bool operator==(const APMValue& other) const;
  bool operator!=(const APMValue& other) const { return !(*this == other); }

 private:
  // The alternatives in the order of Type. One of them at a time: a parameter map's node stays small
  // enough for the allocator's quick bins, and events hold thousands of them.
  std::variant<int64_t, double, std::string, std::shared_ptr<const std::vector<APMParameters>>> value_;
};

// Host dictionary to parameters (values that do not convert are left out) and back.
APMParameters APMParametersFromDictionary(const platform::Dictionary& dictionary);
platform::Dictionary APMDictionaryFromParameters(const APMParameters& parameters);
