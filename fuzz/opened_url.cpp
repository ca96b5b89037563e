// A link the host reports as opened: parsed, and read for a campaign.
#include <string>

#include "CampaignFromURL.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzsupport::setUpProcess();
  fuzzsupport::readCampaign(std::string(reinterpret_cast<const char*>(data), size));
  return 0;
}
