#include "Upload/APMUploadBatch.h"

#include <gtest/gtest.h>

#include <functional>

#include "APMEncodedMessage.h"

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
      {"absent stays absent", std::nullopt, std::nullopt, true},
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

  // The name read while checking is the one decoding keeps (the last one given): it alone says
  // whether the bundle holds a first open.
  const struct {
    const char* label;
    platform::Data body;
    bool parses;
    std::optional<std::string_view> name;
  } named[] = {
      {"a whole event", good, true, "tap"},
      {"renamed a first open after", withTail({0x12, 0x02, '_', 'f'}), true, "_f"},
      {"a first open renamed after", withTail({0x12, 0x02, '_', 'f', 0x12, 0x01, 'x'}), true, "x"},
      {"no name", platform::Data{0x18, 0x01}, true, std::nullopt},
      {"a first open with an array item that is not one",
       withTail({0x12, 0x02, '_', 'f', 0x0a, 0x04, 0x32, 0x02, 0x08, 0x01}), false, std::nullopt},
  };
  for (const auto& c : named) {
    std::optional<std::string_view> name = "stale";
    EXPECT_EQ(APMEventEncodingParses(c.body, name), c.parses) << c.label;
    if (c.parses) {
      EXPECT_EQ(name, c.name) << c.label;
    }
    auto parts = APMQueuedBundlePartsFromEncoding(stored(c.body), 7);
    ASSERT_EQ(parts.has_value(), c.parses) << c.label;
    if (parts) {
      EXPECT_EQ(parts->hasFirstOpen, c.name == "_f") << c.label;
    }
  }
}


