#include "APMFrontCollaborators.h"

#include <memory>

#include "DeepLink/APMDeepLinkReporter.h"
#include "Purchase/APMInAppPurchaseTransactionReporter.h"
#include "ScreenView/APMScreenViewReporter.h"

APMFrontCollaboratorList APMMakeFrontCollaborators() {
  return {
      // "screen_view" events become screens; the reporter owns the active state and tells the
      // session of activation changes.
      std::make_shared<APMScreenViewCollaborator>(),
      // Transactions the host hands in and the store's filtered updates become purchase events.
      std::make_shared<APMInAppPurchaseCollaborator>(),
      // Opened links and browsing activities report campaigns; a link may switch the debug mode.
      std::make_shared<APMDeepLinkCollaborator>(),
  };
}
