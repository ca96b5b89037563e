#include "APMEventEncoding.h"

#include <algorithm>
#include <cstring>

#include "APMEvent.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "Utilities/APMNumericUtil.h"

namespace {

// Stored-body layout, version 1 (all integers little-endian varints, zigzag for signed):
//   version, flags (bit 0: public), origin, previous timestamp (8-byte double), parameter count,
//   then per parameter: name, type tag, value. Strings are a length and the bytes. An array value
//   is an item count, then per item a parameter block without arrays.
constexpr uint8_t kBodyVersion = 1;
constexpr uint8_t kTagInt64 = 1;
constexpr uint8_t kTagDouble = 2;
constexpr uint8_t kTagString = 3;
constexpr uint8_t kTagArray = 4;
// Caps that keep a hostile or corrupt body from allocating without bound.
constexpr uint64_t kMaxDecodedCount = 1u << 20;

constexpr size_t kMaxVarintBytes = 10;

// Writes through a pointer into room made beforehand: every event's body is encoded on the worker,
// and checking the room byte by byte cost more than the bytes. Each write is preceded by room()
// for at least as many bytes; finish() cuts the buffer to what was written.
class Writer {
 public:
  Writer(platform::Data& out, size_t expected) : out_(out) {
    out_.resize(std::max(out_.capacity(), expected));
    next_ = out_.data();
    end_ = next_ + out_.size();
  }
  void room(size_t bytes) {
    if (static_cast<size_t>(end_ - next_) >= bytes) return;
    const size_t used = written();
    out_.resize(std::max(used + bytes, out_.size() * 2));
    next_ = out_.data() + used;
    end_ = out_.data() + out_.size();
  }
  void byte(uint8_t b) { *next_++ = b; }
  void varint(uint64_t v) {
    while (v >= 0x80) {
      *next_++ = static_cast<uint8_t>(v | 0x80);
      v >>= 7;
    }
    *next_++ = static_cast<uint8_t>(v);
  }
  void signedVarint(int64_t v) { varint((static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63)); }
  void real(double d) {
    uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    for (int i = 0; i < 8; ++i) *next_++ = static_cast<uint8_t>(bits >> (8 * i));
  }
  void text(const std::string& s) {
    varint(s.size());
    if (s.empty()) return;
    std::memcpy(next_, s.data(), s.size());
    next_ += s.size();
  }
  void bytes(const platform::Data& data) {
    if (data.empty()) return;
    std::memcpy(next_, data.data(), data.size());
    next_ += data.size();
  }
  void finish() { out_.resize(written()); }

 private:
  size_t written() const { return static_cast<size_t>(next_ - out_.data()); }

  platform::Data& out_;
  uint8_t* next_;
  uint8_t* end_;
};

class Reader {
 public:
  explicit Reader(std::span<const uint8_t> in) : in_(in) {}
  bool byte(uint8_t* b) {
    if (pos_ >= in_.size()) return false;
    *b = in_[pos_++];
    return true;
  }
  bool varint(uint64_t* v) {
    uint64_t result = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      uint8_t b;
      if (!byte(&b)) return false;
      result |= static_cast<uint64_t>(b & 0x7f) << shift;
      if (!(b & 0x80)) {
        *v = result;
        return true;
      }
    }
    return false;
  }
  bool signedVarint(int64_t* v) {
    uint64_t raw;
    if (!varint(&raw)) return false;
    *v = static_cast<int64_t>((raw >> 1) ^ (~(raw & 1) + 1));
    return true;
  }
  bool real(double* d) {
    if (in_.size() - pos_ < 8) return false;
    uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) bits |= static_cast<uint64_t>(in_[pos_ + static_cast<size_t>(i)]) << (8 * i);
    pos_ += 8;
    std::memcpy(d, &bits, sizeof bits);
    return true;
  }
  bool text(std::string* s) {
    uint64_t size;
    if (!varint(&size) || size > in_.size() - pos_) return false;
    s->assign(reinterpret_cast<const char*>(in_.data() + pos_), static_cast<size_t>(size));
    pos_ += static_cast<size_t>(size);
    return true;
  }
  bool atEnd() const { return pos_ == in_.size(); }
  size_t position() const { return pos_; }
  size_t left() const { return in_.size() - pos_; }

 private:
  std::span<const uint8_t> in_;
  size_t pos_ = 0;
};

