#pragma once
// A fresh data directory, defaults and Info.plist for every TCF test (and every case of a table), and the readings a
// consent-management platform would store.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "APMUserDefaults.h"
#include "TestSupport.h"
#include "platform/Bundle.h"
#include "platform/UserDefaults.h"
#include "platform/UserDefaultsRegistry.h"

namespace tcftest {

// A vendor bit string with only vendor 755 (index 754) set.
inline const std::string kVendorSet = std::string(754, '0') + "1";

// What a consent-management platform stores for a user in a GDPR country who accepted everything.
inline void storeGrantingEverything() {
  auto defaults = APMUserDefaults::sharedUserDefaults();
  defaults->setObject(platform::Object(1), "IABTCF_EnableAdvertiserConsentMode");
  defaults->setObject(platform::Object(1), "IABTCF_gdprApplies");
  defaults->setObject(platform::Object(300), "IABTCF_CmpSdkID");
  defaults->setObject(platform::Object(4), "IABTCF_PolicyVersion");
  defaults->setObject(platform::Object(kVendorSet), "IABTCF_VendorConsents");
  defaults->setObject(platform::Object(kVendorSet), "IABTCF_VendorLegitimateInterests");
  defaults->setObject(platform::Object("1111111111"), "IABTCF_PurposeConsents");
  defaults->setObject(platform::Object("1111111111"), "IABTCF_PurposeLegitimateInterests");
}

class TCFTest : public ::testing::Test {
 protected:
  void SetUp() override { reset(); }
  void TearDown() override {
    platform::UserDefaultsRegistry::resetForTesting();
    platform::Bundle::reset();
  }

  // A new "process" over a new data directory (case tables call it for every case).
  void reset() {
    platform::UserDefaultsRegistry::resetForTesting();
    dataDirectory_.reset();
    dataDirectory_ = std::make_unique<testsupport::ScopedDataDirectory>();
    platform::Bundle::reset();
  }

  std::unique_ptr<testsupport::ScopedDataDirectory> dataDirectory_;
};

}  // namespace tcftest
