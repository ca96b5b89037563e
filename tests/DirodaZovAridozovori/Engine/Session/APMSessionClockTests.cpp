// The session clock on its own: a fake clock moves time against the persisted last activity.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "APMMonitor.h"
#include "APMPersistedConfig.h"
#include "Session/APMSessionClock.h"
#include "TestSupport.h"

namespace {

constexpr double kStart = 1699956000.0;

class SessionClockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    APMPersistedConfig::resetSharedInstanceForTesting();
    APMMonitor::resetSharedForTesting();
    persisted_ = APMPersistedConfig::sharedInstance();
  }
  void TearDown() override {
    APMPersistedConfig::resetSharedInstanceForTesting();
    APMMonitor::resetSharedForTesting();
  }

  testsupport::ScopedDataDirectory dataDirectory_;
  testsupport::ScopedFakeClock clock_{kStart};
  std::shared_ptr<APMPersistedConfig> persisted_;
};

// A clock set back further than the timeout ends the session as surely as one moved on: the last
// activity cannot be trusted either way. An expired session is never extended.
TEST_F(SessionClockTest, SessionExpiresOnceTheClockMovesPastTheTimeoutEitherWay) {
  struct Case {
    double secondsSinceActivity;
    bool expired;
  } cases[] = {{0, false}, {60, false}, {60.5, true}, {-60, false}, {-61, true}};
  for (const auto& c : cases) {
    APMSessionClock clock(persisted_, [] { return 60.0; });
    const double activity = kStart - c.secondsSinceActivity;
    persisted_->session().setLastSessionActivityClockTime(activity);
    EXPECT_EQ(clock.isSessionExpired(), c.expired) << c.secondsSinceActivity;
    EXPECT_EQ(clock.extendSession(), !c.expired) << c.secondsSinceActivity;
    EXPECT_DOUBLE_EQ(persisted_->session().lastSessionActivityClockTime(), c.expired ? activity : kStart)
        << c.secondsSinceActivity;
  }
}

TEST_F(SessionClockTest, NegativeOrUnknownTimeoutIsStoredAsZero) {
  struct Case {
    double seconds;
    double stored;
  } cases[] = {{30, 30}, {0, 0}, {-5, 0}, {std::numeric_limits<double>::quiet_NaN(), 0}};
  for (const auto& c : cases) {
    APMSessionClock clock(persisted_, [] { return 1800.0; });
    clock.setTimeoutSessionInterval(c.seconds);
    EXPECT_EQ(clock.timeoutSessionInterval(), c.stored) << c.seconds;
  }
}

}  // namespace
