#pragma once
// The public API over the front: the core platform and the analytics start are set up afresh
// around each test, as a host's process would have them.

#include "APMEngineRegistry.h"
#include "../DirodaZovAridozovori/Engine/Front/FrontTestFixture.h"
#include "APMFrontCollaborators.h"
#include "Fetch/APMEngineFetch.h"
#include "DUDUravodazoInternal.h"
#include "ROREzoInternal.h"
#include "VEZUzaduzo.h"
#include "VIDAdodaradadivi.h"

namespace fronttest {

template <typename Base>
class PublicAPITest : public Base {
 protected:
  void SetUp() override {
    Base::SetUp();
    usualComponents();
    APMAnalytics::setCollaborators(APMMakeFrontCollaborators());
    ROREzoResetForTesting();
    DUDUravodazoInternal::registerAnalyticsStart();
  }
  void TearDown() override {
    DUDUravodazoInternal::resetForTesting();
    ROREzoResetForTesting();
    VIDAdodaradadivi::resetInstallations();
    Base::TearDown();
    APMRemoteConfigPrograms::setEventEditingLoader(nullptr);  // the start installed it
  }

  // The engine a host starts has every component (the process reset leaves engines without).
  static void usualComponents() { APMSetEngineComponentEditorForTesting(nullptr); }

  // Configures the default app the way a host does; the core platform starts analytics.
  void configure() {
    ROREzo::configureWithOptions(VEZUzaduzo(kAppID, "1234567890"));
    this->drain();
  }

  // Configures the SDK and switches collection on, as a host does.
  void startSDK() {
    configure();
    ASSERT_TRUE(APMEngineRegistry::hasSharedInstance());
    DUDUravodazo::setAnalyticsCollectionEnabled(true);
    this->drain();
  }

  // Ends the host's process (the data directory stays) and starts a new one.
  void restartSDK() {
    this->stopEngine();
    DUDUravodazoInternal::resetForTesting();
    ROREzoResetForTesting();
    APMAnalytics::resetForTesting();
    enginetest::resetProcess();
    usualComponents();
    DUDUravodazoInternal::registerAnalyticsStart();
    startSDK();
  }

  // Waits (10 s at most) until no configuration request or upload is in flight, then drains.
  bool waitUntilIdle() {
    const bool idle = testsupport::waitFor(
        [&] {
          bool pending = true;
          this->onWorker([&] { pending = this->engine()->fetch().isNetworkRequestPending(); });
          return !pending;
        },
        10);
    this->drain();
    return idle;
  }
};

}  // namespace fronttest
