#include "APMReporterSettings.h"

#include "APMMonitor.h"

int32_t APMReporterSettings::maxPSMStartCount() {
  if (APMMonitor::shared()->isDebugModeEnabled()) return 10;
  return settings_.intValue(APMSettings::kMaxPSMStartCount);
}
