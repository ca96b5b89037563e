// The configuration's event-editing program on the engine's event road: what gets stored.

#include <gtest/gtest.h>

#include "APMEventEditingHost.h"
#include "APMNanoAccessors.h"
#include "APMPBMessages.h"
#include "EngineTestFixture.h"
#include "EventEditingPrograms.h"
#include "Fetch/ConfigMessages.h"

namespace enginetest {
namespace {

using editingtest::kIsCheckout;
using editingtest::program;
using editingtest::rule;

class EventEditingHostTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    APMSetEngineComponentEditorForTesting([](APMEngineComponentList) {
      return APMEngineComponentList{std::make_shared<APMEventEditingComponent>()};
    });
  }
  void TearDown() override {
    EngineTest::TearDown();
    APMRemoteConfigPrograms::setEventEditingLoader(nullptr);
  }

  void applyProgram(const std::shared_ptr<APMPBProgram>& program, const std::map<std::string, std::string>& settings,
                    bool* loaded) {
    ASSERT_TRUE(program);
    auto config = fetchtest::configMessage({kAppID, 1, {settings.begin(), settings.end()}, {}, {}, {program}});
    onWorker([&] {
      engine().remoteConfigInstance()->updateMeasurementConfig(config);
      *loaded = engine().remoteConfigInstance()->programs().eventEditing() != nullptr;
    });
  }
};

TEST_F(EventEditingHostTest, StoresTheEditedEventAndTheCreatedOne) {
  start();
  bool loaded = false;
  applyProgram(program({
                   rule("edit",
                        "(41 \"match\") (3 \"match\" " + kIsCheckout + ")"
                        " (2 (15 \"e\") \"setEventName\" (7 \"checkout_done\"))"
                        " (2 (15 \"e\") \"setParamValue\" (7 \"email\" (45)))"
                        " (36 (39 (15 \"match\") 1 2))"),
                   // Create callbacks run after the edits: they see the edited name.
                   rule("create",
                        "(39 (20 (2 (15 \"e\") \"getEventName\" (7)) \"checkout_done\")"
                            " (log (0 \"checkout\" (2 (15 \"config\") \"getValue\" (7 \"measurement.copy_suffix\" \"?\")))"
                            " (2 (15 \"e\") \"getTimestamp\" (7)) (8 \"value\" (2 (15 \"e\") \"getParamValue\" (7 \"value\"))))"
                            " 0)"),
               }),
               {{"measurement.copy_suffix", "_copy"}}, &loaded);
  ASSERT_TRUE(loaded);
  logPublic("checkout_start", {{"email", "person@example.com"}, {"value", 42}});
  logPublic("other_event", {{"email", "kept@example.com"}});

  EXPECT_TRUE(rowsNamed("checkout_start").empty());
  auto edited = rowsNamed("checkout_done");
  ASSERT_EQ(edited.size(), 1u);
  EXPECT_FALSE(edited[0].has("email"));
  EXPECT_EQ(edited[0].integer("value"), 42);
  auto created = rowsNamed("checkout_copy");
  ASSERT_EQ(created.size(), 1u);
  EXPECT_EQ(created[0].origin, "app");
  EXPECT_EQ(created[0].integer("value"), 42);
  EXPECT_EQ(created[0].timestamp, kStartTime);
  // Events the program leaves alone are stored as logged.
  auto other = rowsNamed("other_event");
  ASSERT_EQ(other.size(), 1u);
  EXPECT_EQ(other[0].text("email"), "kept@example.com");
}

TEST_F(EventEditingHostTest, AFailingProgramStoresTheEventAsLogged) {
  start();
  bool loaded = false;
  applyProgram(program({rule("edit",
                             "(39 " + kIsCheckout + " (2 (15 \"e\") \"setParamValue\" (7 \"nested\" (8 \"k\" 1))) 0)"
                             " (2 (15 \"e\") \"setEventName\" (7 \"renamed\"))"
                             " (36 0)")}),
               {}, &loaded);
  ASSERT_TRUE(loaded);
  logPublic("checkout_start", {{"email", "person@example.com"}});
  auto stored = rowsNamed("checkout_start");
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].text("email"), "person@example.com");
  EXPECT_FALSE(stored[0].has("nested"));
  EXPECT_TRUE(loggedCode(23223));
}

}  // namespace
}  // namespace enginetest
