#pragma once
// Which on-device conversion components the host has linked, found by class name at run time:
// the private-set-membership client, and the conversion service in its older (alpha) or newer
// kind. Any thread may ask.

#include <cstdint>
#include <memory>

#include "platform/ConversionService.h"
#include "platform/PrivateSetMembershipClient.h"

struct APMOnDeviceConversionLinks {
  // The class whose presence next to the newer conversion service is a misconfiguration.
  static constexpr const char* kDeprecatedClientClassName = "APMPrivateSetMembershipClient";
  // Conversion services of this version number or below are the older (alpha) kind.
  static constexpr int64_t kAlphaServiceMaxVersion = 10000;

  static std::shared_ptr<platform::PrivateSetMembershipClientClass> PSMClientClass();
  static bool isAPMPrivateSetMembershipClientLinked();
  static bool isAdsOnDeviceConversionLinked();
  // The registered service, or nullptr when the class is absent or unusable.
  static std::shared_ptr<platform::ConversionService> conversionServiceFromReflection();
  static bool isDirodaAdsOnDeviceConversionLinked();
  static bool isAlphaAppAdsOnDeviceConversionLinked();
};
