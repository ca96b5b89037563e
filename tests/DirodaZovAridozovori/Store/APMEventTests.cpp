#include "APMEvent.h"
#include "APMEventEncoding.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "APMCompactParameters.h"
#include "APMDailyCounts.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "APMUserAttribute.h"
#include "APMNameTables.h"
#include "StoreTestSupport.h"

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

TEST(APMEventTest, StoredFormRoundTripsExactlyAndDamagedFormsNeverDecodeIntoGarbage) {
  auto event = richEvent();
  const platform::Data body = APMEventEncoding::encodedBody(*event);
  auto decoded = APMEventEncoding::decodeBody(event->name(), event->timestamp(), body);
  auto whole = APMEventEncoding::decode(APMEventEncoding::encoded(*event));
  ASSERT_TRUE(decoded && whole);
  EXPECT_TRUE(*decoded == *event);
  EXPECT_TRUE(*whole == *event);
  for (size_t size = 0; size < body.size(); ++size) {
    platform::Data cut(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(size));
    EXPECT_FALSE(APMEventEncoding::decodeBody("purchase", 1, cut)) << "prefix of " << size << " bytes";
  }
  platform::Data trailing = body, wrongVersion = body;
  trailing.push_back(0);
  wrongVersion[0] = 99;
  EXPECT_FALSE(APMEventEncoding::decodeBody("purchase", 1, trailing));
  EXPECT_FALSE(APMEventEncoding::decodeBody("purchase", 1, wrongVersion));
  // A huge declared count must fail cleanly rather than allocate.
  platform::Data hostile{1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0xff, 0xff, 0x0f};
  EXPECT_FALSE(APMEventEncoding::decodeBody("x", 1, hostile));
}

// A body lists its names in order and once each, and each is put at the end of the map as it is
// read; a body that does not (written by hand, damaged) still decodes as the map would hold it:
// in name order, the last of a repeated name kept.
TEST(APMEventTest, ABodyWhoseNamesAreOutOfOrderOrRepeatedDecodesAsAMap) {
  // Version 1, public, origin "app", previous time 0, three parameters: "b" = 1, "a" = 2, "b" = 3;
  // then an array "c" of one item holding "y" = 4, "x" = 5.
  const platform::Data body = {1, 1, 3, 'a', 'p', 'p', 0, 0, 0, 0, 0, 0, 0, 0, 4,
                               1, 'b', 1, 2, 1, 'a', 1, 4, 1, 'b', 1, 6,
                               1, 'c', 4, 1, 2, 1, 'y', 1, 8, 1, 'x', 1, 10};
  auto event = APMEventEncoding::decodeBody("e", 1700000000, body);
  ASSERT_TRUE(event);
  auto items = std::vector<APMParameters>{{{"x", APMValue(int64_t{5})}, {"y", APMValue(int64_t{4})}}};
  const APMParameters expected = {
      {"a", APMValue(int64_t{2})}, {"b", APMValue(int64_t{3})}, {"c", APMValue(std::move(items))}};
  EXPECT_TRUE(event->parameters() == expected);
  std::vector<std::string> names;
  for (const auto& entry : event->parameters()) names.push_back(entry.first);
  EXPECT_EQ(names, (std::vector<std::string>{"a", "b", "c"}));
}

// Rows written by earlier versions are read back byte for byte, so the layout is pinned here as
// bytes: version, flags, origin, previous timestamp, then the parameters in name order.
// A parameter map orders names by their bytes, as a map of std::string does: the stored body lists
// parameters in that order, so the order is part of the stored form. Found by any text, absent
// names included.
TEST(APMEventTest, ParameterNamesKeepByteOrderAndAreFoundByAnyText) {
  const std::vector<std::string> byteOrder = {"",   "A",  "Z",         "_",          "_c",           "_dbg", "_r",
                                              "a",  "ab", "a\xC3\xA9", "b",          "ba",           "\xC3\xA9",
                                              "\xF0\x9F\x98\x80"};
  APMParameters parameters;
  // Inserted out of order, each name once with its place as the value.
  for (size_t i : {13, 0, 7, 12, 3, 9, 1, 6, 11, 4, 8, 2, 10, 5}) {
    parameters.emplace(byteOrder[i], APMValue(static_cast<int64_t>(i)));
  }
  std::vector<std::string> seen;
  for (const auto& [name, value] : parameters) {
    seen.push_back(name);
    EXPECT_EQ(value.int64Value(), static_cast<int64_t>(seen.size() - 1)) << name;
  }
  EXPECT_EQ(seen, byteOrder);
  for (const std::string& name : byteOrder) {
    const auto found = parameters.find(std::string_view(name));
    ASSERT_NE(found, parameters.end()) << name;
    EXPECT_EQ(found->first, name);
  }
  for (const char* absent : {"_x", "a\xC3", "\xC3\xA9\xC3", "B", "abc"}) {
    EXPECT_EQ(parameters.find(std::string_view(absent)), parameters.end()) << absent;
  }
  auto event = APMEvent::create("app", true, "select_item", 1700000000, 0, parameters);
  ASSERT_TRUE(event);
  event->setRealtime(true);
  EXPECT_TRUE(event->isRealtime());
  EXPECT_FALSE(event->isConversion());
  event->setRealtime(false);
  EXPECT_FALSE(event->isRealtime());
}

