#include "APMEngineComponents.h"

#include <mutex>

#include "APMAudienceComponent.h"
#include "APMEventEditingHost.h"
#include "APMExperimentComponent.h"
#include "ConditionalUserProperties/APMConditionalUserPropertyController.h"
#include "AdExposure/APMAdExposureReporter.h"
#include "DeepLink/APMDeepLinkReporter.h"
#include "LifetimeValue/APMLifetimeValueRecorder.h"
#include "OnDeviceConversion/APMOnDeviceConversionReporter.h"
#include "Purchase/APMReceiptReader.h"
#include "ScreenView/APMScreenViewReporter.h"
#include "SearchAd/APMSearchAdReporter.h"
#include "TCF/APMTCFClient.h"

namespace {

struct Editor {
  std::mutex mutex;
  std::function<APMEngineComponentList(APMEngineComponentList)> edit;
};

Editor& editor() {
  static Editor* state = new Editor();  // engines may be made while the process ends
  return *state;
}

}  // namespace

APMEngineComponentList APMMakeEngineComponents() {
  APMEngineComponentList components{
      // Configurations' event-editing programs run on the event road.
      APMMakeEngineComponent<APMEventEditingComponent>(),
      // The configuration's experiment flags and the experiment IDs of bundles.
      APMMakeEngineComponent<APMExperimentComponent>(),
      // Configurations' audiences are stored, and evaluated as events are bundled.
      APMMakeEngineComponent<APMAudienceComponent>(),
      // User data and configuration fetches reach the linked on-device conversion components.
      APMMakeEngineComponent<APMOnDeviceConversionReporter>(),
      // Screens are followed from the launch.
      APMMakeEngineComponent<APMScreenViewComponent>(),
      // Opened, stored and deferred links report campaigns.
      APMMakeEngineComponent<APMDeepLinkComponent>(),
      // Once per installation, the search-ad attribution of the install; switched with collection.
      APMMakeEngineComponent<APMSearchAdComponent>(),
      // The host's TCF decision becomes consent at start-up and before every upload.
      APMMakeEngineComponent<APMTCFClient>(),
      // Purchase events keep the lifetime value of each currency.
      APMMakeEngineComponent<APMLifetimeValueComponent>(),
      // Conditional user properties are timed out, expired and triggered by every event written.
      APMMakeEngineComponent<APMConditionalUserPropertyController>(),
      // How long ad units are on screen, for an advertising component.
      APMMakeEngineComponent(APMAdExposureReporter::create()),
      // The store receipt tells a first open after install from one after an update.
      APMMakeEngineComponent<APMReceiptComponent>(),
  };
  std::function<APMEngineComponentList(APMEngineComponentList)> edit;
  {
    std::lock_guard<std::mutex> lock(editor().mutex);
    edit = editor().edit;
  }
  return edit ? edit(std::move(components)) : components;
}

void APMSetEngineComponentEditorForTesting(std::function<APMEngineComponentList(APMEngineComponentList)> edit) {
  std::lock_guard<std::mutex> lock(editor().mutex);
  editor().edit = std::move(edit);
}
