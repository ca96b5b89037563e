#pragma once
// The campaign reading of a link, as the deep-link reporter does it on the worker queue: the
// query's parameters (overlaying the report's extra strings), the campaign check, the event and
// the click identifiers kept for later bundles.

#include <optional>
#include <string>

#include "APMPBMessages.h"
#include "DeepLink/APMCampaignParameters.h"
#include "FuzzSupport.h"
#include "platform/URL.h"

namespace fuzzsupport {

inline void readCampaign(const std::string& link, const std::optional<platform::Dictionary>& extra = std::nullopt) {
  auto url = platform::URL::parse(link);
  (void)(url ? url->queryItems() : std::vector<platform::URLQueryItem>{});
  const APMCampaignExtraParameters split = APMSplitCampaignExtraParameters(extra);
  platform::Dictionary parameters = APMCampaignURLParameters(url ? url->query() : std::nullopt, split.strings);
  if (parameters.empty() || !isValidCampaignURLParamDictionary(parameters)) return;
  APMCampaignEventInput input;
  input.urlParameters = std::move(parameters);
  input.numberParameters = split.numbers;
  input.clickTimestampMillis = 1699999990000;
  input.eventTimestamp = 1700000000.0;
  input.firstOpenTimestamp = 1699990000.0;
  input.allowClickID = true;
  APMCampaignEvent campaign = APMCampaignEventFromParameters(input);
  if (campaign.adCampaignInfo) {
    const platform::Data kept = campaign.adCampaignInfo->protoBuffer();
    // What is kept is read back by the next bundles.
    if (!APMPBAdCampaignInfo::fromBuffer(kept)) fuzzsupport::fail("kept click identifiers do not decode");
  }
}

}  // namespace fuzzsupport
