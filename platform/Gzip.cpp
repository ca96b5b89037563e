#include "platform/Gzip.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <limits>

namespace platform {

namespace {

// Window bits plus 16: write a gzip header and trailer.
constexpr int kGzipHeader = 16;
constexpr int kMinWindowBits = 9;
constexpr int kMaxWindowBits = 15;
// How far short of its window a match may reach back (zlib's MIN_LOOKAHEAD).
constexpr size_t kWindowLookahead = 262;
// 15 window bits plus 32: accept both gzip and zlib headers.
constexpr int kAutoDetectWindowBits = 47;
constexpr size_t kChunk = 64 * 1024;

void fail(std::string* error, std::string reason) {
  if (error) *error = std::move(reason);
}

std::string zlibReason(const z_stream& stream, int code) {
  if (stream.msg) return stream.msg;
  return "zlib error " + std::to_string(code);
}

// The smallest window that still reaches back over the whole input, so a small input (a queued
// bundle of one event) compresses as well as with the largest window, without resetting and
// touching the largest one's 270 KB of state for a few hundred bytes. The hash table shrinks with
// the window.
int windowBitsFor(size_t size) {
  int bits = kMinWindowBits;
  while (bits < kMaxWindowBits && (size_t{1} << bits) - kWindowLookahead < size) ++bits;
  return bits;
}

// One compressor per thread and window size, reset between streams. Setting one up allocates and
// clears its state, which costs far more than compressing a small bundle; a reset stream writes the
// same bytes a fresh one would.
class ThreadDeflater {
 public:
  ThreadDeflater(int windowBits, int level) : windowBits_(windowBits), level_(level) {}
  ThreadDeflater(const ThreadDeflater&) = delete;
  ThreadDeflater& operator=(const ThreadDeflater&) = delete;
  ~ThreadDeflater() { release(); }

  // A stream ready for new input; nullptr (with the reason) when zlib cannot set one up.
  z_stream* acquire(std::string* error) {
    if (ready_ && ::deflateReset(&stream_) == Z_OK) return &stream_;
    release();
    stream_ = z_stream{};
    // Its symbol buffer (one block) holds the whole input the window was chosen for.
    const int memoryLevel = std::min(8, windowBits_ - 6);
    const int status = deflateInit2(&stream_, level_, Z_DEFLATED, kGzipHeader + windowBits_,
                                    memoryLevel, Z_DEFAULT_STRATEGY);
    if (status != Z_OK) {
      fail(error, zlibReason(stream_, status));
      return nullptr;
    }
    ready_ = true;
    return &stream_;
  }

  // After a failure the stream is set up afresh next time rather than trusted.
  void release() {
    if (ready_) ::deflateEnd(&stream_);
    ready_ = false;
  }

