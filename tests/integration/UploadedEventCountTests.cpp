// The upload bench's collector counts events by walking the batch's wire format: it must count
// exactly what decoding the batch finds, and refuse what decoding would refuse, or the bench
// would time an upload that lost or broke events.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../../bench/UploadedEventCount.h"
#include "APMNanoAccessors.h"

namespace {

std::shared_ptr<APMPBEvent> event(const std::string& name, int64_t level) {
  auto param = APMPBEventParam::initWithMessageInfo();
  APMNanoSetString(*param, APMPBEventParam::kName, std::string("level"));
  APMNanoSetInt64(*param, APMPBEventParam::kIntValue, level);
  auto message = APMPBEvent::initWithMessageInfo();
  APMNanoSetString(*message, APMPBEvent::kName, name);
  APMNanoSetRepeatedField(*message, APMPBEvent::kParams, std::vector{param});
  return message;
}

std::shared_ptr<APMPBMeasurementBundle> bundle(int events) {
  auto message = APMPBMeasurementBundle::initWithMessageInfo();
  APMNanoSetString(*message, APMPBMeasurementBundle::kAppId, std::string("com.example.app"));
  std::vector<std::shared_ptr<APMPBEvent>> list;
  for (int i = 0; i < events; ++i) list.push_back(event("level_start", i));
  if (!list.empty()) APMNanoSetRepeatedField(*message, APMPBMeasurementBundle::kEvents, list);
  return message;
}

platform::Data encodedBatch(const std::vector<int>& eventsPerBundle) {
  auto batch = APMPBMeasurementBatch::initWithMessageInfo();
  std::vector<std::shared_ptr<APMPBMeasurementBundle>> bundles;
  for (int events : eventsPerBundle) bundles.push_back(bundle(events));
  APMNanoSetRepeatedField(*batch, APMPBMeasurementBatch::kBundles, bundles);
  APMNanoSetString(*batch, APMPBMeasurementBatch::kUploadSubdomain, std::string("region1"));
  return batch->protoBuffer();
}

// One length-delimited field of the given tag around bytes.
platform::Data field(uint32_t tag, const platform::Data& bytes) {
  platform::Data out;
  APMWireAppendKey(out, tag, kAPMWireLengthDelimited);
  APMWireAppendVarint(out, bytes.size());
  out.insert(out.end(), bytes.begin(), bytes.end());
  return out;
}

TEST(UploadedEventCountTests, CountsWhatDecodingFinds) {
  struct Case {
    std::vector<int> eventsPerBundle;
    int64_t expected;
  };
  for (const auto& c : std::vector<Case>{{{3}, 3}, {{0, 1, 5}, 6}, {{2, 0}, 2}, {{}, 0}, {{40, 40, 1}, 81}}) {
    const auto bytes = encodedBatch(c.eventsPerBundle);
    auto decoded = APMPBMeasurementBatch::fromBuffer(bytes);
    ASSERT_TRUE(decoded);
    int64_t decodedEvents = 0;
    for (pb_size_t i = 0; i < decoded->nano().bundles_count; ++i) decodedEvents += decoded->nano().bundles[i].events_count;
    const auto counted = benchupload::uploadedEventCount(bytes);
    ASSERT_TRUE(counted) << c.expected;
    EXPECT_EQ(*counted, c.expected);
    EXPECT_EQ(*counted, decodedEvents);
  }
}

TEST(UploadedEventCountTests, RefusesBrokenFraming) {
  const auto whole = encodedBatch({2, 3});
  platform::Data truncated(whole.begin(), whole.end() - 1);
  // An event whose own fields run past its end: its name claims 5 bytes and holds 1.
  const platform::Data brokenEvent = {0x12, 0x05, 'a'};
  // An events field sent as a number, which no decoder of a bundle accepts.
  platform::Data numberEvents;
  APMWireAppendKey(numberEvents, 2, kAPMWireVarint);
  APMWireAppendVarint(numberEvents, 7);
  // A bundle whose length claims more bytes than the batch holds.
  platform::Data overlong;
  APMWireAppendKey(overlong, 1, kAPMWireLengthDelimited);
  APMWireAppendVarint(overlong, 100);
  overlong.push_back(0x00);
  // A bundle field sent as a fixed 32-bit value.
  platform::Data fixedBundle;
  APMWireAppendKey(fixedBundle, 1, kAPMWireFixed32);
  fixedBundle.insert(fixedBundle.end(), {1, 2, 3, 4});
  // An unknown wire type (6) on a field nobody counts.
  const platform::Data unknownType = {0x0e, 0x01};

  struct Case {
    const char* name;
    platform::Data bytes;
  };
  for (const auto& c : std::vector<Case>{
           {"truncated", truncated},
           {"broken event", field(1, field(2, brokenEvent))},
           {"events as a number", field(1, numberEvents)},
           {"overlong bundle", overlong},
           {"bundle as fixed32", fixedBundle},
           {"unknown wire type", unknownType},
           {"tag zero", platform::Data{0x02, 0x00}},
       }) {
    EXPECT_FALSE(benchupload::uploadedEventCount(c.bytes)) << c.name;
  }
  // The same framing whole is counted: the cases above fail for their fault alone.
  EXPECT_EQ(benchupload::uploadedEventCount(field(1, field(2, platform::Data{0x12, 0x01, 'a'}))), 1);
}

}  // namespace
