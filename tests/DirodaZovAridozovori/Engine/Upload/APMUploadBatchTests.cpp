#include "Upload/APMUploadBatch.h"

#include <gtest/gtest.h>

#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "DirodaZovAridozovori/Core/Utilities/APMDataDigest.h"

namespace {

using Bundle = APMPBMeasurementBundle;

std::shared_ptr<Bundle> bundle(const std::string& appID, const std::string& eventName,
                               std::optional<std::string> storedSignals = std::nullopt) {
  auto result = std::make_shared<Bundle>();
  APMNanoSetString(*result, Bundle::kAppId, appID);
  auto event = APMPBEvent::initWithMessageInfo();
  APMNanoSetString(*event, APMPBEvent::kName, eventName);
  APMNanoSetInt64(*event, APMPBEvent::kTimestampMillis, 1700000000000);
  APMNanoSetRepeatedField(*result, Bundle::kEvents, std::vector{event});
  if (storedSignals) APMNanoSetString(*result, Bundle::kConsentSignals, *storedSignals);
  return result;
}

APMUploadBatchInputs inputs() {
  APMUploadBatchInputs in;
  in.nowMilliseconds = 1700000123456;
  in.libraryVersion = 111500000;
  in.consentSignals = "G111";
  in.identity.appInstanceID = "AIID";
  return in;
}

TEST(APMUploadBatchTest, PayloadIsTheBatchEncodingWithStampsAndChecksums) {
  std::vector<APMQueuedBundleMessage> queued{{bundle("A", "open"), 11}, {bundle("A", "tap"), 12}};
  auto in = inputs();
  in.checksumEnabled = true;
  in.uploadSubdomain = "region1";
  APMUploadBatch batch = APMBuildUploadBatch(queued, in);
  EXPECT_EQ(batch.rowIDs, (std::vector<int64_t>{11, 12}));
  EXPECT_EQ(batch.eventCount, 2u);

  auto decoded = APMPBMeasurementBatch::fromBuffer(batch.payload);
  ASSERT_TRUE(decoded) << "the hand-written encoding decodes as a batch";
  auto bundles = APMNanoGetRepeatedField<std::shared_ptr<Bundle>>(*decoded, APMPBMeasurementBatch::kBundles);
  ASSERT_TRUE(bundles);
  ASSERT_EQ(bundles->size(), 2u);
  EXPECT_EQ(APMNanoGetString(*decoded, APMPBMeasurementBatch::kUploadSubdomain), "region1");

  // The same batch built through the message API encodes to the same bytes.
  auto reference = APMPBMeasurementBatch::initWithMessageInfo();
  APMNanoSetRepeatedField(*reference, APMPBMeasurementBatch::kBundles, *bundles);
  APMNanoSetString(*reference, APMPBMeasurementBatch::kUploadSubdomain, std::string("region1"));
  EXPECT_EQ(reference->protoBuffer(), batch.payload);

  for (const auto& sent : *bundles) {
    EXPECT_EQ(APMNanoGetInt64(*sent, Bundle::kUploadTimestampMillis), 1700000123456);
    EXPECT_EQ(APMNanoGetInt64(*sent, Bundle::kUploadLibraryVersion), 111500000);
    EXPECT_EQ(APMNanoGetString(*sent, Bundle::kAppInstanceId), "AIID");
    auto withoutChecksum = sent->copy();
    APMNanoClearField(*withoutChecksum, Bundle::kChecksum);
    EXPECT_EQ(static_cast<uint64_t>(APMNanoGetInt64(*sent, Bundle::kChecksum)),
              apm_64LSBMD5(withoutChecksum->protoBuffer()))
        << "the checksum covers everything else in the bundle";
  }
}

// A varint field set or removed in an encoding comes out as the encoder writes the changed message:
// in tag order among fields below and above it, a negative number as ten bytes, an old value replaced.
TEST(APMUploadBatchTest, AVarintFieldSetInAnEncodingMatchesTheEncoderByteForByte) {
  auto event = [](std::optional<int64_t> previous, bool withParameter) {
    auto message = APMPBEvent::initWithMessageInfo();
    if (withParameter) {
      auto parameter = APMPBEventParam::initWithMessageInfo();
      APMNanoSetString(*parameter, APMPBEventParam::kName, std::string("level"));
      APMNanoSetInt64(*parameter, APMPBEventParam::kIntValue, 7);
      APMNanoSetRepeatedField(*message, APMPBEvent::kParams, std::vector{parameter});
    }
    APMNanoSetString(*message, APMPBEvent::kName, std::string("tap"));
    APMNanoSetInt64(*message, APMPBEvent::kTimestampMillis, 1700000000123);
    if (previous) APMNanoSetInt64(*message, APMPBEvent::kPreviousTimestampMillis, *previous);
    return message;
  };
  const uint32_t previousTag = APMPBEvent::messageInfo().tagForIndex(APMPBEvent::kPreviousTimestampMillis);
  const struct {
    const char* name;
    std::optional<int64_t> before, after;
    bool withParameter;
  } eventCases[] = {
      {"added", std::nullopt, 1699999999000, true},
      {"replaced", 1, 1699999999000, false},
      {"removed", 1699999999000, std::nullopt, true},
      {"negative", std::nullopt, -5, false},
      {"zero is a value", std::nullopt, 0, false},
  };
  for (const auto& c : eventCases) {
    platform::Data encoding = event(c.before, c.withParameter)->protoBuffer();
    std::optional<uint64_t> value;
    if (c.after) value = static_cast<uint64_t>(*c.after);
    ASSERT_TRUE(APMSetVarintFieldInEncoding(encoding, previousTag, value)) << c.name;
    EXPECT_EQ(encoding, event(c.after, c.withParameter)->protoBuffer()) << c.name;
  }

  // A field with fields of higher tags after it: the bundle's index among its identifiers.
  auto bundle = [](std::optional<int32_t> index) {
    auto message = Bundle::initWithMessageInfo();
    APMNanoSetInt32(*message, Bundle::kProtocolVersion, 1);
    APMNanoSetString(*message, Bundle::kAppId, std::string("com.example.app"));
    if (index) APMNanoSetInt32(*message, Bundle::kBundleSequentialIndex, *index);
    APMNanoSetString(*message, Bundle::kConsentSignals, std::string("G111"));
    APMNanoSetInt32(*message, Bundle::kDeliveryIndex, 9);
    return message;
  };
  const uint32_t indexTag = Bundle::messageInfo().tagForIndex(Bundle::kBundleSequentialIndex);
  for (const auto& [before, after] : {std::pair<std::optional<int32_t>, std::optional<int32_t>>{std::nullopt, 42},
                                      {3, 300}, {300, std::nullopt}}) {
    platform::Data encoding = bundle(before)->protoBuffer();
    std::optional<uint64_t> value;
    if (after) value = static_cast<uint64_t>(*after);
    ASSERT_TRUE(APMSetVarintFieldInEncoding(encoding, indexTag, value));
    EXPECT_EQ(encoding, bundle(after)->protoBuffer()) << before.value_or(-1) << " to " << after.value_or(-1);
  }

  platform::Data truncated = bundle(5)->protoBuffer();
  truncated.pop_back();
  const platform::Data kept = truncated;
  EXPECT_FALSE(APMSetVarintFieldInEncoding(truncated, indexTag, 6)) << "an encoding cut short does not parse";
  EXPECT_EQ(truncated, kept);
}

}  // namespace
