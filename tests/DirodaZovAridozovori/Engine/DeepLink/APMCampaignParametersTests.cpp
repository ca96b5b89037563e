// Which links are campaign links and what their campaign event and kept click identifiers hold.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "DeepLink/APMCampaignParameters.h"

namespace {

using platform::Dictionary;
using platform::Object;

// 2023-11-14 10:00:00 UTC.
constexpr double kNow = 1699956000.0;

APMCampaignEventInput inputWith(Dictionary urlParameters, bool allowClickID = true) {
  APMCampaignEventInput input;
  input.urlParameters = std::move(urlParameters);
  input.eventTimestamp = kNow;
  input.allowClickID = allowClickID;
  return input;
}

struct ZadEntry {
  std::string key, value;
  bool operator==(const ZadEntry&) const = default;
};

std::vector<ZadEntry> zadEntriesOf(const APMPBAdCampaignInfo& info) {
  std::vector<ZadEntry> entries;
  auto stored = APMNanoGetRepeatedField<std::shared_ptr<APMPBDeepLinkZadParamsEntry>>(
      info, APMPBAdCampaignInfo::kDeepLinkZadParams);
  for (const auto& entry : stored.value_or(std::vector<std::shared_ptr<APMPBDeepLinkZadParamsEntry>>{})) {
    entries.push_back({APMNanoGetString(*entry, APMPBDeepLinkZadParamsEntry::kKey).value_or("<none>"),
                       APMNanoGetString(*entry, APMPBDeepLinkZadParamsEntry::kValue).value_or("<none>")});
  }
  return entries;
}

TEST(CampaignParametersTest, EveryMappedQueryKeyBecomesItsEventParameter) {
  // The nineteen keys and their parameter names, each with its own value.
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"aclid", "aclid"},
      {"anid", "anid"},
      {"utm_campaign", "campaign"},
      {"cis", "_cis"},
      {"utm_content", "content"},
      {"cp1", "cp1"},
      {"dclid", "dclid"},
      {"zad_source", "zad_source"},
      {"zclid", "zclid"},
      {"zbraid", "zbraid"},
      {"utm_medium", "medium"},
      {"utm_source", "source"},
      {"srsltid", "srsltid"},
      {"utm_term", "term"},
      {"utm_id", "campaign_id"},
      {"utm_creative_format", "creative_format"},
      {"utm_marketing_tactic", "marketing_tactic"},
      {"utm_source_platform", "source_platform"},
      {"sfmc_id", "sfmc_id"},
  };
  Dictionary query;
  Dictionary parameters;
  for (const auto& [key, name] : expected) {
    query[key] = Object("value of " + key);
    parameters[name] = Object("value of " + key);
  }
  query["gclsrc"] = Object("not a campaign key");
  query["zad_custom"] = Object("kept under its own name");
  parameters["zad_custom"] = Object("kept under its own name");

  APMCampaignEvent event = APMCampaignEventFromParameters(inputWith(query));
  EXPECT_EQ(event.name, "_cmp");
  EXPECT_EQ(event.parameters, parameters);
}

