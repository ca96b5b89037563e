// The pixie-run tool: the text form of programs, the JSON form of events, and the program itself.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>

#include "APMNanoAccessors.h"
#include "EventEditing/APMPEventEditingTool.h"
#include "EventEditing/APMPProgramTextFormat.h"
#include "EventEditingTestSupport.h"
#include "TestSupport.h"

namespace {

using platform::Object;

platform::Data bytesOf(const std::string& text) { return platform::Data(text.begin(), text.end()); }

// Renames "checkout" events to "purchase", adds "stage", removes "email", and logs "checkout_copy".
const char* const kTextProgram = R"(# declarations
instructions { type: STATEMENT function_name: "41" value { type: STRING string_value: "reg" }
               value { type: STRING string_value: "log" } }
instructions { type: STATEMENT function_name: "3" value { type: STRING string_value: "reg" }
  value { type: STATEMENT function_name: "require" value { type: STRING string_value: "internal.registerCallback" } } }
instructions { type: STATEMENT function_name: "3" value { type: STRING string_value: "log" }
  value { type: STATEMENT function_name: "require" value { type: STRING string_value: "internal.eventLogger" } } }
instructions {
  type: STATEMENT function_name: "50"
  value { type: STRING string_value: "register" }
  value { type: STATEMENT function_name: "7" value { type: STRING string_value: "rule" } }
  value { type: STATEMENT function_name: "reg"
    value { type: NUMBER number_value: 0 }
    value { type: STATEMENT function_name: "16"
      value { type: STATEMENT function_name: "15" value { type: STRING string_value: "rule" } }
      value { type: STRING string_value: "fn" } }
    value { type: STATEMENT function_name: "15" value { type: STRING string_value: "rule" } } }
}
activities {
  activities {
    name: "register"
    data {
      type: STATEMENT function_name: "8"
      value { type: STRING string_value: "type" } value { type: STRING string_value: "edit" }
      value { type: STRING string_value: "fn" }
      value { type: 4 function_name: "51"
        value { type: STRING string_value: "" }
        value { type: STATEMENT function_name: "7" value { type: STRING string_value: "e" } }
        value { type: STATEMENT function_name: "2"
          value { type: STATEMENT function_name: "15" value { type: STRING string_value: "e" } }
          value { type: STRING string_value: "setEventName" }
          value { type: STATEMENT function_name: "7" value { type: STRING string_value: 'purch' "ase" } } }
        value { type: STATEMENT function_name: "2"
          value { type: STATEMENT function_name: "15" value { type: STRING string_value: "e" } }
          value { type: STRING string_value: "setParamValue" }
          value { type: STATEMENT function_name: "7" value { type: STRING string_value: "stage" }
                  value { type: NUMBER number_value: 3 } } }
        value { type: STATEMENT function_name: "2"
          value { type: STATEMENT function_name: "15" value { type: STRING string_value: "e" } }
          value { type: STRING string_value: "setParamValue" }
          value { type: STATEMENT function_name: "7" value { type: STRING string_value: "email" }
                  value { type: STATEMENT function_name: "45" } } }
        value { type: STATEMENT function_name: "36" value { type: NUMBER number_value: 1.0 } }
      }
    }
    data {
      type: STATEMENT function_name: "8"
      value { type: STRING string_value: "type" } value { type: STRING string_value: "create" }
      value { type: STRING string_value: "fn" }
      value { type: STATEMENT function_name: "51"
        value { type: STRING string_value: "" }
        value { type: STATEMENT function_name: "7" value { type: STRING string_value: "e" } }
        value { type: STATEMENT function_name: "log"
          value { type: STRING string_value: "checkout_copy" }
          value { type: NUMBER number_value: 1700000100.9 }
          value { type: STATEMENT function_name: "8"
            value { type: STRING string_value: "items" }
            value { type: STATEMENT function_name: "2"
              value { type: STATEMENT function_name: "15" value { type: STRING string_value: "e" } }
              value { type: STRING string_value: "getParamValue" }
              value { type: STATEMENT function_name: "7" value { type: STRING string_value: "items" } } } } }
      }
    }
  }
}
)";

const char* const kEventJSON =
    R"({"name": "checkout", "timestamp": 1700000000, "params": {"email": "person@example.com",)"
    R"( "stage": 1, "value": 2.0, "count": 4, "items": [{"id": "sku-1", "price": 9.5, "qty": 2}]}})";

const char* const kExpectedLines[] = {
    R"({"name":"purchase","timestamp":1700000000.0,"params":{"count":4,"items":[{"id":"sku-1","price":9.5,"qty":2}],"stage":3,"value":2.0}})",
    R"({"name":"checkout_copy","timestamp":1700000100.0,"params":{"items":[{"id":"sku-1","price":9.5,"qty":2.0}]}})",
};

