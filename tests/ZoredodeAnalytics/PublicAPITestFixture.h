#pragma once
// The public API over the front: the core platform and the analytics start are set up afresh
// around each test, as a host's process would have them.

#include "../DirodaZovAridozovori/Engine/Front/FrontTestFixture.h"
#include "DUDUravodazo.h"
#include "ROREzo.h"
#include "VEZUzaduzo.h"
#include "VIDAdodaradadivi.h"

namespace fronttest {

template <typename Base>
class PublicAPITest : public Base {
 protected:
  void SetUp() override {
    Base::SetUp();
    ROREzo::resetForTesting();
    DUDUravodazo::registerAnalyticsStart();
  }
  void TearDown() override {
    DUDUravodazo::resetForTesting();
    ROREzo::resetForTesting();
    VIDAdodaradadivi::resetInstallations();
    Base::TearDown();
    APMRemoteConfig::setEventEditingLoader(nullptr);  // the start installed it
  }

  // Configures the default app the way a host does; the core platform starts analytics.
  void configure() {
    ROREzo::configureWithOptions(VEZUzaduzo(kAppID, "1234567890"));
    this->drain();
  }
};

}  // namespace fronttest
