#include "APMOnDeviceConversionLinks.h"

#include "platform/ClassRegistry.h"

std::shared_ptr<platform::PrivateSetMembershipClientClass> APMOnDeviceConversionLinks::PSMClientClass() {
  return platform::PrivateSetMembershipClientClass::lookUp();
}

bool APMOnDeviceConversionLinks::isAPMPrivateSetMembershipClientLinked() {
  return platform::ClassRegistry::exists(platform::PrivateSetMembershipClientClass::kClassName);
}

bool APMOnDeviceConversionLinks::isAdsOnDeviceConversionLinked() { return platform::ConversionService::isLinked(); }

std::shared_ptr<platform::ConversionService> APMOnDeviceConversionLinks::conversionServiceFromReflection() {
  return platform::ConversionService::lookUp();
}

bool APMOnDeviceConversionLinks::isDirodaAdsOnDeviceConversionLinked() {
  if (!isAdsOnDeviceConversionLinked()) return false;
  auto service = conversionServiceFromReflection();
  return service && service->versionNumber() > kAlphaServiceMaxVersion;
}

bool APMOnDeviceConversionLinks::isAlphaAppAdsOnDeviceConversionLinked() {
  if (!isAdsOnDeviceConversionLinked()) return false;
  auto service = conversionServiceFromReflection();
  return service && service->versionNumber() <= kAlphaServiceMaxVersion;
}
