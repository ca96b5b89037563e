// The deferred-deep-link service's JSON reply: read for its link, which is then read for a
// campaign as an opened link is.
#include "CampaignFromURL.h"
#include "DeepLink/APMDeferredDeepLink.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzsupport::setUpProcess();
  auto info = deepLinkInfoFromResponseData(fuzzsupport::bytesOf(data, size));
  if (!info) return 0;
  auto link = APMDeferredDeepLinkURL(*info);
  if (!link) fuzzsupport::fail("an accepted reply has no link");
  fuzzsupport::readCampaign(link->absoluteString());
  return 0;
}
