// Which links are campaign links and what their campaign event and kept click identifiers hold.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "DeepLink/APMCampaignParameters.h"

namespace {

using platform::Dictionary;

constexpr double kNow = 1699956000.0;  // 2023-11-14 10:00:00 UTC

APMCampaignEvent eventFrom(Dictionary query, bool allowClickID = true, Dictionary numbers = {},
                           std::optional<int64_t> click = std::nullopt, double firstOpen = 0) {
  return APMCampaignEventFromParameters({std::move(query), std::move(numbers), click, kNow, firstOpen, allowClickID});
}

std::vector<std::string> zadEntriesOf(const APMPBAdCampaignInfo& info) {
  std::vector<std::string> entries;
  auto stored = APMNanoGetRepeatedField<std::shared_ptr<APMPBDeepLinkZadParamsEntry>>(
      info, APMPBAdCampaignInfo::kDeepLinkZadParams);
  for (const auto& entry : stored.value_or(std::vector<std::shared_ptr<APMPBDeepLinkZadParamsEntry>>{})) {
    entries.push_back(APMNanoGetString(*entry, APMPBDeepLinkZadParamsEntry::kKey).value_or("?") + "=" +
                      APMNanoGetString(*entry, APMPBDeepLinkZadParamsEntry::kValue).value_or("?"));
  }
  return entries;
}

TEST(CampaignParametersTest, EveryMappedQueryKeyBecomesItsEventParameter) {
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"aclid", "aclid"},       {"anid", "anid"},
      {"utm_campaign", "campaign"}, {"cis", "_cis"},
      {"utm_content", "content"},   {"cp1", "cp1"},
      {"dclid", "dclid"},       {"zad_source", "zad_source"},
      {"zclid", "zclid"},       {"zbraid", "zbraid"},
      {"utm_medium", "medium"}, {"utm_source", "source"},
      {"srsltid", "srsltid"},   {"utm_term", "term"},
      {"utm_id", "campaign_id"}, {"utm_creative_format", "creative_format"},
      {"utm_marketing_tactic", "marketing_tactic"}, {"utm_source_platform", "source_platform"},
      {"sfmc_id", "sfmc_id"},
  };
  Dictionary query{{"gclsrc", "dropped"}, {"zad_custom", "own name"}, {"utm_term", ""}};
  Dictionary parameters{{"zad_custom", "own name"}};
  for (const auto& [key, name] : expected) {
    if (key == "utm_term") continue;  // an empty value is dropped
    query[key] = "v-" + key;
    parameters[name] = "v-" + key;
  }
  EXPECT_EQ(eventFrom(query).parameters, parameters);
}

TEST(CampaignParametersTest, CampaignLinksNeedARequiredKeyWithAValueOrAZadKey) {
  for (const char* key : {"utm_campaign", "zclid", "utm_medium", "utm_source", "zbraid", "utm_id", "dclid", "srsltid",
                          "sfmc_id"}) {
    EXPECT_TRUE(isValidCampaignURLParamDictionary({{key, "v"}})) << key;
    EXPECT_FALSE(isValidCampaignURLParamDictionary({{key, ""}})) << key << " without a value";
  }
  EXPECT_TRUE(isValidCampaignURLParamDictionary({{"zad_anything", ""}}));
  EXPECT_FALSE(isValidCampaignURLParamDictionary({{"utm_content", "c"}, {"aclid", "a"}, {"ref", "home"}}));
}

TEST(CampaignParametersTest, EventNameTimeAndKeptIdentifiers) {
  struct Case {
    const char* what;
    APMCampaignEvent event;
    std::string name;
    double timestamp;
    Dictionary parameters;
    std::vector<std::string> info;  // zclid, zbraid, zad_source, then the zad entries; empty: no info
  };
  const Case cases[] = {
      {"an expired stored link", eventFrom({{"utm_source", "s"}}, true, {{"_cc", 1}}), "_cmpx", kNow,
       {{"source", "s"}, {"_cc", 1}}, {}},
      {"a young stored link, clicked", eventFrom({{"utm_source", "s"}}, true, {{"_cc", 2}}, 1699955999999LL), "_cmp",
       kNow, {{"source", "s"}, {"_cc", 2}, {"click_timestamp", 1699955999999LL}}, {}},
      {"before the first open", eventFrom({{"utm_source", "s"}}, true, {}, std::nullopt, kNow + 30), "_cmp",
       kNow + 30, {{"source", "s"}}, {}},
      {"every identifier",
       eventFrom({{"zclid", "Z"}, {"zbraid", "B"}, {"dclid", "D"}, {"zad_source", "5"}}, true, {{"zad_n", 7}}), "_cmp",
       kNow, {{"zclid", "Z"}, {"zbraid", "B"}, {"dclid", "D"}, {"zad_source", "5"}, {"zad_n", 7}},
       {"Z", "B", "5", "zad_n=7", "zad_source=5"}},
      {"click identifiers not allowed: zclid is read after its removal",
       eventFrom({{"zclid", "Z"}, {"zbraid", "B"}, {"dclid", "D"}, {"srsltid", "S"}}, false), "_cmp", kNow,
       {{"zbraid", "B"}}, {"-", "B", "-"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.event.name, c.name);
    EXPECT_DOUBLE_EQ(c.event.timestamp, c.timestamp);
    EXPECT_EQ(c.event.parameters, c.parameters);
    ASSERT_EQ(c.event.adCampaignInfo != nullptr, !c.info.empty());
    if (c.info.empty()) continue;
    const auto& info = *c.event.adCampaignInfo;
    std::vector<std::string> fields;
    for (int field : {APMPBAdCampaignInfo::kZclid, APMPBAdCampaignInfo::kZbraid, APMPBAdCampaignInfo::kZadSource}) {
      fields.push_back(APMNanoGetString(info, field).value_or("-"));
    }
    for (const auto& entry : zadEntriesOf(info)) fields.push_back(entry);
    EXPECT_EQ(fields, c.info);
    EXPECT_EQ(APMNanoGetInt64(info, APMPBAdCampaignInfo::kEventTimestampMillis), 1699956000000LL);
    EXPECT_EQ(c.event.zbraid, std::optional<std::string>("B"));
  }
  // Extra strings join the link's parameters, which win over them; other extra values are dropped.
  auto extra = APMSplitCampaignExtraParameters(Dictionary{{"utm_source", "x"}, {"utm_medium", "x"}, {"_cc", 1},
                                                          {"list", platform::Array{}}});
  EXPECT_EQ(extra.numbers, (Dictionary{{"_cc", 1}}));
  EXPECT_EQ(APMCampaignURLParameters(std::string("utm_source=q&utm_term=a%20b"), extra.strings),
            (Dictionary{{"utm_source", "q"}, {"utm_medium", "x"}, {"utm_term", "a b"}}));
}

}  // namespace