void writeParameters(Writer& w, const APMParameters& parameters, bool allowArrays) {
  size_t count = parameters.size();
  if (!allowArrays) {
    for (const auto& entry : parameters) count -= entry.second.isArray() ? 1 : 0;
  }
  w.room(kMaxVarintBytes);
  w.varint(count);
  for (const auto& [name, value] : parameters) {
    if (value.isArray() && !allowArrays) continue;
    // The name, the type tag and a number (or a text's length).
    const size_t head = kMaxVarintBytes + name.size() + 1 + kMaxVarintBytes;
    switch (value.type()) {
      case APMValue::Type::Int64:
        w.room(head);
        w.text(name);
        w.byte(kTagInt64);
        w.signedVarint(value.int64Value());
        break;
      case APMValue::Type::Double:
        w.room(head);
        w.text(name);
        w.byte(kTagDouble);
        w.real(value.doubleValue());
        break;
      case APMValue::Type::String: {
        const std::string& text = value.stringValue();
        w.room(head + text.size());
        w.text(name);
        w.byte(kTagString);
        w.text(text);
        break;
      }
      case APMValue::Type::Array:
        w.room(head);
        w.text(name);
        w.byte(kTagArray);
        w.varint(value.arrayValue().size());
        for (const APMParameters& item : value.arrayValue()) writeParameters(w, item, false);
        break;
    }
  }
}

bool readParameters(Reader& r, APMParameters* parameters, bool allowArrays) {
  uint64_t count;
  if (!r.varint(&count) || count > kMaxDecodedCount) return false;
  // Room for the entries the bytes left can hold (three bytes at least each), so a count that
  // lies takes no more than they could.
  parameters->reserve(parameters->size() + static_cast<size_t>(std::min<uint64_t>(count, r.left() / 3)));
  for (uint64_t i = 0; i < count; ++i) {
    std::string name;
    uint8_t tag;
    if (!r.text(&name) || !r.byte(&tag)) return false;
    switch (tag) {
      case kTagInt64: {
        int64_t v;
        if (!r.signedVarint(&v)) return false;
        parameters->insert_or_assign(parameters->cend(), std::move(name), APMValue(v));
        break;
      }
      case kTagDouble: {
        double v;
        if (!r.real(&v)) return false;
        parameters->insert_or_assign(parameters->cend(), std::move(name), APMValue(v));
        break;
      }
      case kTagString: {
        std::string v;
        if (!r.text(&v)) return false;
        parameters->insert_or_assign(parameters->cend(), std::move(name), APMValue(std::move(v)));
        break;
      }
      case kTagArray: {
        uint64_t items;
        if (!allowArrays || !r.varint(&items) || items > kMaxDecodedCount) return false;
        std::vector<APMParameters> entries;
        for (uint64_t j = 0; j < items; ++j) {
          APMParameters entry;
          if (!readParameters(r, &entry, false)) return false;
          entries.push_back(std::move(entry));
        }
        parameters->insert_or_assign(parameters->cend(), std::move(name), APMValue(std::move(entries)));
        break;
      }
      default:
        return false;
    }
  }
  return true;
}

// The upload form.
std::shared_ptr<APMPBEventParam> protoParameter(const std::string& name, const APMValue& value);

std::vector<std::shared_ptr<APMPBEventParam>> protoParameters(const APMParameters& parameters) {
  std::vector<std::shared_ptr<APMPBEventParam>> result;
  result.reserve(parameters.size());
  for (const auto& [name, value] : parameters) result.push_back(protoParameter(name, value));
  return result;
}

