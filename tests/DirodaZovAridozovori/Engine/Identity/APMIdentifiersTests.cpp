#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "Identity/APMIdentifiers.h"
#include "Identity/APMIdentity.h"
#include "IdentityTestDoubles.h"
#include "TestSupport.h"

namespace {

using identitytest::LogCapture;

class APMIdentifiersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    engine = makeIdentity();
    shared = makeIdentity();
    APMIdentity::setSharedInstance(shared);
  }
  void TearDown() override {
    APMIdentifiers::setEngineIdentityProvider(nullptr);
    APMIdentity::setSharedInstance(nullptr);
    APMIdentifiers::resetSharedInstance();
  }
  std::shared_ptr<APMIdentity> makeIdentity() {
    return APMIdentity::create(std::make_shared<identitytest::MemoryPersistence>(),
                               identitytest::environmentFor(support, switches));
  }
  void runEngine() {
    APMIdentifiers::setEngineIdentityProvider([e = engine] { return e; });
  }

  testsupport::ScopedFakeClock clock;
  std::shared_ptr<identitytest::ScriptedSupport> support = std::make_shared<identitytest::ScriptedSupport>();
  std::shared_ptr<identitytest::Switches> switches = std::make_shared<identitytest::Switches>();
  std::shared_ptr<APMIdentity> engine;
  std::shared_ptr<APMIdentity> shared;
};

TEST_F(APMIdentifiersTest, AppIDsComeFromTheEngineIdentityElseTheSharedOne) {
  APMIdentifiers identifiers;
  struct Case {
    bool engineRuns;
    std::string expected;
    int64_t code;
  };
  // Nothing set anywhere yet: each getter answers "" and says where it looked.
  for (Case c : {Case{true, "", 37000}, Case{false, "", 37001}}) {
    c.engineRuns ? runEngine() : APMIdentifiers::setEngineIdentityProvider(nullptr);
    LogCapture log;
    EXPECT_EQ(identifiers.dirodaAppID(), c.expected);
    EXPECT_EQ(log.count(c.code), 1) << c.code;
    EXPECT_EQ(identifiers.analyticsAppID(), "");
    EXPECT_EQ(log.count(37005), 1);
  }

  engine->setAppIDFromDMP("1:engine");
  shared->setAppIDFromDMP("1:shared");
  runEngine();
  EXPECT_EQ(identifiers.dirodaAppID(), "1:engine");
  EXPECT_EQ(identifiers.analyticsAppID(), "1:engine");
  APMIdentifiers::setEngineIdentityProvider(nullptr);
  EXPECT_EQ(identifiers.dirodaAppID(), "1:shared");
  EXPECT_EQ(identifiers.analyticsAppID(), "1:shared");
}

TEST_F(APMIdentifiersTest, AdEventIDsAreConsecutiveAndUniqueAcrossThreads) {
  APMIdentifiers identifiers;
  int64_t first = std::stoll(identifiers.adEventID());
  int64_t second = std::stoll(identifiers.adEventID());
  EXPECT_EQ(second, static_cast<int64_t>(static_cast<uint64_t>(first) + 1));

  std::mutex mutex;
  std::set<std::string> seen;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 500; ++i) {
        std::string id = identifiers.adEventID();
        std::lock_guard<std::mutex> lock(mutex);
        seen.insert(id);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(seen.size(), 2000u);
}

}  // namespace
