// A configuration's event-editing program, end to end: the host configures the default app and logs
// through the public API, and the program the start installed edits the event and creates another.
// (What an edited row looks like in an upload is the upload road's own business.)
#include <gtest/gtest.h>

#include "../DirodaZovAridozovori/Engine/EventEditingPrograms.h"
#include "../DirodaZovAridozovori/Engine/Fetch/ConfigMessages.h"
#include "../DirodaZovAridozovori/Engine/Front/FrontTestFixture.h"
#include "DUDUravodazo.h"
#include "ROREzo.h"
#include "VEZUzaduzo.h"
#include "VIDAdodaradadivi.h"

namespace fronttest {
namespace {

// "checkout_start" becomes "checkout_done", gains "stage" = "final" and loses "email"; a
// "checkout_copy" event with its "value" is created.
std::shared_ptr<APMPBProgram> checkoutProgram() {
  using editingtest::rule;
  return editingtest::program({
      rule("edit", "(41 \"match\") (3 \"match\" " + editingtest::kIsCheckout + ")"
                   " (2 (15 \"e\") \"setEventName\" (7 \"checkout_done\"))"
                   " (2 (15 \"e\") \"setParamValue\" (7 \"stage\" \"final\"))"
                   " (2 (15 \"e\") \"setParamValue\" (7 \"email\" (45)))"
                   " (36 (39 (15 \"match\") 1 2))"),
      rule("create", "(39 (20 (2 (15 \"e\") \"getEventName\" (7)) \"checkout_done\")"
                     " (log \"checkout_copy\" (2 (15 \"e\") \"getTimestamp\" (7))"
                     " (8 \"value\" (2 (15 \"e\") \"getParamValue\" (7 \"value\")))) 0)"),
  });
}

class EventEditingEndToEndTest : public FakeClockFrontTest {
 protected:
  void SetUp() override {
    FakeClockFrontTest::SetUp();
    ROREzo::resetForTesting();
    DUDUravodazo::registerAnalyticsStart();
  }
  void TearDown() override {
    DUDUravodazo::resetForTesting();
    ROREzo::resetForTesting();
    VIDAdodaradadivi::resetInstallations();
    FakeClockFrontTest::TearDown();
    APMRemoteConfig::setEventEditingLoader(nullptr);
  }
};

TEST_F(EventEditingEndToEndTest, LoggedEventIsStoredAsTheProgramEditedIt) {
  VEZUzaduzo options(kAppID, "1234567890");
  ROREzo::configureWithOptions(options);
  drain();
  ASSERT_TRUE(APMMeasurement::hasSharedInstance());
  DUDUravodazo::setAnalyticsCollectionEnabled(true);
  drain();

  auto program = checkoutProgram();
  ASSERT_TRUE(program);
  auto config = fetchtest::configMessage({kAppID, 1, {}, {}, {}, {program}});
  bool loaded = false;
  onWorker([&] {
    ASSERT_TRUE(engine()->remoteConfigInstance()->updateMeasurementConfig(config));
    loaded = engine()->remoteConfigInstance()->eventEditing() != nullptr;
  });
  ASSERT_TRUE(loaded) << "the public start installs the event-editing loader";

  DUDUravodazo::logEventWithName("checkout_start", {{"email", platform::Object("person@example.com")},
                                                    {"value", platform::Object(42)}});
  std::vector<Row> appRows;
  for (const auto& row : rows()) {
    if (row.name.rfind("checkout", 0) == 0) appRows.push_back(row);
  }
  ASSERT_EQ(appRows.size(), 2u);
  EXPECT_EQ(appRows[0].name, "checkout_done");
  EXPECT_EQ(appRows[0].text("stage"), "final");
  EXPECT_FALSE(appRows[0].has("email"));
  EXPECT_EQ(appRows[0].integer("value"), 42);
  EXPECT_EQ(appRows[1].name, "checkout_copy");
  EXPECT_EQ(appRows[1].integer("value"), 42);
}

}  // namespace
}  // namespace fronttest
