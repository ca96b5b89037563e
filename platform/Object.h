#pragma once
// Host values: what parameters, defaults, property lists, JSON and program values carry.
// An Object is a small immutable value; arrays and dictionaries are shared copy-on-write.

#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

namespace platform {

class Object;
using Array = std::vector<Object>;
using Dictionary = std::map<std::string, Object>;
using Data = std::vector<uint8_t>;

// A point in time, seconds since 1970.
struct Date {
  double seconds = 0;
  bool operator==(const Date&) const = default;
};

// Every integer type but bool, which stays a boolean, and the unscoped enumerations, whose
// constants (error codes, limits) are stored as their numbers. A scoped enumeration carries a
// meaning rather than a number, so storing one has to be spelled out.
template <class T>
concept IntegerNumber = (std::integral<T> && !std::same_as<T, bool>) ||
                        (std::is_enum_v<T> && std::is_convertible_v<T, int64_t>);

class Object {
 public:
  enum class Kind { Null, Bool, Integer, Double, String, Data, Date, Array, Dictionary };

  Object(std::nullptr_t = nullptr) noexcept {}
  // Only a bool itself: a pointer or a type that converts to bool is not silently a boolean.
  template <std::same_as<bool> T>
  Object(T b) : value_(b) {}
  // Stored as a signed 64-bit number whatever the declared type: unsigned values past its range wrap.
  template <IntegerNumber T>
  Object(T v) : value_(static_cast<int64_t>(v)) {}
  template <std::floating_point T>
  Object(T v) : value_(static_cast<double>(v)) {}
  Object(const char* s) : value_(std::string(s ? s : "")) {}
  Object(std::string s) : value_(std::move(s)) {}
  Object(std::string_view s) : value_(std::string(s)) {}
  Object(platform::Data d) : value_(std::move(d)) {}
  Object(platform::Date d) : value_(d) {}
  Object(platform::Array a) : value_(std::make_shared<const platform::Array>(std::move(a))) {}
  Object(platform::Dictionary d) : value_(std::make_shared<const platform::Dictionary>(std::move(d))) {}

  Kind kind() const { return static_cast<Kind>(value_.index()); }
  bool isNull() const { return kind() == Kind::Null; }
  bool isBool() const { return kind() == Kind::Bool; }
  bool isInteger() const { return kind() == Kind::Integer; }
  bool isDouble() const { return kind() == Kind::Double; }
  // Numbers include booleans, as the platform's number objects do.
  bool isNumber() const { return isBool() || isInteger() || isDouble(); }
  bool isString() const { return kind() == Kind::String; }
  bool isData() const { return kind() == Kind::Data; }
  bool isDate() const { return kind() == Kind::Date; }
  bool isArray() const { return kind() == Kind::Array; }
  bool isDictionary() const { return kind() == Kind::Dictionary; }

  // Typed readers: the value when it has that kind, else the neutral value.
  bool boolValue() const;       // numbers: non-zero; strings: "true"/"yes"/non-zero number
  int64_t integerValue() const; // doubles truncate (saturating, NaN gives 0); strings parse
  double doubleValue() const;
  const std::string& stringValue() const;
  const platform::Data& dataValue() const;
  platform::Date dateValue() const;
  const platform::Array& arrayValue() const;
  const platform::Dictionary& dictionaryValue() const;

  // Pointers to the held value, or nullptr when the kind differs.
  const std::string* asString() const { return std::get_if<std::string>(&value_); }
  const platform::Array* asArray() const;
  const platform::Dictionary* asDictionary() const;

  // Dictionary lookup; a null object when absent or not a dictionary.
  const Object& operator[](const std::string& key) const;

  // Structural equality; integers and doubles compare by numeric value.
  bool operator==(const Object& other) const;

  // A short readable form for logs ("(null)", quoted strings, {k = v} …).
  std::string description() const;

  static const Object& null();

 private:
  std::variant<std::monostate, bool, int64_t, double, std::string, platform::Data, platform::Date,
               std::shared_ptr<const platform::Array>, std::shared_ptr<const platform::Dictionary>>
      value_;
};

// A double truncated towards zero, saturating at the 64-bit bounds; NaN gives 0.
int64_t saturatingInt64(double value);

// Looks up key in dict; nullptr when absent.
const Object* find(const Dictionary& dict, const std::string& key);

}  // namespace platform
