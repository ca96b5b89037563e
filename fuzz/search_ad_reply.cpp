// The search-ad attribution service's JSON reply, read as the reporter reads a 200 answer; an
// attributed answer becomes the campaign event the reporter logs, cleaned as every event is.
#include "APMEvent.h"
#include "FuzzSupport.h"
#include "SearchAd/APMSearchAdReporter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzsupport::setUpProcess();
  const APMSearchAdAttributionReply reply = APMSearchAdAttributionReplyFromResponse(200, fuzzsupport::bytesOf(data, size));
  if (reply.kind != APMSearchAdAttributionReply::Kind::kAnswer || !reply.attribution) return 0;
  platform::Dictionary parameters = {{"source", "Apple"}, {"medium", "search"}, {"click_timestamp", 1699990000000LL}};
  if (!reply.campaignID.empty()) parameters["campaign"] = reply.campaignID;
  if (!reply.keywordID.empty()) parameters["term"] = reply.keywordID;
  if (!APMEvent::create("auto", false, "_cmp", 1700000000.0, 0, parameters)) fuzzsupport::fail("no campaign event");
  return 0;
}
