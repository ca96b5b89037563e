// An event-editing program as the configuration carries it: decoded, loaded into a host with the
// configuration's modules (as the engine's loader does), and run on a few events, each in a run of
// its own as the event road hands them over.
#include "APMEventEditingHost.h"
#include "APMPBMessages.h"
#include "FuzzSupport.h"
#include "RemoteConfig/APMRemoteConfig.h"

namespace {

const APMEditEventForm& event(size_t i) {
  static const APMEditEventForm kEvents[] = {
      {"purchase", 1700000000.0, {{"value", platform::Object(9.99)}, {"currency", platform::Object("EUR")},
                                  {"items", platform::Object(platform::Array{platform::Object(platform::Dictionary{
                                                {"item_id", platform::Object("sku-1")}})})}}},
      {"level_up", 1700000001.0, {{"level", platform::Object(4)}, {"character", platform::Object("wizard")}}},
      {"_s", 1700000002.0, {}},
  };
  return kEvents[i % 3];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzsupport::setUpProcess();
  auto program = APMPBProgram::fromBuffer(data, size);
  if (!program) return 0;
  platform::Error error;
  auto loaded = APMEventEditingHost::loadProgram(*program, *APMRemoteConfig::defaultInstance(), &error);
  auto* host = dynamic_cast<APMEventEditingHost*>(loaded.get());
  if (!host) return 0;
  for (size_t i = 0; i < 3; ++i) host->handleEvent(event(i));
  return 0;
}
