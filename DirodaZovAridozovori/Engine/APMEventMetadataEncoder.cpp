#include "APMEventMetadataEncoder.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "APMDatabase.h"
#include "APMPBMessages.h"
#include "APMWireFormat.h"
#include "NANOMessageBase.h"
#include "Utilities/APMNumericUtil.h"

namespace {

// Enough to remember a property changed and changed back a few times over.
constexpr size_t kKnownFingerprints = 8;

void appendText(platform::Data& bytes, uint32_t tag, const std::string& text) {
  APMWireAppendKey(bytes, tag, kAPMWireLengthDelimited);
  APMWireAppendVarint(bytes, text.size());
  bytes.insert(bytes.end(), text.begin(), text.end());
}

// Where the first top-level field with a tag above `tag` begins; none when the encoding cannot be
// walked.
std::optional<size_t> firstFieldAfter(const platform::Data& bytes, uint32_t tag) {
  size_t position = 0;
  while (position < bytes.size()) {
    const size_t start = position;
    auto key = APMWireReadVarint(bytes, position);
    if (!key) return std::nullopt;
    if ((*key >> 3) > tag) return start;
    if (!APMWireSkipValue(bytes, position, static_cast<uint32_t>(*key & 7))) return std::nullopt;
  }
  return bytes.size();
}

}  // namespace

bool APMEventMetadataEncoder::setFixedPart(const NANOMessageBase& metadata, int userAttributesIndex) {
  hasFixedPart_ = false;
  const uint32_t tag = metadata.messageInfo().tagForIndex(userAttributesIndex);
  const platform::Data encoded = metadata.protoBuffer();
  const auto split = tag == 0 ? std::nullopt : firstFieldAfter(encoded, tag);
  if (!split) return false;
  prefix_.assign(encoded.begin(), encoded.begin() + static_cast<std::ptrdiff_t>(*split));
  suffix_.assign(encoded.begin() + static_cast<std::ptrdiff_t>(*split), encoded.end());
  const uint32_t key = (tag << 3) | kAPMWireLengthDelimited;
  if (key != userAttributesKey_) {
    // The properties were framed under another key.
    attributes_.clear();
    lastEncoded_.clear();
    userAttributesKey_ = key;
  }
  hasFixedPart_ = true;
  return true;
}

platform::Data APMEventMetadataEncoder::encodeAttribute(const APMUserAttribute& attribute) {
  // Fields in tag order, each only when set, as the message's own encoding writes them.
  constexpr uint32_t kSetTimestampMillisTag = 1;
  constexpr uint32_t kNameTag = 2;
  constexpr uint32_t kStringValueTag = 3;
  constexpr uint32_t kIntValueTag = 4;
  constexpr uint32_t kDoubleValueTag = 6;
  platform::Data bytes;
  bytes.reserve(attribute.name().size() + 32);
  APMWireAppendKey(bytes, kSetTimestampMillisTag, kAPMWireVarint);
  APMWireAppendVarint(bytes, static_cast<uint64_t>(APMMillisecondsFromSeconds(attribute.lastSetTimestamp())));
  appendText(bytes, kNameTag, attribute.name());
  const APMValue& value = attribute.value();
  if (value.isString()) appendText(bytes, kStringValueTag, value.stringValue());
  if (value.isInt64()) {
    APMWireAppendKey(bytes, kIntValueTag, kAPMWireVarint);
    APMWireAppendVarint(bytes, static_cast<uint64_t>(value.int64Value()));
  }
  if (value.isDouble()) {
    APMWireAppendKey(bytes, kDoubleValueTag, kAPMWireFixed64);
    uint64_t bits = 0;
    const double number = value.doubleValue();
    std::memcpy(&bits, &number, sizeof bits);
    for (int shift = 0; shift < 64; shift += 8) bytes.push_back(static_cast<uint8_t>(bits >> shift));
  }
  return bytes;
}

const APMEventMetadataEncoder::EncodedAttribute& APMEventMetadataEncoder::encodedAttribute(
    const std::shared_ptr<APMUserAttribute>& attribute) {
  auto& known = attributes_[attribute->name()];
  // The database hands out the same property objects while they are unchanged (and they never
  // change), so the same object needs no comparison.
  if (known.attribute != attribute) {
    if (!known.attribute || !(*known.attribute == *attribute)) {
      const platform::Data bytes = encodeAttribute(*attribute);
      known.framed.clear();
      APMWireAppendVarint(known.framed, userAttributesKey_);
      APMWireAppendVarint(known.framed, bytes.size());
      known.framed.insert(known.framed.end(), bytes.begin(), bytes.end());
    }
    known.attribute = attribute;
  }
  return known;
}

platform::Data APMEventMetadataEncoder::encode(const std::vector<std::shared_ptr<APMUserAttribute>>& attributes) {
  size_t size = prefix_.size() + suffix_.size();
  lastEncoded_.resize(attributes.size(), nullptr);
  size_t count = 0;
  for (const auto& attribute : attributes) {
    if (!attribute) continue;
    const EncodedAttribute*& entry = lastEncoded_[count++];
    // An entry is its name's last encoding, so the same object found there has these bytes.
    if (!entry || entry->attribute != attribute) entry = &encodedAttribute(attribute);
    size += entry->framed.size();
  }
  lastEncoded_.resize(count);
  platform::Data encoded(size);
  uint8_t* out = encoded.data();
  auto put = [&out](const platform::Data& bytes) {
    if (bytes.empty()) return;
    std::memcpy(out, bytes.data(), bytes.size());
    out += bytes.size();
  };
  put(prefix_);
  for (const EncodedAttribute* entry : lastEncoded_) put(entry->framed);
  put(suffix_);
  return encoded;
}

int64_t APMEventMetadataEncoder::fingerprint(const platform::Data& encoded) {
  auto known = std::find_if(fingerprints_.begin(), fingerprints_.end(),
                            [&](const KnownFingerprint& entry) { return entry.encoded == encoded; });
  if (known != fingerprints_.end()) return known->fingerprint;
  if (fingerprints_.size() == kKnownFingerprints) fingerprints_.erase(fingerprints_.begin());
  fingerprints_.push_back({encoded, APMDatabaseRawEvents::metadataFingerprint(encoded)});
  return fingerprints_.back().fingerprint;
}
