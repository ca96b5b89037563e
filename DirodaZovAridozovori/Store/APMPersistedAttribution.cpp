#include "APMPersistedAttribution.h"

std::optional<platform::Data> APMPersistedAttribution::adCampaignInfoBuffer() const {
  const platform::Object value = store_->object(keyFor("ad_campaign_info_buffer"));
  if (!value.isData()) return std::nullopt;
  return value.dataValue();
}

void APMPersistedAttribution::setAdCampaignInfoBuffer(std::optional<platform::Data> v) {
  setObject("ad_campaign_info_buffer", v ? platform::Object(std::move(*v)) : platform::Object());
}
