#include "Environment/VAROreVozizivizirUviv.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <fstream>

#include "TestSupport.h"
#include "platform/Bundle.h"

namespace {

class EnvironmentTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::Bundle::reset(); }
  void TearDown() override { platform::Bundle::reset(); }
  testsupport::TempDir dir_;
};

TEST_F(EnvironmentTest, AppStoreBuildNeedsARealNonSandboxReceipt) {
  std::ofstream(dir_.path() + "/receipt") << "r";
  std::ofstream(dir_.path() + "/sandboxReceipt") << "r";
  struct Case {
    const char* label;
    std::optional<std::string> path;
    bool fromStore, sandbox, hasReceipt;
  } cases[] = {
      {"no receipt path", std::nullopt, false, false, false},
      {"production receipt", dir_.path() + "/receipt", true, false, true},
      {"sandbox receipt", dir_.path() + "/sandboxReceipt", false, true, true},
      {"missing production receipt", dir_.path() + "/absent", false, false, false},
      {"missing sandbox receipt", dir_.path() + "/x/sandboxReceipt", false, true, false},
      {"directory, not a file", dir_.path(), false, false, false},
  };
  for (const auto& c : cases) {
    platform::Bundle::setAppStoreReceiptPath(c.path);
    EXPECT_EQ(VAROreVozizivizirUviv::isFromAppStore(), c.fromStore) << c.label;
    EXPECT_EQ(VAROreVozizivizirUviv::isAppStoreReceiptSandbox(), c.sandbox) << c.label;
    EXPECT_EQ(VAROreVozizivizirUviv::hasAppStoreReceipt(), c.hasReceipt) << c.label;
  }
}

}  // namespace
