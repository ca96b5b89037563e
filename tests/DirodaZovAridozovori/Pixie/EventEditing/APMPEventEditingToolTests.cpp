// The pixie-run tool: the text form of programs, the JSON form of events, and the program itself.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>

#include "EventEditing/APMPEventEditingTool.h"
#include "EventEditing/APMPProgramTextFormat.h"
#include "EventEditingTestSupport.h"
#include "TestSupport.h"

namespace {

using namespace editingtest;

platform::Data bytesOf(const std::string& text) { return platform::Data(text.begin(), text.end()); }

// Renames "checkout" events to "purchase", sets "stage", removes "email", and logs "checkout_copy".
platform::Data checkoutProgram() {
  return rulesProgram(
             {rule("edit",
                   "(2 (15 \"e\") \"setEventName\" (7 \"purchase\")) (2 (15 \"e\") \"setParamValue\" (7 \"stage\" 3))"
                   " (2 (15 \"e\") \"setParamValue\" (7 \"email\" (45))) (36 1)"),
              rule("create",
                   "(log \"checkout_copy\" 1700000100.9 (8 \"items\" (2 (15 \"e\") \"getParamValue\" (7 \"items\"))))")})
      ->protoBuffer();
}

const char* const kEventJSON =
    R"({"name": "checkout", "timestamp": 1700000000, "params": {"email": "person@example.com",)"
    R"( "stage": 1, "value": 2.0, "count": 4, "items": [{"id": "sku-1", "price": 9.5, "qty": 2}]}})";

const std::vector<std::string> kExpectedLines = {
    R"({"name":"purchase","timestamp":1700000000.0,"params":{"count":4,"items":[{"id":"sku-1","price":9.5,"qty":2}],"stage":3,"value":2.0}})",
    R"({"name":"checkout_copy","timestamp":1700000100.0,"params":{"items":[{"id":"sku-1","price":9.5,"qty":2.0}]}})",
};

TEST(APMPEventEditingToolTests, TextFormEncodesLikeTheBinaryForm) {
  struct Case { const char* text; std::shared_ptr<APMPBProgram> expected; } cases[] = {
      {"", makeProgram("", {})},
      {"instructions < type: 2, number_value: -2.5e1 >; instructions { type: NUMBER number_value: inf }",
       makeProgram("-25 Infinity", {})},
      {"# note\ninstructions { type: STRING string_value: 'a\\\"b\\n\\x41' \"\\101\" }",
       makeProgram("\"a\\\"b\nAA\"", {})},
      {"instructions { type: STRING string_value: \"\\u00e9\\U0001F600\" }",
       makeProgram("\"\xc3\xa9\xf0\x9f\x98\x80\"", {})},
      {"activities { activities { name: \"f\" data { type: STATEMENT function_name: \"8\" } } }",
       makeProgram("", {{"f", {"(8)"}}})},
  };
  for (const Case& c : cases) {
    std::string problem;
    std::optional<platform::Data> bytes = APMPProgramBytesFromTextForm(c.text, &problem);
    ASSERT_TRUE(bytes) << c.text << ": " << problem;
    auto decoded = APMPBProgram::fromBuffer(*bytes);
    ASSERT_TRUE(decoded && c.expected) << c.text;
    EXPECT_TRUE(decoded->isEqual(*c.expected)) << c.text;
  }
}

TEST(APMPEventEditingToolTests, TextFormErrorsNameTheLine) {
  struct Case { const char* text; const char* problem; } cases[] = {
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

TEST(APMPEventEditingToolTests, EventJSONKeepsIntegerAndFloatingKinds) {
  platform::Error error;
  auto event = APMPEventFromJSON(
      R"({"name":"e","timestamp":12.5,"params":{"i":3,"f":3.0,"x":1e2,"s":"t","n":-4,"items":[{"a":1,"b":"c"}]}})",
      &error);
  ASSERT_TRUE(event) << error.description;
  // Integers print without a fraction, floating numbers always with one.
  EXPECT_EQ(APMPJSONFromEvent(*event),
            R"({"name":"e","timestamp":12.5,"params":{"f":3.0,"i":3,"items":[{"a":1,"b":"c"}],"n":-4,"s":"t","x":100.0}})");

  const char* refused[] = {
      "not json", R"({"name":5})", R"({"name":"e","params":{"b":true}})", R"({"name":"e","params":{"m":{"k":1}}})",
      R"({"name":"e","params":{"l":[1,2]}})", R"({"name":"e","params":{"big":18446744073709551615}})",
  };
  for (const char* json : refused) {
    platform::Error refusal;
    EXPECT_FALSE(APMPEventFromJSON(json, &refusal)) << json;
    EXPECT_EQ(refusal.domain, kAPMPToolErrorDomain) << json;
    EXPECT_EQ(refusal.code, kAPMPToolErrorBadEvent) << json;
  }
}

TEST(APMPEventEditingToolTests, RunPrintsStoredEventThenCreatedEventsOrOneErrorLine) {
  std::vector<std::string> lines;
  EXPECT_EQ(APMPRunProgramOnEvent(checkoutProgram(), kEventJSON, nullptr, lines), 0);
  EXPECT_EQ(lines, kExpectedLines);

  // An event the program does not change is printed as it came in.
  lines.clear();
  EXPECT_EQ(APMPRunProgramOnEvent(rulesProgram({rule("edit", "(36 0)")})->protoBuffer(),
                                  R"({"name":"e","timestamp":1,"params":{"v":3.0}})", nullptr, lines),
            0);
  EXPECT_EQ(lines, std::vector<std::string>{R"({"name":"e","timestamp":1.0,"params":{"v":3.0}})"});

  struct Case { platform::Data program; std::string event; std::string line; } cases[] = {
      {rulesProgram({rule("edit", "(2 (15 \"e\") \"setParamValue\" (7 \"m\" (8)))")})->protoBuffer(), kEventJSON,
       "error com.diroda.dmp.measurement.pixie.ErrorDomain 10"},
      {bytesOf(""), "{}", "error com.diroda.dmp.measurement.pixie.tool.ErrorDomain 4"},
      {bytesOf("\x08\xff"), kEventJSON, "error com.diroda.dmp.measurement.pixie.tool.ErrorDomain 3"},
  };
  for (const Case& c : cases) {
    lines.clear();
    EXPECT_EQ(APMPRunProgramOnEvent(c.program, c.event, nullptr, lines), 1) << c.line;
    EXPECT_EQ(lines, std::vector<std::string>{c.line});
  }
}

#ifdef PIXIE_RUN_PATH
// The tool's exit status (-1 unless it exited normally) and its standard output.
std::pair<int, std::string> runTool(const std::string& arguments) {
  FILE* pipe = popen((std::string(PIXIE_RUN_PATH) + " " + arguments + " 2>/dev/null").c_str(), "r");
  if (!pipe) return {-1, ""};
  std::string output;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
  int status = pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

void writeFile(const std::string& path, const platform::Data& contents) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(contents.data()),
                                              static_cast<std::streamsize>(contents.size()));
}

TEST(APMPEventEditingToolTests, ToolRunsFromTheCommandLine) {
  testsupport::TempDir dir;
  const std::string program = dir.path() + "/program.pb", looping = dir.path() + "/loop.pb",
                    text = dir.path() + "/program.txt", event = dir.path() + "/event.json";
  writeFile(program, checkoutProgram());
  // A callback that loops forever: the instruction limit ends it with an error, not a hang or a signal.
  writeFile(looping, rulesProgram({rule("edit", "(42 true (44) false (46))")})->protoBuffer());
  // A program file may also hold the text form: this one fails to load (a return at top level).
  writeFile(text, bytesOf("# top level\ninstructions { type: STATEMENT function_name: \"36\" }"));
  writeFile(event, bytesOf(kEventJSON));

  EXPECT_EQ(runTool(program + " " + event), std::make_pair(0, kExpectedLines[0] + "\n" + kExpectedLines[1] + "\n"));
  const std::pair<std::string, std::string> failures[] = {
      {looping + " " + event, "com.diroda.dmp.measurement.pixie.ErrorDomain 18"},
      {text + " " + event, "com.diroda.dmp.measurement.pixie.editing.ErrorDomain 5"},
      {program, "com.diroda.dmp.measurement.pixie.tool.ErrorDomain 1"},
      {dir.path() + "/missing " + event, "com.diroda.dmp.measurement.pixie.tool.ErrorDomain 2"},
  };
  for (const auto& [arguments, error] : failures)
    EXPECT_EQ(runTool(arguments), std::make_pair(1, "error " + error + "\n")) << arguments;
}
#endif

}  // namespace
