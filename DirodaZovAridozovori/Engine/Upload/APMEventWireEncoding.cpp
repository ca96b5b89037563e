#include "APMEventWireEncoding.h"

#include <cstring>

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

// A length-delimited field whose body write appends: the body is written in place and its length
// put in front of it afterwards, so nothing is encoded twice.
template <typename Write>
void appendNested(platform::Data& out, uint32_t tag, const Write& write) {
  APMWireAppendKey(out, tag, kAPMWireLengthDelimited);
  const size_t start = out.size();
  write(out);
  const size_t length = out.size() - start;
  platform::Data prefix;
  APMWireAppendVarint(prefix, length);
  out.insert(out.begin() + static_cast<std::ptrdiff_t>(start), prefix.begin(), prefix.end());
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
  for (const auto& [name, value] : parameters) {
    appendNested(out, tag, [&](platform::Data& body) { appendParameter(body, name, value); });
  }
}

}  // namespace

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
