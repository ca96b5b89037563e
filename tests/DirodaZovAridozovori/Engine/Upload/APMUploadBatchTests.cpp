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

}  // namespace
