// The event-editing host: loading, callback order, result codes, errors and limits.

#include <gtest/gtest.h>

#include "APMLogCapture.h"
#include "EventEditingTestSupport.h"

namespace {

using namespace editingtest;
using platform::Dictionary;
using platform::Object;

// Statements on the callback's event "e" (VALUE and NAME are S-expressions).
std::string setParam(const std::string& name, const std::string& value) {
  return "(2 (15 \"e\") \"setParamValue\" (7 \"" + name + "\" " + value + ")) ";
}
std::string getParam(const std::string& name) { return "(2 (15 \"e\") \"getParamValue\" (7 \"" + name + "\"))"; }
std::string setName(const std::string& name) { return "(2 (15 \"e\") \"setEventName\" (7 " + name + ")) "; }

// A host with the program loaded (the test fails when it does not load).
std::unique_ptr<APMPEventEditing> loadOK(const std::shared_ptr<APMPBProgram>& program,
                                         APMPRuntimeConfiguration configuration = {}) {
  auto host = std::make_unique<APMPEventEditing>(std::move(configuration));
  platform::Error error;
  EXPECT_TRUE(program && host->loadProgram(*program, &error)) << error.domain << " " << error.code;
  return host;
}

// The error of loading the program into a new host (empty when it loads).
platform::Error loadError(const std::shared_ptr<APMPBProgram>& program, size_t* callbackCount = nullptr) {
  APMPEventEditing host;
  platform::Error error;
  EXPECT_FALSE(program && host.loadProgram(*program, &error));
  if (callbackCount) *callbackCount = host.callbackCount();
  return error;
}

const APMPEvent& output(const APMPEventEditing& host) { return *host.eventContext().outputEvent(); }

TEST(APMPEventEditingTests, EditsAndCreatesEvents) {
  auto host = loadOK(rulesProgram({
      rule("edit", setName("\"checkout_done\"") + setParam("stage", "\"final\"") + setParam("email", "(45)") +
                       setParam("value", "2.5") + "(36 1)"),
      rule("create",
           "(log (0 (2 (15 \"e\") \"getEventName\" (7)) \"_copy\") (0 (2 (15 \"e\") \"getTimestamp\" (7)) 0.75)"
           " (8 \"value\" " + getParam("value") + " \"label\" 12 \"nothing\" (45)))"),
  }));
  platform::Error error;
  EXPECT_TRUE(host->handleEvent(
      event("checkout", 1700000000, {{"email", "a@b.c"}, {"value", int64_t(7)}, {"label", "x"}}), &error));
  EXPECT_TRUE(error.empty());
  EXPECT_TRUE(host->hasEdits());
  EXPECT_TRUE(host->hasCreatedEvents());
  EXPECT_EQ(output(*host).name(), "checkout_done");
  EXPECT_EQ(output(*host).timestamp(), 1700000000);
  EXPECT_EQ(output(*host).parameters(), (Dictionary{{"stage", "final"}, {"value", int64_t(2)}, {"label", "x"}}));
  EXPECT_EQ(host->eventContext().inputEvent()->parameters().size(), 3u);  // the input is untouched
  ASSERT_EQ(host->eventContext().eventsToLog().size(), 1u);
  const APMPEvent& made = *host->eventContext().eventsToLog()[0];
  EXPECT_EQ(made.name(), "checkout_done_copy");
  EXPECT_EQ(made.timestamp(), 1700000000);  // truncated to a whole number
  EXPECT_EQ(made.parameters(), (Dictionary{{"value", int64_t(2)}, {"label", "12"}}));  // coerced, null left out
}

TEST(APMPEventEditingTests, EditCallbacksRunInPriorityOrderThenCreateCallbacks) {
  auto append = [](const std::string& letter) {
    return setParam("trace", "(0 " + getParam("trace") + " \"" + letter + "\")") + "(36 0)";
  };
  // Registered: a at 30, b at 10, c without priority (1000), d at 10 again (moved behind 1000).
  auto host = loadOK(rulesProgram({rule("create", "(log " + getParam("trace") + " 0 (8))", 1),
                                   rule("edit", append("a"), 30), rule("edit", append("b"), 10),
                                   rule("edit", append("c")), rule("edit", append("d"), 10)}));
  EXPECT_EQ(host->callbackCount(), 5u);
  EXPECT_TRUE(host->handleEvent(event("e", 1, {{"trace", ">"}}), nullptr));
  EXPECT_EQ(output(*host).parameterForName("trace"), Object(">bacd"));
  // The create callback (priority 1, yet after every edit) sees the edited event.
  ASSERT_EQ(host->eventContext().eventsToLog().size(), 1u);
  EXPECT_EQ(host->eventContext().eventsToLog()[0]->name(), ">bacd");
}

TEST(APMPEventEditingTests, ResultCodesDecideWhetherEditsStay) {
  struct Case { const char* what; const char* tail; bool kept; } cases[] = {
      {"0 keeps", "(36 0)", true}, {"1 keeps", "(36 1)", true}, {"2 discards", "(36 2)", false},
      {"2.9 is 2 and discards", "(36 2.9)", false}, {"a text discards", "(36 \"1\")", false},
      {"last statement value (a number) keeps", "5", true},
  };
  for (const Case& c : cases) {
    auto host = loadOK(rulesProgram({rule("edit", setName("\"x\"") + c.tail)}));
    platform::Error error;
    EXPECT_EQ(host->handleEvent(event("e", 1, {}), &error), c.kept) << c.what;
    EXPECT_TRUE(error.empty()) << c.what;
    EXPECT_EQ(output(*host).name(), c.kept ? "x" : "e") << c.what;
    EXPECT_EQ(host->hasEdits(), c.kept) << c.what;
  }
}

// A failing edit callback loses its own edits but keeps earlier ones, and no later callback runs;
// a failing create callback keeps the edits and the events created before it.
TEST(APMPEventEditingTests, FailingCallbacksStopTheWalkAndKeepEarlierResults) {
  struct Case {
    std::vector<std::string> rules;
    int code;
    const char* name;
    platform::Dictionary parameters;
    std::vector<std::string> created;
  } cases[] = {
      {{rule("edit", setParam("first", "1") + "(36 0)", 1),
        rule("edit", setName("\"broken\"") + "(2 (15 \"e\") \"noSuchMethod\" (7)) (36 0)", 2),
        rule("edit", setParam("third", "3") + "(36 0)", 3), rule("create", "(log \"made\" 0 (8))")},
       kAPMPErrorNoSuchMethod, "e", Dictionary{{"first", 1.0}}, {}},
      {{rule("edit", setName("\"renamed\"") + "(36 0)"), rule("create", "(log \"one\" 0 (8))", 1),
        rule("create", "(log \"two\" 0)", 2), rule("create", "(log \"three\" 0 (8))", 3)},
       kAPMPErrorArgumentCount, "renamed", Dictionary{}, {"one"}},
  };
  for (const Case& c : cases) {
    auto host = loadOK(rulesProgram(c.rules));
    platform::Error error;
    EXPECT_FALSE(host->handleEvent(event("e", 1, {}), &error));
    EXPECT_EQ(error.domain, kAPMPErrorDomain);
    EXPECT_EQ(error.code, c.code);
    EXPECT_EQ(output(*host).name(), c.name);
    EXPECT_EQ(output(*host).parameters(), c.parameters);
    std::vector<std::string> created;
    for (const auto& made : host->eventContext().eventsToLog()) created.push_back(made->name());
    EXPECT_EQ(created, c.created);
  }
}

TEST(APMPEventEditingTests, ValuesThatCannotBeParametersAreRefused) {
  struct Case { const char* what; std::string rule; } cases[] = {
      {"map set as parameter", rule("edit", setParam("p", "(8 \"k\" 1)") + "(36 0)")},
      {"map in a created event", rule("create", "(log \"made\" 0 (8 \"p\" (8 \"k\" 1)))")},
      {"event name set to null", rule("edit", setName("(45)") + "(36 0)")},
      {"created event parameters not a map", rule("create", "(log \"made\" 0 5)")},
  };
  for (const Case& c : cases) {
    auto host = loadOK(rulesProgram({rule("edit", setParam("ok", "1") + "(36 0)", 1), c.rule}));
    platform::Error error;
    EXPECT_FALSE(host->handleEvent(event("e", 1, {{"p", "kept"}}), &error)) << c.what;
    EXPECT_EQ(error.domain, kAPMPErrorDomain) << c.what;
    EXPECT_EQ(error.code, kAPMPErrorArgumentKind) << c.what;
    EXPECT_EQ(output(*host).parameterForName("p"), Object("kept")) << c.what;
    EXPECT_FALSE(host->hasCreatedEvents()) << c.what;
  }
}

TEST(APMPEventEditingTests, LoadErrors) {
  const std::string preamble = editingtest::kPreamble;
  // An activity function "NAME" registering its rule's "fn" with these extra arguments.
  auto registering = [&](const char* name, const char* arguments) {
    return makeProgram(preamble + " (50 \"" + name + "\" (7 \"r\") (reg 0 (16 (15 \"r\") \"fn\")" + arguments + "))",
                       {{name, {rule("edit", "1")}}});
  };
  struct Case {
    const char* what;
    std::shared_ptr<APMPBProgram> program;
    const char* domain;
    int code;
  } cases[] = {
      {"return at top level", makeProgram(preamble + " (36 1)", {}), kAPMPEditingErrorDomain, 5},
      {"break at top level", makeProgram("(4)", {}), kAPMPEditingErrorDomain, 5},
      {"activity data not a map", makeProgram(preamble, {{"register", {"(7 1 2)"}}}), kAPMPEditingErrorDomain, 6},
      {"activity names no function", makeProgram(preamble, {{"missing", {"(8)"}}}), kAPMPEditingErrorDomain, 7},
      {"options without type", makeProgram(preamble, {{"register", {"(8 \"fn\" (51 \"\" (7)))"}}}),
       kAPMPEditingErrorDomain, 2},
      {"unknown rule type", rulesProgram({rule("delete", "(36 0)")}), kAPMPEditingErrorDomain, 3},
      {"registration with two arguments", registering("two", ""), kAPMPErrorDomain, kAPMPErrorArgumentCount},
      {"callback not a function", makeProgram(preamble, {{"register", {"(8 \"type\" \"edit\" \"fn\" 3)"}}}),
       kAPMPErrorDomain, kAPMPErrorArgumentKind},
      {"options not a map", registering("bad", " 5"), kAPMPErrorDomain, kAPMPErrorArgumentKind},
      {"runtime error in instructions", makeProgram("(3 \"undeclared\" 1)", {}), kAPMPErrorDomain,
       kAPMPErrorUndeclaredAssignment},
  };
  for (const Case& c : cases) {
    platform::Error error = loadError(c.program);
    EXPECT_EQ(error.domain, c.domain) << c.what;
    EXPECT_EQ(error.code, c.code) << c.what;
  }
  // A failure in the second data entity comes after the first registered its callback.
  size_t registered = 0;
  loadError(makeProgram(preamble, {{"register", {rule("edit", "1"), "(8 \"fn\" 1)"}}}), &registered);
  EXPECT_EQ(registered, 1u);
}

// Entity types arrive from the network as plain varints: a type outside the enumeration, at the
// top, nested in a statement or in an activity's data, refuses the program as an unknown entity
// (the sanitizer build fails if the converter loads it through the enum type).
TEST(APMPEventEditingTests, EntityTypesOutsideTheEnumerationRefuseTheProgram) {
  struct Case {
    const char* what;
    platform::Data bytes;
    int code;  // 0: the program loads
  } cases[] = {
      // instructions { type: NUMBER }: a known type loads, so the refusals below are the type's.
      {"number", {0x0a, 0x02, 0x08, 0x02}, 0},
      {"type 9", {0x0a, 0x02, 0x08, 0x09}, kAPMPErrorUnknownEntityType},
      {"type just past the last", {0x0a, 0x02, 0x08, 0x05}, kAPMPErrorUnknownEntityType},
      {"largest type", {0x0a, 0x06, 0x08, 0xff, 0xff, 0xff, 0xff, 0x07}, kAPMPErrorUnknownEntityType},
      // The 32 bits of -1 and of the smallest int32 (the decoder refuses the ten-byte forms).
      {"negative type", {0x0a, 0x06, 0x08, 0xff, 0xff, 0xff, 0xff, 0x0f}, kAPMPErrorUnknownEntityType},
      {"smallest type", {0x0a, 0x06, 0x08, 0x80, 0x80, 0x80, 0x80, 0x08}, kAPMPErrorUnknownEntityType},
      // instructions { type: STATEMENT function_name: "f" value { type: 9 } }
      {"argument of a statement", {0x0a, 0x09, 0x08, 0x04, 0x1a, 0x01, 'f', 0x12, 0x02, 0x08, 0x09},
       kAPMPErrorUnknownEntityType},
      // activities { activities { name: "a" data { type: 9 } } }
      {"activity data", {0x12, 0x09, 0x0a, 0x07, 0x0a, 0x01, 'a', 0x12, 0x02, 0x08, 0x09}, kAPMPErrorUnknownEntityType},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto program = APMPBProgram::fromBuffer(c.bytes);
    ASSERT_TRUE(program);
    APMPEventEditing host;
    platform::Error error;
    EXPECT_EQ(host.loadProgram(*program, &error), c.code == 0);
    EXPECT_EQ(error.code, c.code);
    if (c.code != 0) {
      EXPECT_EQ(error.domain, kAPMPErrorDomain);
    }
  }
}

TEST(APMPEventEditingTests, AtMostOneThousandCallbacks) {
  // One activity function registering the callback n times, driven by the rule's "count".
  const std::string many = editingtest::kPreamble + std::string(
      " (50 \"many\" (7 \"r\") (41 \"i\") (3 \"i\" 0)"
      " (42 (23 (15 \"i\") (16 (15 \"r\") \"count\")) (3 \"i\" (0 (15 \"i\") 1)) false"
      " (46 (reg 0 (16 (15 \"r\") \"fn\") (15 \"r\")))))");
  auto ruleWithCount = [](int count) {
    return "(8 \"type\" \"edit\" \"count\" " + std::to_string(count) + " \"fn\" (51 \"\" (7 \"e\") (36 0)))";
  };
  auto exactly = loadOK(makeProgram(many, {{"many", {ruleWithCount(1000)}}}));
  EXPECT_EQ(exactly->callbackCount(), 1000u);
  platform::Error error = loadError(makeProgram(many, {{"many", {ruleWithCount(1001)}}}));
  EXPECT_EQ(error.domain, kAPMPEditingErrorDomain);
  EXPECT_EQ(error.code, kAPMPEditingErrorTooManyCallbacks);
}

TEST(APMPEventEditingTests, InstructionLimitAppliesPerEvent) {
  // The callback loops as often as the event's "n" says: 100 fits the limit any number of times.
  auto host = loadOK(rulesProgram({rule("edit", "(41 \"i\") (3 \"i\" 0) (42 (23 (15 \"i\") " + getParam("n") +
                                                    ") (3 \"i\" (0 (15 \"i\") 1)) false (46)) " +
                                                    setParam("done", "(15 \"i\")") + "(36 0)")}),
                     APMPRuntimeConfiguration{.instructionLimit = 5000});
  for (int64_t n : {100, 100, 100000, 100}) {
    platform::Error error;
    EXPECT_EQ(host->handleEvent(event("e", 1, {{"n", n}}), &error), n == 100) << n;
    EXPECT_EQ(error.code, n == 100 ? 0 : kAPMPErrorInstructionLimit) << n;
    EXPECT_EQ(output(*host).parameterForName("done"), n == 100 ? Object(100.0) : Object()) << n;
  }
}

TEST(APMPEventEditingTests, CallbackRegisteredDuringAnEventWaitsForTheNextEvent) {
  // Each run of the callback (priority 10) appends "!" and registers a new edit callback at
  // priority 20, behind itself, that appends "+"; the walk in progress must not pick it up.
  const std::string plus = setParam("trace", "(0 " + getParam("trace") + " \"+\")") + "(36 0)";
  auto host = loadOK(rulesProgram({rule("edit",
                                        setParam("trace", "(0 " + getParam("trace") + " \"!\")") +
                                            "(reg 0 (51 \"\" (7 \"e\") " + plus +
                                            ") (8 \"type\" \"edit\" \"priority\" 20)) (36 0)",
                                        10)}));
  const char* expected[] = {"!", "!+", "!++"};
  for (size_t round = 0; round < 3; ++round) {
    EXPECT_TRUE(host->handleEvent(event("e", 1, {{"trace", ""}}), nullptr)) << round;
    EXPECT_EQ(output(*host).parameterForName("trace"), Object(expected[round])) << round;
    // Later registrations at 20 move behind the largest priority present (21, 22, ...).
    EXPECT_EQ(host->callbackCount(), round + 2) << round;
  }
}

TEST(APMPEventEditingTests, CallbackStateSurvivesCollectionsBetweenEvents) {
  // The callback closes over a counter; collections after loading and after each event must keep it.
  auto host = loadOK(rulesProgram(
      {rule("edit", "(3 \"count\" (0 (15 \"count\") 1)) " + setParam("count", "(15 \"count\")") + "(36 0)")},
      "(41 \"count\") (3 \"count\" 0)"));
  for (int i = 1; i <= 3; ++i) {
    EXPECT_TRUE(host->handleEvent(event("e", 1, {}), nullptr));
    EXPECT_EQ(output(*host).parameterForName("count"), Object(double(i)));
  }
}

TEST(APMPEventEditingTests, ConfigurationModules) {
  testsupport::APMLogCapture capture;
  APMPConfigurationModules modules;
  modules.logger = std::make_shared<APMPixieLogger>();
  modules.settings = [](const std::string& key) {
    return key == "measurement.rename_to" ? std::optional<std::string>("renamed") : std::nullopt;
  };
  modules.appMetadata = [] { return Object(Dictionary{{"platform", "macos"}, {"app_version", "1.2.0"}}); };
  platform::Error error;
  auto host = APMPEventEditing::hostWithProgram(
      *rulesProgram({rule("edit", setName("(2 (15 \"config\") \"getValue\" (7 \"measurement.rename_to\" \"?\"))") +
                                      setParam("fallback", "(2 (15 \"config\") \"getValue\" (7 \"absent\" 5))") +
                                      setParam("version", "(16 (app) \"app_version\")") +
                                      "(2 (15 \"logger\") \"log\" (7 6 \"edited\")) (36 0)")},
                    "(41 \"config\" \"app\" \"logger\") (3 \"config\" (require \"internal.remoteConfig\"))"
                    " (3 \"app\" (require \"internal.appMetadata\")) (3 \"logger\" (require \"internal.logger\"))"),
      modules, &error);
  ASSERT_TRUE(host) << error.code;
  EXPECT_TRUE(host->handleEvent(event("e", 1, {}), &error));
  EXPECT_EQ(output(*host).name(), "renamed");
  EXPECT_EQ(output(*host).parameterForName("fallback"), Object(5.0));
  EXPECT_EQ(output(*host).parameterForName("version"), Object("1.2.0"));
  std::vector<std::pair<int64_t, std::string>> logged;
  for (const auto& line : capture.lines()) logged.emplace_back(line.level, line.message);
  EXPECT_EQ(logged, (std::vector<std::pair<int64_t, std::string>>{{1, "edited"}}));
}

}  // namespace
