// The metadata a group assembles from its fixed fields and its user properties must be the very
// bytes the whole message encodes to, whatever the properties did before.
#include "APMEventMetadataEncoder.h"

#include <gtest/gtest.h>

#include "APMDatabase.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"

namespace {

using Attributes = std::vector<std::shared_ptr<APMUserAttribute>>;

std::shared_ptr<APMUserAttribute> property(const std::string& name, APMValue value, double setAt = 1700000000.5) {
  return std::make_shared<APMUserAttribute>("app", name, std::move(value), setAt);
}

// Fields on both sides of the user properties (tag 3): the protocol version (tag 1) before them,
// text, numbers and a sub-message after.
std::shared_ptr<APMPBMeasurementBundle> fixedFields(bool onlyBefore) {
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo();
  APMNanoSetInt32(*bundle, APMPBMeasurementBundle::kProtocolVersion, 1);
  if (onlyBefore) return bundle;
  APMNanoSetString(*bundle, APMPBMeasurementBundle::kPlatform, std::string("macos"));
  APMNanoSetString(*bundle, APMPBMeasurementBundle::kAppId, std::string("1:1234567890:macos:0a1b2c3d4e5f"));
  APMNanoSetInt64(*bundle, APMPBMeasurementBundle::kLibraryVersion, 110150);
  APMNanoSetInt32(*bundle, APMPBMeasurementBundle::kTimeZoneOffsetMinutes, -300);
  APMNanoSetInt32(*bundle, APMPBMeasurementBundle::kLinkedClientFlags, 9);
  auto info = APMPBOnDeviceMeasurementInfo::initWithMessageInfo();
  auto value = APMPBOnDeviceMeasurementValue::initWithMessageInfo();
  APMNanoSetMessage(*info, APMPBOnDeviceMeasurementInfo::kOdm1Value, *value);
  APMNanoSetMessage(*bundle, APMPBMeasurementBundle::kOnDeviceMeasurementInfo, *info);
  return bundle;
}

platform::Data wholeEncoding(bool onlyBefore, const Attributes& attributes) {
  auto bundle = fixedFields(onlyBefore);
  if (!attributes.empty()) {
    std::vector<std::shared_ptr<APMPBUserAttribute>> messages;
    for (const auto& attribute : attributes) messages.push_back(attribute->protoUserAttribute());
    APMNanoSetRepeatedField(*bundle, APMPBMeasurementBundle::kUserAttributes, messages);
  }
  return bundle->protoBuffer();
}

// One encoder through a sequence, as a group uses it: properties come, change (value or set time),
// change back and go.
TEST(APMEventMetadataEncoderTest, AssembledMetadataIsTheWholeEncodingThroughASequenceOfChanges) {
  const Attributes sequence[] = {
      {},
      {property("_fot", APMValue(int64_t{1700000000000}))},
      {property("_fot", APMValue(int64_t{1700000000000})), property("_ltv_USD", APMValue(int64_t{9990000})),
       property("tier", APMValue("gold"))},
      {property("_fot", APMValue(int64_t{1700000000000})), property("_ltv_USD", APMValue(int64_t{19980000})),
       property("tier", APMValue("gold"))},
      {property("_fot", APMValue(int64_t{1700000000000})), property("_ltv_USD", APMValue(int64_t{19980000}), 1700000009.0),
       property("tier", APMValue("gold"))},
      {property("_fot", APMValue(int64_t{1700000000000})), property("ratio", APMValue(0.25)),
       property("tier", APMValue(std::string(300, 's')))},
      {property("_fot", APMValue(int64_t{1700000000000})), property("_ltv_USD", APMValue(int64_t{9990000})),
       property("tier", APMValue("gold"))},
  };
  for (bool onlyBefore : {false, true}) {
    APMEventMetadataEncoder encoder;
    ASSERT_TRUE(encoder.setFixedPart(*fixedFields(onlyBefore), APMPBMeasurementBundle::kUserAttributes));
    size_t step = 0;
    for (const auto& attributes : sequence) {
      SCOPED_TRACE(testing::Message() << (onlyBefore ? "only fields before, " : "") << "step " << step++);
      const platform::Data expected = wholeEncoding(onlyBefore, attributes);
      const platform::Data assembled = encoder.encode(attributes);
      EXPECT_EQ(assembled, expected);
      EXPECT_EQ(encoder.fingerprint(assembled), APMDatabaseRawEvents::metadataFingerprint(expected));
    }
  }
}


// The database hands out the same property objects while they are unchanged: an encoder that
// reuses what it encoded for the object found at the same place must still follow a property
// changed in place, one that moved, and an earlier object of a name coming back.
TEST(APMEventMetadataEncoderTest, TheSameObjectsInChangingPlacesEncodeAsTheWholeMessage) {
  const auto firstOpen = property("_fot", APMValue(int64_t{1700000000000}));
  const auto value = property("_ltv_USD", APMValue(int64_t{9990000}));
  const auto raised = property("_ltv_USD", APMValue(int64_t{19980000}));
  const auto sameValue = property("_ltv_USD", APMValue(int64_t{9990000}));
  const auto tier = property("tier", APMValue("gold"));
  const auto platinum = property("tier", APMValue("platinum"));
  const Attributes sequence[] = {
      {firstOpen, value, tier},
      {firstOpen, value, tier},
      {firstOpen, raised, tier},     // changed in place
      {firstOpen, tier},             // the next one moved into its place
      {firstOpen, raised, tier},     // and back
      {firstOpen, value, tier},      // an earlier object of the name comes back
      {firstOpen, sameValue, platinum},
      {tier, firstOpen},             // another order
      {value, nullptr, platinum},    // a hole
      {},
      {firstOpen, value, tier},
  };
  APMEventMetadataEncoder encoder;
  ASSERT_TRUE(encoder.setFixedPart(*fixedFields(false), APMPBMeasurementBundle::kUserAttributes));
  size_t step = 0;
  for (const auto& attributes : sequence) {
    SCOPED_TRACE(testing::Message() << "step " << step++);
    Attributes present;
    for (const auto& attribute : attributes) {
      if (attribute) present.push_back(attribute);
    }
    EXPECT_EQ(encoder.encode(attributes), wholeEncoding(false, present));
  }
}

}  // namespace

namespace {

// A property written directly must be the bytes its message encodes to: values of each kind at
// their edges, lengths that take a second byte, times before 1970.
TEST(APMEventMetadataEncoderTest, APropertyWrittenDirectlyIsItsMessagesEncoding) {
  const std::string longName(200, 'n');
  const struct {
    const char* name;
    std::shared_ptr<APMUserAttribute> attribute;
  } cases[] = {
      {"lifetime value", property("_ltv_USD", APMValue(int64_t{123456789}))},
      {"negative integer", property("_ltv_EUR", APMValue(int64_t{-5000000}))},
      {"largest integer", property("n", APMValue(INT64_MAX))},
      {"zero", property("z", APMValue(int64_t{0}), 0)},
      {"double", property("d", APMValue(2.5))},
      {"negative zero", property("d", APMValue(-0.0))},
      {"text", property("t", APMValue(std::string("gr\xC3\xBCn")))},
      {"empty text", property("t", APMValue(std::string()))},
      {"long name and text", property(longName, APMValue(std::string(300, 'v')))},
      {"set before 1970", property("old", APMValue(int64_t{1}), -12.25)},
      {"list value", property("l", APMValue(std::vector<APMParameters>{}))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(APMEventMetadataEncoder::encodeAttribute(*c.attribute), c.attribute->protoUserAttribute()->protoBuffer());
  }
}

}  // namespace