// What the collector decodes from a batch built from the queued bundles' stored bytes is what it
// decodes from the batch built by decoding every queued bundle: the same bundles, field by field,
// for plain, purchase and mixed bundles (audiences, experiments, consent, redaction, checksums), for
// bundles stored by this build and by earlier ones (events in tag order, a field since dropped, a
// field written twice), and again when the same stored bundles are read for a retry.
TEST(APMUploadBatchTest, BatchesFromStoredBytesDecodeAsBatchesFromDecodedBundles) {
  auto attribute = [](const std::string& name, int64_t value) {
    auto result = APMPBUserAttribute::initWithMessageInfo();
    APMNanoSetInt64(*result, APMPBUserAttribute::kSetTimestampMillis, 1700000000000);
    APMNanoSetString(*result, APMPBUserAttribute::kName, name);
    APMNanoSetInt64(*result, APMPBUserAttribute::kIntValue, value);
    return result;
  };
  auto audience = [](int32_t id) {
    auto result = APMPBAudienceLeafFilterResult::initWithMessageInfo();
    APMNanoSetInt32(*result, APMPBAudienceLeafFilterResult::kAudienceId, id);
    APMNanoSetBool(*result, APMPBAudienceLeafFilterResult::kNewAudience, true);
    return result;
  };
  // A bundle as bundling makes it: events, user properties and the fields every bundle carries.
  auto made = [&](std::vector<std::string> names, int64_t ltv, const std::string& signals, bool audiences,
                  std::optional<int64_t> storedNpa = std::nullopt) {
    std::vector<std::shared_ptr<APMPBEvent>> events;
    for (size_t i = 0; i < names.size(); ++i) {
      APMParameters parameters{{"level", APMValue(int64_t{static_cast<int64_t>(i)})}};
      if (names[i] == "purchase") {
        parameters = {{"value", APMValue(9.99)},
                      {"currency", APMValue(std::string("USD"))},
                      {"items", APMValue(std::vector<APMParameters>{{{"item_id", APMValue(std::string("SKU"))}}})}};
      }
      auto event = APMEvent::create("app", true, names[i], 1700000000 + static_cast<double>(i), 0, parameters);
      events.push_back(APMEventEncoding::protoEvent(*event->copyWithPreviousTimestamp(1690000000)));
    }
    auto result = Bundle::initWithMessageInfo();
    APMNanoSetInt32(*result, Bundle::kProtocolVersion, 1);
    APMNanoSetRepeatedField(*result, Bundle::kEvents, events);
    std::vector<std::shared_ptr<APMPBUserAttribute>> attributes{attribute("tier", 3), attribute("_id", 77)};
    if (ltv > 0) attributes.push_back(attribute("_ltv_USD", ltv));
    if (storedNpa) attributes.insert(attributes.begin() + 1, attribute("_npa", *storedNpa));
    APMNanoSetRepeatedField(*result, Bundle::kUserAttributes, attributes);
    APMNanoSetInt64(*result, Bundle::kStartTimestampMillis, 1700000000000);
    APMNanoSetInt64(*result, Bundle::kEndTimestampMillis, 1700000009000);
    APMNanoSetString(*result, Bundle::kPlatform, std::string("macos"));
    APMNanoSetString(*result, Bundle::kOsVersion, std::string("14.2.1"));
    APMNanoSetString(*result, Bundle::kDeviceModel, std::string("Mac14,2"));
    APMNanoSetInt32(*result, Bundle::kTimeZoneOffsetMinutes, -300);
    APMNanoSetString(*result, Bundle::kAppId, std::string("com.example"));
    APMNanoSetInt32(*result, Bundle::kBundleSequentialIndex, 12);
    APMNanoSetString(*result, Bundle::kSessionStitchingToken, std::string("token"));
    if (audiences) APMNanoSetRepeatedField(*result, Bundle::kAudienceEvaluationResults, std::vector{audience(4), audience(9)});
    APMNanoSetRepeatedField(*result, Bundle::kExperimentIds, std::vector<uint32_t>{7, 300000});
    if (!signals.empty()) APMNanoSetString(*result, Bundle::kConsentSignals, signals);
    APMNanoSetInt32(*result, Bundle::kDeliveryIndex, 5);
    return result;
  };
  // How a bundle was stored.
  enum class Stored { Appended, TagOrder, DroppedField, FieldTwice };
  auto stored = [&](const Bundle& bundle, Stored form) {
    platform::Data bytes = form == Stored::TagOrder ? bundle.protoBuffer() : storedForm(bundle);
    if (form == Stored::DroppedField) bytes.insert(bytes.begin(), {0xa0, 0x02, 0x05});  // field 36, a varint
    if (form == Stored::FieldTwice) bytes.insert(bytes.begin(), {0x72, 0x03, 'o', 'l', 'd'});  // an earlier app ID
    return bytes;
  };
  struct Case {
    const char* label;
    std::vector<std::pair<std::shared_ptr<Bundle>, Stored>> bundles;
    std::function<void(APMUploadBatchInputs&)> adjust;
  };
  const std::vector<Case> cases = {
      {"plain, many events",
       {{made({"level_start", "tap", "level_end"}, 0, "G111", true), Stored::Appended},
        {made({"tap", "tap"}, 0, "G111", true), Stored::Appended}},
       [](APMUploadBatchInputs&) {}},
      {"purchases, one per bundle, checksums",
       {{made({"purchase"}, 9990000, "G111", false), Stored::Appended},
        {made({"purchase"}, 19980000, "G111", false), Stored::Appended},
        {made({"purchase"}, 29970000, "G111", false), Stored::Appended}},
       [](APMUploadBatchInputs& in) { in.checksumEnabled = true; }},
      {"mixed, a first open, data controls and the non-personalized-ads property",
       {{made({"purchase"}, 9990000, "", true, 0), Stored::Appended},
        {made({"_f", "tap"}, 0, "", false, 0), Stored::Appended},
        {made({"level_end"}, 0, "", true), Stored::Appended}},
       [&](APMUploadBatchInputs& in) {
         in.npa = attribute("_npa", 1);
         in.dataControls = {"app_instance_id", "user_id", "os_version", "device_model", "enhanced_user_id"};
         in.identity.ephemeralAppInstanceID = "EPH";
         in.checksumEnabled = true;
       }},
      {"analytics storage denied, a resettable device ID",
       {{made({"purchase"}, 9990000, "G100", true), Stored::Appended},
        {made({"tap"}, 0, "G100", true), Stored::Appended}},
       [](APMUploadBatchInputs& in) {
         in.consentSignals = "G100";
         in.identity.limitedAdTracking = false;
         in.identity.resettableDeviceID = "RDID";
         in.identity.trackingAuthorizationStatus = 3;
       }},
      {"ad storage denied, a vendor ID, a tracking gate, no consent signals",
       {{made({"tap"}, 0, "G011", false), Stored::Appended}, {made({"purchase"}, 1, "", false), Stored::Appended}},
       [](APMUploadBatchInputs& in) {
         in.consentSignals = "";
         in.attGate = true;
         in.identity.vendorID = "VID";
         in.identity.limitedAdTracking = true;
         in.identity.trackingAuthorizationStatus = 2;
         in.consentConfig.isDMARegion = true;
         in.consentConfig.corePlatformServices = {"b", "a"};
       }},
      {"stored by earlier builds",
       {{made({"purchase"}, 9990000, "G111", true, 0), Stored::TagOrder},
        {made({"tap", "tap"}, 0, "G111", true), Stored::DroppedField},
        {made({"purchase"}, 9990000, "G111", false), Stored::FieldTwice}},
       [&](APMUploadBatchInputs& in) {
         in.checksumEnabled = true;
         in.npa = attribute("_npa", 0);
       }},
  };
  // Each field's values as the encoder writes them, so a difference names its field.
  auto fieldByField = [](const Bundle& expected, const Bundle& actual, const std::string& label) {
    auto left = APMEncodedMessage::fromCanonicalEncoding(Bundle::messageInfo(), expected.protoBuffer());
    auto right = APMEncodedMessage::fromCanonicalEncoding(Bundle::messageInfo(), actual.protoBuffer());
    ASSERT_TRUE(left && right) << label;
    auto copies = [](const std::vector<std::span<const uint8_t>>& values) {
      std::vector<platform::Data> result;
      for (const auto& value : values) result.emplace_back(value.begin(), value.end());
      return result;
    };
    for (int index = 0; index < static_cast<int>(Bundle::messageInfo().fieldCount); ++index) {
      if (Bundle::messageInfo().tagForIndex(index) == 0) continue;
      EXPECT_EQ(copies(left->values(index)), copies(right->values(index))) << label << ", field index " << index;
    }
  };
  for (const auto& c : cases) {
    APMUploadBatchInputs in = inputs();
    c.adjust(in);
    for (int attempt = 1; attempt <= 2; ++attempt) {
      const std::string label = std::string(c.label) + (attempt == 1 ? "" : ", retried");
      std::vector<APMQueuedBundleMessage> decoded;
      std::vector<APMQueuedBundleParts> parts;
      int64_t rowID = 40;
      for (const auto& [source, form] : c.bundles) {
        const platform::Data bytes = stored(*source, form);
        auto message = Bundle::fromBuffer(bytes);
        ASSERT_TRUE(message) << label;
        decoded.emplace_back(message, rowID);
        auto split = APMQueuedBundlePartsFromEncoding(bytes, rowID);
        ASSERT_TRUE(split) << label;
        parts.push_back(std::move(*split));
        ++rowID;
      }
      in.nowMilliseconds += attempt;
      const APMUploadBatch expected = APMBuildUploadBatch(decoded, in);
      const APMUploadBatch batch = APMBuildUploadBatch(parts, in);
      EXPECT_EQ(batch.rowIDs, expected.rowIDs) << label;
      EXPECT_EQ(batch.eventCount, expected.eventCount) << label;
      auto expectedBatch = APMPBMeasurementBatch::fromBuffer(expected.payload);
      auto actualBatch = APMPBMeasurementBatch::fromBuffer(batch.payload);
      ASSERT_TRUE(expectedBatch && actualBatch) << label;
      const auto expectedBundles =
          APMNanoGetRepeatedField<std::shared_ptr<Bundle>>(*expectedBatch, APMPBMeasurementBatch::kBundles).value();
      const auto actualBundles =
          APMNanoGetRepeatedField<std::shared_ptr<Bundle>>(*actualBatch, APMPBMeasurementBatch::kBundles).value();
      ASSERT_EQ(actualBundles.size(), expectedBundles.size()) << label;
      ASSERT_FALSE(actualBundles.empty()) << label;
      for (size_t i = 0; i < actualBundles.size(); ++i) {
        fieldByField(*expectedBundles[i], *actualBundles[i], label + ", bundle " + std::to_string(i));
      }
      EXPECT_EQ(batch.payload, expected.payload) << label;
    }
  }
}

}  // namespace
