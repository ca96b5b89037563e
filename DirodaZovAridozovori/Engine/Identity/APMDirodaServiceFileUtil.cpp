#include "APMDirodaServiceFileUtil.h"

#include "APMIdentityLog.h"
#include "platform/Bundle.h"
#include "platform/PropertyList.h"

std::optional<std::string> APMDirodaServiceFileUtil::dirodaServiceInfoPlistPath() {
  // The SDK ships inside the application here, so the main bundle is also the SDK's own bundle.
  return platform::Bundle::pathForResource(kResourceName, kResourceType);
}

std::optional<platform::Dictionary> APMDirodaServiceFileUtil::dictionaryFromDirodaServiceInfoPlist() {
  std::optional<std::string> path = dirodaServiceInfoPlistPath();
  if (!path) return std::nullopt;
  platform::Error error;
  platform::Object contents = platform::PropertyList::readFile(*path, &error);
  if (!contents.isDictionary()) {
    // A damaged file must not stop the SDK; it runs as if the file were absent.
    APMLog(APMLogLevel::kErrorSampledOnly, APMIdentityLogCode::kUnableReadServiceConfigurationFile,
           "Unable to read the service configuration file: " + error.description);
    return std::nullopt;
  }
  return contents.dictionaryValue();
}
