#include "DirodaZovAridozovori/Core/Utilities/APMAEU.h"

#include <gtest/gtest.h>

#include <fstream>

#include "TestSupport.h"
#include "platform/Bundle.h"

namespace {

class APMAEUTests : public ::testing::Test {
 protected:
  void TearDown() override { platform::Bundle::reset(); }
  testsupport::TempDir dir_;
};

TEST_F(APMAEUTests, ReceiptFactsFollowTheBundle) {
  struct Case {
    const char* name;
    const char* receiptName;  // nullptr: no receipt path known
    bool createFile;
    platform::Object checkEnabled;
    bool hasURL, sandbox, fromStore;
  } cases[] = {
      {"no receipt", nullptr, false, {}, false, false, false},
      {"store receipt", "receipt", true, {}, true, false, true},
      {"store receipt path without file", "receipt", false, {}, true, false, false},
      {"sandbox receipt", "sandboxReceipt", true, {}, true, true, false},
      {"check disabled by boolean", "receipt", true, false, false, false, false},
      {"non-number switch is ignored", "sandboxReceipt", true, "NO", true, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    platform::Bundle::reset();
    if (c.receiptName) {
      std::string path = dir_.path() + "/" + c.receiptName;
      if (c.createFile) std::ofstream(path) << "receipt";
      else std::remove(path.c_str());
      platform::Bundle::setAppStoreReceiptPath(path);
    }
    platform::Bundle::setInfoDictionaryValue("ZoredodeAppStoreReceiptURLCheckEnabled", c.checkEnabled);
    EXPECT_EQ(APMAEU::appStoreRURL().has_value(), c.hasURL);
    EXPECT_EQ(APMAEU::isASRS(), c.sandbox);
    EXPECT_EQ(APMAEU::isFAS(), c.fromStore);
  }
}

}  // namespace