TEST(APMPEventEditingToolTests, TextFormEncodesLikeTheBinaryForm) {
  struct Case {
    const char* text;
    std::shared_ptr<APMPBProgram> expected;
  } cases[] = {
      {"", editingtest::makeProgram("", {})},
      {"instructions { type: NUMBER number_value: -2.5e1 }", editingtest::makeProgram("-25", {})},
      {"instructions < type: 2, number_value: inf >; instructions { type: 3 boolean_value: true }",
       editingtest::makeProgram("Infinity true", {})},
      {"instructions { type: STRING string_value: \"a\\\"b\\n\\x41\\101\" }", editingtest::makeProgram("\"a\\\"b\nAA\"", {})},
      {"instructions { type: STRING string_value: \"\\u00e9\\U0001F600\" }",
       editingtest::makeProgram("\"\xc3\xa9\xf0\x9f\x98\x80\"", {})},
      {"activities { activities { name: \"f\" data { type: STATEMENT function_name: \"8\" } } }",
       editingtest::makeProgram("", {{"f", {"(8)"}}})},
  };
  for (const Case& c : cases) {
    std::string problem;
    std::optional<platform::Data> bytes = APMPProgramBytesFromTextForm(c.text, &problem);
    ASSERT_TRUE(bytes) << c.text << ": " << problem;
    ASSERT_TRUE(c.expected);
    auto decoded = APMPBProgram::fromBuffer(*bytes);
    ASSERT_TRUE(decoded) << c.text;
    EXPECT_TRUE(decoded->isEqual(*c.expected)) << c.text;
  }
}

TEST(APMPEventEditingToolTests, TextFormErrorsNameTheLine) {
  struct Case {
    const char* text;
    const char* problem;
  } cases[] = {
      {"instructions { tipe: 1 }", "line 1: unknown field \"tipe\""},
      {"\n\ninstructions { type: STRANGE }", "line 3: unknown enumeration value \"STRANGE\""},
      {"instructions { type: 1 string_value: \"open }", "line 1: unterminated string"},
      {"instructions { number_value 1 }", "line 1: expected ':'"},
      {"instructions { boolean_value: maybe }", "line 1: expected true or false"},
      {"instructions { type: 99999999999 }", "line 1: unknown enumeration value \"99999999999\""},
      {"instructions { string_value: \"\\ud800\" }", "line 1: unicode escape out of range"},
  };
  for (const Case& c : cases) {
    std::string problem;
    EXPECT_FALSE(APMPProgramBytesFromTextForm(c.text, &problem)) << c.text;
    EXPECT_EQ(problem, c.problem) << c.text;
  }
  // Nesting deeper than a downloaded program may is refused, not a stack overflow.
  std::string deep = "instructions { ";
  for (int i = 0; i < 5000; ++i) deep += "value { ";
  std::string problem;
  EXPECT_FALSE(APMPProgramBytesFromTextForm(deep, &problem));
  EXPECT_NE(problem.find("nested too deeply"), std::string::npos);
}

TEST(APMPEventEditingToolTests, ProgramFilesMayBeBinaryOrText) {
  auto binary = editingtest::rulesProgram({editingtest::rule("edit", "(36 0)")});
  platform::Error error;
  auto fromBinary = APMPProgramFromFileContents(binary->protoBuffer(), &error);
  ASSERT_TRUE(fromBinary);
  EXPECT_TRUE(fromBinary->isEqual(*binary));
  auto fromText = APMPProgramFromFileContents(bytesOf(kTextProgram), &error);
  ASSERT_TRUE(fromText);
  EXPECT_TRUE(error.empty());
  EXPECT_FALSE(APMPProgramFromFileContents(bytesOf("instructions { oops }"), &error));
  EXPECT_EQ(error.domain, kAPMPToolErrorDomain);
  EXPECT_EQ(error.code, kAPMPToolErrorBadProgram);
}

TEST(APMPEventEditingToolTests, EventJSONKeepsIntegerAndFloatingKinds) {
  platform::Error error;
  auto event = APMPEventFromJSON(
      R"({"name":"e","timestamp":12.5,"params":{"i":3,"f":3.0,"x":1e2,"s":"t","n":-4,"items":[{"a":1,"b":"c"}]}})",
      &error);
  ASSERT_TRUE(event) << error.description;
  EXPECT_EQ(event->timestamp(), 12.5);
  EXPECT_TRUE(event->parameterForName("i").isInteger());
  EXPECT_TRUE(event->parameterForName("f").isDouble());
  EXPECT_TRUE(event->parameterForName("x").isDouble());
  EXPECT_EQ(event->parameterForName("n"), Object(int64_t(-4)));
  EXPECT_EQ(APMPJSONFromEvent(*event),
            R"({"name":"e","timestamp":12.5,"params":{"f":3.0,"i":3,"items":[{"a":1,"b":"c"}],"n":-4,"s":"t","x":100.0}})");

  const char* refused[] = {
      "not json",
      "[1]",
      R"({"name":5})",
      R"({"name":"e","params":{"b":true}})",
      R"({"name":"e","params":{"n":null}})",
      R"({"name":"e","params":{"m":{"k":1}}})",
      R"({"name":"e","params":{"l":[1,2]}})",
      R"({"name":"e","params":{"big":18446744073709551615}})",
  };
  for (const char* json : refused) {
    platform::Error refusal;
    EXPECT_FALSE(APMPEventFromJSON(json, &refusal)) << json;
    EXPECT_EQ(refusal.domain, kAPMPToolErrorDomain) << json;
    EXPECT_EQ(refusal.code, kAPMPToolErrorBadEvent) << json;
  }
}

