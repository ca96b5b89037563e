#pragma once
// Events waiting for the front's serial queue, kept in a compact byte form.
//
// A burst of logged events can run far ahead of storage; kept as dictionaries, each waiting event
// costs a node allocation per parameter. Here each event is written once, as tagged bytes, into
// chunks of kChunkBytes that are released as soon as their events are read back, so a waiting
// event costs about the size of its names and values, and appending rarely allocates.
//
// Not thread-safe: the owner guards it (the front appends under its operation-queue lock and
// reads on the serial queue after taking the buffer out of the queue).
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "APMCompactParameters.h"
#include "platform/Object.h"

// The screen parameters events carry: the front's snapshot of the current screen, shared by every
// event logged on that screen rather than copied into each (none: the event carries no screen).
using APMSharedScreenParameters = std::shared_ptr<const platform::Dictionary>;

// An event read back: its parameters stay in the compact form, which the engine reads straight
// into the event it makes.
struct APMBufferedEvent {
  size_t bytes = 0;  // what the event held while it waited (APMAnalyticsEventBuffer::heldSize)
  std::string origin;
  bool isPublicEvent = false;
  std::string name;
  APMCompactParameters parameters;
  double timestamp = 0;
  APMSharedScreenParameters addedScreenParameters;
};

class APMAnalyticsEventBuffer {
 public:
  static constexpr size_t kChunkBytes = 64 * 1024;

  APMAnalyticsEventBuffer() = default;
  // A buffer that holds a few events at a time (those one operation logs) starts with a chunk of
  // this much room, growing as it fills, rather than taking a whole chunk for each operation.
  explicit APMAnalyticsEventBuffer(size_t firstChunkBytes) : nextChunkBytes_(firstChunkBytes) {}
  // A moved-from buffer is empty: the counters go with the chunks, so it never claims events whose
  // bytes have left.
  APMAnalyticsEventBuffer(APMAnalyticsEventBuffer&& other) noexcept;
  APMAnalyticsEventBuffer& operator=(APMAnalyticsEventBuffer&& other) noexcept;
  APMAnalyticsEventBuffer(const APMAnalyticsEventBuffer&) = delete;
  APMAnalyticsEventBuffer& operator=(const APMAnalyticsEventBuffer&) = delete;

  // An event in two steps: encoded first (no lock needed, and its size known before it is
  // accepted), then appended with its time and screen.
  static void encode(std::string& out, const std::string& origin, bool isPublicEvent, const std::string& name,
                     const platform::Dictionary& parameters);
  // The same with parameters already written by the apm_compact writers (no bytes for no entries).
  static void encode(std::string& out, const std::string& origin, bool isPublicEvent, const std::string& name,
                     std::string_view compactParameters);
  // The bytes an encoded event holds once appended.
  static size_t appendedSize(const std::string& encoded) { return sizeof(double) + encoded.size() + 1; }
  // What an event holds while it waits, counted against the room: its bytes, and about what its
  // screen holds (counted for each event that carries it, so a screen shared by many counts more
  // than it holds, never less).
  static size_t heldSize(const std::string& encoded, const APMSharedScreenParameters& addedScreenParameters) {
    return appendedSize(encoded) + screenSize(addedScreenParameters);
  }
  static size_t screenSize(const APMSharedScreenParameters& addedScreenParameters);
  void append(const std::string& encoded, double timestamp, APMSharedScreenParameters addedScreenParameters);
  void append(const std::string& origin, bool isPublicEvent, const std::string& name,
              const platform::Dictionary& parameters, double timestamp,
              const platform::Dictionary* addedScreenParameters);
  // The oldest event not read yet (its chunk is released once all of its events are read); none
  // when every event has been read.
  std::optional<APMBufferedEvent> next();

  size_t count() const { return appended_ - read_; }
  bool empty() const { return count() == 0; }
  // Bytes held, for the owner's accounting.
  size_t bytes() const;

 private:
  std::string& chunkFor(size_t size);

  std::deque<std::string> chunks_;
  // Each screen once, in the order events first carried it; an event's last byte says whether it
  // carries none, the next of these, or the same as the event appended before it.
  std::deque<APMSharedScreenParameters> screens_;
  APMSharedScreenParameters lastAppendedScreen_;
  APMSharedScreenParameters lastReadScreen_;
  size_t nextChunkBytes_ = kChunkBytes;  // the room a new chunk is made with
  size_t readOffset_ = 0;  // into chunks_.front()
  size_t appended_ = 0;
  size_t read_ = 0;
};
