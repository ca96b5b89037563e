#include <gtest/gtest.h>

#include "DirodaZovAridozovori/Store/APMPersistedConfig.h"
#include "Identity/APMIdentity.h"
#include "IdentityTestDoubles.h"
#include "TestSupport.h"

namespace {

TEST(APMIdentityRestart, IdentifiersSurviveARestartThroughThePersistedConfig) {
  testsupport::ScopedFakeClock clock;
  testsupport::TempDir dir;
  const std::string path = dir.path() + "/com.diroda.dmp.measurement";
  auto support = std::make_shared<identitytest::ScriptedSupport>();
  support->setDeviceID(std::string("6D92078A-8246-4BA4-AE5B-76104861E7DC"));
  auto switches = std::make_shared<identitytest::Switches>();

  std::optional<std::string> appInstanceID;
  std::string diversionKey;
  {
    auto config = std::make_shared<APMPersistedConfig>(path);
    auto identity = APMIdentity::initWithPersistedConfig(config, identitytest::environmentFor(support, switches));
    ASSERT_TRUE(identity);
    appInstanceID = identity->appInstanceID();
    diversionKey = identity->diversionKey();
    ASSERT_TRUE(appInstanceID.has_value());
    EXPECT_EQ(identity->hashedResettableDeviceID(), "f2d1311ca5c1ecb214c19a26e9ddbad0");
    ASSERT_TRUE(config->synchronizeToDisk());
  }

  // The next launch reads the same values from the file.
  auto config = std::make_shared<APMPersistedConfig>(path);
  EXPECT_EQ(config->appInstanceID(), appInstanceID);
  EXPECT_EQ(config->hashedResettableDeviceID(), "f2d1311ca5c1ecb214c19a26e9ddbad0");
  auto identity = APMIdentity::initWithPersistedConfig(config, identitytest::environmentFor(support, switches));
  EXPECT_EQ(identity->appInstanceID(), appInstanceID);
  EXPECT_EQ(identity->diversionKey(), diversionKey);

  // A reset advertising identifier between launches yields a new instance ID and the reset flag.
  support->setDeviceID(std::string("A1B2C3D4-0000-4000-8000-000000000001"));
  clock->advance(60);
  EXPECT_NE(identity->appInstanceID(), appInstanceID);
  EXPECT_TRUE(config->shouldSetLastAdvertisingIDResetUserProperty());
  EXPECT_EQ(config->hashedResettableDeviceID(), "e58c206d9fcd39280131c9737bfbaaa8");
  EXPECT_TRUE(config->synchronizeToDisk());
}

}  // namespace
