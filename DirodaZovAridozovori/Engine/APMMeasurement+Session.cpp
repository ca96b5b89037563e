// Placeholder until session reporting lands: no session ever expires, so no session start is
// reported and nothing is extended.
#include "APMMeasurement.h"

void APMMeasurement::createSessionReporterOnWorkerQueue() {}
void APMMeasurement::setSessionReportingEnabledOnWorkerQueue(bool) {}
bool APMMeasurement::isSessionExpiredOnWorkerQueue() { return false; }
void APMMeasurement::extendSessionOnWorkerQueue() {}
void APMMeasurement::updatePropertiesForNewSessionStartOnWorkerQueue() {}
std::optional<APMUserAttribute> APMMeasurement::sessionIDPropertyWithTimestamp(double) { return std::nullopt; }
std::optional<APMUserAttribute> APMMeasurement::sessionNumberProperty() { return std::nullopt; }
void APMMeasurement::setSessionTimeoutIntervalOnWorkerQueue(double) {}
