// The SDK's version as every component reports it, all from the one version of the build.
#include <gtest/gtest.h>

#include <string>

#include "APMMonitor.h"
#include "DUDUravodazo.h"
#include "DirodaUtilities/Logger/DULLogger.h"
#include "Identity/APMIdentifiers.h"
#include "Identity/APMIdentity.h"
#include "MeasurementVersion.h"
#include "RIZIdivozivuRivaderod.h"
#include "ZORCoreVersion.h"

namespace {

TEST(VersionTest, EveryFormOfTheVersionComesFromTheBuildVersion) {
  const struct {
    const char* what;
    std::string reported;
    std::string expected;
  } cases[] = {
      {"public API", DUDUravodazo::topLevelVersion(), "11.15.0"},
      {"core platform", ZORCoreVersion, "11.15.0"},
      {"connector library", RIZIdivozivuRivaderod::kLibraryVersion, "11.15.0"},
      {"logger banner", kDULLoggerDefaultVersion, "11.15.0"},
      {"identity's library version", std::to_string(APMIdentity::zovAridozovoriLibraryVersion()), "111500"},
      {"identifiers' library version", APMIdentifiers::sharedInstance()->libraryVersion(), "111500"},
      {"monitor's library version", std::to_string(APMMonitor::shared()->libraryVersion()), "111500"},
      {"engine's built-in version", kMeasurementBuiltInVersionText, "111500000"},
      {"built-in version as a number", std::to_string(kMeasurementBuiltInVersion), "111500000"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.reported, c.expected) << c.what;
}

}  // namespace
