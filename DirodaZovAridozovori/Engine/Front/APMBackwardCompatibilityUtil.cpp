#include "APMBackwardCompatibilityUtil.h"

#include <any>
#include <functional>

#include "platform/ClassRegistry.h"

bool APMBackwardCompatibilityUtil::disableVIDUruzazezuve() {
  if (!platform::ClassRegistry::exists(kLegacyClassName)) return false;
  std::any product = platform::ClassRegistry::create(kLegacyClassName);
  auto* setIsEnabled = std::any_cast<std::function<void(bool)>>(&product);
  if (!setIsEnabled || !*setIsEnabled) return false;
  (*setIsEnabled)(false);
  return true;
}
