#include <gtest/gtest.h>

#include <any>
#include <memory>
#include <string>

#include "platform/AttributionTokenProvider.h"
#include "platform/ClassRegistry.h"
#include "platform/ConversionService.h"
#include "platform/PrivateSetMembershipClient.h"
#include "platform/StoreProductsProvider.h"

namespace {

using platform::ClassRegistry;

struct FakeAttribution final : platform::AttributionTokenProvider {
  std::optional<std::string> attributionTokenWithError(platform::Error*) override { return "token"; }
};

struct FakeStore final : platform::StoreProductsProvider {
  void requestProducts(const std::set<std::string>&, Completion completion) override { completion({}, {}, std::nullopt); }
};

struct FakePSMClass final : platform::PrivateSetMembershipClientClass {
  bool supports(platform::PrivateSetMembershipIdentifier) const override { return false; }
  std::shared_ptr<platform::PrivateSetMembershipClient> client(platform::PrivateSetMembershipIdentifier, const std::string&,
                                                               const std::string&, int64_t) override {
    return nullptr;
  }
};

struct FakeConversionService final : platform::ConversionService {
  void setFirstLaunchTime(std::optional<platform::Date>) override {}
  void fetchMeasurementInfoForInteraction(int64_t, Completion completion) override { completion(std::nullopt, std::nullopt); }
  std::string versionString() const override { return "1"; }
  int64_t versionNumber() const override { return 1; }
};

class ProviderTests : public ::testing::Test {
 protected:
  void SetUp() override { ClassRegistry::reset(); }
  void TearDown() override { ClassRegistry::reset(); }
};

// Absent until registered under the class name the SDK looks for; absent again once unregistered.
template <typename Interface, typename Fake>
void expectAbsentUntilRegistered(const char* className) {
  SCOPED_TRACE(className);
  EXPECT_EQ(Interface::lookUp(), nullptr);
  EXPECT_FALSE(Interface::isLinked());

  auto fake = std::make_shared<Fake>();
  Interface::registerProvider(fake);
  EXPECT_TRUE(ClassRegistry::exists(className));
  EXPECT_TRUE(Interface::isLinked());
  EXPECT_EQ(Interface::lookUp(), fake);
  EXPECT_EQ(ClassRegistry::instance<Interface>(className), fake);

  Interface::unregisterProvider();
  EXPECT_EQ(Interface::lookUp(), nullptr);
  EXPECT_FALSE(ClassRegistry::exists(className));
}

TEST_F(ProviderTests, EachServiceIsAbsentByDefaultAndPresentOnceRegistered) {
  expectAbsentUntilRegistered<platform::AttributionTokenProvider, FakeAttribution>("AAAttribution");
  expectAbsentUntilRegistered<platform::StoreProductsProvider, FakeStore>("SKProductsRequest");
  expectAbsentUntilRegistered<platform::PrivateSetMembershipClientClass, FakePSMClass>("APMPrivateSetMembershipClient");
  expectAbsentUntilRegistered<platform::ConversionService, FakeConversionService>("ODCConversionService");
}

TEST_F(ProviderTests, AClassWithoutTheInterfaceIsLinkedButUnusable) {
  ClassRegistry::registerClass("ODCConversionService", [] { return std::any(42); });
  EXPECT_TRUE(platform::ConversionService::isLinked());
  EXPECT_EQ(platform::ConversionService::lookUp(), nullptr);

  ClassRegistry::registerClass("AAAttribution");
  EXPECT_EQ(platform::AttributionTokenProvider::lookUp(), nullptr);

  // A product registered under the implementation's own type is not the interface.
  ClassRegistry::registerClass("SKProductsRequest", [] { return std::any(std::make_shared<FakeStore>()); });
  EXPECT_EQ(platform::StoreProductsProvider::lookUp(), nullptr);

  platform::StoreProductsProvider::registerProvider(nullptr);
  EXPECT_TRUE(platform::StoreProductsProvider::isLinked());
  EXPECT_EQ(platform::StoreProductsProvider::lookUp(), nullptr);
}

TEST_F(ProviderTests, TheMembershipClientIsAlsoFoundUnderItsOlderName) {
  using platform::PrivateSetMembershipClientClass;
  auto older = std::make_shared<FakePSMClass>();
  ClassRegistry::registerInstance<PrivateSetMembershipClientClass>("ODCPrivateSetMembershipClient", older);
  EXPECT_EQ(PrivateSetMembershipClientClass::lookUp(), older);
  EXPECT_FALSE(PrivateSetMembershipClientClass::isLinked());

  auto current = std::make_shared<FakePSMClass>();
  PrivateSetMembershipClientClass::registerProvider(current);
  EXPECT_EQ(PrivateSetMembershipClientClass::lookUp(), current);
}

}  // namespace
