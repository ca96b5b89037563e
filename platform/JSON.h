#pragma once
// JSON texts as host values, and type-checked reads from JSON objects.
//
// Replies come from the network, so parsing never trusts its input: malformed text, bytes that are
// not UTF-8, text after the value, numbers beyond the range of a double and nesting deeper than
// kMaxDepth are refused with an error, never a crash. Whole numbers become integers when they fit
// in 64 bits (doubles otherwise); a key that repeats keeps its last value.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Error.h"
#include "platform/Object.h"

namespace platform {

class JSON {
 public:
  static constexpr const char* kErrorDomain = "platform.JSON";
  enum ErrorCode : int64_t {
    kErrorCorrupt = 1,      // the text is not JSON (or nests too deep)
    kErrorNotAnObject = 2,  // well-formed, but the top level is not an object
  };
  static constexpr size_t kMaxDepth = 512;

  // The value of a JSON text; a null Object and kErrorCorrupt when it is not one. (A text holding
  // only null also gives a null Object, without an error.)
  static Object parse(std::string_view text, Error* error = nullptr);
  static Object parse(const Data& bytes, Error* error = nullptr);

  // The same for texts whose top level must be an object: none and kErrorNotAnObject for an array,
  // a string, a number, true, false or null at the top.
  static std::optional<Dictionary> parseObject(std::string_view text, Error* error = nullptr);
  static std::optional<Dictionary> parseObject(const Data& bytes, Error* error = nullptr);

  // Type-checked reads: the value under key when it is present with that JSON type, else none.
  static std::optional<std::string> string(const Dictionary& object, const std::string& key);
  // true or false only (a number is not a boolean here).
  static std::optional<bool> boolean(const Dictionary& object, const std::string& key);
  // A number written without fraction or exponent that fits in 64 bits.
  static std::optional<int64_t> integer(const Dictionary& object, const std::string& key);
  // Any number (not a boolean).
  static std::optional<double> number(const Dictionary& object, const std::string& key);
  static const Dictionary* object(const Dictionary& object, const std::string& key);
  static const Array* array(const Dictionary& object, const std::string& key);

  // The text of a string or number: a string as it is, an integer in decimal, a double in its
  // shortest form that reads back the same, true and false as "1" and "0" (what the platform's
  // number objects answer). None when absent, null, an array or an object.
  static std::optional<std::string> stringValue(const Dictionary& object, const std::string& key);
};

}  // namespace platform