std::shared_ptr<APMPBEventParam> protoParameter(const std::string& name, const APMValue& value) {
  auto parameter = APMPBEventParam::initWithMessageInfo();
  APMNanoSetString(*parameter, APMPBEventParam::kName, name);
  switch (value.type()) {
    case APMValue::Type::Int64:
      APMNanoSetInt64(*parameter, APMPBEventParam::kIntValue, value.int64Value());
      break;
    case APMValue::Type::Double:
      APMNanoSetDouble(*parameter, APMPBEventParam::kDoubleValue, value.doubleValue());
      break;
    case APMValue::Type::String:
      APMNanoSetString(*parameter, APMPBEventParam::kStringValue, value.stringValue());
      break;
    case APMValue::Type::Array: {
      std::vector<std::shared_ptr<APMPBEventParamItem>> items;
      for (const APMParameters& entry : value.arrayValue()) {
        auto item = APMPBEventParamItem::initWithMessageInfo();
        APMNanoSetRepeatedField(*item, APMPBEventParamItem::kParams, protoParameters(entry));
        items.push_back(std::move(item));
      }
      APMNanoSetRepeatedField(*parameter, APMPBEventParam::kArrayValue, items);
      break;
    }
  }
  return parameter;
}

}  // namespace

platform::Data APMEventEncoding::encodedBody(const APMEvent& event) {
  platform::Data out;
  encodeBody(event, out);
  return out;
}

void APMEventEncoding::encodeBody(const APMEvent& event, platform::Data& out) {
  Writer w(out, 32 + event.parameters().size() * 24);
  w.room(2 + kMaxVarintBytes + event.origin().size() + 8);
  w.byte(kBodyVersion);
  w.byte(event.isPublic() ? 1 : 0);
  w.text(event.origin());
  w.real(event.previousTimestamp());
  writeParameters(w, event.parameters(), true);
  w.finish();
}

std::shared_ptr<APMEvent> APMEventEncoding::decodeBody(const std::string& name, double timestamp,
                                                       std::span<const uint8_t> body) {
  Reader r(body);
  uint8_t version;
  uint8_t flags;
  std::string origin;
  double previous;
  APMParameters parameters;
  if (!r.byte(&version) || version != kBodyVersion || !r.byte(&flags) || !r.text(&origin) || !r.real(&previous) ||
      !readParameters(r, &parameters, true) || !r.atEnd()) {
    return nullptr;
  }
  return APMEvent::create(origin, (flags & 1) != 0, name, timestamp, previous, std::move(parameters));
}

platform::Data APMEventEncoding::encoded(const APMEvent& event) {
  const platform::Data body = encodedBody(event);
  platform::Data out;
  Writer w(out, 0);
  w.room(kMaxVarintBytes + event.name().size() + 8 + body.size());
  w.text(event.name());
  w.real(event.timestamp());
  w.bytes(body);
  w.finish();
  return out;
}

std::shared_ptr<APMEvent> APMEventEncoding::decode(const platform::Data& bytes) {
  Reader r(bytes);
  std::string name;
  double timestamp;
  if (!r.text(&name) || !r.real(&timestamp)) return nullptr;
  return decodeBody(name, timestamp, std::span<const uint8_t>(bytes).subspan(r.position()));
}

std::shared_ptr<APMPBEvent> APMEventEncoding::protoEvent(const APMEvent& event) {
  auto message = APMPBEvent::initWithMessageInfo();
  APMNanoSetRepeatedField(*message, APMPBEvent::kParams, protoParameters(event.parameters()));
  APMNanoSetString(*message, APMPBEvent::kName, event.name());
  APMNanoSetInt64(*message, APMPBEvent::kTimestampMillis, APMMillisecondsFromSeconds(event.timestamp()));
  if (event.previousTimestamp() != 0) {
    APMNanoSetInt64(*message, APMPBEvent::kPreviousTimestampMillis,
                    APMMillisecondsFromSeconds(event.previousTimestamp()));
  }
  return message;
}
