#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "APMNanoAccessors.h"
#include "APMPBMessages.h"

namespace {

// The positions other components address, with the wire tags the protocol fixes for them.
TEST(NanoAccessors, IndexToTagTables) {
  struct Case {
    const NANOMessageInfo& info;
    std::vector<uint32_t> tags;  // by index; 0 = a position not carried
  };
  const std::vector<Case> cases = {
      {APMPBMeasurementBundle::messageInfo(),
       {1,  2,  3,  4,  5,  6,  26, 7,  8,  9,  10, 11, 12, 13, 14, 15, 16, 17, 18,
        19, 27, 20, 21, 22, 23, 24, 25, 28, 29, 30, 31, 32, 33, 34, 35, 39, 41, 45,
        47, 50, 52, 53, 55, 63, 64, 65, 67, 71, 72, 73, 75, 77, 79, 84, 86, 87}},
      {APMPBMeasurementBatch::messageInfo(), {1, 0, 8}},
      {APMPBMeasurementConfig::messageInfo(), {1, 2, 0, 4, 5, 6, 0, 0, 9, 10, 11, 0, 15, 16, 17}},
      {APMPBEvent::messageInfo(), {1, 2, 3, 4}},
      {APMPBEventParam::messageInfo(), {1, 0, 3, 4, 5, 6}},
      {APMPBUserAttribute::messageInfo(), {1, 2, 3, 4, 0, 6}},
      {APMPBAdCampaignInfo::messageInfo(), {1, 2, 3, 4, 0, 0, 0, 0, 9}},
      {APMPBEventFilter::messageInfo(), {1, 2, 3, 0, 5, 6, 7, 8}},
      {APMPBPropertyFilter::messageInfo(), {1, 2, 3, 4, 5, 6}},
      {APMPBConsentConfig::messageInfo(), {1, 2, 3, 4, 5}},
      {APMPBRuntimeEntity::messageInfo(), {1, 2, 3, 4, 5, 6}},
      {APMPBProgram::messageInfo(), {1, 2}},
      {APMPBFlag::messageInfo(), {1, 2, 3, 4, 5}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.info.className);
    ASSERT_EQ(c.info.fieldCount, c.tags.size());
    for (size_t index = 0; index < c.tags.size(); ++index) {
      EXPECT_EQ(c.info.tagForIndex(static_cast<int>(index)), c.tags[index]) << "index " << index;
    }
    EXPECT_EQ(c.info.tagForIndex(-1), 0u);
    EXPECT_EQ(c.info.tagForIndex(static_cast<int>(c.tags.size())), 0u);
  }
}

TEST(NanoAccessors, SettersRefuseMissingIndexesAndFieldsOfAnotherKind) {
  auto param = APMPBEventParam::initWithMessageInfo();
  // Index 1 of an event parameter is a position this library does not carry.
  EXPECT_FALSE(APMNanoSetString(*param, 1, std::string("v")));
  EXPECT_FALSE(APMNanoHasField(*param, 1));
  EXPECT_FALSE(APMNanoSetInt64(*param, -1, 3));
  EXPECT_FALSE(APMNanoSetInt64(*param, 6, 3));
  APMNanoClearField(*param, 42);  // harmless
  auto event = APMPBEvent::initWithMessageInfo();
  EXPECT_FALSE(APMNanoSetInt64(*event, 1, 7));                  // name is a string
  EXPECT_FALSE(APMNanoSetString(*event, 2, std::string("7")));  // timestamp is an integer
  EXPECT_FALSE(APMNanoSetDouble(*event, 2, 1.5));
  EXPECT_FALSE(APMNanoSetString(*event, 0, std::string("x")));  // params are repeated
  EXPECT_FALSE(APMNanoSetRepeatedField(*event, 1, std::vector<std::string>{"a"}));
  // A string with a NUL would be cut short on the wire.
  ASSERT_TRUE(APMNanoSetString(*event, 1, std::string("_e")));
  EXPECT_FALSE(APMNanoSetString(*event, 1, std::string("a\0b", 3)));
  EXPECT_EQ(APMNanoGetString(*event, 1), "_e");
  ASSERT_TRUE(APMNanoSetString(*event, 1, std::nullopt));
  // A sub-message of another type is refused rather than stored under the wrong descriptor.
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo();
  auto info = APMPBOnDeviceMeasurementInfo::initWithMessageInfo();
  EXPECT_FALSE(APMNanoSetMessage(*bundle, 52, info));
  EXPECT_FALSE(APMNanoSetRepeatedField(*bundle, 1, std::vector{APMPBUserAttribute::initWithMessageInfo()}));
  EXPECT_TRUE(param->protoBuffer().empty());
  EXPECT_TRUE(event->protoBuffer().empty());
  EXPECT_TRUE(bundle->protoBuffer().empty());
  // Reading with the wrong class gives nothing rather than a misread struct.
  ASSERT_TRUE(APMNanoSetMessage(*bundle, 53, info));
  EXPECT_EQ(APMNanoGetMessage<APMPBAdCampaignInfo>(*bundle, 53), nullptr);
  EXPECT_NE(APMNanoGetMessage<APMPBOnDeviceMeasurementInfo>(*bundle, 53), nullptr);
}

TEST(NanoAccessors, RepeatedMessagesAreCopiesUntilSetBack) {
  auto event = APMPBEvent::initWithMessageInfo();
  std::vector<std::shared_ptr<APMPBEventParam>> params;
  for (int i = 0; i < 2; ++i) {
    params.push_back(APMPBEventParam::initWithMessageInfo());
    ASSERT_TRUE(APMNanoSetInt64(*params.back(), 2, i * 10));
  }
  ASSERT_TRUE(APMNanoSetRepeatedField(*event, 0, params));
  auto read = APMNanoGetRepeatedField<std::shared_ptr<APMPBEventParam>>(*event, 0);
  ASSERT_TRUE(read && read->size() == 2);
  ASSERT_TRUE(APMNanoSetInt64(*(*read)[1], 2, 99));
  EXPECT_EQ(APMNanoGetInt64(*(*APMNanoGetRepeatedField<std::shared_ptr<APMPBEventParam>>(*event, 0))[1], 2), 10);
  read->erase(read->begin());
  ASSERT_TRUE(APMNanoSetRepeatedField(*event, 0, *read));
  auto after = APMNanoGetRepeatedField<std::shared_ptr<APMPBEventParam>>(*event, 0);
  ASSERT_TRUE(after && after->size() == 1);
  EXPECT_EQ(APMNanoGetInt64(*(*after)[0], 2), 99);
  // An element that is nullptr is refused and the old list stays.
  params.push_back(nullptr);
  EXPECT_FALSE(APMNanoSetRepeatedField(*event, 0, params));
  EXPECT_EQ(APMNanoGetRepeatedField<std::shared_ptr<APMPBEventParam>>(*event, 0)->size(), 1u);
}

// A field's place in its struct is found once per message type and tag and then reused: every
// instance must still reach its own fields, and types that share a tag their own ones (tag 1 is a
// text in a parameter and an integer in a user property; tag 2 a text at different places in an
// event and a user property), on every thread.
TEST(NanoAccessors, EachMessageReachesItsOwnFieldsWhateverWasReachedBefore) {
  using Params = std::vector<std::shared_ptr<APMPBEventParam>>;
  auto param = APMPBEventParam::initWithMessageInfo();
  auto attribute = APMPBUserAttribute::initWithMessageInfo();
  auto first = APMPBEvent::initWithMessageInfo();
  auto second = APMPBEvent::initWithMessageInfo();
  ASSERT_TRUE(APMNanoSetString(*param, APMPBEventParam::kName, std::string("value")));
  ASSERT_TRUE(APMNanoSetInt64(*attribute, APMPBUserAttribute::kSetTimestampMillis, 1700000000000));
  ASSERT_TRUE(APMNanoSetString(*first, APMPBEvent::kName, std::string("first")));
  ASSERT_TRUE(APMNanoSetString(*attribute, APMPBUserAttribute::kName, std::string("tier")));
  ASSERT_TRUE(APMNanoSetString(*second, APMPBEvent::kName, std::string("second")));
  ASSERT_TRUE(APMNanoSetInt64(*second, APMPBEvent::kTimestampMillis, 5));
  ASSERT_TRUE(APMNanoSetRepeatedField(*first, APMPBEvent::kParams, Params{param, param}));
  ASSERT_TRUE(APMNanoSetRepeatedField(*second, APMPBEvent::kParams, Params{param}));

  const auto check = [&] {
    EXPECT_EQ(APMNanoGetString(*param, APMPBEventParam::kName), "value");
    EXPECT_EQ(APMNanoGetInt64(*attribute, APMPBUserAttribute::kSetTimestampMillis), 1700000000000);
    EXPECT_EQ(APMNanoGetString(*attribute, APMPBUserAttribute::kName), "tier");
    EXPECT_FALSE(APMNanoHasField(*attribute, APMPBUserAttribute::kStringValue));
    EXPECT_EQ(APMNanoGetString(*first, APMPBEvent::kName), "first");
    EXPECT_EQ(APMNanoGetString(*second, APMPBEvent::kName), "second");
    EXPECT_FALSE(APMNanoHasField(*first, APMPBEvent::kTimestampMillis));
    EXPECT_EQ(APMNanoGetInt64(*second, APMPBEvent::kTimestampMillis), 5);
    EXPECT_EQ(APMNanoGetRepeatedField<std::shared_ptr<APMPBEventParam>>(*first, APMPBEvent::kParams)->size(), 2u);
    EXPECT_EQ(APMNanoGetRepeatedField<std::shared_ptr<APMPBEventParam>>(*second, APMPBEvent::kParams)->size(), 1u);
    // The encodings carry what was set, read back through fresh instances.
    auto decoded = APMPBUserAttribute::fromBuffer(attribute->protoBuffer());
    ASSERT_TRUE(decoded);
    EXPECT_EQ(APMNanoGetString(*decoded, APMPBUserAttribute::kName), "tier");
    EXPECT_EQ(APMNanoGetInt64(*decoded, APMPBUserAttribute::kSetTimestampMillis), 1700000000000);
    auto event = APMPBEvent::fromBuffer(first->protoBuffer());
    ASSERT_TRUE(event);
    EXPECT_EQ(APMNanoGetString(*event, APMPBEvent::kName), "first");
  };
  check();
  std::thread(check).join();
  // Cleared and set again, a field is reached where it now is.
  APMNanoClearField(*first, APMPBEvent::kName);
  EXPECT_FALSE(APMNanoHasField(*first, APMPBEvent::kName));
  ASSERT_TRUE(APMNanoSetString(*first, APMPBEvent::kName, std::string("again")));
  EXPECT_EQ(APMNanoGetString(*first, APMPBEvent::kName), "again");
  EXPECT_EQ(APMNanoGetString(*second, APMPBEvent::kName), "second");
}

TEST(NanoAccessors, TooManyElementsAreRefusedNotTruncated) {
  auto result = APMPBResultData::initWithMessageInfo();
  ASSERT_TRUE(APMNanoSetRepeatedField(*result, 0, std::vector<uint64_t>{1, 2}));
  std::vector<uint64_t> huge(static_cast<size_t>(PB_SIZE_MAX) + 1, 1);
  EXPECT_FALSE(APMNanoSetRepeatedField(*result, 0, huge));
  EXPECT_EQ(APMNanoGetRepeatedField<uint64_t>(*result, 0), (std::vector<uint64_t>{1, 2}));
}

TEST(NanoAccessors, MessageMaySetACopyOfItselfAsChild) {
  auto entity = APMPBRuntimeEntity::initWithMessageInfo();
  ASSERT_TRUE(APMNanoSetInt32(*entity, 0, 4));
  ASSERT_TRUE(APMNanoSetString(*entity, 2, std::string("f")));
  ASSERT_TRUE(APMNanoSetRepeatedField(*entity, 1, std::vector{entity, entity}));
  ASSERT_TRUE(APMNanoSetRepeatedField(*entity, 1, std::vector{entity}));
  auto children = APMNanoGetRepeatedField<std::shared_ptr<APMPBRuntimeEntity>>(*entity, 1);
  ASSERT_TRUE(children.has_value());
  ASSERT_EQ(children->size(), 1u);
  auto grandchildren =
      APMNanoGetRepeatedField<std::shared_ptr<APMPBRuntimeEntity>>(*(*children)[0], 1);
  ASSERT_TRUE(grandchildren.has_value());
  EXPECT_EQ(grandchildren->size(), 2u);
}

}  // namespace
