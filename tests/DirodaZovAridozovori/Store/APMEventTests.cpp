#include "APMEvent.h"

#include <gtest/gtest.h>

#include "APMConditionalUserProperty.h"
#include "APMDailyCounts.h"
#include "APMMonitor.h"
#include "TestSupport.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "APMUserAttribute.h"
#include "APMNameTables.h"
#include "StoreTestSupport.h"

using platform::Dictionary;
using platform::Object;

namespace {

std::shared_ptr<APMEvent> richEvent() {
  APMParameters items0{{"id", APMValue("sku-1")}, {"price", APMValue(9.99)}};
  APMParameters items1{{"id", APMValue("sku-2")}, {"qty", APMValue(int64_t{3})}};
  return APMEvent::create("app", true, "purchase", 1700000000.125, 1699999999.5,
                          APMParameters{{"value", APMValue(19.98)},
                                        {"currency", APMValue("EUR")},
                                        {"big", APMValue(int64_t{-9223372036854775807LL - 1})},
                                        {"text", APMValue("caf\xC3\xA9 \xF0\x9F\x98\x80")},
                                        {"items", APMValue(std::vector<APMParameters>{items0, items1})}});
}

TEST(APMValueTest, ValueFromObjectFollowsTheObjectKind) {
  CapturedStoreLog log;
  EXPECT_EQ(APMValue::valueFromObject(Object("s")), APMValue("s"));
  EXPECT_EQ(APMValue::valueFromObject(Object(2.0)), APMValue(2.0));
  EXPECT_TRUE(APMValue::valueFromObject(Object(2.0))->isDouble());
  EXPECT_EQ(APMValue::valueFromObject(Object(7)), APMValue(int64_t{7}));
  EXPECT_EQ(APMValue::valueFromObject(Object(true)), APMValue(int64_t{1}));
  EXPECT_TRUE(log.codes().empty());
  EXPECT_FALSE(APMValue::valueFromObject(Object()));
  EXPECT_FALSE(APMValue::valueFromObject(Object(platform::Data{1})));
  EXPECT_EQ(log.codes(), (std::vector<int64_t>{35000, 35001}));
}

TEST(APMEventTest, CreationNeedsAnOriginAndAName) {
  EXPECT_FALSE(APMEvent::create("", true, "e", 1, 0, APMParameters{}));
  EXPECT_FALSE(APMEvent::create("app", true, "", 1, 0, APMParameters{}));
  EXPECT_TRUE(APMEvent::create("app", true, "e", 1, 0, APMParameters{}));
}

TEST(APMEventTest, HostParametersAreCleanedOnCreation) {
  auto event = APMEvent::create("app", true, "level_up", 5, 0,
                                Dictionary{{"level", Object(3)}, {"bad name", Object(1)}, {"_c", Object(1)}});
  ASSERT_TRUE(event);
  EXPECT_EQ(*event->parameter("level"), APMValue(int64_t{3}));
  EXPECT_FALSE(event->parameter("bad name"));
  EXPECT_FALSE(event->isConversion()) << "the app cannot set internal flags";
  EXPECT_TRUE(event->parameter("_err"));
}

TEST(APMEventTest, FlagsAreTheInternalParameters) {
  auto event = APMEvent::create("app", true, "e", 1, 0, APMParameters{});
  event->setConversion(true);
  event->setRealtime(true);
  event->setDebug(true);
  EXPECT_TRUE(event->isConversion() && event->isRealtime() && event->isDebug());
  EXPECT_EQ(*event->parameter("_c"), APMValue(int64_t{1}));
  EXPECT_EQ(*event->parameter("_r"), APMValue(int64_t{1}));
  EXPECT_EQ(*event->parameter("_dbg"), APMValue(int64_t{1}));
  event->setRealtime(false);
  EXPECT_FALSE(event->parameter("_r"));
  EXPECT_FALSE(event->isRealtime());
}

TEST(APMEventTest, CopiesAreIndependent) {
  auto event = richEvent();
  auto copy = event->copy();
  copy->setConversion(true);
  EXPECT_FALSE(event->isConversion());
  auto later = event->copyWithPreviousTimestamp(42);
  EXPECT_EQ(later->previousTimestamp(), 42);
  EXPECT_EQ(event->previousTimestamp(), 1699999999.5);
  auto bare = event->copyWithParameters({});
  EXPECT_TRUE(bare->parameters().empty());
  EXPECT_EQ(bare->name(), "purchase");
}

TEST(APMEventTest, AppliedParametersNeverOverrideTheEventsOwn) {
  auto event = APMEvent::create("app", true, "e", 1, 0, APMParameters{{"a", APMValue("own")}});
  event->applyParameters({{"a", Object("default")}, {"b", Object("default")}}, true);
  EXPECT_EQ(*event->parameter("a"), APMValue("own"));
  EXPECT_EQ(*event->parameter("b"), APMValue("default"));
  event->addScreenParameters({{"_sn", Object("Home")}, {"_sc", Object("HomeView")}, {"other", Object(1)}});
  EXPECT_EQ(*event->parameter("_sn"), APMValue("Home"));
  EXPECT_FALSE(event->parameter("other"));
}

TEST(APMEventTest, StoredFormRoundTripsExactly) {
  auto event = richEvent();
  auto decoded = APMEvent::decodeBody(event->name(), event->timestamp(), event->encodedBody());
  ASSERT_TRUE(decoded);
  EXPECT_TRUE(*decoded == *event);
  auto whole = APMEvent::decode(event->encoded());
  ASSERT_TRUE(whole);
  EXPECT_TRUE(*whole == *event);
}

TEST(APMEventTest, TruncatedOrAlteredStoredFormsNeverDecodeIntoGarbage) {
  const platform::Data body = richEvent()->encodedBody();
  for (size_t size = 0; size < body.size(); ++size) {
    platform::Data cut(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(size));
    EXPECT_FALSE(APMEvent::decodeBody("purchase", 1, cut)) << "prefix of " << size << " bytes";
  }
  platform::Data trailing = body;
  trailing.push_back(0);
  EXPECT_FALSE(APMEvent::decodeBody("purchase", 1, trailing));
  platform::Data wrongVersion = body;
  wrongVersion[0] = 99;
  EXPECT_FALSE(APMEvent::decodeBody("purchase", 1, wrongVersion));
  // A huge declared count must fail cleanly rather than allocate.
  platform::Data hostile{1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0xff, 0xff, 0x0f};
  EXPECT_FALSE(APMEvent::decodeBody("x", 1, hostile));
}

TEST(APMEventTest, EditFormUsesPublicNamesAndHostValues) {
  auto event = APMEvent::create("auto", false, "_vs", 10.5, 0,
                                APMParameters{{"n", APMValue(int64_t{2})},
                                              {"d", APMValue(0.5)},
                                              {"items", APMValue(std::vector<APMParameters>{{{"id", APMValue("a")}}})}});
  const APMEditEventForm form = event->editEvent();
  EXPECT_EQ(form.name, "screen_view");
  EXPECT_EQ(form.timestamp, 10.5);
  EXPECT_TRUE(form.parameters.at("n").isInteger());
  EXPECT_TRUE(form.parameters.at("d").isDouble());
  EXPECT_EQ(form.parameters.at("items"), Object(platform::Array{Object(Dictionary{{"id", Object("a")}})}));

  EXPECT_EQ(APMEvent::create("app", true, "custom_thing", 1, 0, APMParameters{})->editEvent().name, "custom_thing");
}

TEST(APMEventTest, EventFromEditFormMapsBackAndTakesTheOriginParameter) {
  struct Case {
    const char* label;
    APMEditEventForm form;
    std::string name;
    std::string origin;
  };
  const std::vector<Case> cases = {
      {"public name maps to internal", {"first_open", 3, {{"x", Object(1)}}}, "_f", "app"},
      {"custom names stay", {"my_event", 3, {}}, "my_event", "app"},
      {"string origin parameter", {"my_event", 3, {{"_o", Object("fiam")}}}, "my_event", "fiam"},
      {"non-string origin parameter", {"my_event", 3, {{"_o", Object(5)}}}, "my_event", "app"},
  };
  for (const Case& c : cases) {
    auto event = APMEvent::eventFromEditEvent(c.form);
    ASSERT_TRUE(event) << c.label;
    EXPECT_EQ(event->name(), c.name) << c.label;
    EXPECT_EQ(event->origin(), c.origin) << c.label;
    EXPECT_FALSE(event->isPublic()) << c.label;
    EXPECT_EQ(event->timestamp(), 3) << c.label;
    EXPECT_EQ(event->previousTimestamp(), 0) << c.label;
  }
}

TEST(APMEventTest, EffectiveCountAddsArrayItems) {
  EXPECT_EQ(APMEffectiveEventCount(*richEvent()), 3);
  EXPECT_EQ(APMEffectiveEventCount(*APMEvent::create("app", true, "e", 1, 0, APMParameters{})), 1);
}

TEST(APMEventTest, ProtoFormCarriesEveryValueKindAndMilliseconds) {
  auto proto = richEvent()->protoEvent();
  ASSERT_TRUE(proto);
  auto decoded = APMPBEvent::fromBuffer(proto->protoBuffer());
  ASSERT_TRUE(decoded);
  EXPECT_EQ(APMNanoGetString(*decoded, APMPBEvent::kName), "purchase");
  EXPECT_EQ(APMNanoGetInt64(*decoded, APMPBEvent::kTimestampMillis), 1700000000125);
  EXPECT_EQ(APMNanoGetInt64(*decoded, APMPBEvent::kPreviousTimestampMillis), 1699999999500);
  auto parameters = APMNanoGetRepeatedField<std::shared_ptr<APMPBEventParam>>(*decoded, APMPBEvent::kParams);
  ASSERT_TRUE(parameters);
  std::map<std::string, std::shared_ptr<APMPBEventParam>> byName;
  for (const auto& parameter : *parameters) byName[*APMNanoGetString(*parameter, APMPBEventParam::kName)] = parameter;
  ASSERT_EQ(byName.size(), 5u);
  EXPECT_EQ(APMNanoGetInt64(*byName["big"], APMPBEventParam::kIntValue), INT64_MIN);
  EXPECT_EQ(APMNanoGetDouble(*byName["value"], APMPBEventParam::kDoubleValue), 19.98);
  EXPECT_EQ(APMNanoGetString(*byName["text"], APMPBEventParam::kStringValue), "caf\xC3\xA9 \xF0\x9F\x98\x80");
  auto items = APMNanoGetRepeatedField<std::shared_ptr<APMPBEventParamItem>>(*byName["items"], APMPBEventParam::kArrayValue);
  ASSERT_TRUE(items);
  ASSERT_EQ(items->size(), 2u);
  auto firstItem = APMNanoGetRepeatedField<std::shared_ptr<APMPBEventParam>>(*items->at(0), APMPBEventParamItem::kParams);
  ASSERT_TRUE(firstItem);
  EXPECT_EQ(firstItem->size(), 2u);
}

TEST(APMUserAttributeTest, ProtoFormPutsTheValueInItsKindsField) {
  struct Case {
    APMValue value;
    int presentIndex;
  };
  const std::vector<Case> cases = {{APMValue("blue"), APMPBUserAttribute::kStringValue},
                                   {APMValue(int64_t{-3}), APMPBUserAttribute::kIntValue},
                                   {APMValue(0.25), APMPBUserAttribute::kDoubleValue}};
  for (const Case& c : cases) {
    auto proto = APMUserAttribute("app", "color", c.value, 1700000000.9999).protoUserAttribute();
    EXPECT_EQ(APMNanoGetInt64(*proto, APMPBUserAttribute::kSetTimestampMillis), 1700000000999);
    EXPECT_EQ(APMNanoGetString(*proto, APMPBUserAttribute::kName), "color");
    for (int index : {APMPBUserAttribute::kStringValue, APMPBUserAttribute::kIntValue, APMPBUserAttribute::kDoubleValue}) {
      EXPECT_EQ(APMNanoHasField(*proto, index), index == c.presentIndex) << c.value.description() << " " << index;
    }
  }
}

TEST(APMNameTablesTest, HelpersAndMaps) {
  EXPECT_EQ(APMPublicToInternalEventNames().at("first_open"), "_f");
  EXPECT_EQ(APMPublicToInternalEventNames().at("session_start"), "_s");
  EXPECT_EQ(APMPublicToInternalEventNames().at("user_engagement"), "_e");
  EXPECT_EQ(APMPublicToInternalEventNames().at("screen_view"), "_vs");
  EXPECT_EQ(APMReservedEventNamesAllowedForPublicLogging(), (APMNameMap{{"ad_impression", "_ai"}}));
  EXPECT_TRUE(APMIsPublicName("purchase"));
  EXPECT_FALSE(APMIsPublicName("_iap"));
  EXPECT_TRUE(APMIsErrorEvent("_err"));
  EXPECT_TRUE(APMIsNotErrorEventName("_e"));
  for (const char* name : {"_iap", "purchase", "ecommerce_purchase"}) EXPECT_TRUE(APMIsPurchaseEventName(name));
  EXPECT_FALSE(APMIsPurchaseEventName("refund"));

  auto subscription = APMEvent::create("app", false, "_iap", 1, 0, APMParameters{{"subscription", APMValue(int64_t{1})}});
  auto plainPurchase = APMEvent::create("app", false, "_iap", 1, 0, APMParameters{{"subscription", APMValue("1")}});
  EXPECT_TRUE(APMIsSubscriptionEvent(*subscription));
  EXPECT_FALSE(APMIsSubscriptionEvent(*plainPurchase));
  EXPECT_TRUE(APMIsSubscriptionEvent(*APMEvent::create("app", false, "_assr", 1, 0, APMParameters{})));

  const Dictionary parameters{{"_sn", Object("a")}, {"_si", Object(1)}, {"zad_source", Object("x")}, {"k", Object(2)}};
  EXPECT_TRUE(APMHasScreenParameters(parameters));
  EXPECT_FALSE(APMHasScreenParameters({{"k", Object(1)}}));
  EXPECT_EQ(APMScreenParametersFromDictionary(parameters), (Dictionary{{"_sn", Object("a")}, {"_si", Object(1)}}));
  EXPECT_EQ(APMParametersWithoutZadPrefix(parameters),
            (Dictionary{{"_sn", Object("a")}, {"_si", Object(1)}, {"k", Object(2)}}));
}

TEST(APMNameTablesTest, LogNamesShowBothFormsOnlyInDebug) {
  APMSetDebugNameLogging(false);
  EXPECT_EQ(APMEventNameForLog("_f"), "_f");
  EXPECT_EQ(APMDescriptionForLog(Object("secret")), "<string>");
  APMSetDebugNameLogging(true);
  EXPECT_EQ(APMEventNameForLog("_f"), "first_open (_f)");
  EXPECT_EQ(APMEventNameForLog("first_open"), "first_open (_f)");
  EXPECT_EQ(APMEventNameForLog("mine"), "mine");
  EXPECT_EQ(APMUserPropertyNameForLog("_id"), "user_id (_id)");
  EXPECT_NE(APMDescriptionForLog(Object("secret")).find("secret"), std::string::npos);
  APMSetDebugNameLogging(std::nullopt);
}

TEST(APMNameTablesTest, LogNamesFollowTheMonitorsDebugModeByDefault) {
  testsupport::ScopedDataDirectory dataDirectory;
  APMMonitor::resetSharedForTesting();
  APMSetDebugNameLogging(std::nullopt);
  APMMonitor::shared()->setDebugModeEnabled(true);
  EXPECT_EQ(APMEventNameForLog("_s"), "session_start (_s)");
  APMMonitor::shared()->setDebugModeEnabled(false);
  EXPECT_EQ(APMEventNameForLog("_s"), "_s");
  APMMonitor::resetSharedForTesting();
}

TEST(APMDailyCountsTest, IncrementsResetOnANewDayAndSaturate) {
  APMDailyCounts counts;
  counts.resetWithNewDay(10);
  counts.incrementCountsForCurrentDay(10, true, true, 3);
  counts.incrementCountsForCurrentDay(10, false, false);
  counts.incrementErrorEventsCountForCurrentDay(10);
  counts.incrementRealtimeCountsForCurrentDay(10);
  counts.incrementDCURealtimeCountsForCurrentDay(10);
  EXPECT_EQ(counts.allEventsCount, 5);
  EXPECT_EQ(counts.publicEventsCount, 3);
  EXPECT_EQ(counts.conversionsCount, 1);
  EXPECT_EQ(counts.errorEventsCount, 1);
  EXPECT_EQ(counts.realtimeCount, 1);
  EXPECT_EQ(counts.dcuRealtimeCount, 1);

  counts.incrementRealtimeCountsForCurrentDay(11);
  EXPECT_EQ(counts.day, 11);
  EXPECT_EQ(counts.allEventsCount, 0);
  EXPECT_EQ(counts.realtimeCount, 1);

  counts.decrementAllEventsCount();
  EXPECT_EQ(counts.allEventsCount, 0);

  counts.allEventsCount = 2147483647;
  counts.incrementCountsForCurrentDay(11, false, false, 5);
  EXPECT_EQ(counts.allEventsCount, 2147483647) << "a wrapped counter would lift the daily limit";
}

TEST(APMConditionalUserPropertyTest, CopyIsDeep) {
  APMConditionalUserProperty property;
  property.name = "p";
  property.triggeredEvent = APMEvent::create("app", false, "t", 1, 0, APMParameters{});
  auto copy = property.copy();
  copy->triggeredEvent->setConversion(true);
  EXPECT_FALSE(property.triggeredEvent->isConversion());
  EXPECT_EQ(copy->name, "p");
}

}  // namespace
