#include "AppDelegateSwizzler/DODOvaRudodazuVedevoro.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/Bundle.h"

namespace {

using Proxy = DODOvaRudodazuVedevoro;

class RecordingInterceptor : public NSApplicationDelegate {
 public:
  explicit RecordingInterceptor(bool handles = false) : handles_(handles) {}
  void applicationOpenURLs(const std::vector<std::string>& urls) override { opened.insert(opened.end(), urls.begin(), urls.end()); }
  bool applicationContinueUserActivity(const std::string& type, const std::string& url) override {
    activities.push_back(type + " " + url);
    return handles_;
  }
  void applicationDidReceiveRemoteNotification(const platform::Dictionary& info) override { notifications.push_back(info); }
  std::vector<std::string> opened;
  std::vector<std::string> activities;
  std::vector<platform::Dictionary> notifications;

 private:
  bool handles_;
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

// Either Info.plist switch turns the proxy off; a disabled proxy is never installed, so nothing is
// forwarded.
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
    auto interceptor = std::make_shared<RecordingInterceptor>();
    Proxy::registerAppDelegateInterceptor(interceptor);
    Proxy::proxyOriginalDelegate();
    EXPECT_EQ(Proxy::isProxyInstalled(), c.enabled);
    Proxy::forwardOpenURLs({"app://x"});
    EXPECT_EQ(interceptor->opened.size(), c.enabled ? 1u : 0u);
  }
}

TEST_F(AppDelegateProxyTest, CallbacksReachInterceptorsOnlyOnceTheProxyIsInstalled) {
  auto first = std::make_shared<RecordingInterceptor>();
  auto second = std::make_shared<RecordingInterceptor>(true);
  EXPECT_EQ(Proxy::registerAppDelegateInterceptor(first), Proxy::registerAppDelegateInterceptor(first));
  EXPECT_FALSE(Proxy::registerAppDelegateInterceptor(second).empty());
  EXPECT_EQ(Proxy::registerAppDelegateInterceptor(nullptr), "");

  Proxy::forwardOpenURLs({"app://before"});
  EXPECT_TRUE(first->opened.empty());

  Proxy::proxyOriginalDelegate();
  Proxy::forwardOpenURLs({"app://a", "app://b"});
  EXPECT_TRUE(Proxy::forwardContinueUserActivity("NSUserActivityTypeBrowsingWeb", "https://x.example/p"));
  Proxy::forwardDidReceiveRemoteNotification({{"k", 1}});
  for (auto* interceptor : {first.get(), second.get()}) {
    EXPECT_EQ(interceptor->opened, (std::vector<std::string>{"app://a", "app://b"}));
    EXPECT_EQ(interceptor->activities, (std::vector<std::string>{"NSUserActivityTypeBrowsingWeb https://x.example/p"}));
    ASSERT_EQ(interceptor->notifications.size(), 1u);
    EXPECT_EQ(interceptor->notifications[0].at("k").integerValue(), 1);
  }
  // No interceptor left that handles it: not handled.
  second.reset();
  EXPECT_FALSE(Proxy::forwardContinueUserActivity("other", ""));
}

TEST_F(AppDelegateProxyTest, InterceptorsAreHeldWeaklyAndCanBeUnregistered) {
  Proxy::proxyOriginalDelegate();
  auto kept = std::make_shared<RecordingInterceptor>();
  auto dropped = std::make_shared<RecordingInterceptor>();
  auto removed = std::make_shared<RecordingInterceptor>();
  Proxy::registerAppDelegateInterceptor(kept);
  Proxy::registerAppDelegateInterceptor(dropped);
  std::string removedID = Proxy::registerAppDelegateInterceptor(removed);
  std::weak_ptr<RecordingInterceptor> weak = dropped;
  dropped.reset();
  EXPECT_TRUE(weak.expired());
  Proxy::unregisterAppDelegateInterceptorWithID(removedID);
  Proxy::unregisterAppDelegateInterceptorWithID("not a number");
  EXPECT_EQ(Proxy::interceptorCount(), 1u);
  Proxy::forwardOpenURLs({"app://y"});
  EXPECT_EQ(kept->opened.size(), 1u);
  EXPECT_TRUE(removed->opened.empty());
}

TEST_F(AppDelegateProxyTest, ConcurrentRegistrationAndForwarding) {
  Proxy::proxyOriginalDelegate();
  struct Counter : NSApplicationDelegate {
    explicit Counter(std::atomic<int>& n) : count(n) {}
    void applicationOpenURLs(const std::vector<std::string>&) override { ++count; }
    std::atomic<int>& count;
  };
  std::atomic<int> opened{0};
  // Outlives every thread: another thread's forward may still be calling a temporary interceptor.
  std::atomic<int> ignored{0};
  auto stable = std::make_shared<Counter>(opened);
  Proxy::registerAppDelegateInterceptor(stable);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&ignored] {
      for (int i = 0; i < 200; ++i) {
        auto temporary = std::make_shared<Counter>(ignored);
        auto id = Proxy::registerAppDelegateInterceptor(temporary);
        Proxy::forwardOpenURLs({"app://z"});
        Proxy::unregisterAppDelegateInterceptorWithID(id);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(opened.load(), 800);
  EXPECT_EQ(Proxy::interceptorCount(), 1u);
}

}  // namespace