// Parameters behave as the ordered map they replace: the same operations, in any order of names,
// leave the same entries in the same order (the stored body lists them in that order).
TEST(APMEventTest, ParametersActAsAnOrderedMapOfUniqueNames) {
  using Oracle = std::map<std::string, APMValue, APMParameterNameLess>;
  const std::vector<std::string> names = {"_sn", "_c", "a", "b", "ba", "", "\xC3\xA9", "_r", "Z", "level", "lev"};
  uint32_t seed = 12345;
  auto next = [&seed](uint32_t bound) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) % bound;
  };
  for (int round = 0; round < 200; ++round) {
    APMParameters parameters;
    Oracle oracle;
    for (int step = 0; step < 24; ++step) {
      const std::string& name = names[next(static_cast<uint32_t>(names.size()))];
      const APMValue value(static_cast<int64_t>(next(100)));
      switch (next(6)) {
        case 0: {
          const bool added = parameters.emplace(name, value).second;
          EXPECT_EQ(added, oracle.emplace(name, value).second) << name;
          break;
        }
        case 1:
          EXPECT_EQ(parameters.insert_or_assign(name, value).second, oracle.insert_or_assign(name, value).second);
          break;
        case 2: {
          // A hint anywhere, right or wrong.
          const size_t at = next(static_cast<uint32_t>(parameters.size() + 1));
          const auto placed = parameters.insert_or_assign(parameters.begin() + static_cast<std::ptrdiff_t>(at), name, value);
          oracle.insert_or_assign(name, value);
          EXPECT_EQ(placed->first, name);
          EXPECT_EQ(placed->second, value);
          break;
        }
        case 3:
          EXPECT_EQ(parameters.erase(name), oracle.erase(name)) << name;
          break;
        case 4:
          parameters[name] = value;
          oracle[name] = value;
          break;
        default:
          EXPECT_EQ(parameters.count(name), oracle.count(name)) << name;
          break;
      }
      ASSERT_TRUE(std::equal(parameters.begin(), parameters.end(), oracle.begin(), oracle.end(),
                             [](const auto& a, const auto& b) { return a.first == b.first && a.second == b.second; }))
          << "round " << round << " step " << step;
    }
  }
  // From a list, the first of equal names stays, as in a map.
  const APMParameters listed{{"b", APMValue(int64_t{1})}, {"a", APMValue(int64_t{2})}, {"b", APMValue(int64_t{3})}};
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed.begin()->first, "a");
  EXPECT_EQ(listed.at("b").int64Value(), 1);
}

// Adding a whole set of parameters at once (an event's screen) leaves what adding them one by one
// leaves: theirs replace the event's own of the same name, and every name stays in its place.
TEST(APMEventTest, AddingASetOfParametersAtOnceMatchesAddingThemOneByOne) {
  const std::vector<std::string> names = {"", "A", "_c", "_r", "_sc", "_si", "_sn", "a", "ab", "b", "\xC3\xA9"};
  uint32_t seed = 777;
  auto next = [&seed](uint32_t bound) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) % bound;
  };
  for (int round = 0; round < 300; ++round) {
    APMParameters own;
    APMParameters added;
    for (const auto& name : names) {
      if (next(2)) own.insert_or_assign(name, APMValue(static_cast<int64_t>(next(100))));
      if (next(3) == 0) added.insert_or_assign(name, APMValue("screen " + name));
    }
    APMParameters oneByOne = own;
    for (const auto& [name, value] : added) oneByOne.insert_or_assign(name, value);
    APMParameters atOnce = own;
    if (round % 2) atOnce.reserve(atOnce.size() + 3);  // with room for the additions, or without
    atOnce.insertOrAssignAll(added);
    ASSERT_EQ(atOnce, oneByOne) << "round " << round;
    if (round % 3) own.reserve(own.size() + 3);
    auto event = APMEvent::create("app", true, "select_item", 1700000000, 0, std::move(own));
    ASSERT_TRUE(event);
    event->keepStoredBody();
    event->addConvertedScreenParameters(added);
    EXPECT_EQ(event->parameters(), oneByOne);
    if (!added.empty()) {
      EXPECT_EQ(event->storedBody(), nullptr) << "the kept body no longer holds the event";
    }
  }
}

