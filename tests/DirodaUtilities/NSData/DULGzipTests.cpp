#include "NSData/NSData+DULGzip.h"

#include <gtest/gtest.h>
#include <zlib.h>

namespace {

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
  const platform::Data inputs[] = {platform::Data{'n', 'o', 't'}, gzipBomb()};
  for (const auto& input : inputs) {
    platform::Error error;
    EXPECT_FALSE(dul_dataByInflatingGzippedData(input, &error).has_value()) << input.size();
    EXPECT_EQ(error.domain, "com.dul.gzip.ErrorDomain");
    EXPECT_EQ(error.code, DULGzipErrorCodeInflateFailed);
    EXPECT_FALSE(error.description.empty());
  }
}

}  // namespace
