#include "Environment/VAROreVozizivizirUviv.h"

#include <gtest/gtest.h>

#include <fstream>
#include <tuple>

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
  const std::tuple<const char*, std::optional<std::string>, bool> cases[] = {
      {"no receipt path", std::nullopt, false},
      {"production receipt", dir_.path() + "/receipt", true},
      {"sandbox receipt", dir_.path() + "/sandboxReceipt", false},
      {"missing production receipt", dir_.path() + "/absent", false},
      {"directory, not a file", dir_.path(), false},
  };
  for (const auto& [label, path, fromStore] : cases) {
    platform::Bundle::setAppStoreReceiptPath(path);
    EXPECT_EQ(VAROreVozizivizirUviv::isFromAppStore(), fromStore) << label;
  }
}

}  // namespace