// A flag is the integer 1 under its exact name, whatever sorts around it.
TEST(APMEventTest, FlagsAreTheIntegerOneUnderTheirExactName) {
  const struct {
    const char* name;
    APMParameters parameters;
    bool conversion, realtime, debug;
  } cases[] = {
      {"none", {{"a", APMValue(int64_t{1})}}, false, false, false},
      {"all", {{"_c", APMValue(int64_t{1})}, {"_dbg", APMValue(int64_t{1})}, {"_r", APMValue(int64_t{1})}}, true, true, true},
      {"among names sorting before and after",
       {{"", APMValue(int64_t{1})}, {"A", APMValue(int64_t{1})}, {"Z", APMValue(int64_t{1})}, {"_", APMValue(int64_t{1})},
        {"_r", APMValue(int64_t{1})}, {"_s", APMValue(int64_t{1})}, {"a", APMValue(int64_t{1})}},
       false, true, false},
      {"longer and shorter names", {{"_cc", APMValue(int64_t{1})}, {"_d", APMValue(int64_t{1})}, {"_rr", APMValue(int64_t{1})}}, false, false, false},
      {"other values", {{"_c", APMValue(int64_t{2})}, {"_dbg", APMValue(1.0)}, {"_r", APMValue("1")}}, false, false, false},
      {"only the last", {{"A", APMValue(int64_t{0})}, {"_r", APMValue(int64_t{1})}}, false, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto event = APMEvent::create("app", true, "select_item", 1700000000, 0, c.parameters);
    ASSERT_TRUE(event);
    EXPECT_EQ(event->isConversion(), c.conversion);
    EXPECT_EQ(event->isRealtime(), c.realtime);
    EXPECT_EQ(event->isDebug(), c.debug);
  }
}

TEST(APMEventTest, StoredFormsKeepTheirByteLayout) {
  auto event = APMEvent::create("app", true, "tap", 1700000000, 1.5,
                                APMParameters{{"a", APMValue(std::vector<APMParameters>{{{"k", APMValue(int64_t{1})}}})},
                                              {"d", APMValue(0.5)},
                                              {"m", APMValue(int64_t{300})},
                                              {"n", APMValue(int64_t{-2})},
                                              {"s", APMValue("x")}});
  ASSERT_TRUE(event);
  const platform::Data body{
      0x01, 0x01, 0x03, 'a', 'p', 'p', 0, 0, 0, 0, 0, 0, 0xf8, 0x3f,  // version, public, origin, previous
      0x05,                                                           // parameter count
      0x01, 'a', 0x04, 0x01, 0x01, 0x01, 'k', 0x01, 0x02,             // one item holding k = 1
      0x01, 'd', 0x02, 0, 0, 0, 0, 0, 0, 0xe0, 0x3f,                  // 0.5
      0x01, 'm', 0x01, 0xd8, 0x04,                                    // 300, zigzag and two varint bytes
      0x01, 'n', 0x01, 0x03,                                          // -2, zigzag
      0x01, 's', 0x03, 0x01, 'x'};
  EXPECT_EQ(APMEventEncoding::encodedBody(*event), body);
  platform::Data reused(body.size() + 8, 0x77);
  APMEventEncoding::encodeBody(*event, reused);
  EXPECT_EQ(reused, body) << "what the buffer held before is replaced";

  platform::Data whole{0x03, 't', 'a', 'p', 0, 0, 0, 0x40, 0xfc, 0x54, 0xd9, 0x41};  // name, timestamp
  whole.insert(whole.end(), body.begin(), body.end());
  EXPECT_EQ(APMEventEncoding::encoded(*event), whole);
  auto back = APMEventEncoding::decode(whole);
  ASSERT_TRUE(back);
  EXPECT_TRUE(*back == *event);
}

// The body is written into room reckoned before it is written: texts whose lengths take two and
// three varint bytes, the widest integers and long texts inside array items come out whole, at
// exactly their encoded length, and read back as they went in.
TEST(APMEventTest, LongTextsAndWideNumbersFillTheirBodyExactly) {
  const std::string longName(300, 'n');     // length in two varint bytes
  const std::string longText(20000, 't');   // length in three
  APMParameters item{{"id", APMValue(longText)}, {"q", APMValue(int64_t{INT64_MAX})}};
  struct Case {
    const char* name;
    APMParameters parameters;
    size_t bodySize;
  };
  const Case cases[] = {
      // version, flags, origin (1 + 3), previous (8), count (1): 15 bytes before the parameters
      {"long_name", {{longName, APMValue(int64_t{0})}}, 15 + 2 + 300 + 1 + 1},
      {"long_text", {{"s", APMValue(longText)}}, 15 + 2 + 1 + 3 + 20000},
      {"widest_integers", {{"a", APMValue(int64_t{INT64_MIN})}, {"b", APMValue(int64_t{INT64_MAX})}}, 15 + 2 * (3 + 10)},
      {"long_text_in_items", {{"i", APMValue(std::vector<APMParameters>{item, item})}},
       15 + 3 + 1 + 2 * (1 + 3 + 1 + 3 + 20000 + 2 + 1 + 10)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto event = APMEvent::create("app", false, "e", 1700000000, 0, c.parameters);
    ASSERT_TRUE(event);
    const platform::Data body = APMEventEncoding::encodedBody(*event);
    EXPECT_EQ(body.size(), c.bodySize);
    auto back = APMEventEncoding::decodeBody("e", 1700000000, body);
    ASSERT_TRUE(back);
    EXPECT_TRUE(*back == *event);
    platform::Data small(3, 0x77);
    APMEventEncoding::encodeBody(*event, small);
    EXPECT_EQ(small, body) << "a buffer with less room grows to the body";
    auto whole = APMEventEncoding::decode(APMEventEncoding::encoded(*event));
    ASSERT_TRUE(whole);
    EXPECT_TRUE(*whole == *event);
  }
}

// The body an event keeps is what the row stores: every change made after it was kept must show
// in the stored bytes, and a copy with a different previous timestamp or parameters must not
// carry the old body.
TEST(APMEventTest, KeptStoredBodyFollowsEveryChangeOfTheEvent) {
  using Change = std::shared_ptr<APMEvent> (*)(const std::shared_ptr<APMEvent>&);
  const struct {
    const char* what;
    Change change;
  } cases[] = {
      {"unchanged", [](const std::shared_ptr<APMEvent>& e) { return e; }},
      {"copied", [](const std::shared_ptr<APMEvent>& e) { return e->copy(); }},
      {"parameter set", [](const std::shared_ptr<APMEvent>& e) { e->setParameter("_sid", APMValue(int64_t{7})); return e; }},
      {"parameter removed", [](const std::shared_ptr<APMEvent>& e) { e->removeParameter("currency"); return e; }},
      {"conversion", [](const std::shared_ptr<APMEvent>& e) { e->setConversion(true); return e; }},
      {"real-time cleared", [](const std::shared_ptr<APMEvent>& e) { e->setRealtime(false); return e; }},
      {"debug", [](const std::shared_ptr<APMEvent>& e) { e->setDebug(true); return e; }},
      {"defaults applied", [](const std::shared_ptr<APMEvent>& e) { e->applyParameters({{"tier", Object("gold")}}, true); return e; }},
      {"screen", [](const std::shared_ptr<APMEvent>& e) { e->addScreenParameters({{"_sn", Object("Shop")}}); return e; }},
      {"compact screen", [](const std::shared_ptr<APMEvent>& e) {
         e->addScreenParameters(APMCompactParameters(platform::Dictionary{{"_si", Object(int64_t{3})}}));
         return e;
       }},
      {"converted screen", [](const std::shared_ptr<APMEvent>& e) {
         e->addConvertedScreenParameters(*APMEvent::screenParametersInPlace({{"_sc", Object("ShopView")}}));
         return e;
       }},
      {"other parameters", [](const std::shared_ptr<APMEvent>& e) { return e->copyWithParameters({{"a", APMValue(int64_t{1})}}); }},
      {"other previous time", [](const std::shared_ptr<APMEvent>& e) { return e->copyWithPreviousTimestamp(12.5); }},
  };
  for (const auto& c : cases) {
    auto event = APMEvent::create("app", true, "purchase", 1700000000.125, 1699999999.5,
                                  APMParameters{{"value", APMValue(19.98)}, {"currency", APMValue("EUR")},
                                                {"_r", APMValue(int64_t{1})}});
    EXPECT_EQ(event->storedBody(), nullptr) << c.what;
    event->keepStoredBody();
    ASSERT_NE(event->storedBody(), nullptr) << c.what;
    auto changed = c.change(event);
    const platform::Data fresh = APMEventEncoding::encodedBody(*changed);
    if (const platform::Data* kept = changed->storedBody()) {
      EXPECT_EQ(*kept, fresh) << c.what;
    }
    // Nothing may be kept that the event no longer is.
    auto decoded = APMEventEncoding::decodeBody(changed->name(), changed->timestamp(),
                                                changed->storedBody() ? *changed->storedBody() : fresh);
    ASSERT_TRUE(decoded) << c.what;
    EXPECT_TRUE(*decoded == *changed) << c.what;
  }
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
  }
}

TEST(APMEventTest, ProtoFormCarriesEveryValueKindAndMilliseconds) {
  auto decoded = APMPBEvent::fromBuffer(APMEventEncoding::protoEvent(*richEvent())->protoBuffer());
  ASSERT_TRUE(decoded);
  EXPECT_EQ(APMNanoGetString(*decoded, APMPBEvent::kName), "purchase");
  EXPECT_EQ(APMNanoGetInt64(*decoded, APMPBEvent::kTimestampMillis), 1700000000125);
  EXPECT_EQ(APMNanoGetInt64(*decoded, APMPBEvent::kPreviousTimestampMillis), 1699999999500);
  auto parameters = APMNanoGetRepeatedField<std::shared_ptr<APMPBEventParam>>(*decoded, APMPBEvent::kParams);
  std::map<std::string, std::shared_ptr<APMPBEventParam>> byName;
  for (const auto& parameter : *parameters) byName[*APMNanoGetString(*parameter, APMPBEventParam::kName)] = parameter;
  ASSERT_EQ(byName.size(), 5u);
  EXPECT_EQ(APMNanoGetInt64(*byName["big"], APMPBEventParam::kIntValue), INT64_MIN);
  EXPECT_EQ(APMNanoGetDouble(*byName["value"], APMPBEventParam::kDoubleValue), 19.98);
  EXPECT_EQ(APMNanoGetString(*byName["text"], APMPBEventParam::kStringValue), "caf\xC3\xA9 \xF0\x9F\x98\x80");
  auto items = APMNanoGetRepeatedField<std::shared_ptr<APMPBEventParamItem>>(*byName["items"], APMPBEventParam::kArrayValue);
  ASSERT_TRUE(items && items->size() == 2u);
  EXPECT_EQ(APMNanoGetRepeatedField<std::shared_ptr<APMPBEventParam>>(*items->at(0), APMPBEventParamItem::kParams)->size(),
            2u);
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

TEST(APMNameTablesTest, LogNamesShowBothFormsOnlyInDebug) {
  APMSetDebugNameLogging(false);
  EXPECT_EQ(APMEventNameForLog("_f"), "_f");
  EXPECT_EQ(APMDescriptionForLog(Object("secret")), "<string>");
  APMSetDebugNameLogging(true);
  EXPECT_EQ(APMEventNameForLog("first_open"), "first_open (_f)");
  EXPECT_EQ(APMUserPropertyNameForLog("_id"), "user_id (_id)");
  EXPECT_NE(APMDescriptionForLog(Object("secret")).find("secret"), std::string::npos);
  APMSetDebugNameLogging(std::nullopt);
}

TEST(APMDailyCountsTest, IncrementsResetOnANewDayAndSaturate) {
  APMDailyCounts counts;
  counts.resetWithNewDay(10);
  counts.incrementCountsForCurrentDay(10, true, true, 3);
  counts.incrementCountsForCurrentDay(10, false, false);
  EXPECT_EQ(counts.allEventsCount, 4);
  EXPECT_EQ(counts.publicEventsCount, 3);
  EXPECT_EQ(counts.conversionsCount, 1);
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

}  // namespace
