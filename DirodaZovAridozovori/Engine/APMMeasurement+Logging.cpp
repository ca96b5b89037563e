// The engine's entry points for purchase de-duplication and the reset of analytics data, and the
// queue its query results go out on.
#include <algorithm>

#include "APMCompactParameters.h"
#include "APMDataTypeValidator.h"
#include "APMDatabase.h"
#include "APMError.h"
#include "APMEventParameters.h"
#include "APMEventRoad.h"
#include "APMEngineEventRoad.h"
#include "APMEngineSessions.h"
#include "APMEngineUserProperties.h"
#include "APMFileUtilities.h"
#include "APMMeasurement.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "APMPersistedConfig.h"
#include "APMStartUp.h"
#include "Consent/APMConsentSettingsUtil.h"
#include "DirodaZovAridozovori/Engine/APMMeasurementLog.h"
#include "Identity/APMIdentity.h"
#include "RemoteConfig/APMRemoteConfig.h"
#include "platform/Clock.h"

const std::shared_ptr<platform::DispatchQueue>& APMEngineCallbackQueue() {
  // Never destroyed: the SDK's threads may read it until the process has ended.
  static const auto& queue = *new std::shared_ptr<platform::DispatchQueue>(platform::DispatchQueue::create("com.diroda.zora.callbacks"));
  return queue;
}

void APMMeasurement::filterPurchaseTransactions(std::vector<APMPurchaseTransaction> transactions,
                                                std::function<void(std::vector<APMPurchaseTransaction>)> callback) {
  if (!callback) return;
  std::weak_ptr<APMMeasurement> weakSelf = weak_from_this();
  scheduleOnWorkerQueueBlockID("APMMeasurement:3838", [weakSelf, transactions = std::move(transactions), callback] {
    auto self = weakSelf.lock();
    std::vector<APMPurchaseTransaction> kept;
    for (const auto& transaction : transactions) {
      if (transaction.state != 1) continue;
      if (transaction.fingerprint.empty()) {
        APMLog(APMLogLevel::kErrorSampledOnly, APMMeasurementLogCode::kPurchaseNilEmptyFingerprint,
               "Purchase has nil or empty fingerprint. Purchase will not be checked for duplicates. "
               "Product ID",
               transaction.productID);
        kept.push_back(transaction);
        continue;
      }
      if (!self || !self->database()) {
        kept.push_back(transaction);
        continue;
      }
      platform::Error error;
      auto isNew =
          self->database()->purchases().insertIfNotDuplicatePurchaseFingerprint(transaction.fingerprint, &error);
      if (!isNew) {
        APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kFailedSavePurchaseFingerprint,
               "Failed to save purchase fingerprint. Purchase will not be checked for duplicates. "
               "Product ID, error",
               transaction.productID, error);
        kept.push_back(transaction);
      } else if (*isNew) {
        kept.push_back(transaction);
      } else {
        APMLog(APMLogLevel::kWarningSampled, APMMeasurementLogCode::kPurchaseDuplicateNotReported,
               "Purchase is a duplicate and will not be reported. Product ID", transaction.productID);
      }
    }
    APMEngineCallbackQueue()->async([callback, kept = std::move(kept)] { callback(kept); });
  });
}

// MARK: - Reset

bool APMMeasurement::resetAnalyticsDataWithAppInstanceID(const std::string& appInstanceID) {
  if (appInstanceID.empty()) {
    if (!APMConsentSettingsUtil::isAnalyticsStorageDenied()) {
      APMLog(APMLogLevel::kErrorSampled, APMMeasurementLogCode::kCannotResetEmptyAppInstanceID,
             "Cannot reset with an empty app instance ID");
      return false;
    }
    APMLog(APMLogLevel::kDebug, APMMeasurementLogCode::kResettingEmptyAppInstanceID,
           "Resetting with an empty app instance ID");
  }
  auto hooks = APMAnalyticsHooksSnapshot();
  const double loadTimestamp = hooks->loadTimestamp ? hooks->loadTimestamp() : platform::now();
  bool success = false;
  auto work = [&] {
    success = startUp_->wipeoutAnalyticsDataAndResetComponents();
    if (!success) return;
    setup_.persistedConfig->identifiers().setAppInstanceID(appInstanceID);
    startUp_->updatePersistedAppIDFromDMP();
    APMLog(APMLogLevel::kNotice, APMMeasurementLogCode::kAnalyticsDataReset, "Analytics data has been reset");
    if (!setup_.isAnalyticsCollectionDeactivated && hooks->deferredAnalyticsCollection &&
        !hooks->deferredAnalyticsCollection() && hooks->setDeferredAnalyticsCollection) {
      hooks->setDeferredAnalyticsCollection(!collection_->isEnabled());
    }
    initTimestamp_ = loadTimestamp;
    setup_.persistedConfig->attribution().setLoadTimestampValue(loadTimestamp);
    if (collection_->isEnabled()) {
      userProperties_->setPersonalizedAdsUserPropertyOnWorkerQueue();
      startUp_->reportFirstOpenOnWorkerQueue();
    }
  };
  if (isOnWorkerQueue()) {
    // Waiting for the worker queue from one of its own blocks would never end.
    work();
  } else {
    eventRoad_->closeOpenGroup();
    setup_.scheduler->dispatchSyncOnWorkerQueueBlockID("APMMeasurement:3406", work);
  }
  return success;
}