TEST(APMPEventEditingToolTests, RunPrintsStoredEventThenCreatedEvents) {
  std::vector<std::string> lines;
  EXPECT_EQ(APMPRunProgramOnEvent(bytesOf(kTextProgram), kEventJSON, nullptr, lines), 0);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], kExpectedLines[0]);
  EXPECT_EQ(lines[1], kExpectedLines[1]);

  // An event the program does not change is printed as it came in.
  auto untouched = editingtest::rulesProgram({editingtest::rule("edit", "(36 0)")});
  lines.clear();
  EXPECT_EQ(APMPRunProgramOnEvent(untouched->protoBuffer(), R"({"name":"e","timestamp":1,"params":{"v":3.0}})",
                                  nullptr, lines),
            0);
  EXPECT_EQ(lines, std::vector<std::string>{R"({"name":"e","timestamp":1.0,"params":{"v":3.0}})"});
}

TEST(APMPEventEditingToolTests, RunReportsErrorsAsOneLine) {
  struct Case {
    const char* what;
    platform::Data program;
    std::string event;
    std::string line;
  } cases[] = {
      {"load error", editingtest::makeProgram("(36)", {})->protoBuffer(), kEventJSON,
       "error com.diroda.dmp.measurement.pixie.editing.ErrorDomain 5"},
      {"event error",
       editingtest::rulesProgram({editingtest::rule("edit", "(2 (15 \"e\") \"setParamValue\" (7 \"m\" (8)))")})
           ->protoBuffer(),
       kEventJSON, "error com.diroda.dmp.measurement.pixie.ErrorDomain 10"},
      {"bad event", bytesOf(""), "{}", "error com.diroda.dmp.measurement.pixie.tool.ErrorDomain 4"},
      {"bad program", bytesOf("\x08\xff"), kEventJSON, "error com.diroda.dmp.measurement.pixie.tool.ErrorDomain 3"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> lines;
    EXPECT_EQ(APMPRunProgramOnEvent(c.program, c.event, nullptr, lines), 1) << c.what;
    EXPECT_EQ(lines, std::vector<std::string>{c.line}) << c.what;
  }
}

#ifdef PIXIE_RUN_PATH
struct ToolRun {
  int status = -1;
  bool exited = false;
  std::vector<std::string> lines;
};

ToolRun runTool(const std::string& arguments) {
  ToolRun run;
  std::string command = std::string(PIXIE_RUN_PATH) + " " + arguments + " 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return run;
  std::string output;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  int status = pclose(pipe);
  run.exited = WIFEXITED(status);
  run.status = run.exited ? WEXITSTATUS(status) : -1;
  size_t start = 0;
  while (start < output.size()) {
    size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    run.lines.push_back(output.substr(start, end - start));
    start = end + 1;
  }
  return run;
}

void writeFile(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary);
  out << contents;
}

TEST(APMPEventEditingToolTests, ToolRunsFromTheCommandLine) {
  testsupport::TempDir dir;
  const std::string text = dir.path() + "/program.textproto";
  const std::string failing = dir.path() + "/failing.pb";
  const std::string event = dir.path() + "/event.json";
  writeFile(text, kTextProgram);
  // A callback that loops forever: the instruction limit ends it with an error, not a hang or a signal.
  platform::Data loop =
      editingtest::rulesProgram({editingtest::rule("edit", "(42 true (44) false (46))")})->protoBuffer();
  writeFile(failing, std::string(loop.begin(), loop.end()));
  writeFile(event, kEventJSON);

  ToolRun ok = runTool(text + " " + event);
  EXPECT_TRUE(ok.exited);
  EXPECT_EQ(ok.status, 0);
  EXPECT_EQ(ok.lines, (std::vector<std::string>{kExpectedLines[0], kExpectedLines[1]}));
  struct Case {
    std::string arguments;
    std::string line;
  } failures[] = {
      {failing + " " + event, "error com.diroda.dmp.measurement.pixie.ErrorDomain 18"},
      {text, "error com.diroda.dmp.measurement.pixie.tool.ErrorDomain 1"},
      {dir.path() + "/missing " + event, "error com.diroda.dmp.measurement.pixie.tool.ErrorDomain 2"},
  };
  for (const Case& c : failures) {
    ToolRun run = runTool(c.arguments);
    EXPECT_TRUE(run.exited) << c.arguments;
    EXPECT_NE(run.status, 0) << c.arguments;
    EXPECT_EQ(run.lines, std::vector<std::string>{c.line}) << c.arguments;
  }
}
#endif

}  // namespace
