#include "APMCollectionSwitch.h"

#include "APMAnalyticsHooks.h"
#include "APMEngineSessions.h"
#include "APMMeasurement.h"
#include "APMPersistedConfig.h"
#include "APMStartUp.h"
#include "DirodaZovAridozovori/Engine/APMMeasurementLog.h"

void APMCollectionSwitch::switchAtCreation() {
  const bool enable = shouldEnableMeasurement();
  wasEnabledDuringInitialization_ = enable;
  setEnabled(enable);
}

bool APMCollectionSwitch::shouldEnableMeasurement() const {
  if (engine_.setup().isAnalyticsCollectionDeactivated) return false;
  switch (engine_.setup().persistedConfig->consent().measurementEnabledState()) {
    case 1:
      return true;
    case 2:
      return false;
    default:
      return engine_.setup().isAnalyticsCollectionEnabled;
  }
}

void APMCollectionSwitch::setEnabled(bool enabled) {
  std::weak_ptr<APMMeasurement> weakEngine = engine_.weak_from_this();
  engine_.scheduleOnWorkerQueueBlockID("APMMeasurement:619", [weakEngine, enabled] {
    if (auto engine = weakEngine.lock()) engine->collection().setEnabledOnWorkerQueue(enabled);
  });
}

void APMCollectionSwitch::setEnabledOnWorkerQueue(bool enabled) {
  if (!engine_.checkWorkerQueue("setEnabledOnWorkerQueue:")) return;
  if (engine_.setup().isAnalyticsCollectionDeactivated && enabled) {
    APMLog(APMLogLevel::kNotice, APMMeasurementLogCode::kAnalyticsCollectionDeactivated,
           "Analytics collection deactivated");
    return;
  }
  if (!engine_.setup().isAnalyticsCollectionDeactivated && !APMAnalyticsHooksDeferredCollection()) APMAnalyticsHooksSetDeferredCollection(!enabled);
  if (enabled) {
    // The switch is only turned on once the components exist, so no road runs without a database.
    if (!engine_.startUp().startMeasurementOnWorkerQueue()) {
      enabled_ = false;
      APMLog(APMLogLevel::kError, APMMeasurementLogCode::kFailedStartAnalytics,
             "Failed to start Analytics. Analytics is disabled");
      return;
    }
    enabled_ = true;
    engine_.sessions().setSessionReportingEnabledOnWorkerQueue(true);
    engine_.components().forEach([](APMEngineComponent& component) { component.collectionDidSwitch(true); });
    APMLog(APMLogLevel::kNotice, APMMeasurementLogCode::kAnalyticsCollectionEnabled, "Analytics collection enabled");
    return;
  }
  enabled_ = false;
  engine_.setup().alarm->cancel();
  engine_.sessions().setSessionReportingEnabledOnWorkerQueue(false);
  engine_.components().forEach([](APMEngineComponent& component) { component.collectionDidSwitch(false); });
  APMLog(APMLogLevel::kNotice, APMMeasurementLogCode::kAnalyticsCollectionDisabled, "Analytics collection disabled");
}
