#include "AppDelegateSwizzler/DODOvaRudodazuVedevoro.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/Bundle.h"

namespace {

class RecordingInterceptor : public NSApplicationDelegate {
 public:
  explicit RecordingInterceptor(bool handles = false) : handles_(handles) {}
  void applicationOpenURLs(const std::vector<std::string>& urls) override { opened.insert(opened.end(), urls.begin(), urls.end()); }
  bool applicationContinueUserActivity(const std::string& type, const std::string& url) override {
    activities.push_back(type + " " + url);
    return handles_;
  }
  void applicationDidReceiveRemoteNotification(const platform::Dictionary& info) override {
    notifications.push_back(info);
  }
  std::vector<std::string> opened;
  std::vector<std::string> activities;
  std::vector<platform::Dictionary> notifications;

 private:
  bool handles_;
};

class AppDelegateProxyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::Bundle::reset();
    DODOvaRudodazuVedevoro::resetForTesting();
  }
  void TearDown() override {
    platform::Bundle::reset();
    DODOvaRudodazuVedevoro::resetForTesting();
  }
};

TEST_F(AppDelegateProxyTest, EitherInfoPlistSwitchTurnsTheProxyOff) {
  struct Case {
    const char* label;
    platform::Object utilities;
    platform::Object zoredode;
    bool enabled;
  } cases[] = {
      {"neither set", {}, {}, true},
      {"utilities off", false, {}, false},
      {"zoredode off", {}, false, false},
      {"number zero", 0, {}, false},
      {"string NO", {}, "NO", false},
      {"unrelated string", "maybe", {}, true},
  };
  for (const auto& c : cases) {
    platform::Bundle::reset();
    platform::Bundle::setInfoDictionaryValue("DirodaUtilitiesAppDelegateProxyEnabled", c.utilities);
    platform::Bundle::setInfoDictionaryValue("ZoredodeAppDelegateProxyEnabled", c.zoredode);
    EXPECT_EQ(DODOvaRudodazuVedevoro::isAppDelegateProxyEnabled(), c.enabled) << c.label;
  }
}

TEST_F(AppDelegateProxyTest, CallbacksReachInterceptorsOnlyOnceTheProxyIsInstalled) {
  auto first = std::make_shared<RecordingInterceptor>();
  auto second = std::make_shared<RecordingInterceptor>(true);
  EXPECT_EQ(DODOvaRudodazuVedevoro::registerAppDelegateInterceptor(first),
            DODOvaRudodazuVedevoro::registerAppDelegateInterceptor(first));
  EXPECT_FALSE(DODOvaRudodazuVedevoro::registerAppDelegateInterceptor(second).empty());
  EXPECT_EQ(DODOvaRudodazuVedevoro::registerAppDelegateInterceptor(nullptr), "");

  DODOvaRudodazuVedevoro::forwardOpenURLs({"app://before"});
  EXPECT_TRUE(first->opened.empty());

  DODOvaRudodazuVedevoro::proxyOriginalDelegate();
  DODOvaRudodazuVedevoro::forwardOpenURLs({"app://a", "app://b"});
  EXPECT_TRUE(DODOvaRudodazuVedevoro::forwardContinueUserActivity("NSUserActivityTypeBrowsingWeb", "https://x.example/p"));
  DODOvaRudodazuVedevoro::forwardDidReceiveRemoteNotification({{"k", 1}});

  for (auto* interceptor : {first.get(), second.get()}) {
    EXPECT_EQ(interceptor->opened, (std::vector<std::string>{"app://a", "app://b"}));
    EXPECT_EQ(interceptor->activities, (std::vector<std::string>{"NSUserActivityTypeBrowsingWeb https://x.example/p"}));
    ASSERT_EQ(interceptor->notifications.size(), 1u);
    EXPECT_EQ(interceptor->notifications[0].at("k").integerValue(), 1);
  }
  // No interceptor that handles it: not handled.
  second.reset();
  EXPECT_FALSE(DODOvaRudodazuVedevoro::forwardContinueUserActivity("other", ""));
}

TEST_F(AppDelegateProxyTest, DisabledProxyIsNeverInstalled) {
  platform::Bundle::setInfoDictionaryValue("ZoredodeAppDelegateProxyEnabled", false);
  auto interceptor = std::make_shared<RecordingInterceptor>();
  DODOvaRudodazuVedevoro::registerAppDelegateInterceptor(interceptor);
  DODOvaRudodazuVedevoro::proxyOriginalDelegate();
  EXPECT_FALSE(DODOvaRudodazuVedevoro::isProxyInstalled());
  DODOvaRudodazuVedevoro::forwardOpenURLs({"app://x"});
  EXPECT_TRUE(interceptor->opened.empty());
}

TEST_F(AppDelegateProxyTest, InterceptorsAreHeldWeaklyAndCanBeUnregistered) {
  DODOvaRudodazuVedevoro::proxyOriginalDelegate();
  auto kept = std::make_shared<RecordingInterceptor>();
  auto dropped = std::make_shared<RecordingInterceptor>();
  auto removed = std::make_shared<RecordingInterceptor>();
  DODOvaRudodazuVedevoro::registerAppDelegateInterceptor(kept);
  DODOvaRudodazuVedevoro::registerAppDelegateInterceptor(dropped);
  std::string removedID = DODOvaRudodazuVedevoro::registerAppDelegateInterceptor(removed);
  std::weak_ptr<RecordingInterceptor> weak = dropped;
  dropped.reset();
  EXPECT_TRUE(weak.expired());
  DODOvaRudodazuVedevoro::unregisterAppDelegateInterceptorWithID(removedID);
  DODOvaRudodazuVedevoro::unregisterAppDelegateInterceptorWithID("not a number");
  EXPECT_EQ(DODOvaRudodazuVedevoro::interceptorCount(), 1u);
  DODOvaRudodazuVedevoro::forwardOpenURLs({"app://y"});
  EXPECT_EQ(kept->opened.size(), 1u);
  EXPECT_TRUE(removed->opened.empty());
}

TEST_F(AppDelegateProxyTest, ConcurrentRegistrationAndForwarding) {
  DODOvaRudodazuVedevoro::proxyOriginalDelegate();
  std::atomic<int> opened{0};
  struct Counter : NSApplicationDelegate {
    explicit Counter(std::atomic<int>& n) : count(n) {}
    void applicationOpenURLs(const std::vector<std::string>&) override { ++count; }
    std::atomic<int>& count;
  };
  auto stable = std::make_shared<Counter>(opened);
  DODOvaRudodazuVedevoro::registerAppDelegateInterceptor(stable);
  // Outlives every thread: another thread's forward may still be calling a temporary interceptor.
  std::atomic<int> ignored{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&ignored] {
      for (int i = 0; i < 200; ++i) {
        auto temporary = std::make_shared<Counter>(ignored);
        auto id = DODOvaRudodazuVedevoro::registerAppDelegateInterceptor(temporary);
        DODOvaRudodazuVedevoro::forwardOpenURLs({"app://z"});
        DODOvaRudodazuVedevoro::unregisterAppDelegateInterceptorWithID(id);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(opened.load(), 800);
  EXPECT_EQ(DODOvaRudodazuVedevoro::interceptorCount(), 1u);
}

}  // namespace
