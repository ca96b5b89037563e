#include "platform/Object.h"

#include <cmath>
#include <cstdlib>
#include <sstream>

namespace platform {

namespace {

// Never destroyed: what a wrong-kind accessor hands out may still be read by the SDK's threads
// while the process exits.
struct EmptyValues {
  std::string string;
  Data data;
  Array array;
  Dictionary dictionary;
};

const EmptyValues& empty() {
  static const auto& values = *new EmptyValues;
  return values;
}

}  // namespace

int64_t saturatingInt64(double d) {
  if (std::isnan(d)) return 0;
  if (d >= 9223372036854775807.0) return INT64_MAX;
  if (d <= -9223372036854775808.0) return INT64_MIN;
  return static_cast<int64_t>(d);
}

const Object& Object::null() {
  // Never destroyed: the SDK's threads may read it until the process has ended.
  static const auto& kNull = *new Object;
  return kNull;
}

bool Object::boolValue() const {
  switch (kind()) {
    case Kind::Bool: return std::get<bool>(value_);
    case Kind::Integer: return std::get<int64_t>(value_) != 0;
    case Kind::Double: return std::get<double>(value_) != 0;
    case Kind::String: {
      const auto& s = std::get<std::string>(value_);
      if (s == "true" || s == "YES" || s == "yes" || s == "TRUE") return true;
      return std::strtoll(s.c_str(), nullptr, 10) != 0;
    }
    default: return false;
  }
}

int64_t Object::integerValue() const {
  switch (kind()) {
    case Kind::Bool: return std::get<bool>(value_) ? 1 : 0;
    case Kind::Integer: return std::get<int64_t>(value_);
    case Kind::Double: return saturatingInt64(std::get<double>(value_));
    case Kind::String: return std::strtoll(std::get<std::string>(value_).c_str(), nullptr, 10);
    default: return 0;
  }
}

double Object::doubleValue() const {
  switch (kind()) {
    case Kind::Bool: return std::get<bool>(value_) ? 1 : 0;
    case Kind::Integer: return static_cast<double>(std::get<int64_t>(value_));
    case Kind::Double: return std::get<double>(value_);
    case Kind::Date: return std::get<Date>(value_).seconds;
    default: return 0;
  }
}

const std::string& Object::stringValue() const {
  const auto* s = std::get_if<std::string>(&value_);
  return s ? *s : empty().string;
}

const Data& Object::dataValue() const {
  const auto* d = std::get_if<Data>(&value_);
  return d ? *d : empty().data;
}

Date Object::dateValue() const {
  const auto* d = std::get_if<Date>(&value_);
  return d ? *d : Date{};
}

const Array* Object::asArray() const {
  const auto* a = std::get_if<std::shared_ptr<const Array>>(&value_);
  return a ? a->get() : nullptr;
}

const Dictionary* Object::asDictionary() const {
  const auto* d = std::get_if<std::shared_ptr<const Dictionary>>(&value_);
  return d ? d->get() : nullptr;
}

const Array& Object::arrayValue() const {
  const Array* a = asArray();
  return a ? *a : empty().array;
}

const Dictionary& Object::dictionaryValue() const {
  const Dictionary* d = asDictionary();
  return d ? *d : empty().dictionary;
}

const Object& Object::operator[](const std::string& key) const {
  const Dictionary* d = asDictionary();
  if (!d) return null();
  auto it = d->find(key);
  return it == d->end() ? null() : it->second;
}

bool Object::operator==(const Object& other) const {
  if (isNumber() && other.isNumber() && !isBool() && !other.isBool()) {
    if (isInteger() && other.isInteger()) return integerValue() == other.integerValue();
    return doubleValue() == other.doubleValue();
  }
  if (kind() != other.kind()) return false;
  switch (kind()) {
    case Kind::Array: return arrayValue() == other.arrayValue();
    case Kind::Dictionary: return dictionaryValue() == other.dictionaryValue();
    default: return value_ == other.value_;
  }
}

std::string Object::description() const {
  std::ostringstream out;
  switch (kind()) {
    case Kind::Null: return "(null)";
    case Kind::Bool: return std::get<bool>(value_) ? "1" : "0";
    case Kind::Integer: return std::to_string(std::get<int64_t>(value_));
    case Kind::Double: {
      out.precision(17);
      out << std::get<double>(value_);
      return out.str();
    }
    case Kind::String: return std::get<std::string>(value_);
    case Kind::Data: {
      out << "{length = " << dataValue().size() << "}";
      return out.str();
    }
    case Kind::Date: {
      out.precision(17);
      out << "date(" << dateValue().seconds << ")";
      return out.str();
    }
    case Kind::Array: {
      out << "(";
      bool first = true;
      for (const auto& item : arrayValue()) {
        out << (first ? "" : ", ") << item.description();
        first = false;
      }
      out << ")";
      return out.str();
    }
    case Kind::Dictionary: {
      out << "{";
      bool first = true;
      for (const auto& [k, v] : dictionaryValue()) {
        out << (first ? "" : "; ") << k << " = " << v.description();
        first = false;
      }
      out << "}";
      return out.str();
    }
  }
  return {};
}

const Object* find(const Dictionary& dict, const std::string& key) {
  auto it = dict.find(key);
  return it == dict.end() ? nullptr : &it->second;
}

}  // namespace platform
