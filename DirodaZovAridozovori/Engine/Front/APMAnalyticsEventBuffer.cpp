#include "APMAnalyticsEventBuffer.h"

#include <cstring>
#include <stdexcept>
#include <utility>

#include "APMEventParameters.h"

namespace {

// One byte per value kind, then its payload; sizes are little-endian base-128 numbers.
enum Tag : uint8_t { kNull, kFalse, kTrue, kInteger, kDouble, kString, kData, kDate, kArray, kDictionary };

void putSize(std::string& out, uint64_t n) {
  while (n >= 0x80) {
    out.push_back(static_cast<char>((n & 0x7f) | 0x80));
    n >>= 7;
  }
  out.push_back(static_cast<char>(n));
}

template <typename T>
void putRaw(std::string& out, T value) {
  char bytes[sizeof(T)];
  std::memcpy(bytes, &value, sizeof(T));
  out.append(bytes, sizeof(T));
}

void putText(std::string& out, const std::string& text) {
  putSize(out, text.size());
  out.append(text);
}

// A container nested deeper than the road stores is written as null, which the road refuses as an
// unsupported value, instead of being walked: a host's value nested thousands of levels deep would
// exhaust the stack here and again on the serial queue.
void putObject(std::string& out, const platform::Object& value, int enclosing);

void putDictionary(std::string& out, const platform::Dictionary& dictionary, int enclosing = 0) {
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
      putDictionary(out, value.dictionaryValue(), enclosing + 1);
      return;
  }
}

// Reads what put* wrote; the buffer is our own, so a short read is a bug, reported by throwing.
class Reader {
 public:
  Reader(const std::string& bytes, size_t offset) : bytes_(bytes), offset_(offset) {}
  size_t offset() const { return offset_; }

  uint8_t byte() {
    need(1);
    return static_cast<uint8_t>(bytes_[offset_++]);
  }
  uint64_t size() {
    uint64_t n = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      uint8_t b = byte();
      n |= static_cast<uint64_t>(b & 0x7f) << shift;
      if (!(b & 0x80)) return n;
    }
    throw std::runtime_error("event buffer: size too long");
  }
  template <typename T>
  T raw() {
    need(sizeof(T));
    T value;
    std::memcpy(&value, bytes_.data() + offset_, sizeof(T));
    offset_ += sizeof(T);
    return value;
  }
  std::string text() {
    uint64_t n = size();
    need(n);
    std::string value(bytes_, offset_, n);
    offset_ += n;
    return value;
  }
  platform::Dictionary dictionary() {
    platform::Dictionary result;
    uint64_t n = size();
    for (uint64_t i = 0; i < n; ++i) {
      std::string key = text();
      result.emplace_hint(result.end(), std::move(key), object());
    }
    return result;
  }
  platform::Object object() {
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
        uint64_t n = size();
        need(n);
        auto begin = reinterpret_cast<const uint8_t*>(bytes_.data() + offset_);
        offset_ += n;
        return platform::Object(platform::Data(begin, begin + n));
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
        throw std::runtime_error("event buffer: unknown tag");
    }
  }

 private:
  void need(uint64_t n) const {
    if (n > bytes_.size() - offset_) throw std::runtime_error("event buffer: short read");
  }
  const std::string& bytes_;
  size_t offset_;
};

}  // namespace

APMAnalyticsEventBuffer::APMAnalyticsEventBuffer(APMAnalyticsEventBuffer&& other) noexcept
    : chunks_(std::exchange(other.chunks_, {})),
      readOffset_(std::exchange(other.readOffset_, 0)),
      appended_(std::exchange(other.appended_, 0)),
      read_(std::exchange(other.read_, 0)) {}

APMAnalyticsEventBuffer& APMAnalyticsEventBuffer::operator=(APMAnalyticsEventBuffer&& other) noexcept {
  if (this != &other) {
    chunks_ = std::exchange(other.chunks_, {});
    readOffset_ = std::exchange(other.readOffset_, 0);
    appended_ = std::exchange(other.appended_, 0);
    read_ = std::exchange(other.read_, 0);
  }
  return *this;
}

std::string& APMAnalyticsEventBuffer::chunkFor(size_t size) {
  if (chunks_.empty() || chunks_.back().size() + size > kChunkBytes) {
    chunks_.emplace_back();
    chunks_.back().reserve(size > kChunkBytes ? size : kChunkBytes);
  }
  return chunks_.back();
}

void APMAnalyticsEventBuffer::encode(std::string& out, const std::string& origin, bool isPublicEvent,
                                     const std::string& name, const platform::Dictionary& parameters,
                                     const platform::Dictionary* addedScreenParameters) {
  out.clear();
  putText(out, origin);
  out.push_back(static_cast<char>(isPublicEvent ? 1 : 0));
  putText(out, name);
  putDictionary(out, parameters);
  putDictionary(out, addedScreenParameters ? *addedScreenParameters : platform::Dictionary{});
}

// The time leads the event, so it can be added to an event encoded before its time was taken.
void APMAnalyticsEventBuffer::append(const std::string& encoded, double timestamp) {
  std::string& chunk = chunkFor(appendedSize(encoded));  // an event never spans two chunks
  putRaw(chunk, timestamp);
  chunk.append(encoded);
  ++appended_;
}

void APMAnalyticsEventBuffer::append(const std::string& origin, bool isPublicEvent, const std::string& name,
                                     const platform::Dictionary& parameters, double timestamp,
                                     const platform::Dictionary* addedScreenParameters) {
  thread_local std::string scratch;
  encode(scratch, origin, isPublicEvent, name, parameters, addedScreenParameters);
  append(scratch, timestamp);
  if (scratch.capacity() > kChunkBytes) std::string().swap(scratch);  // do not keep a huge event's buffer
}

std::optional<APMBufferedEvent> APMAnalyticsEventBuffer::next() {
  if (empty()) return std::nullopt;
  while (readOffset_ >= chunks_.front().size()) {
    chunks_.pop_front();
    readOffset_ = 0;
  }
  Reader reader(chunks_.front(), readOffset_);
  APMBufferedEvent event;
  event.timestamp = reader.raw<double>();
  event.origin = reader.text();
  event.isPublicEvent = reader.byte() != 0;
  event.name = reader.text();
  event.parameters = reader.dictionary();
  event.addedScreenParameters = reader.dictionary();
  event.bytes = reader.offset() - readOffset_;
  readOffset_ = reader.offset();
  ++read_;
  if (readOffset_ >= chunks_.front().size()) {
    chunks_.pop_front();
    readOffset_ = 0;
  }
  return event;
}

size_t APMAnalyticsEventBuffer::bytes() const {
  size_t total = 0;
  for (const auto& chunk : chunks_) total += chunk.capacity();
  return total;
}