 private:
  const int windowBits_;
  const int level_;
  z_stream stream_{};
  bool ready_ = false;
};

std::optional<Data> deflateWith(ThreadDeflater& deflater, const uint8_t* bytes, size_t size, std::string* error) {
  z_stream* stream = deflater.acquire(error);
  if (!stream) return std::nullopt;
  Data out(deflateBound(stream, static_cast<uLong>(size)));
  stream->next_in = const_cast<Bytef*>(bytes);
  stream->avail_in = static_cast<uInt>(size);
  stream->next_out = out.data();
  stream->avail_out = static_cast<uInt>(out.size());
  int status = ::deflate(stream, Z_FINISH);
  // zlib's bound falls short for stored blocks in a small window (a few bytes for a tiny input):
  // the stream goes on into more room.
  while (status == Z_OK && stream->avail_out == 0) {
    const size_t used = out.size();
    out.resize(used + used / 2 + 64);
    stream->next_out = out.data() + used;
    stream->avail_out = static_cast<uInt>(out.size() - used);
    status = ::deflate(stream, Z_FINISH);
  }
  if (status != Z_STREAM_END) {
    fail(error, zlibReason(*stream, status));
    deflater.release();
    return std::nullopt;
  }
  out.resize(stream->total_out);
  return out;
}

using WindowDeflaters = std::array<std::optional<ThreadDeflater>, kMaxWindowBits - kMinWindowBits + 1>;

std::optional<Data> deflateAtLevel(WindowDeflaters& deflaters, int level, const uint8_t* bytes, size_t size,
                                   std::string* error) {
  if (size > std::numeric_limits<uInt>::max()) {
    fail(error, "input too large");
    return std::nullopt;
  }
  const int windowBits = windowBitsFor(size);
  auto& slot = deflaters[static_cast<size_t>(windowBits - kMinWindowBits)];
  if (!slot) slot.emplace(windowBits, level);
  return deflateWith(*slot, bytes, size, error);
}

}  // namespace

std::optional<Data> Gzip::deflate(const uint8_t* bytes, size_t size, std::string* error) {
  thread_local WindowDeflaters deflaters;
  return deflateAtLevel(deflaters, Z_DEFAULT_COMPRESSION, bytes, size, error);
}

std::optional<Data> Gzip::deflate(const Data& data, std::string* error) {
  return deflate(data.data(), data.size(), error);
}

std::optional<Data> Gzip::deflate(const Data& data, Compression compression, std::string* error) {
  if (compression == Compression::kDefault) return deflate(data, error);
  if (compression == Compression::kQuick) {
    constexpr int kQuickLevel = 5;
    thread_local WindowDeflaters quick;
    return deflateAtLevel(quick, kQuickLevel, data.data(), data.size(), error);
  }
  if (compression == Compression::kFast) {
    constexpr int kFastLevel = 3;
    thread_local WindowDeflaters fast;
    return deflateAtLevel(fast, kFastLevel, data.data(), data.size(), error);
  }
  if (data.size() > std::numeric_limits<uInt>::max()) {
    fail(error, "input too large");
    return std::nullopt;
  }
  // Stored blocks never reach back, so the smallest window serves every size.
  thread_local ThreadDeflater stored(kMinWindowBits, Z_NO_COMPRESSION);
  return deflateWith(stored, data.data(), data.size(), error);
}

std::optional<Data> Gzip::inflate(const uint8_t* bytes, size_t size, size_t limit, std::string* error) {
  if (size == 0 || !bytes) {
    fail(error, "empty input");
    return std::nullopt;
  }
  if (size > std::numeric_limits<uInt>::max()) {
    fail(error, "input too large");
    return std::nullopt;
  }
  z_stream stream{};
  int status = inflateInit2(&stream, kAutoDetectWindowBits);
  if (status != Z_OK) {
    fail(error, zlibReason(stream, status));
    return std::nullopt;
  }
  stream.next_in = const_cast<Bytef*>(bytes);
  stream.avail_in = static_cast<uInt>(size);
  Data out;
  uint8_t chunk[kChunk];
  std::optional<std::string> failure;
  while (true) {
    stream.next_out = chunk;
    stream.avail_out = sizeof(chunk);
    status = ::inflate(&stream, Z_NO_FLUSH);
    size_t produced = sizeof(chunk) - stream.avail_out;
    if (status == Z_NEED_DICT || status == Z_DATA_ERROR || status == Z_MEM_ERROR || status == Z_STREAM_ERROR) {
      failure = zlibReason(stream, status);
      break;
    }
    if (out.size() + produced > limit) {
      failure = "inflated data exceeds " + std::to_string(limit) + " bytes";
      break;
    }
    out.insert(out.end(), chunk, chunk + produced);
    if (status == Z_STREAM_END) {
      if (stream.avail_in == 0) break;
      // Another gzip member may follow; anything else is trailing garbage.
      if (stream.next_in[0] != 0x1f) {
        failure = "trailing data after the compressed stream";
        break;
      }
      inflateReset(&stream);
      continue;
    }
    if (status == Z_BUF_ERROR || (produced == 0 && stream.avail_in == 0)) {
      // No progress possible: the input ended before the stream did.
      failure = "truncated compressed data";
      break;
    }
  }
  inflateEnd(&stream);
  if (failure) {
    fail(error, *failure);
    return std::nullopt;
  }
  return out;
}

std::optional<Data> Gzip::inflate(const Data& data, size_t limit, std::string* error) {
  return inflate(data.data(), data.size(), limit, error);
}

}  // namespace platform
