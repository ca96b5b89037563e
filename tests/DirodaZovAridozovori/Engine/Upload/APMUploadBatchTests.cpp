#include "Upload/APMUploadBatch.h"

#include <gtest/gtest.h>

#include "APMEvent.h"
#include "APMEventEncoding.h"
#include "APMNanoAccessors.h"
#include "Upload/APMEventWireEncoding.h"
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

// The stored form of a bundle the bundler makes: its metadata's encoding with the events appended.
platform::Data storedForm(const Bundle& bundle) {
  auto metadata = bundle.copy();
  APMNanoClearField(*metadata, Bundle::kEvents);
  platform::Data stored = metadata->protoBuffer();
  const uint32_t tag = Bundle::messageInfo().tagForIndex(Bundle::kEvents);
  for (const auto& event : APMNanoGetRepeatedField<std::shared_ptr<APMPBEvent>>(bundle, Bundle::kEvents)
                               .value_or(std::vector<std::shared_ptr<APMPBEvent>>{})) {
    APMAppendLengthDelimitedField(stored, tag, event->protoBuffer());
  }
  return stored;
}

// Events copied as they are stored must send what decoding and encoding every bundle sent: the
// same bytes, checksums and counts, the first open found among the copied events.
TEST(APMUploadBatchTest, BundlesSentWithTheirStoredEventsAreTheDecodedBundlesByteForByte) {
  auto withEvents = [](std::vector<std::string> names, std::optional<std::string> signals) {
    auto result = bundle("A", names.front(), std::move(signals));
    std::vector<std::shared_ptr<APMPBEvent>> events;
    for (size_t i = 0; i < names.size(); ++i) {
      auto event = APMEvent::create("app", true, names[i], 1700000000 + static_cast<double>(i), 0,
                                    APMParameters{{"level", APMValue(int64_t{static_cast<int64_t>(i)})},
                                                  {"items", APMValue(std::vector<APMParameters>{
                                                                {{"id", APMValue(std::string("SKU"))}}})},
                                                  {"value", APMValue(9.99)}});
      events.push_back(APMEventEncoding::protoEvent(*event));
    }
    APMNanoSetRepeatedField(*result, Bundle::kEvents, events);
    APMNanoSetInt32(*result, Bundle::kProtocolVersion, 1);
    APMNanoSetString(*result, Bundle::kPlatform, std::string("macos"));
    return result;
  };
  struct Case {
    const char* label;
    std::vector<std::shared_ptr<Bundle>> bundles;
    bool checksum;
    bool appended;  // stored as the bundler stores them, events last
  };
  const std::vector<Case> cases = {
      {"one event, checksum", {withEvents({"purchase"}, "G100")}, true, true},
      {"many events, events in tag order", {withEvents({"a", "b", "c"}, std::nullopt), withEvents({"d"}, std::nullopt)},
       false, false},
      // A first open in a later bundle's events overwrites the stored consent of every bundle after it.
      {"first open among the copied events", {withEvents({"x"}, "G100"), withEvents({"y", "_f"}, "G100"),
                                              withEvents({"z"}, "G100")}, true, true},
      {"no events", {bundle("A", "unused")}, true, true},
  };
  for (const auto& c : cases) {
    std::vector<APMQueuedBundleMessage> decoded;
    std::vector<APMQueuedBundleParts> parts;
    int64_t rowID = 20;
    for (auto source : c.bundles) {
      if (std::string(c.label) == "no events") APMNanoClearField(*source, Bundle::kEvents);
      const platform::Data stored = c.appended ? storedForm(*source) : source->protoBuffer();
      decoded.emplace_back(Bundle::fromBuffer(stored), rowID);
      auto split = APMQueuedBundlePartsFromEncoding(stored, rowID);
      ASSERT_TRUE(split) << c.label;
      EXPECT_EQ(split->rowID, rowID) << c.label;
      parts.push_back(std::move(*split));
      ++rowID;
    }
    auto in = inputs();
    in.checksumEnabled = c.checksum;
    in.uploadSubdomain = "region1";
    const APMUploadBatch expected = APMBuildUploadBatch(decoded, in);
    const APMUploadBatch batch = APMBuildUploadBatch(parts, in);
    EXPECT_EQ(batch.payload, expected.payload) << c.label;
    EXPECT_EQ(batch.rowIDs, expected.rowIDs) << c.label;
    EXPECT_EQ(batch.eventCount, expected.eventCount) << c.label;
  }
}

// A queued bundle whose events do not read as events is refused whole, as decoding it would be, so
// it is deleted rather than sent broken; fields an event does not know are carried along.
TEST(APMUploadBatchTest, QueuedBundlesWhoseEventsDoNotParseAreRefused) {
  auto eventField = [](const platform::Data& body) {
    platform::Data field;
    APMAppendLengthDelimitedField(field, Bundle::messageInfo().tagForIndex(Bundle::kEvents), body);
    return field;
  };
  auto stored = [&](const platform::Data& body) {
    platform::Data encoding = bundle("A", "unused")->protoBuffer();
    auto metadata = Bundle::fromBuffer(encoding);
    APMNanoClearField(*metadata, Bundle::kEvents);
    encoding = metadata->protoBuffer();
    const platform::Data field = eventField(body);
    encoding.insert(encoding.end(), field.begin(), field.end());
    return encoding;
  };
  const platform::Data good =
      APMEventEncoding::protoEvent(*APMEvent::create("app", true, "tap", 1700000000, 0,
                                                     APMParameters{{"items", APMValue(std::vector<APMParameters>{
                                                                                 {{"id", APMValue(std::string("a"))}}})}}))
          ->protoBuffer();
  auto withTail = [&good](std::initializer_list<uint8_t> tail) {
    platform::Data body = good;
    body.insert(body.end(), tail);
    return body;
  };
  const struct {
    const char* label;
    platform::Data body;
    bool parses;
  } cases[] = {
      {"a whole event", good, true},
      {"an unknown varint field", withTail({0x48, 0x01}), true},                 // field 9
      {"an unknown length-delimited field", withTail({0x52, 0x01, 0x7a}), true},  // field 10
      {"cut short", platform::Data(good.begin(), good.end() - 1), false},
      {"the name as a number", withTail({0x10, 0x05}), false},        // field 2, varint
      {"the time as text", withTail({0x1a, 0x01, 0x31}), false},      // field 3, length-delimited
      {"a parameter that is not one", withTail({0x0a, 0x02, 0x18, 0x80}), false},  // its int cut short
      {"an array item that is not one", withTail({0x0a, 0x04, 0x32, 0x02, 0x08, 0x01}), false},
      {"field number zero", withTail({0x00, 0x01}), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(APMEventEncodingParses(c.body), c.parses) << c.label;
    auto parts = APMQueuedBundlePartsFromEncoding(stored(c.body), 7);
    EXPECT_EQ(parts.has_value(), c.parses) << c.label;
    if (parts) {
      EXPECT_EQ(parts->events, eventField(c.body)) << c.label;
      EXPECT_EQ(parts->eventCount, 1u) << c.label;
    }
  }
  EXPECT_EQ(APMEventEncodingName(good), "tap");
  EXPECT_FALSE(APMQueuedBundlePartsFromEncoding(platform::Data{0x12, 0x05, 0x0a}, 7)) << "a bundle cut short";
}

}  // namespace
