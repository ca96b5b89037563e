#include <gtest/gtest.h>

#include <any>
#include <condition_variable>

#include "Identity/APMDefaultIdentitySupport.h"
#include "Identity/APMPlatformIdentitySupport.h"
#include "IdentityTestDoubles.h"
#include "TestSupport.h"
#include "platform/ClassRegistry.h"

namespace {

using identitytest::LogCapture;

class FakeTrackingManager final : public APMTrackingManaging {
 public:
  std::optional<int64_t> trackingAuthorizationStatus() override { return status; }
  std::optional<int64_t> status;
};

// While held, advertisingIdentifier() waits, so a test can hold the platform's answer back.
class FakeAdvertisingManager final : public APMAdvertisingIdentifierManaging {
 public:
  std::optional<bool> isAdvertisingTrackingEnabled() override { return trackingEnabled; }
  std::optional<std::string> advertisingIdentifier() override {
    std::unique_lock<std::mutex> lock(mutex);
    released.wait(lock, [&] { return !held; });
    ++answers;
    return identifier;
  }
  void setIdentifier(std::optional<std::string> id, bool hold = false) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      identifier = std::move(id);
      held = hold;
    }
    released.notify_all();
  }

  std::optional<bool> trackingEnabled;
  std::atomic<int> answers{0};

 private:
  std::mutex mutex;
  std::condition_variable released;
  bool held = false;
  std::optional<std::string> identifier;
};

class IdentitySupportTest : public ::testing::Test {
 protected:
  void SetUp() override { resetAll(); }
  void TearDown() override {
    advertising->setIdentifier(std::nullopt);  // releases a held answer
    resetAll();
  }
  static void resetAll() {
    platform::ClassRegistry::reset();
    APMPlatformIdentitySupport::resetSharedInstance();
    APMDefaultIdentitySupport::resetSharedInstance();
  }
  void registerTracking() {
    platform::ClassRegistry::registerClass(APMPlatformIdentitySupport::kTrackingManagerClassName,
                                           [t = tracking] { return std::any(std::static_pointer_cast<APMTrackingManaging>(t)); });
  }
  void registerAdvertising() {
    platform::ClassRegistry::registerClass(
        APMPlatformIdentitySupport::kIdentifierManagerClassName,
        [a = advertising] { return std::any(std::static_pointer_cast<APMAdvertisingIdentifierManaging>(a)); });
  }

  std::shared_ptr<FakeTrackingManager> tracking = std::make_shared<FakeTrackingManager>();
  std::shared_ptr<FakeAdvertisingManager> advertising = std::make_shared<FakeAdvertisingManager>();
};

TEST_F(IdentitySupportTest, PlatformSupportAnswersFromTheRegisteredClasses) {
  APMPlatformIdentitySupport absent;
  EXPECT_FALSE(absent.hasAppDataConsentStatus());
  EXPECT_EQ(absent.appDataConsentStatus(), -1);
  EXPECT_FALSE(absent.hasLimitedAdTracking());
  EXPECT_FALSE(absent.limitedAdTracking());
  EXPECT_FALSE(absent.resettableDeviceID().has_value());

  registerTracking();
  registerAdvertising();
  APMPlatformIdentitySupport present;
  EXPECT_TRUE(present.hasAppDataConsentStatus());
  EXPECT_EQ(present.appDataConsentStatus(), -1) << "a status that cannot be read";
  tracking->status = 2;
  EXPECT_EQ(present.appDataConsentStatus(), 2);

  struct Case {
    std::optional<bool> trackingEnabled;
    bool limited;
  };
  for (Case c : {Case{true, false}, Case{false, true}, Case{std::nullopt, false}}) {
    advertising->trackingEnabled = c.trackingEnabled;
    EXPECT_EQ(present.limitedAdTracking(), c.limited);
  }
  advertising->setIdentifier("6D92078A-8246-4BA4-AE5B-76104861E7DC");
  EXPECT_EQ(present.resettableDeviceID(), "6D92078A-8246-4BA4-AE5B-76104861E7DC");
}

