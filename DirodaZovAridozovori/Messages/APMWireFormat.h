#pragma once
// The few pieces of the protocol-buffer wire format the SDK writes or walks by hand, where splicing
// bytes into an encoding costs less than building the message again; what they write is what the
// generated encoder writes.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "platform/Object.h"

constexpr uint32_t kAPMWireVarint = 0;
constexpr uint32_t kAPMWireFixed64 = 1;
constexpr uint32_t kAPMWireLengthDelimited = 2;
constexpr uint32_t kAPMWireFixed32 = 5;

inline void APMWireAppendVarint(platform::Data& bytes, uint64_t value) {
  while (value >= 0x80) {
    bytes.push_back(static_cast<uint8_t>(value | 0x80));
    value >>= 7;
  }
  bytes.push_back(static_cast<uint8_t>(value));
}

inline void APMWireAppendKey(platform::Data& bytes, uint32_t tag, uint32_t wireType) {
  APMWireAppendVarint(bytes, (static_cast<uint64_t>(tag) << 3) | wireType);
}

// The varint at `position`, which moves past it; none when the bytes end inside it.
inline std::optional<uint64_t> APMWireReadVarint(std::span<const uint8_t> bytes, size_t& position) {
  uint64_t value = 0;
  for (int shift = 0; shift < 64 && position < bytes.size(); shift += 7) {
    const uint8_t byte = bytes[position++];
    value |= static_cast<uint64_t>(byte & 0x7f) << shift;
    if ((byte & 0x80) == 0) return value;
  }
  return std::nullopt;
}

// Moves `position` past one field's value of the given wire type; false when the bytes end inside
// it or the type is not one a message of ours holds.
inline bool APMWireSkipValue(std::span<const uint8_t> bytes, size_t& position, uint32_t wireType) {
  uint64_t length = 0;
  switch (wireType) {
    case kAPMWireVarint:
      return APMWireReadVarint(bytes, position).has_value();
    case kAPMWireFixed64:
      length = 8;
      break;
    case kAPMWireLengthDelimited: {
      auto read = APMWireReadVarint(bytes, position);
      if (!read) return false;
      length = *read;
      break;
    }
    case kAPMWireFixed32:
      length = 4;
      break;
    default:
      return false;
  }
  if (length > bytes.size() - position) return false;
  position += static_cast<size_t>(length);
  return true;
}
