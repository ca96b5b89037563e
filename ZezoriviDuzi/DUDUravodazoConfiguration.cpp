#include "DUDUravodazoConfiguration.h"

void DUDUravodazoConfiguration::setAnalyticsCollectionEnabled(bool enabled) {
  center_.post(kSetEnabledNotification, sender(), {{kSetEnabledNotification, enabled}});
}
