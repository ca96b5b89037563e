#include "APMEncodedMessage.h"

#include <algorithm>
#include <functional>

#include "APMWireFormat.h"

namespace {

// The fields of an encoding already known to be whole, as (tag, begin, end, value begin).
template <typename Each>
bool walk(std::span<const uint8_t> bytes, const Each& each) {
  size_t at = 0;
  while (at < bytes.size()) {
    const size_t begin = at;
    const auto key = APMWireReadVarint(bytes, at);
    if (!key) return false;
    const auto wireType = static_cast<uint32_t>(*key & 7);
    size_t valueBegin = at;
    if (wireType == kAPMWireLengthDelimited) {
      const auto length = APMWireReadVarint(bytes, at);
      if (!length || *length > bytes.size() - at) return false;
      valueBegin = at;
      at += static_cast<size_t>(*length);
    } else if (!APMWireSkipValue(bytes, at, wireType)) {
      return false;
    }
    each(static_cast<uint32_t>(*key >> 3), begin, at, valueBegin);
  }
  return true;
}

}  // namespace

std::optional<APMEncodedMessage> APMEncodedMessage::fromCanonicalEncoding(const NANOMessageInfo& info,
                                                                          platform::Data&& bytes) {
  // Offsets are kept in 32 bits; a queued message is far smaller.
  if (bytes.size() > UINT32_MAX) return std::nullopt;
  if (!nano_detail::isCanonicalEncoding(info.descriptor, bytes.data(), bytes.size())) return std::nullopt;
  APMEncodedMessage message(info);
  message.bytes_ = std::move(bytes);
  // Every field takes two bytes at least: room for as many as the bytes can hold, up to a bundle's
  // metadata, so the fields are not moved again and again as they are found.
  message.fields_.reserve(std::min<size_t>(message.bytes_.size() / 2, kFieldsReservedAtMost));
  const bool read = walk(message.bytes_, [&message](uint32_t tag, size_t begin, size_t end, size_t valueBegin) {
    message.fields_.push_back(
        {tag, false, static_cast<uint32_t>(begin), static_cast<uint32_t>(end), static_cast<uint32_t>(valueBegin)});
  });
  if (!read) return std::nullopt;
  return message;
}

APMEncodedMessage APMEncodedMessage::fromMessage(const NANOMessageBase& message) {
  APMEncodedMessage encoded(message.messageInfo());
  encoded.bytes_ = message.protoBuffer();
  encoded.fields_.reserve(std::min<size_t>(encoded.bytes_.size() / 2, kFieldsReservedAtMost));
  walk(encoded.bytes_, [&encoded](uint32_t tag, size_t begin, size_t end, size_t valueBegin) {
    encoded.fields_.push_back(
        {tag, false, static_cast<uint32_t>(begin), static_cast<uint32_t>(end), static_cast<uint32_t>(valueBegin)});
  });
  return encoded;
}

std::span<const uint8_t> APMEncodedMessage::bytesOf(const Field& field) const {
  const platform::Data& source = field.added ? added_ : bytes_;
  return std::span<const uint8_t>(source.data() + field.begin, field.end - field.begin);
}

std::span<const uint8_t> APMEncodedMessage::valueOf(const Field& field) const {
  const platform::Data& source = field.added ? added_ : bytes_;
  return std::span<const uint8_t>(source.data() + field.valueBegin, field.end - field.valueBegin);
}

std::pair<std::vector<APMEncodedMessage::Field>::iterator, std::vector<APMEncodedMessage::Field>::iterator>
APMEncodedMessage::fieldsOf(uint32_t tag) {
  return std::equal_range(fields_.begin(), fields_.end(), Field{tag},
                          [](const Field& a, const Field& b) { return a.tag < b.tag; });
}

std::pair<std::vector<APMEncodedMessage::Field>::const_iterator, std::vector<APMEncodedMessage::Field>::const_iterator>
APMEncodedMessage::fieldsOf(uint32_t tag) const {
  return std::equal_range(fields_.begin(), fields_.end(), Field{tag},
                          [](const Field& a, const Field& b) { return a.tag < b.tag; });
}

const APMEncodedMessage::Field* APMEncodedMessage::last(uint32_t tag) const {
  const auto [first, end] = fieldsOf(tag);
  return first == end ? nullptr : &*(end - 1);
}

bool APMEncodedMessage::has(int index) const {
  const uint32_t tag = info_->tagForIndex(index);
  return tag != 0 && last(tag) != nullptr;
}

std::optional<std::string> APMEncodedMessage::getString(int index) const {
  const Field* field = last(info_->tagForIndex(index));
  if (!field) return std::nullopt;
  const auto value = valueOf(*field);
  return std::string(value.begin(), value.end());
}

std::optional<std::string_view> APMEncodedMessage::viewString(int index) const {
  const Field* field = last(info_->tagForIndex(index));
  if (!field) return std::nullopt;
  const auto value = valueOf(*field);
  return std::string_view(reinterpret_cast<const char*>(value.data()), value.size());
}

std::optional<uint64_t> APMEncodedMessage::getVarint(int index) const {
  const Field* field = last(info_->tagForIndex(index));
  if (!field) return std::nullopt;
  size_t at = 0;
  return APMWireReadVarint(valueOf(*field), at);
}

std::vector<std::span<const uint8_t>> APMEncodedMessage::values(int index) const {
  const uint32_t tag = info_->tagForIndex(index);
  std::vector<std::span<const uint8_t>> result;
  const auto [first, end] = fieldsOf(tag);
  result.reserve(static_cast<size_t>(end - first));
  for (auto field = first; field != end; ++field) result.push_back(valueOf(*field));
  return result;
}

