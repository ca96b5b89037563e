#include "APMAnalyticsCollection.h"

#include <atomic>
#include <mutex>

#include "APMAnalyticsLog.h"
#include "APMAnalyticsOperationQueue.h"
#include "APMAnalyticsSupport.h"
#include "APMPersistedConfig.h"

namespace {

struct CollectionState {
  std::atomic<bool> collectionEnabled{false};
  std::atomic<bool> collectionDeactivated{false};
  std::mutex notificationMutex;  // guards setEnabledObserver
  platform::NotificationCenter::Token setEnabledObserver = 0;
};

CollectionState& collection() {
  static CollectionState* state = new CollectionState();  // lives for the whole process: any queue reads it
  return *state;
}

}  // namespace

void APMAnalyticsCollection::setAnalyticsEnabled(bool enabled) { setAnalyticsEnabled(enabled, false); }

void APMAnalyticsCollection::setAnalyticsEnabled(bool enabled, bool persistSetting) {
  APMAnalyticsOperationQueue::dispatchAsyncOnSerialQueue([enabled, persistSetting] {
    auto& state = collection();
    if (persistSetting) {
      if (auto persisted = APMPersistedConfig::sharedInstance())
        persisted->consent().setMeasurementEnabledState(enabled ? 1 : 2);
    }
    if (state.collectionDeactivated && enabled) return;  // a deactivated collection can be switched off, never on
    state.collectionEnabled = enabled;
    if (auto measurement = apmfront::engine()) measurement->collection().setEnabled(enabled);
  });
}

bool APMAnalyticsCollection::isAnalyticsCollectionEnabled() { return collection().collectionEnabled.load(); }
bool APMAnalyticsCollection::isAnalyticsCollectionDeactivated() { return collection().collectionDeactivated.load(); }

void APMAnalyticsCollection::observeNotificationsForAnalyticsConfiguration(const void* configuration) {
  auto& state = collection();
  auto& center = platform::NotificationCenter::defaultCenter();
  std::lock_guard<std::mutex> lock(state.notificationMutex);
  if (state.setEnabledObserver) center.removeObserver(state.setEnabledObserver);
  state.setEnabledObserver = 0;
  if (!configuration) return;
  state.setEnabledObserver = center.addObserver(kSetEnabledNotification, configuration, nullptr,
                                                [](const platform::Notification& n) { handleSetEnabled(n); });
}

void APMAnalyticsCollection::handleSetEnabled(const platform::Notification& notification) {
  platform::Object value = apmfront::valueFor(notification.userInfo, kSetEnabledNotification);
  if (!value.isNumber()) {
    APMLog(APMLogLevel::kWarningSampled, APMAnalyticsLogCode::kReceivedSetEnabledNotificationWithoutNSNumber,
           "Received setEnabled notification without NSNumber", value.description());
    return;
  }
  setAnalyticsEnabled(value.boolValue(), false);
}

void APMAnalyticsCollection::setCollectionEnabledAtStart(bool enabled) { collection().collectionEnabled = enabled; }

void APMAnalyticsCollection::setCollectionDeactivatedAtStart(bool deactivated) {
  collection().collectionDeactivated = deactivated;
}

void APMAnalyticsCollection::resetForTesting() {
  observeNotificationsForAnalyticsConfiguration(nullptr);
  collection().collectionEnabled = false;
  collection().collectionDeactivated = false;
}
