#include "APMCompactParameters.h"

#include <stdexcept>
#include <utility>

#include "APMEventParameters.h"

namespace apm_compact {

namespace {

enum Tag : uint8_t { kNull, kFalse, kTrue, kInteger, kDouble, kString, kData, kDate, kArray, kDictionary };

void putObject(std::string& out, const platform::Object& value, int enclosing);

void putEntries(std::string& out, const platform::Dictionary& dictionary, int enclosing) {
  putSize(out, dictionary.size());
  for (const auto& [key, value] : dictionary) {
    putText(out, key);
    putObject(out, value, enclosing);
  }
}

void putObject(std::string& out, const platform::Object& value, int enclosing) {
  using Kind = platform::Object::Kind;
  if ((value.isArray() || value.isDictionary()) && enclosing >= kAPMMaxParameterContainerNesting) {
    out.push_back(static_cast<char>(kNull));
    return;
  }
  switch (value.kind()) {
    case Kind::Null:
      out.push_back(static_cast<char>(kNull));
      return;
    case Kind::Bool:
      out.push_back(static_cast<char>(value.boolValue() ? kTrue : kFalse));
      return;
    case Kind::Integer:
      out.push_back(static_cast<char>(kInteger));
      putRaw(out, value.integerValue());
      return;
    case Kind::Double:
      out.push_back(static_cast<char>(kDouble));
      putRaw(out, value.doubleValue());
      return;
    case Kind::String:
      out.push_back(static_cast<char>(kString));
      putText(out, value.stringValue());
      return;
    case Kind::Data:
      out.push_back(static_cast<char>(kData));
      putSize(out, value.dataValue().size());
      out.append(reinterpret_cast<const char*>(value.dataValue().data()), value.dataValue().size());
      return;
    case Kind::Date:
      out.push_back(static_cast<char>(kDate));
      putRaw(out, value.dateValue().seconds);
      return;
    case Kind::Array:
      out.push_back(static_cast<char>(kArray));
      putSize(out, value.arrayValue().size());
      for (const auto& element : value.arrayValue()) putObject(out, element, enclosing + 1);
      return;
    case Kind::Dictionary:
      out.push_back(static_cast<char>(kDictionary));
      putEntries(out, value.dictionaryValue(), enclosing + 1);
      return;
  }
}

}  // namespace

void putSize(std::string& out, uint64_t n) {
  while (n >= 0x80) {
    out.push_back(static_cast<char>((n & 0x7f) | 0x80));
    n >>= 7;
  }
  out.push_back(static_cast<char>(n));
}

void putText(std::string& out, std::string_view text) {
  putSize(out, text.size());
  out.append(text);
}

void putDictionary(std::string& out, const platform::Dictionary& dictionary) { putEntries(out, dictionary, 0); }

void putObjectEntry(std::string& out, std::string_view name, const platform::Object& value) {
  putText(out, name);
  putObject(out, value, 0);
}

void putIntegerEntry(std::string& out, std::string_view name, int64_t value) {
  putText(out, name);
  out.push_back(static_cast<char>(kInteger));
  putRaw(out, value);
}

void putTextEntry(std::string& out, std::string_view name, std::string_view text) {
  putText(out, name);
  out.push_back(static_cast<char>(kString));
  putText(out, text);
}

void Reader::shortRead() { throw std::runtime_error("compact parameters: short read"); }

uint64_t Reader::longSize() {
  uint64_t n = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    uint8_t b = byte();
    n |= static_cast<uint64_t>(b & 0x7f) << shift;
    if (!(b & 0x80)) return n;
  }
  throw std::runtime_error("compact parameters: size too long");
}

std::string Reader::text() { return std::string(view(size())); }

platform::Dictionary Reader::dictionary() {
  platform::Dictionary result;
  uint64_t n = size();
  for (uint64_t i = 0; i < n; ++i) {
    std::string key = text();
    result.emplace_hint(result.end(), std::move(key), object());
  }
  return result;
}

platform::Object Reader::object() {
  switch (byte()) {
    case kNull:
      return platform::Object();
    case kFalse:
      return platform::Object(false);
    case kTrue:
      return platform::Object(true);
    case kInteger:
      return platform::Object(raw<int64_t>());
    case kDouble:
      return platform::Object(raw<double>());
    case kString:
      return platform::Object(text());
    case kData: {
      std::string_view bytes = view(size());
      auto begin = reinterpret_cast<const uint8_t*>(bytes.data());
      return platform::Object(platform::Data(begin, begin + bytes.size()));
    }
    case kDate:
      return platform::Object(platform::Date{raw<double>()});
    case kArray: {
      platform::Array array;
      uint64_t n = size();
      for (uint64_t i = 0; i < n; ++i) array.push_back(object());
      return platform::Object(std::move(array));
    }
    case kDictionary:
      return platform::Object(dictionary());
    default:
      throw std::runtime_error("compact parameters: unknown tag");
  }
}

bool Reader::scalar(Scalar& out) {
  const size_t start = offset_;
  switch (byte()) {
    case kNull:
      out.kind = Scalar::Kind::Null;
      return true;
    case kFalse:
    case kTrue:
      out.kind = Scalar::Kind::Integer;
      out.integer = static_cast<uint8_t>(bytes_[start]) == kTrue ? 1 : 0;
      return true;
    case kInteger:
      out.kind = Scalar::Kind::Integer;
      out.integer = raw<int64_t>();
      return true;
    case kDouble:
      out.kind = Scalar::Kind::Double;
      out.number = raw<double>();
      return true;
    case kString:
      out.kind = Scalar::Kind::Text;
      out.text = view(size());
      return true;
    default:
      offset_ = start;
      return false;
  }
}

void Reader::skip() {
  Scalar ignored;
  if (!scalar(ignored)) object();
}

}  // namespace apm_compact

APMCompactParameters::APMCompactParameters(const platform::Dictionary& parameters) {
  if (!parameters.empty()) apm_compact::putDictionary(bytes_, parameters);
}

APMCompactParameters APMCompactParameters::fromBytes(std::string bytes) {
  APMCompactParameters parameters;
  parameters.bytes_ = std::move(bytes);
  return parameters;
}

size_t APMCompactParameters::size() const {
  if (bytes_.empty()) return 0;
  apm_compact::Reader reader(bytes_);
  return static_cast<size_t>(reader.size());
}

bool APMCompactParameters::empty() const {
  if (bytes_.empty()) return true;
  apm_compact::Reader reader(bytes_);
  return reader.size() == 0;
}

platform::Dictionary APMCompactParameters::dictionary() const {
  if (bytes_.empty()) return {};
  apm_compact::Reader reader(bytes_);
  return reader.dictionary();
}
