#include "NSData/NSData+DULGzip.h"

#include <gtest/gtest.h>

#include "platform/Gzip.h"

namespace {

TEST(DULGzipTest, DataThatCannotBeInflatedGivesNilAndAnError) {
  // One byte past the 64 MiB inflation limit, compressed to a small payload.
  const platform::Data bomb = *platform::Gzip::deflate(platform::Data(64u * 1024u * 1024u + 1, 0));
  for (const auto& input : {platform::Data{'n', 'o', 't'}, bomb}) {
    platform::Error error;
    EXPECT_FALSE(dul_dataByInflatingGzippedData(input, &error).has_value()) << input.size();
    EXPECT_EQ(error.domain, "com.dul.gzip.ErrorDomain");
    EXPECT_EQ(error.code, DULGzipErrorCodeInflateFailed);
    EXPECT_FALSE(error.description.empty());
  }
}

}  // namespace
