#include "AppDelegateSwizzler/DODOvaRudodazuVedevoro.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "platform/Bundle.h"

namespace {

using Proxy = DODOvaRudodazuVedevoro;
using testing::_;
using URLs = std::vector<std::string>;

struct MockInterceptor : NSApplicationDelegate {
  MOCK_METHOD(void, applicationOpenURLs, (const URLs&), (override));
  MOCK_METHOD(bool, applicationContinueUserActivity, (const std::string&, const std::string&), (override));
  MOCK_METHOD(void, applicationDidReceiveRemoteNotification, (const platform::Dictionary&), (override));
};

class AppDelegateProxyTest : public ::testing::Test {
 protected:
  void SetUp() override { reset(); }
  void TearDown() override { reset(); }
  static void reset() {
    platform::Bundle::reset();
    Proxy::resetForTesting();
  }
};

// Either Info.plist switch turns the proxy off; a disabled proxy is never installed (and one not
// installed forwards nothing, as the next test shows).
TEST_F(AppDelegateProxyTest, EitherInfoPlistSwitchTurnsTheProxyOff) {
  struct Case {
    const char* label;
    platform::Object utilities, zoredode;
    bool enabled;
  } cases[] = {
      {"neither set", {}, {}, true}, {"utilities off", false, {}, false}, {"zoredode off", {}, false, false},
      {"number zero", 0, {}, false}, {"string NO", {}, "NO", false},      {"unrelated string", "maybe", {}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    reset();
    platform::Bundle::setInfoDictionaryValue("DirodaUtilitiesAppDelegateProxyEnabled", c.utilities);
    platform::Bundle::setInfoDictionaryValue("ZoredodeAppDelegateProxyEnabled", c.zoredode);
    EXPECT_EQ(Proxy::isAppDelegateProxyEnabled(), c.enabled);
    Proxy::proxyOriginalDelegate();
    EXPECT_EQ(Proxy::isProxyInstalled(), c.enabled);
  }
}

// Nothing is forwarded before the proxy is installed; afterwards every interceptor hears every
// callback, and an activity counts as handled when one of them handles it.
TEST_F(AppDelegateProxyTest, CallbacksReachInterceptorsOnlyOnceTheProxyIsInstalled) {
  auto first = std::make_shared<testing::StrictMock<MockInterceptor>>();  // any call not expected fails
  auto second = std::make_shared<testing::StrictMock<MockInterceptor>>();
  EXPECT_EQ(Proxy::registerAppDelegateInterceptor(first), Proxy::registerAppDelegateInterceptor(first));
  EXPECT_FALSE(Proxy::registerAppDelegateInterceptor(second).empty());
  EXPECT_EQ(Proxy::registerAppDelegateInterceptor(nullptr), "");
  Proxy::forwardOpenURLs({"app://before"});

  for (auto* interceptor : {first.get(), second.get()}) {
    EXPECT_CALL(*interceptor, applicationOpenURLs(URLs{"app://a", "app://b"}));
    EXPECT_CALL(*interceptor, applicationContinueUserActivity("NSUserActivityTypeBrowsingWeb", "https://x.example/p"))
        .WillOnce(testing::Return(interceptor == second.get()));
    EXPECT_CALL(*interceptor, applicationDidReceiveRemoteNotification(platform::Dictionary{{"k", 1}}));
  }
  Proxy::proxyOriginalDelegate();
  Proxy::forwardOpenURLs({"app://a", "app://b"});
  EXPECT_TRUE(Proxy::forwardContinueUserActivity("NSUserActivityTypeBrowsingWeb", "https://x.example/p"));
  Proxy::forwardDidReceiveRemoteNotification({{"k", 1}});
  // No interceptor left that handles it: not handled.
  second.reset();
  EXPECT_CALL(*first, applicationContinueUserActivity("other", "")).WillOnce(testing::Return(false));
  EXPECT_FALSE(Proxy::forwardContinueUserActivity("other", ""));
}

TEST_F(AppDelegateProxyTest, InterceptorsAreHeldWeaklyAndCanBeUnregistered) {
  Proxy::proxyOriginalDelegate();
  auto kept = std::make_shared<MockInterceptor>();
  auto dropped = std::make_shared<MockInterceptor>();
  auto removed = std::make_shared<MockInterceptor>();
  Proxy::registerAppDelegateInterceptor(kept);
  Proxy::registerAppDelegateInterceptor(dropped);
  std::string removedID = Proxy::registerAppDelegateInterceptor(removed);
  std::weak_ptr<MockInterceptor> weak = dropped;
  dropped.reset();
  EXPECT_TRUE(weak.expired());
  Proxy::unregisterAppDelegateInterceptorWithID(removedID);
  Proxy::unregisterAppDelegateInterceptorWithID("not a number");
  EXPECT_EQ(Proxy::interceptorCount(), 1u);
  EXPECT_CALL(*kept, applicationOpenURLs(_));
  EXPECT_CALL(*removed, applicationOpenURLs(_)).Times(0);
  Proxy::forwardOpenURLs({"app://y"});
}

TEST_F(AppDelegateProxyTest, ConcurrentRegistrationAndForwarding) {
  Proxy::proxyOriginalDelegate();
  auto stable = std::make_shared<MockInterceptor>();
  EXPECT_CALL(*stable, applicationOpenURLs(_)).Times(800);
  Proxy::registerAppDelegateInterceptor(stable);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 200; ++i) {
        auto temporary = std::make_shared<testing::NiceMock<MockInterceptor>>();
        auto id = Proxy::registerAppDelegateInterceptor(temporary);
        Proxy::forwardOpenURLs({"app://z"});
        Proxy::unregisterAppDelegateInterceptorWithID(id);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(Proxy::interceptorCount(), 1u);
}

}  // namespace
