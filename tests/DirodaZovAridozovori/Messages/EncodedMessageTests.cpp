#include "APMEncodedMessage.h"

#include <gtest/gtest.h>

#include <functional>

#include "APMNanoAccessors.h"
#include "APMPBMessages.h"

namespace {

using Bundle = APMPBMeasurementBundle;
using Attribute = APMPBUserAttribute;

platform::Data bytes(std::initializer_list<uint8_t> list) { return platform::Data(list); }

// Only bytes the encoder itself writes may be carried as they are; anything the decoder would read
// differently from how it is written (and so re-encode differently) must be refused.
TEST(APMEncodedMessageTest, OnlyTheEncodersOwnBytesAreTakenAsTheyAre) {
  // MeasurementBundle: protocol_version 1 (int32), user_attributes 3, app_id 14, limited_ad_tracking 20,
  // experiment_ids 45 (packed uint32), checksum 47 (int64).
  const struct {
    const char* label;
    platform::Data bytes;
    bool canonical;
  } cases[] = {
      {"empty", {}, true},
      {"fields in tag order", bytes({0x08, 0x01, 0x72, 0x01, 0x41, 0xa0, 0x01, 0x01}), true},
      {"a negative int32 in ten bytes", bytes({0x08, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01}), true},
      {"a sub-message", bytes({0x1a, 0x04, 0x12, 0x02, 0x5f, 0x61}), true},
      {"packed numbers", bytes({0xea, 0x02, 0x02, 0x01, 0x02}), true},
      {"fields out of tag order", bytes({0x72, 0x01, 0x41, 0x08, 0x01}), false},
      {"a singular field twice", bytes({0x08, 0x01, 0x08, 0x02}), false},
      {"a field the type does not have", bytes({0x08, 0x01, 0xa0, 0x02, 0x01}), false},  // field 36
      {"a text field as a varint", bytes({0xf0, 0x01, 0x01}), false},                   // field 30
      {"a longer varint than needed", bytes({0x08, 0x81, 0x00}), false},
      {"a bool of 2", bytes({0xa0, 0x01, 0x02}), false},
      {"an int32 beyond its range", bytes({0x08, 0x80, 0x80, 0x80, 0x80, 0x08}), false},
      {"unpacked repeated numbers", bytes({0xe8, 0x02, 0x01}), false},
      {"an empty packed array", bytes({0xea, 0x02, 0x00}), false},
      {"a text holding NUL", bytes({0x72, 0x02, 0x41, 0x00}), false},
      {"a sub-message out of order", bytes({0x1a, 0x06, 0x12, 0x02, 0x5f, 0x61, 0x08, 0x01}), false},
      {"cut short", bytes({0x72, 0x03, 0x41}), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(nano_detail::isCanonicalEncoding(Bundle::messageInfo().descriptor, c.bytes.data(), c.bytes.size()),
              c.canonical)
        << c.label;
    const auto encoded = APMEncodedMessage::fromCanonicalEncoding(Bundle::messageInfo(), c.bytes);
    EXPECT_EQ(encoded.has_value(), c.canonical) << c.label;
    if (encoded) {
      EXPECT_EQ(encoded->encoding(), c.bytes) << c.label;
    }
  }
}

// The same changes on a message and on its encoding give the same bytes.
TEST(APMEncodedMessageTest, ChangesWriteWhatTheEncoderWrites) {
  auto attribute = [](const std::string& name, int64_t value) {
    auto result = Attribute::initWithMessageInfo();
    APMNanoSetString(*result, Attribute::kName, name);
    APMNanoSetInt64(*result, Attribute::kIntValue, value);
    return result;
  };
  auto message = Bundle::initWithMessageInfo();
  APMNanoSetString(*message, Bundle::kAppId, std::string("app"));
  APMNanoSetInt64(*message, Bundle::kEndTimestampMillis, 1700000000000);
  APMNanoSetString(*message, Bundle::kOsVersion, std::string("14.1"));
  APMNanoSetRepeatedField(*message, Bundle::kUserAttributes, std::vector{attribute("a", 1), attribute("b", 2)});
  auto encoded = APMEncodedMessage::fromCanonicalEncoding(Bundle::messageInfo(), message->protoBuffer());
  ASSERT_TRUE(encoded);

  const std::vector<std::pair<const char*, std::function<void(Bundle&, APMEncodedMessage&)>>> steps = {
      {"a new field between others",
       [](Bundle& m, APMEncodedMessage& e) {
         APMNanoSetInt32(m, Bundle::kProtocolVersion, -3);
         e.setInt32(Bundle::kProtocolVersion, -3);
       }},
      {"a field replaced",
       [](Bundle& m, APMEncodedMessage& e) {
         APMNanoSetInt64(m, Bundle::kEndTimestampMillis, 5);
         e.setInt64(Bundle::kEndTimestampMillis, 5);
       }},
      {"a text holding NUL refused, as the message refuses it",
       [](Bundle& m, APMEncodedMessage& e) {
         APMNanoSetString(m, Bundle::kDeviceModel, std::string("model"));
         e.setString(Bundle::kDeviceModel, std::string("model"));
         APMNanoSetString(m, Bundle::kDeviceModel, std::string("ab\0cd", 5));
         EXPECT_FALSE(e.setString(Bundle::kDeviceModel, std::string("ab\0cd", 5)));
       }},
      {"a field cleared",
       [](Bundle& m, APMEncodedMessage& e) {
         APMNanoClearField(m, Bundle::kOsVersion);
         e.clear(Bundle::kOsVersion);
       }},
      {"booleans",
       [](Bundle& m, APMEncodedMessage& e) {
         APMNanoSetBool(m, Bundle::kLimitedAdTracking, false);
         e.setBool(Bundle::kLimitedAdTracking, false);
         APMNanoSetBool(m, Bundle::kDmaRegion, true);
         e.setBool(Bundle::kDmaRegion, true);
       }},
      {"packed numbers",
       [](Bundle& m, APMEncodedMessage& e) {
         APMNanoSetRepeatedField(m, Bundle::kExperimentIds, std::vector<uint32_t>{7, 300000});
         e.setPackedVarints(Bundle::kExperimentIds, {7, 300000});
       }},
      {"a repeated field rewritten from its own values",
       [&](Bundle& m, APMEncodedMessage& e) {
         APMNanoSetRepeatedField(m, Bundle::kUserAttributes, std::vector{attribute("b", 2), attribute("c", 3)});
         auto values = e.values(Bundle::kUserAttributes);
         ASSERT_EQ(values.size(), 2u);
         const platform::Data added = attribute("c", 3)->protoBuffer();
         e.setValues(Bundle::kUserAttributes, {values[1], added});
       }},
  };
  for (const auto& [label, step] : steps) {
    step(*message, *encoded);
    EXPECT_EQ(encoded->encoding(), message->protoBuffer()) << label;
  }
  EXPECT_EQ(encoded->getString(Bundle::kAppId), "app");
  EXPECT_EQ(encoded->getVarint(Bundle::kEndTimestampMillis), 5u);
  EXPECT_EQ(static_cast<int64_t>(*encoded->getVarint(Bundle::kProtocolVersion)), -3);
  EXPECT_FALSE(encoded->has(Bundle::kOsVersion));
  EXPECT_TRUE(encoded->getBool(Bundle::kDmaRegion));
  EXPECT_FALSE(encoded->getBool(Bundle::kLimitedAdTracking));

  // Extra fields (whole, of one tag) go where the encoder writes that tag.
  const uint32_t eventsTag = Bundle::messageInfo().tagForIndex(Bundle::kEvents);
  const platform::Data events = {0x12, 0x02, 0x18, 0x01, 0x12, 0x00};
  platform::Data spliced;
  encoded->appendEncoding(spliced, eventsTag, events);
  EXPECT_EQ(spliced.size(), encoded->encodedSize(events));
  auto decoded = Bundle::fromBuffer(spliced);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->nano().events_count, 2u);
  auto withEvents = Bundle::fromBuffer(message->protoBuffer());
  APMNanoSetRepeatedField(*withEvents, Bundle::kEvents,
                          APMNanoGetRepeatedField<std::shared_ptr<APMPBEvent>>(*decoded, Bundle::kEvents).value());
  EXPECT_EQ(spliced, withEvents->protoBuffer());
}

// A text read from the message's own changes stays whole when it is set on another field, even
// when the write makes the changed bytes move: here they fill the first room taken (256 bytes)
// exactly, so the new field's first byte moves them.
TEST(APMEncodedMessageTest, ATextReadFromTheChangesCanBeSetAgain) {
  auto message = Bundle::initWithMessageInfo();
  auto encoded = APMEncodedMessage::fromMessage(*message);
  const std::string text(253, 'm');  // key, two bytes of length and the text: 256 bytes
  ASSERT_TRUE(encoded.setString(Bundle::kDeviceModel, text));
  ASSERT_TRUE(encoded.setString(Bundle::kOsVersion, *encoded.viewString(Bundle::kDeviceModel)));
  ASSERT_TRUE(encoded.setString(Bundle::kDeviceModel, *encoded.viewString(Bundle::kDeviceModel)));
  APMNanoSetString(*message, Bundle::kDeviceModel, text);
  APMNanoSetString(*message, Bundle::kOsVersion, text);
  EXPECT_EQ(encoded.encoding(), message->protoBuffer());
  EXPECT_EQ(encoded.values(Bundle::kDeviceModel).size(), 1u);
}

}  // namespace
