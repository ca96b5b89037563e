#include "APMEventWireEncoding.h"

#include <cstring>
#include <iterator>

#include "APMWireFormat.h"
#include "DirodaZovAridozovori/Core/Utilities/APMNumericUtil.h"

namespace {

// The field numbers of event.proto.
constexpr uint32_t kEventParams = 1;
constexpr uint32_t kEventName = 2;
constexpr uint32_t kEventTimestamp = 3;
constexpr uint32_t kEventPreviousTimestamp = 4;
constexpr uint32_t kParamName = 1;
constexpr uint32_t kParamInt = 3;
constexpr uint32_t kParamString = 4;
constexpr uint32_t kParamDouble = 5;
constexpr uint32_t kParamArray = 6;
constexpr uint32_t kItemParams = 1;

void appendText(platform::Data& out, uint32_t tag, const std::string& text) {
  APMWireAppendKey(out, tag, kAPMWireLengthDelimited);
  APMWireAppendVarint(out, text.size());
  out.insert(out.end(), text.begin(), text.end());
}

void appendVarintField(platform::Data& out, uint32_t tag, int64_t value) {
  APMWireAppendKey(out, tag, kAPMWireVarint);
  APMWireAppendVarint(out, static_cast<uint64_t>(value));
}

// A length-delimited field whose body write appends: the body is written in place behind a
// one-byte length, which takes the bytes it lacks afterwards should the body reach 128 bytes, so
// nothing is encoded twice and a short body (most are) moves no byte and allocates nothing.
template <typename Write>
void appendNested(platform::Data& out, uint32_t tag, const Write& write) {
  APMWireAppendKey(out, tag, kAPMWireLengthDelimited);
  const size_t lengthAt = out.size();
  out.push_back(0);
  write(out);
  uint64_t length = out.size() - lengthAt - 1;
  if (length < 0x80) {
    out[lengthAt] = static_cast<uint8_t>(length);
    return;
  }
  uint8_t prefix[10];
  size_t size = 0;
  while (length >= 0x80) {
    prefix[size++] = static_cast<uint8_t>(length | 0x80);
    length >>= 7;
  }
  prefix[size++] = static_cast<uint8_t>(length);
  out[lengthAt] = prefix[0];
  out.insert(out.begin() + static_cast<std::ptrdiff_t>(lengthAt + 1), prefix + 1, prefix + size);
}

void appendParameters(platform::Data& out, uint32_t tag, const APMParameters& parameters);

void appendParameter(platform::Data& out, const std::string& name, const APMValue& value) {
  appendText(out, kParamName, name);
  switch (value.type()) {
    case APMValue::Type::Int64:
      appendVarintField(out, kParamInt, value.int64Value());
      break;
    case APMValue::Type::String:
      appendText(out, kParamString, value.stringValue());
      break;
    case APMValue::Type::Double: {
      const double number = value.doubleValue();
      uint64_t bits;
      std::memcpy(&bits, &number, sizeof bits);
      APMWireAppendKey(out, kParamDouble, kAPMWireFixed64);
      for (int byte = 0; byte < 8; ++byte) out.push_back(static_cast<uint8_t>(bits >> (8 * byte)));
      break;
    }
    case APMValue::Type::Array:
      for (const APMParameters& item : value.arrayValue()) {
        appendNested(out, kParamArray, [&item](platform::Data& body) { appendParameters(body, kItemParams, item); });
      }
      break;
  }
}

void appendParameters(platform::Data& out, uint32_t tag, const APMParameters& parameters) {
  // A named entry, not a structured binding: older clang (the fuzz build's) cannot capture one.
  for (const auto& entry : parameters) {
    appendNested(out, tag, [&entry](platform::Data& body) { appendParameter(body, entry.first, entry.second); });
  }
}

// What the generated decoder requires of a field it knows: its wire type and, for a nested message,
// the fields of that message.
struct Rules;
struct FieldRule {
  uint32_t tag;
  uint32_t wireType;
  const Rules* nested;
};
struct Rules {
  const FieldRule* begin;
  const FieldRule* end;
};
extern const Rules kParamRules;
extern const Rules kItemRules;
constexpr FieldRule kEventFields[] = {{kEventParams, kAPMWireLengthDelimited, &kParamRules},
                                      {kEventName, kAPMWireLengthDelimited, nullptr},
                                      {kEventTimestamp, kAPMWireVarint, nullptr},
                                      {kEventPreviousTimestamp, kAPMWireVarint, nullptr}};
constexpr FieldRule kParamFields[] = {{kParamName, kAPMWireLengthDelimited, nullptr},
                                      {kParamInt, kAPMWireVarint, nullptr},
                                      {kParamString, kAPMWireLengthDelimited, nullptr},
                                      {kParamDouble, kAPMWireFixed64, nullptr},
                                      {kParamArray, kAPMWireLengthDelimited, &kItemRules}};
constexpr FieldRule kItemFields[] = {{kItemParams, kAPMWireLengthDelimited, &kParamRules}};
const Rules kEventRules{std::begin(kEventFields), std::end(kEventFields)};
const Rules kParamRules{std::begin(kParamFields), std::end(kParamFields)};
const Rules kItemRules{std::begin(kItemFields), std::end(kItemFields)};
// Parameters hold items that hold parameters: deeper than any event has ever been written is
// refused rather than followed.
constexpr int kMaxNesting = 8;

// Walks a message's fields; each calls back with every field the rules know and its bytes (the
// value of a length-delimited one, without its length).
template <typename Each>
bool walkFields(std::span<const uint8_t> bytes, const Rules& rules, const Each& each) {
  size_t at = 0;
  while (at < bytes.size()) {
    const auto key = APMWireReadVarint(bytes, at);
    if (!key || (*key >> 3) == 0 || (*key >> 3) > UINT32_MAX) return false;
    const auto tag = static_cast<uint32_t>(*key >> 3);
    const auto wireType = static_cast<uint32_t>(*key & 7);
    const FieldRule* rule = nullptr;
    for (const FieldRule* candidate = rules.begin; candidate != rules.end; ++candidate) {
      if (candidate->tag == tag) rule = candidate;
    }
    if (rule && rule->wireType != wireType) return false;
    size_t valueStart = at;
    if (wireType == kAPMWireLengthDelimited) {
      const auto length = APMWireReadVarint(bytes, at);
      if (!length || *length > bytes.size() - at) return false;
      valueStart = at;
      at += static_cast<size_t>(*length);
    } else if (!APMWireSkipValue(bytes, at, wireType)) {
      return false;
    }
    if (rule && !each(*rule, bytes.subspan(valueStart, at - valueStart))) return false;
  }
  return true;
}

bool parses(std::span<const uint8_t> bytes, const Rules& rules, int depth) {
  if (depth > kMaxNesting) return false;
  return walkFields(bytes, rules, [depth](const FieldRule& rule, std::span<const uint8_t> value) {
    return !rule.nested || parses(value, *rule.nested, depth + 1);
  });
}

}  // namespace