TEST_F(IdentitySupportTest, ClassesOfAnotherShapeCountAsAbsent) {
  platform::ClassRegistry::registerClass(APMPlatformIdentitySupport::kTrackingManagerClassName,
                                         [] { return std::any(42); });
  platform::ClassRegistry::registerClass(APMPlatformIdentitySupport::kIdentifierManagerClassName);
  APMPlatformIdentitySupport support;
  EXPECT_FALSE(support.hasAppDataConsentStatus());
  EXPECT_FALSE(support.hasLimitedAdTracking());
}

TEST_F(IdentitySupportTest, DefaultSupportReportsWhatIsLinked) {
  struct Case {
    bool platformSupport;
    bool advertisingManager;
    std::vector<std::pair<int, int64_t>> logged;  // level, code
  };
  const Case cases[] = {
      {false, false, {{4, 44003}}},
      {false, true, {{4, 44003}}},
      {true, false, {{7, 44000}, {4, 44002}}},
      {true, true, {{7, 44000}, {7, 44001}}},
  };
  for (const Case& c : cases) {
    resetAll();
    if (c.advertisingManager) registerAdvertising();
    if (c.platformSupport) APMPlatformIdentitySupport::registerClass();
    LogCapture log;
    APMDefaultIdentitySupport support;
    EXPECT_EQ(support.hasPlatformSupport(), c.platformSupport);
    std::vector<std::pair<int, int64_t>> logged;
    for (const auto& entry : log.entries()) logged.emplace_back(entry.level, entry.code);
    EXPECT_EQ(logged, c.logged) << c.platformSupport << c.advertisingManager;
    if (auto notLinked = log.find(44003)) {
      EXPECT_EQ(notLinked->message,
                "DirodaZovAridozovoriIdentitySupport dependency is not currently linked. IDFA will not be accessible.");
      // Without platform support the answers say nothing is known and tracking is limited.
      EXPECT_FALSE(support.hasAppDataConsentStatus());
      EXPECT_EQ(support.appDataConsentStatus(), -1);
      EXPECT_FALSE(support.hasLimitedAdTracking());
      EXPECT_TRUE(support.limitedAdTracking());
      EXPECT_FALSE(support.resettableDeviceID().has_value());
    }
    if (auto noAdSupport = log.find(44002)) {
      EXPECT_EQ(noAdSupport->message.rfind(
                    "The AdSupport Framework is not currently linked. Some features will not function properly. "
                    "Learn more at ",
                    0),
                0u);
    }
  }
}

TEST_F(IdentitySupportTest, DefaultSupportForwardsAndDerivesLimitedAdTracking) {
  registerTracking();
  registerAdvertising();
  APMPlatformIdentitySupport::registerClass();
  APMDefaultIdentitySupport support;
  tracking->status = 3;
  EXPECT_TRUE(support.hasAppDataConsentStatus());
  EXPECT_EQ(support.appDataConsentStatus(), 3);
  EXPECT_TRUE(support.hasLimitedAdTracking());

  struct Case {
    std::optional<std::string> identifier;
    bool limited;
  };
  const Case cases[] = {
      {std::nullopt, true},
      {"00000000-0000-0000-0000-000000000000", true},
      {"6D92078A-8246-4BA4-AE5B-76104861E7DC", false},
  };
  for (const Case& c : cases) {
    advertising->setIdentifier(c.identifier);
    // The platform's answer may arrive after the short wait; it shows on a later call.
    EXPECT_TRUE(testsupport::waitFor([&] { return support.resettableDeviceID() == c.identifier; }));
    EXPECT_EQ(support.limitedAdTracking(), c.limited) << c.identifier.value_or("(none)");
  }
}

TEST_F(IdentitySupportTest, SlowPlatformAnswerShowsOnALaterCall) {
  registerAdvertising();
  APMPlatformIdentitySupport::registerClass();
  APMDefaultIdentitySupport support;
  advertising->setIdentifier("6D92078A-8246-4BA4-AE5B-76104861E7DC", true);
  // The platform is stuck: the call returns anyway, with the last answer kept (none yet).
  EXPECT_FALSE(support.resettableDeviceID().has_value());
  advertising->setIdentifier("6D92078A-8246-4BA4-AE5B-76104861E7DC");
  EXPECT_TRUE(testsupport::waitFor([&] { return advertising->answers >= 1; }));
  EXPECT_TRUE(testsupport::waitFor(
      [&] { return support.resettableDeviceID() == std::optional<std::string>("6D92078A-8246-4BA4-AE5B-76104861E7DC"); }));
}

}  // namespace
