#include "Upload/APMEventWireEncoding.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "APMPBMessages.h"

namespace {

APMParameters item(const std::string& name, APMValue value) { return APMParameters{{name, std::move(value)}}; }

// What the generated encoder writes is what a collector has always received: the direct encoding
// must match it byte for byte, whatever the parameters hold.
TEST(APMEventWireEncodingTest, MatchesTheGeneratedEncoderForEveryKindOfValue) {
  struct Case {
    const char* label;
    std::string name;
    double timestamp;
    double previous;
    APMParameters parameters;
  };
  const std::vector<Case> cases = {
      {"no parameters", "_e", 1700000000.123, 0, {}},
      {"previous occurrence", "tap", 1700000000.5, 1699999999.25, {{"level", APMValue(int64_t{7})}}},
      {"negative and extreme integers", "level_end", 1700000001, 0,
       {{"a", APMValue(int64_t{-1})},
        {"b", APMValue(std::numeric_limits<int64_t>::min())},
        {"c", APMValue(std::numeric_limits<int64_t>::max())},
        {"d", APMValue(int64_t{0})},
        {"e", APMValue(int64_t{300})}}},
      {"doubles", "purchase", 1700000002, 1700000001,
       {{"value", APMValue(9.99)},
        {"zero", APMValue(0.0)},
        {"negative zero", APMValue(-0.0)},
        {"tiny", APMValue(std::numeric_limits<double>::denorm_min())},
        {"huge", APMValue(-1e308)}}},
      {"texts, empty and long", "select_item", 1700000003, 0,
       {{"empty", APMValue(std::string())},
        {"unicode", APMValue(std::string("caf\xC3\xA9 \xF0\x9F\x98\x80"))},
        {"long", APMValue(std::string(300, 'x'))}}},
      {"time zero, one-letter name", "x", 0, 0, {{"x", APMValue(std::string("y"))}}},
      {"times before 1970", "old", -12.345, -99.5, {}},
      {"arrays of items", "view_item_list", 1700000004, 0,
       {{"items", APMValue(std::vector<APMParameters>{
                      {{"item_id", APMValue(std::string("SKU-1"))}, {"price", APMValue(1.5)}, {"quantity", APMValue(int64_t{2})}},
                      item("item_name", APMValue(std::string(200, 'n'))),
                      {}})},
        {"currency", APMValue(std::string("USD"))}}},
      {"empty array", "cart", 1700000005, 0, {{"items", APMValue(std::vector<APMParameters>{})}}},
      // Parameters whose encodings are 127 and 128 bytes long: the last length of one byte and the
      // first of two.
      {"lengths either side of one byte", "edge", 1700000006, 0,
       {{"a", APMValue(std::string(122, 'a'))}, {"b", APMValue(std::string(123, 'b'))}}},
  };
  for (const auto& c : cases) {
    auto event = APMEvent::create("app", true, c.name, c.timestamp, 0, c.parameters);
    ASSERT_TRUE(event) << c.label;
    const platform::Data expected = APMEventEncoding::protoEvent(*event->copyWithPreviousTimestamp(c.previous))->protoBuffer();
    EXPECT_EQ(APMEventUploadEncoding(*event, c.previous), expected) << c.label;
  }
}

// The stored previous occurrence is not the one that travels: the argument decides.
TEST(APMEventWireEncodingTest, ThePreviousOccurrenceComesFromTheArgumentNotTheEvent) {
  auto event = APMEvent::create("app", true, "tap", 1700000000, 1600000000, {{"n", APMValue(int64_t{1})}});
  ASSERT_TRUE(event);
  EXPECT_EQ(APMEventUploadEncoding(*event, 0), APMEventEncoding::protoEvent(*event->copyWithPreviousTimestamp(0))->protoBuffer());
  EXPECT_EQ(APMEventUploadEncoding(*event, 1650000000),
            APMEventEncoding::protoEvent(*event->copyWithPreviousTimestamp(1650000000))->protoBuffer());
}

}  // namespace