template <typename Write>
APMEncodedMessage::Field APMEncodedMessage::write(uint32_t tag, const Write& write) {
  // A bundle's few changes fit in the first room taken, rather than in one growth after another.
  if (added_.capacity() == 0) added_.reserve(kFirstAddedRoom);
  Field field;
  field.tag = tag;
  field.added = true;
  field.begin = static_cast<uint32_t>(added_.size());
  field.valueBegin = write(added_);
  field.end = static_cast<uint32_t>(added_.size());
  return field;
}

template <typename Write>
void APMEncodedMessage::insert(uint32_t tag, const Write& write) {
  const Field field = this->write(tag, write);
  fields_.insert(fieldsOf(tag).second, field);
}

template <typename Write>
void APMEncodedMessage::replace(uint32_t tag, const Write& write) {
  const Field field = this->write(tag, write);
  // The field takes the place of the first of its tag, and the others go: a field set again (most
  // changes are) moves none of the fields after it.
  auto [first, end] = fieldsOf(tag);
  if (first == end) {
    fields_.insert(first, field);
    return;
  }
  *first = field;
  fields_.erase(first + 1, end);
}

void APMEncodedMessage::clear(int index) {
  const auto [first, end] = fieldsOf(info_->tagForIndex(index));
  fields_.erase(first, end);
}

void APMEncodedMessage::setVarint(int index, uint64_t value) {
  const uint32_t tag = info_->tagForIndex(index);
  if (tag == 0) return;
  replace(tag, [tag, value](platform::Data& out) {
    APMWireAppendKey(out, tag, kAPMWireVarint);
    const auto valueBegin = static_cast<uint32_t>(out.size());
    APMWireAppendVarint(out, value);
    return valueBegin;
  });
}

bool APMEncodedMessage::setString(int index, std::string_view value) {
  // A message's text ends at its first NUL: one holding NUL is refused, as the message refuses it.
  const uint32_t tag = info_->tagForIndex(index);
  if (value.find('\0') != std::string_view::npos || tag == 0) return false;
  const auto* bytes = reinterpret_cast<const uint8_t*>(value.data());
  // Text in the bytes this message added would move as they grow: that text is copied first.
  const std::less<const uint8_t*> before;
  if (!added_.empty() && !before(bytes, added_.data()) && before(bytes, added_.data() + added_.size())) {
    return setString(index, std::string(value));
  }
  replace(tag, [tag, bytes, size = value.size()](platform::Data& out) {
    APMWireAppendKey(out, tag, kAPMWireLengthDelimited);
    APMWireAppendVarint(out, size);
    const auto valueBegin = static_cast<uint32_t>(out.size());
    out.insert(out.end(), bytes, bytes + size);
    return valueBegin;
  });
  return true;
}

void APMEncodedMessage::setValues(int index, const std::vector<std::span<const uint8_t>>& values) {
  const uint32_t tag = info_->tagForIndex(index);
  if (tag == 0) return;
  // The values may point into this message's own bytes: copy them out before the fields change.
  platform::Data copies;
  std::vector<size_t> ends;
  for (const auto& value : values) {
    copies.insert(copies.end(), value.begin(), value.end());
    ends.push_back(copies.size());
  }
  clear(index);
  size_t begin = 0;
  for (size_t end : ends) {
    insert(tag, [&](platform::Data& out) {
      APMWireAppendKey(out, tag, kAPMWireLengthDelimited);
      APMWireAppendVarint(out, end - begin);
      const auto valueBegin = static_cast<uint32_t>(out.size());
      out.insert(out.end(), copies.begin() + static_cast<std::ptrdiff_t>(begin),
                 copies.begin() + static_cast<std::ptrdiff_t>(end));
      return valueBegin;
    });
    begin = end;
  }
}

void APMEncodedMessage::setPackedVarints(int index, const std::vector<uint64_t>& values) {
  const uint32_t tag = info_->tagForIndex(index);
  if (tag == 0) return;
  clear(index);
  if (values.empty()) return;
  platform::Data body;
  for (uint64_t value : values) APMWireAppendVarint(body, value);
  insert(tag, [&](platform::Data& out) {
    APMWireAppendKey(out, tag, kAPMWireLengthDelimited);
    APMWireAppendVarint(out, body.size());
    const auto valueBegin = static_cast<uint32_t>(out.size());
    out.insert(out.end(), body.begin(), body.end());
    return valueBegin;
  });
}

size_t APMEncodedMessage::encodedSize(std::span<const uint8_t> extra) const {
  size_t size = extra.size();
  for (const Field& field : fields_) size += field.end - field.begin;
  return size;
}

void APMEncodedMessage::appendEncoding(platform::Data& out, uint32_t extraTag, std::span<const uint8_t> extra) const {
  out.reserve(out.size() + encodedSize(extra));
  bool extraWritten = extra.empty();
  for (const Field& field : fields_) {
    if (!extraWritten && field.tag > extraTag) {
      out.insert(out.end(), extra.begin(), extra.end());
      extraWritten = true;
    }
    const auto bytes = bytesOf(field);
    out.insert(out.end(), bytes.begin(), bytes.end());
  }
  if (!extraWritten) out.insert(out.end(), extra.begin(), extra.end());
}

platform::Data APMEncodedMessage::encoding() const {
  platform::Data out;
  appendEncoding(out);
  return out;
}
