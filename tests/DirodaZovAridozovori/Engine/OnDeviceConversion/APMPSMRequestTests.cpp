// The queue-free rules of a private-set-membership query: counters and query keys per input type,
// the request URL, the first-open window and the doubling retry delay.
#include <gtest/gtest.h>

#include <climits>

#include "OnDeviceConversion/APMPSMRequest.h"

namespace {

TEST(PSMRequestTest, EachInputTypeCountsInItsOwnPropertyAndTravelsUnderItsKey) {
  const struct {
    int64_t inputType;
    std::string counter, key;
  } cases[] = {{2, "_psmcountph", "psm_phone_count"}, {3, "_psmcounth", "psm_count"},
               {4, "_psmcounthph", "psm_phone_count"}, {1, "_psmcount", "psm_count"},
               {0, "_psmcount", "psm_count"},         {5, "_psmcount", "psm_count"},
               {-2, "_psmcount", "psm_count"}};
  for (const auto& c : cases) {
    const APMPSMInputKind kind = APMPSMInputKindForInputType(c.inputType);
    EXPECT_EQ(kind.counterName, c.counter) << c.inputType;
    EXPECT_EQ(kind.queryKey, c.key) << c.inputType;
  }
}

TEST(PSMRequestTest, TheURLCarriesTheCountTheNextWholeMinuteAfterTheFirstOpenAndTheDebugKey) {
  const struct {
    const char* what;
    const char* clientURL;
    APMPSMRequestParameters parameters;
    const char* expected;
  } cases[] = {
      {"no first open, no debug key", "https://psm.example/q?id=7", {1, 0, 0, std::nullopt},
       "https://psm.example/q?id=7&psm_count=0"},
      {"phone count and a first open 20 s past a minute", "https://psm.example/q", {2, 3, 1699956020000, std::nullopt},
       "https://psm.example/q?psm_phone_count=3&timestamp_first_open=1699956060"},
      {"a first open on a whole minute still moves on", "https://psm.example/q?a=b", {3, 12, 1699956000000, std::nullopt},
       "https://psm.example/q?a=b&psm_count=12&timestamp_first_open=1699956060"},
      {"milliseconds below the minute", "https://psm.example/q", {4, 1, 1699956059999, std::nullopt},
       "https://psm.example/q?psm_phone_count=1&timestamp_first_open=1699956060"},
      {"debug key", "https://psm.example/q", {1, 0, 0, std::string("k-1")},
       "https://psm.example/q?psm_count=0&debug_psm_key=k-1"},
      {"an empty debug key is left out", "https://psm.example/q", {1, 0, 0, std::string()},
       "https://psm.example/q?psm_count=0"},
      {"a debug key cannot add parameters", "https://psm.example/q", {1, 0, 0, std::string("a&psm_count=9")},
       "https://psm.example/q?psm_count=0&debug_psm_key=a%26psm_count%3D9"},
      {"a fragment stays last", "https://psm.example/q#f", {1, 2, 0, std::nullopt},
       "https://psm.example/q?psm_count=2#f"},
  };
  for (const auto& c : cases) {
    auto clientURL = platform::URL::parse(c.clientURL);
    ASSERT_TRUE(clientURL) << c.what;
    EXPECT_EQ(APMPSMRequestURL(*clientURL, c.parameters).absoluteString(), c.expected) << c.what;
  }
}

TEST(PSMRequestTest, TheFirstOpenWindowIsSymmetricInclusiveAndNeverWraps) {
  constexpr double kFirstOpen = 1699956000;
  const struct {
    const char* what;
    double now;
    int64_t days;
    bool within;
  } cases[] = {
      {"default 60 days, on its edge", kFirstOpen + 60 * 86400.0, 60, true},
      {"one second past the edge", kFirstOpen + 60 * 86400.0 + 1, 60, false},
      {"a clock set back as far", kFirstOpen - 60 * 86400.0 - 1, 60, false},
      {"the same moment", kFirstOpen, 7, true},
      // 24,856 days x 86400 no longer fits 32 bits: computed there, the window would be negative.
      {"days past the 32-bit product", kFirstOpen + 20000 * 86400.0, 24856, true},
      {"the largest 32-bit count", kFirstOpen + 3e9, INT32_MAX, true},
      {"a 64-bit count", kFirstOpen + 3e9, INT64_MAX, true},
      {"a negative count admits nothing", kFirstOpen, -1, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(APMPSMIsWithinFirstOpenWindow(c.now, kFirstOpen, c.days), c.within) << c.what;
  }
}

TEST(PSMRequestTest, RetryDelaysDoubleFromTheInterval) {
  const struct {
    double interval;
    int32_t failedAttempts;
    double delay;
  } cases[] = {{300, 0, 300}, {300, 1, 600}, {300, 2, 1200}, {300, 3, 2400}, {30, 9, 15360}, {1800, -1, 1800}};
  for (const auto& c : cases) {
    EXPECT_DOUBLE_EQ(APMPSMRetryDelay(c.interval, c.failedAttempts), c.delay) << c.failedAttempts;
  }
  EXPECT_EQ(APMPSMNextWholeMinute(59.999), 60);
  EXPECT_EQ(APMPSMNextWholeMinute(60), 120);
}

}  // namespace
