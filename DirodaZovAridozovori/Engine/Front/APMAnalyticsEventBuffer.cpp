#include "APMAnalyticsEventBuffer.h"

#include <algorithm>
#include <utility>

// An event's bytes: its time (first, so an event encoded before its time was taken can be appended
// with it), origin, public flag, name, its parameters in the compact form behind their size, and
// last one byte for its screen (ScreenMark).
using apm_compact::putRaw;
using apm_compact::putSize;
using apm_compact::putText;

namespace {

enum class ScreenMark : char { kNone = 0, kNext = 1, kSameAsBefore = 2 };

void putParameters(std::string& out, const platform::Dictionary& parameters) {
  if (parameters.empty()) return putSize(out, 0);
  thread_local std::string scratch;
  scratch.clear();
  apm_compact::putDictionary(scratch, parameters);
  putText(out, scratch);
  if (scratch.capacity() > APMAnalyticsEventBuffer::kChunkBytes) std::string().swap(scratch);
}

}  // namespace

APMAnalyticsEventBuffer::APMAnalyticsEventBuffer(APMAnalyticsEventBuffer&& other) noexcept
    : chunks_(std::exchange(other.chunks_, {})),
      screens_(std::exchange(other.screens_, {})),
      lastAppendedScreen_(std::exchange(other.lastAppendedScreen_, nullptr)),
      lastReadScreen_(std::exchange(other.lastReadScreen_, nullptr)),
      nextChunkBytes_(other.nextChunkBytes_),
      readOffset_(std::exchange(other.readOffset_, 0)),
      appended_(std::exchange(other.appended_, 0)),
      read_(std::exchange(other.read_, 0)) {}

APMAnalyticsEventBuffer& APMAnalyticsEventBuffer::operator=(APMAnalyticsEventBuffer&& other) noexcept {
  if (this != &other) {
    chunks_ = std::exchange(other.chunks_, {});
    screens_ = std::exchange(other.screens_, {});
    lastAppendedScreen_ = std::exchange(other.lastAppendedScreen_, nullptr);
    lastReadScreen_ = std::exchange(other.lastReadScreen_, nullptr);
    nextChunkBytes_ = other.nextChunkBytes_;
    readOffset_ = std::exchange(other.readOffset_, 0);
    appended_ = std::exchange(other.appended_, 0);
    read_ = std::exchange(other.read_, 0);
  }
  return *this;
}

std::string& APMAnalyticsEventBuffer::chunkFor(size_t size) {
  if (chunks_.empty() || chunks_.back().size() + size > kChunkBytes) {
    chunks_.emplace_back();
    chunks_.back().reserve(std::max(size, nextChunkBytes_));
    nextChunkBytes_ = kChunkBytes;
  }
  return chunks_.back();
}

void APMAnalyticsEventBuffer::encode(std::string& out, const std::string& origin, bool isPublicEvent,
                                     const std::string& name, const platform::Dictionary& parameters) {
  out.clear();
  putText(out, origin);
  out.push_back(static_cast<char>(isPublicEvent ? 1 : 0));
  putText(out, name);
  putParameters(out, parameters);
}

void APMAnalyticsEventBuffer::encode(std::string& out, const std::string& origin, bool isPublicEvent,
                                     const std::string& name, std::string_view compactParameters) {
  out.clear();
  putText(out, origin);
  out.push_back(static_cast<char>(isPublicEvent ? 1 : 0));
  putText(out, name);
  if (compactParameters.empty()) return putSize(out, 0);
  putText(out, compactParameters);
}

void APMAnalyticsEventBuffer::append(const std::string& encoded, double timestamp,
                                     APMSharedScreenParameters addedScreenParameters) {
  std::string& chunk = chunkFor(appendedSize(encoded));  // an event never spans two chunks
  putRaw(chunk, timestamp);
  chunk.append(encoded);
  ScreenMark mark = ScreenMark::kNone;
  if (addedScreenParameters && !addedScreenParameters->empty()) {
    if (addedScreenParameters == lastAppendedScreen_) {
      mark = ScreenMark::kSameAsBefore;
    } else {
      mark = ScreenMark::kNext;
      lastAppendedScreen_ = addedScreenParameters;
      screens_.push_back(std::move(addedScreenParameters));
    }
  }
  chunk.push_back(static_cast<char>(mark));
  ++appended_;
}

void APMAnalyticsEventBuffer::append(const std::string& origin, bool isPublicEvent, const std::string& name,
                                     const platform::Dictionary& parameters, double timestamp,
                                     const platform::Dictionary* addedScreenParameters) {
  thread_local std::string scratch;
  encode(scratch, origin, isPublicEvent, name, parameters);
  append(scratch, timestamp,
         addedScreenParameters ? std::make_shared<const platform::Dictionary>(*addedScreenParameters) : nullptr);
  if (scratch.capacity() > kChunkBytes) std::string().swap(scratch);  // do not keep a huge event's buffer
}

std::optional<APMBufferedEvent> APMAnalyticsEventBuffer::next() {
  if (empty()) return std::nullopt;
  while (readOffset_ >= chunks_.front().size()) {
    chunks_.pop_front();
    readOffset_ = 0;
  }
  apm_compact::Reader reader(chunks_.front(), readOffset_);
  APMBufferedEvent event;
  event.timestamp = reader.raw<double>();
  event.origin = reader.text();
  event.isPublicEvent = reader.byte() != 0;
  event.name = reader.text();
  event.parameters = APMCompactParameters::fromBytes(reader.text());
  switch (static_cast<ScreenMark>(reader.byte())) {
    case ScreenMark::kNone:
      break;
    case ScreenMark::kNext:
      lastReadScreen_ = std::move(screens_.front());
      screens_.pop_front();
      event.addedScreenParameters = lastReadScreen_;
      break;
    case ScreenMark::kSameAsBefore:
      event.addedScreenParameters = lastReadScreen_;
      break;
  }
  event.bytes = reader.offset() - readOffset_ + screenSize(event.addedScreenParameters);
  readOffset_ = reader.offset();
  ++read_;
  if (readOffset_ >= chunks_.front().size()) {
    chunks_.pop_front();
    readOffset_ = 0;
  }
  return event;
}

size_t APMAnalyticsEventBuffer::screenSize(const APMSharedScreenParameters& addedScreenParameters) {
  if (!addedScreenParameters) return 0;
  // About the compact form's size: a name and a kind byte, then a text or an 8-byte number.
  size_t size = 0;
  for (const auto& [name, value] : *addedScreenParameters) {
    size += 2 + name.size() + (value.isString() ? 1 + value.stringValue().size() : sizeof(double));
  }
  return size;
}

size_t APMAnalyticsEventBuffer::bytes() const {
  size_t total = 0;
  for (const auto& chunk : chunks_) total += chunk.capacity();
  return total;
}