bool APMEventEncodingParses(std::span<const uint8_t> bytes) { return parses(bytes, kEventRules, 0); }

bool APMEventEncodingParses(std::span<const uint8_t> bytes, std::optional<std::string_view>& name) {
  name.reset();
  return walkFields(bytes, kEventRules, [&name](const FieldRule& rule, std::span<const uint8_t> value) {
    if (rule.tag == kEventName) name = std::string_view(reinterpret_cast<const char*>(value.data()), value.size());
    return !rule.nested || parses(value, *rule.nested, 1);
  });
}

std::optional<std::string_view> APMEventEncodingName(std::span<const uint8_t> bytes) {
  std::optional<std::string_view> name;
  const bool read = walkFields(bytes, kEventRules, [&name](const FieldRule& rule, std::span<const uint8_t> value) {
    if (rule.tag == kEventName) name = std::string_view(reinterpret_cast<const char*>(value.data()), value.size());
    return true;
  });
  return read ? name : std::nullopt;
}

platform::Data APMEventUploadEncoding(const APMEvent& event, double previousTimestamp) {
  platform::Data out;
  out.reserve(48 + event.name().size() + event.parameters().size() * 32);
  appendParameters(out, kEventParams, event.parameters());
  appendText(out, kEventName, event.name());
  appendVarintField(out, kEventTimestamp, APMMillisecondsFromSeconds(event.timestamp()));
  if (previousTimestamp != 0) {
    appendVarintField(out, kEventPreviousTimestamp, APMMillisecondsFromSeconds(previousTimestamp));
  }
  return out;
}
