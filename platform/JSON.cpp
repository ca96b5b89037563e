#include "platform/JSON.h"

#include <charconv>
#include <limits>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace platform {

namespace {

using Json = nlohmann::json;

// Builds host values straight from the parser's events, one open container per level, so no
// intermediate tree is kept and nesting is bounded before anything recursive (destruction of the
// result included) could run deep.
class ObjectBuilder final : public nlohmann::json_sax<Json> {
 public:
  Object result;
  std::string failure;

  bool null() override { return add(Object()); }
  bool boolean(bool value) override { return add(Object(value)); }
  bool number_integer(number_integer_t value) override { return add(Object(static_cast<long long>(value))); }
  bool number_unsigned(number_unsigned_t value) override {
    if (value > static_cast<number_unsigned_t>(std::numeric_limits<int64_t>::max())) {
      return add(Object(static_cast<double>(value)));
    }
    return add(Object(static_cast<long long>(value)));
  }
  bool number_float(number_float_t value, const string_t&) override { return add(Object(value)); }
  bool string(string_t& value) override { return add(Object(std::move(value))); }
  bool binary(binary_t&) override { return fail("binary values are not JSON"); }

  bool start_object(std::size_t) override { return open(true); }
  bool key(string_t& key) override {
    open_.back().key = std::move(key);
    return true;
  }
  bool end_object() override { return close(); }
  bool start_array(std::size_t) override { return open(false); }
  bool end_array() override { return close(); }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& error) override {
    return fail(error.what());
  }

 private:
  struct Container {
    bool isObject = false;
    Array array;
    Dictionary dictionary;
    std::string key;
  };

  bool fail(std::string reason) {
    failure = std::move(reason);
    return false;
  }

  bool add(Object value) {
    if (open_.empty()) {
      result = std::move(value);
    } else if (open_.back().isObject) {
      open_.back().dictionary.insert_or_assign(std::move(open_.back().key), std::move(value));
    } else {
      open_.back().array.push_back(std::move(value));
    }
    return true;
  }

  bool open(bool isObject) {
    if (open_.size() >= JSON::kMaxDepth) return fail("nesting deeper than " + std::to_string(JSON::kMaxDepth));
    open_.push_back(Container{isObject, {}, {}, {}});
    return true;
  }

  bool close() {
    Container container = std::move(open_.back());
    open_.pop_back();
    return container.isObject ? add(Object(std::move(container.dictionary))) : add(Object(std::move(container.array)));
  }

  std::vector<Container> open_;
};

template <typename Input>
Object parseInput(Input&& input, Error* error) {
  ObjectBuilder builder;
  bool parsed = false;
  try {
    parsed = Json::sax_parse(std::forward<Input>(input), &builder);
  } catch (const std::exception& exception) {
    builder.failure = exception.what();
  }
  if (parsed) return std::move(builder.result);
  setError(error, Error(JSON::kErrorDomain, JSON::kErrorCorrupt, "The data is not valid JSON: " + builder.failure));
  return Object();
}

std::optional<Dictionary> topLevelObject(Object value, const Error& parseError, Error* error) {
  if (const Dictionary* dictionary = value.asDictionary()) return *dictionary;
  if (parseError.empty()) {
    setError(error, Error(JSON::kErrorDomain, JSON::kErrorNotAnObject, "The top level of the JSON text is not an object"));
  } else {
    setError(error, parseError);
  }
  return std::nullopt;
}

std::string doubleText(double value) {
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof(buffer), value);
  return std::string(buffer, result.ptr);
}

}  // namespace

Object JSON::parse(std::string_view text, Error* error) { return parseInput(text, error); }

Object JSON::parse(const Data& bytes, Error* error) { return parseInput(bytes, error); }

std::optional<Dictionary> JSON::parseObject(std::string_view text, Error* error) {
  Error parseError;
  Object value = parse(text, &parseError);
  return topLevelObject(std::move(value), parseError, error);
}

std::optional<Dictionary> JSON::parseObject(const Data& bytes, Error* error) {
  Error parseError;
  Object value = parse(bytes, &parseError);
  return topLevelObject(std::move(value), parseError, error);
}

std::optional<std::string> JSON::string(const Dictionary& object, const std::string& key) {
  const Object* value = find(object, key);
  if (!value || !value->isString()) return std::nullopt;
  return value->stringValue();
}

std::optional<bool> JSON::boolean(const Dictionary& object, const std::string& key) {
  const Object* value = find(object, key);
  if (!value || !value->isBool()) return std::nullopt;
  return value->boolValue();
}

std::optional<int64_t> JSON::integer(const Dictionary& object, const std::string& key) {
  const Object* value = find(object, key);
  if (!value || !value->isInteger()) return std::nullopt;
  return value->integerValue();
}

std::optional<double> JSON::number(const Dictionary& object, const std::string& key) {
  const Object* value = find(object, key);
  if (!value || !(value->isInteger() || value->isDouble())) return std::nullopt;
  return value->doubleValue();
}

const Dictionary* JSON::object(const Dictionary& object, const std::string& key) {
  const Object* value = find(object, key);
  return value ? value->asDictionary() : nullptr;
}

const Array* JSON::array(const Dictionary& object, const std::string& key) {
  const Object* value = find(object, key);
  return value ? value->asArray() : nullptr;
}

std::optional<std::string> JSON::stringValue(const Dictionary& object, const std::string& key) {
  const Object* value = find(object, key);
  if (!value) return std::nullopt;
  switch (value->kind()) {
    case Object::Kind::String:
      return value->stringValue();
    case Object::Kind::Bool:
      return value->boolValue() ? "1" : "0";
    case Object::Kind::Integer:
      return std::to_string(value->integerValue());
    case Object::Kind::Double:
      return doubleText(value->doubleValue());
    default:
      return std::nullopt;
  }
}

}  // namespace platform