TEST(CampaignParametersTest, CampaignLinksNeedARequiredKeyWithAValueOrAZadKey) {
  struct Case {
    const char* what;
    Dictionary parameters;
    bool valid;
  };
  const std::vector<Case> cases = {
      {"utm_campaign", {{"utm_campaign", "c"}}, true},
      {"zclid", {{"zclid", "z"}}, true},
      {"utm_medium", {{"utm_medium", "m"}}, true},
      {"utm_source", {{"utm_source", "s"}}, true},
      {"zbraid", {{"zbraid", "b"}}, true},
      {"utm_id", {{"utm_id", "i"}}, true},
      {"dclid", {{"dclid", "d"}}, true},
      {"srsltid", {{"srsltid", "r"}}, true},
      {"sfmc_id", {{"sfmc_id", "f"}}, true},
      {"an unmapped zad_ key, even empty", {{"zad_anything", ""}}, true},
      {"a required key without a value", {{"utm_source", ""}}, false},
      {"mapped keys that are not required", {{"utm_content", "c"}, {"aclid", "a"}, {"utm_term", "t"}}, false},
      {"unknown keys only", {{"ref", "home"}}, false},
      {"a number where a text is due", {{"utm_source", 5}}, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(APMIsValidCampaignURLParamDictionary(c.parameters), c.valid) << c.what;
  }
}

TEST(CampaignParametersTest, ExtraStringsYieldToTheQueryAndOtherValuesAreDropped) {
  auto split = APMSplitCampaignExtraParameters(
      Dictionary{{"utm_source", "extra"}, {"utm_medium", "extra"}, {"_cc", 1}, {"flag", true}, {"list", platform::Array{}}});
  EXPECT_EQ(split.strings, (Dictionary{{"utm_source", "extra"}, {"utm_medium", "extra"}}));
  EXPECT_EQ(split.numbers, (Dictionary{{"_cc", 1}, {"flag", true}}));

  EXPECT_EQ(APMCampaignURLParameters(std::string("utm_source=query&utm_term=a%20b"), split.strings),
            (Dictionary{{"utm_source", "query"}, {"utm_medium", "extra"}, {"utm_term", "a b"}}));
  EXPECT_EQ(APMCampaignURLParameters(std::nullopt, split.strings), split.strings);
}

TEST(CampaignParametersTest, EventNameTimeAndAddedParameters) {
  struct Case {
    const char* what;
    Dictionary numbers;
    std::optional<int64_t> click;
    double firstOpen;
    std::string name;
    double timestamp;
    Dictionary added;  // beyond "source"
  };
  const std::vector<Case> cases = {
      {"plain", {}, std::nullopt, 0, "_cmp", kNow, {}},
      {"an expired stored link", {{"_cc", 1}}, std::nullopt, 0, "_cmpx", kNow, {{"_cc", 1}}},
      {"a young stored link", {{"_cc", 1699952400000LL}}, std::nullopt, 0, "_cmp", kNow, {{"_cc", 1699952400000LL}}},
      {"a marker of 2", {{"_cc", 2}}, std::nullopt, 0, "_cmp", kNow, {{"_cc", 2}}},
      {"a click time", {}, 1699955999999LL, 0, "_cmp", kNow, {{"click_timestamp", 1699955999999LL}}},
      {"before the first open", {}, std::nullopt, kNow + 30, "_cmp", kNow + 30, {}},
      {"after the first open", {}, std::nullopt, kNow - 30, "_cmp", kNow, {}},
  };
  for (const auto& c : cases) {
    APMCampaignEventInput input = inputWith({{"utm_source", "s"}});
    input.numberParameters = c.numbers;
    input.clickTimestampMillis = c.click;
    input.firstOpenTimestamp = c.firstOpen;
    APMCampaignEvent event = APMCampaignEventFromParameters(input);
    Dictionary expected = c.added;
    expected["source"] = Object("s");
    EXPECT_EQ(event.name, c.name) << c.what;
    EXPECT_DOUBLE_EQ(event.timestamp, c.timestamp) << c.what;
    EXPECT_EQ(event.parameters, expected) << c.what;
    EXPECT_FALSE(event.adCampaignInfo) << c.what << ": no identifier to keep";
    EXPECT_FALSE(event.zbraid) << c.what;
  }
}

TEST(CampaignParametersTest, ClickIdentifiersAreKeptForTheNextBundlesWhereAllowed) {
  struct Case {
    const char* what;
    Dictionary query;
    bool allowClickID;
    Dictionary parameters;
    std::optional<std::string> zclid, zbraid, zadSource;
    std::vector<ZadEntry> entries;
  };
  const std::vector<Case> cases = {
      {"all identifiers",
       {{"zclid", "Z1"}, {"zbraid", "B1"}, {"dclid", "D1"}, {"zad_source", "5"}, {"zad_extra", "1"}},
       true,
       {{"zclid", "Z1"}, {"zbraid", "B1"}, {"dclid", "D1"}, {"zad_source", "5"}, {"zad_extra", "1"}},
       "Z1",
       "B1",
       "5",
       {{"zad_extra", "1"}, {"zad_source", "5"}}},
      {"click identifiers not allowed: zclid is read after its removal",
       {{"zclid", "Z1"}, {"dclid", "D1"}, {"srsltid", "S1"}, {"utm_source", "s"}},
       false,
       {{"source", "s"}},
       std::nullopt,
       std::nullopt,
       std::nullopt,
       {}},
      {"zbraid stays when click identifiers are not allowed",
       {{"zclid", "Z1"}, {"zbraid", "B1"}},
       false,
       {{"zbraid", "B1"}},
       std::nullopt,
       "B1",
       std::nullopt,
       {}},
      {"only an unmapped zad_ key",
       {{"zad_key", "1"}},
       true,
       {{"zad_key", "1"}},
       std::nullopt,
       std::nullopt,
       std::nullopt,
       {{"zad_key", "1"}}},
  };
  for (const auto& c : cases) {
    APMCampaignEventInput input = inputWith(c.query, c.allowClickID);
    input.eventTimestamp = kNow + 0.9999;
    APMCampaignEvent event = APMCampaignEventFromParameters(input);
    EXPECT_EQ(event.parameters, c.parameters) << c.what;
    EXPECT_EQ(event.zbraid, c.zbraid) << c.what;
    const bool expectInfo = c.zclid || c.zbraid || !c.entries.empty();
    ASSERT_EQ(event.adCampaignInfo != nullptr, expectInfo) << c.what;
    if (!expectInfo) continue;
    const auto& info = *event.adCampaignInfo;
    EXPECT_EQ(APMNanoGetInt64(info, APMPBAdCampaignInfo::kEventTimestampMillis), 1699956000999LL) << c.what;
    EXPECT_EQ(APMNanoGetString(info, APMPBAdCampaignInfo::kZclid), c.zclid) << c.what;
    EXPECT_EQ(APMNanoGetString(info, APMPBAdCampaignInfo::kZbraid), c.zbraid) << c.what;
    EXPECT_EQ(APMNanoGetString(info, APMPBAdCampaignInfo::kZadSource), c.zadSource) << c.what;
    EXPECT_EQ(zadEntriesOf(info), c.entries) << c.what;
  }
}

TEST(CampaignParametersTest, ZadNumbersTravelAsTextAndEmptyValuesAreDropped) {
  APMCampaignEventInput input = inputWith({{"zad_text", "a"}, {"utm_source", ""}, {"utm_medium", "m"}});
  input.numberParameters = {{"zad_count", 7}};
  APMCampaignEvent event = APMCampaignEventFromParameters(input);
  EXPECT_EQ(event.parameters, (Dictionary{{"zad_text", "a"}, {"medium", "m"}, {"zad_count", 7}}));
  ASSERT_TRUE(event.adCampaignInfo);
  EXPECT_EQ(zadEntriesOf(*event.adCampaignInfo), (std::vector<ZadEntry>{{"zad_count", "7"}, {"zad_text", "a"}}));
}

}  // namespace
