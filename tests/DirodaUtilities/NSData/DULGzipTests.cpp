#include "NSData/NSData+DULGzip.h"

#include <gtest/gtest.h>
#include <zlib.h>

namespace {

TEST(DULGzipTest, GzippedDataInflatesBackAndStartsWithTheGzipMagic) {
  platform::Data plain;
  for (int i = 0; i < 20000; ++i) plain.push_back(static_cast<uint8_t>(i % 251));
  platform::Error error;
  auto gz = dul_dataByGzippingData(plain, &error);
  ASSERT_TRUE(gz.has_value());
  EXPECT_TRUE(error.empty());
  ASSERT_GE(gz->size(), 2u);
  EXPECT_EQ((*gz)[0], 0x1f);
  EXPECT_EQ((*gz)[1], 0x8b);
  auto back = dul_dataByInflatingGzippedData(*gz, &error);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back, plain);
}

// 80 MiB of zeros: compresses to well under a megabyte but exceeds the inflation limit.
platform::Data gzipBomb() {
  z_stream s{};
  EXPECT_EQ(deflateInit2(&s, 9, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY), Z_OK);
  platform::Data zeros(1 << 20, 0);
  platform::Data out(1 << 20);
  platform::Data bomb;
  for (int i = 0; i < 80; ++i) {
    s.next_in = zeros.data();
    s.avail_in = static_cast<uInt>(zeros.size());
    int flush = i == 79 ? Z_FINISH : Z_NO_FLUSH;
    do {
      s.next_out = out.data();
      s.avail_out = static_cast<uInt>(out.size());
      deflate(&s, flush);
      bomb.insert(bomb.end(), out.data(), out.data() + (out.size() - s.avail_out));
    } while (s.avail_out == 0);
  }
  deflateEnd(&s);
  return bomb;
}

TEST(DULGzipTest, DataThatCannotBeInflatedGivesNilAndAnError) {
  platform::Data truncated = *dul_dataByGzippingData(platform::Data(4000, 'z'));
  truncated.resize(truncated.size() - 8);
  const platform::Data inputs[] = {platform::Data{}, platform::Data{'n', 'o', 't'}, truncated, gzipBomb()};
  for (const auto& input : inputs) {
    platform::Error error;
    EXPECT_FALSE(dul_dataByInflatingGzippedData(input, &error).has_value()) << input.size();
    EXPECT_EQ(error.domain, "com.dul.gzip.ErrorDomain");
    EXPECT_EQ(error.code, DULGzipErrorCodeInflateFailed);
    EXPECT_FALSE(error.description.empty());
  }
}

}  // namespace
