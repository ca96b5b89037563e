#include "APMCampaignParameters.h"

#include <algorithm>

#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "DirodaZovAridozovori/Core/Utilities/APMNumericUtil.h"
#include "DirodaZovAridozovori/Core/Utilities/APMQueryString.h"

namespace {

bool startsWithZadPrefix(const std::string& key) { return key.starts_with(kAPMCampaignZadPrefix); }

const std::string* nonEmptyString(const platform::Dictionary& dictionary, const std::string& key) {
  const platform::Object* value = platform::find(dictionary, key);
  if (!value || !value->isString() || value->stringValue().empty()) return nullptr;
  return &value->stringValue();
}

std::optional<std::string> mappedParameterName(const std::string& queryKey) {
  for (const auto& [key, parameter] : APMCampaignParameterMap()) {
    if (key == queryKey) return parameter;
  }
  if (startsWithZadPrefix(queryKey)) return queryKey;
  return std::nullopt;
}

bool isExpiredLinkMarker(const platform::Object* value) {
  return value && value->isNumber() && value->doubleValue() == 1.0;
}

std::string textOf(const platform::Object& value) {
  return value.isString() ? value.stringValue() : APMQueryValueText(value);
}

std::shared_ptr<APMPBAdCampaignInfo> adCampaignInfoOf(const platform::Dictionary& parameters, double timestamp) {
  const std::string* zclid = nonEmptyString(parameters, "zclid");
  const std::string* zbraid = nonEmptyString(parameters, "zbraid");
  std::vector<std::shared_ptr<APMPBDeepLinkZadParamsEntry>> entries;
  for (const auto& [key, value] : parameters) {
    if (!startsWithZadPrefix(key) || value.isNull()) continue;
    auto entry = APMPBDeepLinkZadParamsEntry::initWithMessageInfo();
    APMNanoSetString(*entry, APMPBDeepLinkZadParamsEntry::kKey, key);
    APMNanoSetString(*entry, APMPBDeepLinkZadParamsEntry::kValue, textOf(value));
    entries.push_back(entry);
  }
  if (!zclid && !zbraid && entries.empty()) return nullptr;

  auto info = APMPBAdCampaignInfo::initWithMessageInfo();
  APMNanoSetInt64(*info, APMPBAdCampaignInfo::kEventTimestampMillis, APMMillisecondsFromSeconds(timestamp));
  if (zclid) APMNanoSetString(*info, APMPBAdCampaignInfo::kZclid, *zclid);
  if (zbraid) APMNanoSetString(*info, APMPBAdCampaignInfo::kZbraid, *zbraid);
  if (const platform::Object* source = platform::find(parameters, "zad_source"); source && !source->isNull()) {
    APMNanoSetString(*info, APMPBAdCampaignInfo::kZadSource, textOf(*source));
  }
  if (!entries.empty()) APMNanoSetRepeatedField(*info, APMPBAdCampaignInfo::kDeepLinkZadParams, entries);
  return info;
}

}  // namespace

const std::vector<std::pair<std::string, std::string>>& APMCampaignParameterMap() {
  // The tables are never destroyed: the worker may read them while the process exits.
  static const auto& map = *new std::vector<std::pair<std::string, std::string>>{
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
  return map;
}

const std::vector<std::string>& APMCampaignRequiredKeys() {
  static const auto& keys = *new std::vector<std::string>{"utm_campaign", "zclid", "utm_medium", "utm_source",
                                                          "zbraid",       "utm_id", "dclid",      "srsltid",
                                                          "sfmc_id"};
  return keys;
}

const std::vector<std::string>& APMCampaignClickIDParameters() {
  static const auto& names = *new std::vector<std::string>{"zclid", "dclid", "srsltid"};
  return names;
}

bool isValidCampaignURLParamDictionary(const platform::Dictionary& parameters) {
  for (const auto& key : APMCampaignRequiredKeys()) {
    if (nonEmptyString(parameters, key)) return true;
  }
  return std::any_of(parameters.begin(), parameters.end(),
                     [](const auto& entry) { return startsWithZadPrefix(entry.first); });
}

APMCampaignExtraParameters APMSplitCampaignExtraParameters(const std::optional<platform::Dictionary>& extra) {
  APMCampaignExtraParameters split;
  if (!extra) return split;
  for (const auto& [key, value] : *extra) {
    if (value.isString()) split.strings[key] = value;
    if (value.isNumber()) split.numbers[key] = value;
  }
  return split;
}

platform::Dictionary APMCampaignURLParameters(const std::optional<std::string>& query,
                                              const platform::Dictionary& extraStrings) {
  platform::Dictionary parameters = extraStrings;
  if (!query) return parameters;
  for (auto& [key, value] : apm_dictionaryWithHttpArgumentsString(*query)) parameters[key] = std::move(value);
  return parameters;
}

APMCampaignEvent APMCampaignEventFromParameters(const APMCampaignEventInput& input) {
  APMCampaignEvent event;
  for (const auto& [key, value] : input.urlParameters) {
    if (!value.isString() || value.stringValue().empty()) continue;
    if (auto name = mappedParameterName(key)) event.parameters[*name] = value;
  }
  if (!input.allowClickID) {
    for (const auto& name : APMCampaignClickIDParameters()) event.parameters.erase(name);
  }
  for (const auto& [key, value] : input.numberParameters) event.parameters[key] = value;
  if (input.clickTimestampMillis) {
    event.parameters["click_timestamp"] = platform::Object(static_cast<long long>(*input.clickTimestampMillis));
  }

  event.timestamp = std::max(input.eventTimestamp, input.firstOpenTimestamp);
  event.name = isExpiredLinkMarker(platform::find(event.parameters, "_cc")) ? kAPMExpiredCampaignEventName
                                                                             : kAPMCampaignEventName;
  event.adCampaignInfo = adCampaignInfoOf(event.parameters, event.timestamp);
  if (const std::string* zbraid = nonEmptyString(event.parameters, "zbraid")) event.zbraid = *zbraid;
  return event;
}
