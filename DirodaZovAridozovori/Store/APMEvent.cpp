#include "APMEvent.h"

#include <cstring>

#include "APMCompactParameters.h"
#include "APMEventParameters.h"
#include "APMNameTables.h"

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

class Writer {
 public:
  explicit Writer(platform::Data& out) : out_(out) {}
  void byte(uint8_t b) { out_.push_back(b); }
  void varint(uint64_t v) {
    while (v >= 0x80) {
      out_.push_back(static_cast<uint8_t>(v | 0x80));
      v >>= 7;
    }
    out_.push_back(static_cast<uint8_t>(v));
  }
  void signedVarint(int64_t v) { varint((static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63)); }
  void real(double d) {
    uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    for (int i = 0; i < 8; ++i) out_.push_back(static_cast<uint8_t>(bits >> (8 * i)));
  }
  void text(const std::string& s) {
    varint(s.size());
    out_.insert(out_.end(), s.begin(), s.end());
  }

 private:
  platform::Data& out_;
};

class Reader {
 public:
  explicit Reader(const platform::Data& in) : in_(in) {}
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

 private:
  const platform::Data& in_;
  size_t pos_ = 0;
};

void writeParameters(Writer& w, const APMParameters& parameters, bool allowArrays) {
  size_t count = 0;
  for (const auto& [name, value] : parameters) count += (allowArrays || !value.isArray()) ? 1 : 0;
  w.varint(count);
  for (const auto& [name, value] : parameters) {
    if (value.isArray() && !allowArrays) continue;
    w.text(name);
    switch (value.type()) {
      case APMValue::Type::Int64:
        w.byte(kTagInt64);
        w.signedVarint(value.int64Value());
        break;
      case APMValue::Type::Double:
        w.byte(kTagDouble);
        w.real(value.doubleValue());
        break;
      case APMValue::Type::String:
        w.byte(kTagString);
        w.text(value.stringValue());
        break;
      case APMValue::Type::Array:
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
  for (uint64_t i = 0; i < count; ++i) {
    std::string name;
    uint8_t tag;
    if (!r.text(&name) || !r.byte(&tag)) return false;
    switch (tag) {
      case kTagInt64: {
        int64_t v;
        if (!r.signedVarint(&v)) return false;
        parameters->insert_or_assign(name, APMValue(v));
        break;
      }
      case kTagDouble: {
        double v;
        if (!r.real(&v)) return false;
        parameters->insert_or_assign(name, APMValue(v));
        break;
      }
      case kTagString: {
        std::string v;
        if (!r.text(&v)) return false;
        parameters->insert_or_assign(name, APMValue(std::move(v)));
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
        parameters->insert_or_assign(name, APMValue(std::move(entries)));
        break;
      }
      default:
        return false;
    }
  }
  return true;
}

}  // namespace

std::shared_ptr<APMEvent> APMEvent::create(const std::string& origin, bool isPublic, const std::string& name,
                                           double timestamp, double previousTimestamp,
                                           const platform::Dictionary& parameters) {
  return create(origin, isPublic, name, timestamp, previousTimestamp, parameters, APMCurrentEventParameterLimits());
}

std::shared_ptr<APMEvent> APMEvent::create(const std::string& origin, bool isPublic, const std::string& name,
                                           double timestamp, double previousTimestamp,
                                           const platform::Dictionary& parameters,
                                           const APMEventParameterLimits& limits) {
  APMEventParameterCleaner cleaner(name, isPublic, true, limits);
  for (const auto& [key, value] : parameters) cleaner.add(key, value);
  return create(origin, isPublic, name, timestamp, previousTimestamp, cleaner.finish());
}

std::shared_ptr<APMEvent> APMEvent::create(const std::string& origin, bool isPublic, const std::string& name,
                                           double timestamp, double previousTimestamp,
                                           const APMCompactParameters& parameters,
                                           const APMEventParameterLimits& limits) {
  APMEventParameterCleaner cleaner(name, isPublic, true, limits);
  parameters.forEach([&](const std::string& key, platform::Object value) { cleaner.add(key, value); });
  return create(origin, isPublic, name, timestamp, previousTimestamp, cleaner.finish());
}

std::shared_ptr<APMEvent> APMEvent::create(const std::string& origin, bool isPublic, const std::string& name,
                                           double timestamp, double previousTimestamp, APMParameters parameters) {
  if (origin.empty() || name.empty()) return nullptr;
  std::shared_ptr<APMEvent> event(new APMEvent());
  event->origin_ = origin;
  event->isPublic_ = isPublic;
  event->name_ = name;
  event->timestamp_ = timestamp;
  event->previousTimestamp_ = previousTimestamp;
  event->parameters_ = std::move(parameters);
  return event;
}

const APMValue* APMEvent::parameter(const std::string& name) const {
  auto found = parameters_.find(name);
  return found == parameters_.end() ? nullptr : &found->second;
}

std::shared_ptr<APMEvent> APMEvent::copy() const { return std::shared_ptr<APMEvent>(new APMEvent(*this)); }

std::shared_ptr<APMEvent> APMEvent::copyWithParameters(APMParameters parameters) const {
  auto event = copy();
  event->parameters_ = std::move(parameters);
  return event;
}

std::shared_ptr<APMEvent> APMEvent::copyWithPreviousTimestamp(double previousTimestamp) const {
  auto event = copy();
  event->previousTimestamp_ = previousTimestamp;
  return event;
}

void APMEvent::applyParameters(const platform::Dictionary& parameters, bool isPublic) {
  auto cleaned = APMSanitizedEventParameters(parameters, name_, isPublic, true);
  if (!cleaned) return;
  for (auto& [name, value] : APMParametersFromDictionary(*cleaned)) parameters_.emplace(name, std::move(value));
}

void APMEvent::addScreenParameters(const platform::Dictionary& screenParameters) {
  for (auto& [name, value] : APMParametersFromDictionary(APMScreenParametersFromDictionary(screenParameters))) {
    parameters_.insert_or_assign(name, std::move(value));
  }
}

void APMEvent::addScreenParameters(const APMCompactParameters& screenParameters) {
  screenParameters.forEach([this](const std::string& key, platform::Object value) {
    if (!APMIsScreenParameterName(key)) return;
    if (auto converted = APMValue::valueFromParameterObject(value)) parameters_.insert_or_assign(key, std::move(*converted));
  });
}

void APMEvent::setParameter(const std::string& name, APMValue value) { parameters_.insert_or_assign(name, std::move(value)); }

void APMEvent::removeParameter(const std::string& name) { parameters_.erase(name); }

bool APMEvent::flag(const char* name) const {
  const APMValue* value = parameter(name);
  return value && value->isInt64() && value->int64Value() == 1;
}

void APMEvent::setFlag(const char* name, bool on) {
  if (on) {
    parameters_.insert_or_assign(name, APMValue(int64_t{1}));
  } else {
    parameters_.erase(name);
  }
}

void APMEvent::setConversion(bool conversion) { setFlag("_c", conversion); }
void APMEvent::setRealtime(bool realtime) { setFlag("_r", realtime); }
void APMEvent::setDebug(bool debug) { setFlag("_dbg", debug); }
bool APMEvent::isConversion() const { return flag("_c"); }
bool APMEvent::isRealtime() const { return flag("_r"); }
bool APMEvent::isDebug() const { return flag("_dbg"); }

APMEditEventForm APMEvent::editEvent() const {
  APMEditEventForm form;
  form.name = APMPublicEventName(name_);
  form.timestamp = timestamp_;
  form.parameters = APMDictionaryFromParameters(parameters_);
  return form;
}

std::shared_ptr<APMEvent> APMEvent::eventFromEditEvent(const APMEditEventForm& editEvent) {
  const platform::Object* origin = platform::find(editEvent.parameters, "_o");
  const std::string originText = origin && origin->isString() && !origin->stringValue().empty() ? origin->stringValue() : "app";
  return create(originText, false, APMInternalEventName(editEvent.name), editEvent.timestamp, 0,
                APMParametersFromDictionary(editEvent.parameters));
}

platform::Data APMEvent::encodedBody() const {
  platform::Data out;
  encodeBody(out);
  return out;
}

void APMEvent::encodeBody(platform::Data& out) const {
  out.clear();
  out.reserve(32 + parameters_.size() * 16);
  Writer w(out);
  w.byte(kBodyVersion);
  w.byte(isPublic_ ? 1 : 0);
  w.text(origin_);
  w.real(previousTimestamp_);
  writeParameters(w, parameters_, true);
}

std::shared_ptr<APMEvent> APMEvent::decodeBody(const std::string& name, double timestamp, const platform::Data& body) {
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
  return create(origin, (flags & 1) != 0, name, timestamp, previous, std::move(parameters));
}

platform::Data APMEvent::encoded() const {
  platform::Data out;
  Writer w(out);
  w.text(name_);
  w.real(timestamp_);
  const platform::Data body = encodedBody();
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

std::shared_ptr<APMEvent> APMEvent::decode(const platform::Data& bytes) {
  Reader r(bytes);
  std::string name;
  double timestamp;
  if (!r.text(&name) || !r.real(&timestamp)) return nullptr;
  return decodeBody(name, timestamp, platform::Data(bytes.begin() + static_cast<std::ptrdiff_t>(r.position()), bytes.end()));
}

bool APMEvent::operator==(const APMEvent& other) const {
  return origin_ == other.origin_ && isPublic_ == other.isPublic_ && name_ == other.name_ &&
         timestamp_ == other.timestamp_ && previousTimestamp_ == other.previousTimestamp_ &&
         parameters_ == other.parameters_;
}

int64_t APMEffectiveEventCount(const APMEvent& event) {
  int64_t count = 1;
  for (const auto& [name, value] : event.parameters()) {
    if (value.isArray()) count += static_cast<int64_t>(value.arrayValue().size());
  }
  return count;
}
