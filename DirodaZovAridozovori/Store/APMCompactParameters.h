#pragma once
// Host parameters in a compact tagged byte form, as events wait in it between the caller and the
// worker: one byte per value kind, then its payload; sizes are little-endian base-128 numbers.
// Written once on the caller's thread, it is read entry by entry straight into an event's cleaned
// parameters (APMEvent::create), so no dictionary is built for an event on its way to storage.
//
// The bytes are our own (never from a file or the network), so a short read is a bug, reported
// by throwing std::runtime_error.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/Object.h"

namespace apm_compact {

void putSize(std::string& out, uint64_t n);
void putText(std::string& out, std::string_view text);
template <typename T>
void putRaw(std::string& out, T value) {
  char bytes[sizeof(T)];
  std::memcpy(bytes, &value, sizeof(T));
  out.append(bytes, sizeof(T));
}
// A container nested deeper than an event stores is written as null, which the road refuses as an
// unsupported value, instead of being walked: a host's value nested thousands of levels deep would
// exhaust the stack here and again when read.
void putDictionary(std::string& out, const platform::Dictionary& dictionary);
// A dictionary written entry by entry, for a writer that has its entries in name order without a
// map: putSize(out, count) first, then each entry, as putDictionary writes them.
void putObjectEntry(std::string& out, std::string_view name, const platform::Object& value);
void putIntegerEntry(std::string& out, std::string_view name, int64_t value);
void putTextEntry(std::string& out, std::string_view name, std::string_view text);

// A value read in place: what an event's parameter usually is, so it costs no allocation until it
// is kept. A boolean reads as the integer 0 or 1, as an event stores it.
struct Scalar {
  enum class Kind { Null, Integer, Double, Text };
  Kind kind = Kind::Null;
  int64_t integer = 0;
  double number = 0;
  std::string_view text;  // into the reader's bytes
};

class Reader {
 public:
  Reader(std::string_view bytes, size_t offset = 0) : bytes_(bytes), offset_(offset) {}
  size_t offset() const { return offset_; }
  bool atEnd() const { return offset_ == bytes_.size(); }

  // The front reads every parameter of every event through these: kept here, where they inline.
  uint8_t byte() {
    if (offset_ >= bytes_.size()) shortRead();
    return static_cast<uint8_t>(bytes_[offset_++]);
  }
  uint64_t size() {
    // Almost every size fits in the first byte.
    if (offset_ < bytes_.size() && !(static_cast<uint8_t>(bytes_[offset_]) & 0x80)) {
      return static_cast<uint8_t>(bytes_[offset_++]);
    }
    return longSize();
  }
  std::string text();
  std::string_view view(uint64_t n) {
    if (n > bytes_.size() - offset_) shortRead();
    const std::string_view taken(bytes_.data() + offset_, static_cast<size_t>(n));
    offset_ += static_cast<size_t>(n);
    return taken;
  }
  template <typename T>
  T raw() {
    T value;
    std::memcpy(&value, view(sizeof(T)).data(), sizeof(T));
    return value;
  }
  platform::Object object();
  platform::Dictionary dictionary();
  // The next value when it is null, a boolean, a number or a text; otherwise false, and nothing is
  // read (object() reads it then).
  bool scalar(Scalar& out);
  // Steps over the next value.
  void skip();

 private:
  [[noreturn]] static void shortRead();
  uint64_t longSize();

  std::string_view bytes_;
  size_t offset_;
};

}  // namespace apm_compact

// One parameter dictionary in the compact form, entries in name order.
class APMCompactParameters {
 public:
  APMCompactParameters() = default;
  explicit APMCompactParameters(const platform::Dictionary& parameters);
  // Bytes as put by apm_compact::putDictionary.
  static APMCompactParameters fromBytes(std::string bytes);

  const std::string& bytes() const { return bytes_; }
  bool empty() const;
  size_t size() const;
  // Every entry in name order, its value read out of the bytes: visit(const std::string&, Object).
  template <typename Visit>
  void forEach(Visit&& visit) const {
    if (bytes_.empty()) return;
    apm_compact::Reader reader(bytes_);
    const uint64_t n = reader.size();
    std::string name;
    for (uint64_t i = 0; i < n; ++i) {
      name = reader.text();
      visit(static_cast<const std::string&>(name), reader.object());
    }
  }
  platform::Dictionary dictionary() const;
  // The same entries with their names in place: visit(std::string_view, apm_compact::Reader&) must
  // read exactly the one value that follows (scalar, object or skip).
  template <typename Visit>
  void forEachEntry(Visit&& visit) const {
    if (bytes_.empty()) return;
    apm_compact::Reader reader(bytes_);
    const uint64_t n = reader.size();
    for (uint64_t i = 0; i < n; ++i) {
      const std::string_view name = reader.view(reader.size());
      visit(name, reader);
    }
  }

 private:
  std::string bytes_;  // empty for no entries
};
