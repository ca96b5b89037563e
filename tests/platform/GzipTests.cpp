#include "platform/Gzip.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <optional>
#include <string>

namespace {

using platform::Data;
using platform::Gzip;

Data bytesOf(const std::string& s) { return Data(s.begin(), s.end()); }

Data pseudoRandom(size_t size) {
  Data out(size);
  uint32_t x = 2463534242u;
  for (auto& b : out) b = static_cast<uint8_t>((x = x * 1664525u + 1013904223u) >> 24);
  return out;
}

// Inflates with zlib directly, so the compressor is checked against an independent reader that
// accepts only the gzip wrapping.
Data referenceGunzip(const Data& gz) {
  z_stream s{};
  EXPECT_EQ(inflateInit2(&s, 16 + 15), Z_OK);
  Data out(1 << 22);
  s.next_in = const_cast<Bytef*>(gz.data());
  s.avail_in = static_cast<uInt>(gz.size());
  s.next_out = out.data();
  s.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(inflate(&s, Z_FINISH), Z_STREAM_END);
  out.resize(s.total_out);
  inflateEnd(&s);
  return out;
}

TEST(GzipTest, DeflateWritesAGzipStreamThatRoundTrips) {
  const Data inputs[] = {Data{}, bytesOf(std::string(100000, 'x')), pseudoRandom(300000)};
  for (const auto& input : inputs) {
    auto gz = Gzip::deflate(input);
    ASSERT_TRUE(gz.has_value());
    EXPECT_EQ(referenceGunzip(*gz), input) << input.size();
    if (input.empty()) continue;
    auto back = Gzip::inflate(*gz);
    ASSERT_TRUE(back.has_value()) << input.size();
    EXPECT_EQ(*back, input);
  }
}

TEST(GzipTest, InflateRefusesBadInputWithoutCrashing) {
  Data good = *Gzip::deflate(bytesOf(std::string(5000, 'q') + "tail"));
  auto damaged = [&good](size_t at, uint8_t mask) {
    Data copy = good;
    copy[at] ^= mask;
    return copy;
  };
  Data trailing = good;
  trailing.push_back('!');
  const std::pair<const char*, Data> cases[] = {
      {"empty", Data{}}, {"not compressed", bytesOf("plain text, not gzip")},
      {"truncated body", Data(good.begin(), good.begin() + good.size() / 2)},
      {"missing trailer", Data(good.begin(), good.end() - 4)},
      {"bad checksum", damaged(good.size() - 6, 0xff)}, {"corrupt body", damaged(12, 0x55)},
      {"trailing garbage", trailing}};
  for (const auto& [label, input] : cases) {
    std::string reason;
    EXPECT_FALSE(Gzip::inflate(input, Gzip::kDefaultInflateLimit, &reason).has_value()) << label;
    EXPECT_FALSE(reason.empty()) << label;
  }
}

// The compressor is kept and reset between calls: each stream must come out as a fresh
// compressor writes it, whatever was compressed before it on the thread.
TEST(GzipTest, EachDeflateIsTheSameWhateverCameBefore) {
  const Data small = bytesOf("a small bundle a small bundle a small bundle");
  const Data large = pseudoRandom(200000);
  const Data first = *Gzip::deflate(small);
  for (const Data* between : {&large, &small, &first}) {
    ASSERT_TRUE(Gzip::deflate(*between).has_value());
    auto again = Gzip::deflate(small);
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(*again, first) << "after " << between->size() << " bytes";
  }
  EXPECT_EQ(referenceGunzip(first), small);
  EXPECT_EQ(referenceGunzip(*Gzip::deflate(large)), large);
}

// A small input gets a window sized to it: it must still compress as well as zlib's largest window
// does, so a repeat as far back as the input is long is found.
TEST(GzipTest, SmallInputsCompressAsWellAsWithTheLargestWindow) {
  auto largestWindow = [](const Data& input) {
    z_stream s{};
    EXPECT_EQ(deflateInit2(&s, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 16 + 15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    Data out(deflateBound(&s, static_cast<uLong>(input.size())));
    s.next_in = const_cast<Bytef*>(input.data());
    s.avail_in = static_cast<uInt>(input.size());
    s.next_out = out.data();
    s.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&s, Z_FINISH), Z_STREAM_END);
    out.resize(s.total_out);
    deflateEnd(&s);
    return out;
  };
  for (size_t half : {1u, 100u, 125u, 126u, 250u, 251u, 381u, 382u, 900u, 2000u, 4000u, 9000u, 20000u, 40000u}) {
    // Random bytes do not compress; the same bytes again compress only by reaching back to them.
    const Data block = pseudoRandom(half);
    Data input = block;
    input.insert(input.end(), block.begin(), block.end());
    auto gz = Gzip::deflate(input);
    ASSERT_TRUE(gz.has_value()) << input.size();
    EXPECT_EQ(referenceGunzip(*gz), input) << input.size();
    EXPECT_LE(gz->size(), largestWindow(input).size() + 4) << input.size();
  }
}

// Stored streams carry the bytes as they are: the same gzip framing any reader inflates, one stored
// block (5 bytes of block header) per 65,535 bytes, between the 10-byte header and the 8-byte trailer.
TEST(GzipTest, StoredStreamsKeepTheBytesAsTheyAreAndInflateLikeAnyOther) {
  const struct {
    const char* name;
    Data input;
    size_t storedBlocks;
  } cases[] = {
      {"empty", Data{}, 1},
      {"one byte", Data{42}, 1},
      {"a small bundle, compressible", bytesOf(std::string(599, 'b')), 1},
      {"one whole block", pseudoRandom(65535), 1},
      {"two blocks", bytesOf(std::string(65536, 'c')), 2},
      {"four blocks", pseudoRandom(200000), 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string reason;
    auto gz = Gzip::deflate(c.input, Gzip::Compression::kStored, &reason);
    ASSERT_TRUE(gz.has_value()) << reason;
    EXPECT_EQ(gz->size(), c.input.size() + 10 + 8 + 5 * c.storedBlocks);
    EXPECT_EQ(referenceGunzip(*gz), c.input);
    if (c.input.empty()) continue;
    auto back = Gzip::inflate(*gz);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, c.input);
  }
  // Stored and compressed streams on one thread do not disturb each other.
  const Data text = bytesOf(std::string(3000, 'z'));
  const Data compressed = *Gzip::deflate(text);
  EXPECT_LT(compressed.size(), 100u);
  EXPECT_EQ(Gzip::deflate(text, Gzip::Compression::kStored)->size(), text.size() + 23);
  EXPECT_EQ(*Gzip::deflate(text, Gzip::Compression::kDefault), compressed);
}

// Bytes shaped like encoded events of a bundle or batch, about size long.
std::string eventLikeText(size_t size) {
  std::string events;
  for (int i = 0; events.size() < size; ++i) {
    events += "\x0a\x0blevel_start\x12\x0e\x0a\x05level\x18" + std::to_string(i % 50) +
              "\x12\x0f\x0a\x06screen\x12\x04main\x18" + std::to_string(1700000000000LL + i * 50);
  }
  return events;
}

// Quick streams (for upload batches) inflate like any other, stay about as small as the default
// level's, and come from compressors of their own: a default stream made after them on the same
// thread is the same as one made before.
TEST(GzipTest, QuickStreamsRoundTripAndLeaveDefaultStreamsAsTheyWere) {
  const std::string events = eventLikeText(300000);
  const struct {
    const char* name;
    Data input;
  } cases[] = {
      {"empty", Data{}},
      {"a small bundle", bytesOf(events.substr(0, 500))},
      {"a batch of events", bytesOf(events)},
      {"incompressible", pseudoRandom(100000)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Data before = *Gzip::deflate(c.input);
    auto quick = Gzip::deflate(c.input, Gzip::Compression::kQuick);
    ASSERT_TRUE(quick.has_value());
    EXPECT_EQ(referenceGunzip(*quick), c.input);
    if (!c.input.empty()) {
      EXPECT_EQ(Gzip::inflate(*quick), std::optional<Data>(c.input));
    }
    EXPECT_LE(quick->size(), before.size() + before.size() / 20 + 16);
    EXPECT_EQ(*Gzip::deflate(c.input), before) << "a default stream after a quick one";
  }
  EXPECT_NE(*Gzip::deflate(bytesOf(events), Gzip::Compression::kQuick), *Gzip::deflate(bytesOf(events)))
      << "quick streams search less than the default level";
}

// Fast streams (for queued bundles) inflate like any other, stay about as small as the default
// level's (within a quarter), and come from compressors of their own: default and quick streams made after them on the
// same thread are the same as ones made before.
TEST(GzipTest, FastStreamsRoundTripAndLeaveOtherStreamsAsTheyWere) {
  const std::string events = eventLikeText(56000);
  const struct {
    const char* name;
    Data input;
  } cases[] = {
      {"empty", Data{}},
      {"a small bundle", bytesOf(events.substr(0, 700))},
      {"a bundle of 1,000 events", bytesOf(events)},
      {"incompressible", pseudoRandom(70000)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Data before = *Gzip::deflate(c.input);
    const Data quickBefore = *Gzip::deflate(c.input, Gzip::Compression::kQuick);
    auto fast = Gzip::deflate(c.input, Gzip::Compression::kFast);
    ASSERT_TRUE(fast.has_value());
    EXPECT_EQ(referenceGunzip(*fast), c.input);
    if (!c.input.empty()) {
      EXPECT_EQ(Gzip::inflate(*fast), std::optional<Data>(c.input));
    }
    // These made-up events repeat more than real ones, which level 3 finds less well: real
    // bundles came out about as small as at the default level.
    EXPECT_LE(fast->size(), before.size() + before.size() / 4 + 16);
    EXPECT_EQ(*Gzip::deflate(c.input), before) << "a default stream after a fast one";
    EXPECT_EQ(*Gzip::deflate(c.input, Gzip::Compression::kQuick), quickBefore) << "a quick stream after a fast one";
  }
  // Level 3 takes the first match it finds; levels 5 and 6 look further.
  const Data bundle = bytesOf(events);
  const Data fast = *Gzip::deflate(bundle, Gzip::Compression::kFast);
  EXPECT_NE(fast, *Gzip::deflate(bundle)) << "fast streams search less than the default level";
  EXPECT_NE(fast, *Gzip::deflate(bundle, Gzip::Compression::kQuick)) << "fast streams search less than quick ones";
}

TEST(GzipTest, InflateEnforcesTheOutputLimit) {
  // About 10 KB that inflates to 10 MiB: the kind of payload the limit exists for.
  Data bomb = *Gzip::deflate(Data(10u * 1024u * 1024u, 0));
  ASSERT_LT(bomb.size(), 20000u);
  std::string reason;
  EXPECT_FALSE(Gzip::inflate(bomb, 1024u * 1024u, &reason).has_value());
  EXPECT_NE(reason.find("exceeds"), std::string::npos);

  Data exact = *Gzip::deflate(Data(1000, 7));
  EXPECT_TRUE(Gzip::inflate(exact, 1000).has_value());
  EXPECT_FALSE(Gzip::inflate(exact, 999).has_value());
}

}  // namespace
