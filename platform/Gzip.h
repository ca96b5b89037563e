#pragma once
// gzip compression for upload bodies, stored bundles and downloaded data.
//
// Inflation never trusts its input: corrupt or truncated streams fail cleanly, and output beyond
// a limit is refused so a small hostile payload cannot expand into gigabytes.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/Object.h"

namespace platform {

class Gzip {
 public:
  static constexpr size_t kDefaultInflateLimit = 64u * 1024u * 1024u;

  // How the bytes go into the stream. Stored writes them as they are (deflate's stored blocks): any
  // gzip reader inflates it like the other, and for a few hundred bytes it saves the Huffman tables,
  // whose construction costs more than the few bytes they would save. Quick is zlib's level 5: it
  // gives up the default level's search for matches longer than 32 bytes, which in an upload batch
  // (protocol messages of many similar events) found little: a batch of 8,000 events came out 2%
  // smaller in 40% of the time, one of 100 purchases 1% larger in 70% of it. Fast is zlib's level 3,
  // which takes the first match it finds instead of looking one byte further for a longer one: a
  // queued bundle of 1,000 plain events (56 KB) came out 1.6% smaller than at the default level, and
  // the upload worker, which compresses them, sent 1.5 times as many events a second.
  enum class Compression { kDefault, kStored, kQuick, kFast };

  // A complete gzip stream (header and trailer) of the bytes; nullopt only when zlib fails.
  static std::optional<Data> deflate(const uint8_t* bytes, size_t size, std::string* error = nullptr);
  static std::optional<Data> deflate(const Data& data, std::string* error = nullptr);
  static std::optional<Data> deflate(const Data& data, Compression compression, std::string* error = nullptr);

  // The inflated bytes of a gzip (or zlib) stream; concatenated gzip members are inflated one
  // after the other. nullopt with a reason when the input is empty, corrupt or truncated, has
  // trailing garbage, or would inflate to more than limit bytes.
  static std::optional<Data> inflate(const uint8_t* bytes, size_t size, size_t limit = kDefaultInflateLimit,
                                     std::string* error = nullptr);
  static std::optional<Data> inflate(const Data& data, size_t limit = kDefaultInflateLimit,
                                     std::string* error = nullptr);
};

}  // namespace platform
