#pragma once
// Campaign attribution of an opened link: which query keys make a link a campaign link, how they
// become the parameters of the campaign event "_cmp" (or "_cmpx" for a link that outlived the
// attribution window), and the ad-click identifiers kept for the next upload bundles.
//
// Pure: no queues, no storage. APMDeepLinkReporter feeds it and stores what it answers.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Object.h"

class APMPBAdCampaignInfo;

// Query key → event parameter name, in the order the event parameters are documented.
const std::vector<std::pair<std::string, std::string>>& APMCampaignParameterMap();
// A link is a campaign link when one of these has a non-empty value (or any key starts with "zad_").
const std::vector<std::string>& APMCampaignRequiredKeys();
// Ad-click identifiers kept only where the identity allows it.
const std::vector<std::string>& APMCampaignClickIDParameters();

inline constexpr const char* kAPMCampaignEventName = "_cmp";
inline constexpr const char* kAPMExpiredCampaignEventName = "_cmpx";
inline constexpr const char* kAPMCampaignZadPrefix = "zad_";

bool isValidCampaignURLParamDictionary(const platform::Dictionary& parameters);

// The extra parameters of a report, split by kind: strings join the URL's query (which wins over
// them), numbers join the event's parameters as they are; anything else is dropped.
struct APMCampaignExtraParameters {
  platform::Dictionary strings;
  platform::Dictionary numbers;
};
APMCampaignExtraParameters APMSplitCampaignExtraParameters(const std::optional<platform::Dictionary>& extra);

// The link's parameters: the extra strings overlaid with the arguments of the query (none for a
// link without one).
platform::Dictionary APMCampaignURLParameters(const std::optional<std::string>& query,
                                              const platform::Dictionary& extraStrings);

struct APMCampaignEventInput {
  platform::Dictionary urlParameters;     // a campaign link's parameters (APMCampaignURLParameters)
  platform::Dictionary numberParameters;  // added to the event as they are
  std::optional<int64_t> clickTimestampMillis;
  double eventTimestamp = 0;       // seconds since 1970
  double firstOpenTimestamp = 0;   // seconds since 1970; 0 when unknown
  bool allowClickID = false;
};

struct APMCampaignEvent {
  std::string name;
  platform::Dictionary parameters;
  double timestamp = 0;  // never earlier than the first open
  // The click identifiers to keep for the next bundles; null when the link carried none.
  std::shared_ptr<APMPBAdCampaignInfo> adCampaignInfo;
  // The value of the "_zbraid" user property to set; none when the link carried none.
  std::optional<std::string> zbraid;
};

APMCampaignEvent APMCampaignEventFromParameters(const APMCampaignEventInput& input);
