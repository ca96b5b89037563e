// "require", the logger module, exceptions from host code, and host-object conversion.

#include <gtest/gtest.h>

#include "APMLogCapture.h"
#include "PixieTestSupport.h"

using pixietest::run;

namespace {

struct LogLine { int64_t level; int64_t code; std::string message; std::vector<std::string> context; };

class APMPNativeModulesTests : public ::testing::Test {
 protected:
  void SetUp() override {
    auto logger = std::make_shared<APMPixieLogger>();
    runtime_.setModuleCreator("internal.logger", [logger](APMPRuntime& runtime) -> std::optional<APMPRuntimeValue> {
      return APMPMessageLogger::make(runtime, "internal.logger", logger);
    });
    runtime_.setModuleCreator("broken", [this](APMPRuntime&) -> std::optional<APMPRuntimeValue> {
      ++brokenCalls_;
      return std::nullopt;
    });
  }
  pixietest::RunResult go(const std::string& program) {
    runtime_.resetInstructionCount();
    return run(runtime_, program);
  }

  // The program's lines as the one log channel received them, contexts as their texts.
  std::vector<LogLine> lines() {
    std::vector<LogLine> lines;
    for (const auto& line : capture_.lines()) {
      std::vector<std::string> context;
      for (const auto& item : line.contexts) context.push_back(item.object() ? item.object()->description() : "?");
      lines.push_back({line.level, line.code, line.message, context});
    }
    return lines;
  }

  testsupport::APMLogCapture capture_;
  APMPRuntime runtime_;
  int brokenCalls_ = 0;
};

TEST_F(APMPNativeModulesTests, RequireCachesModules) {
  EXPECT_EQ(go("(20 (require \"internal.platform\") (require \"internal.platform\"))").text, "true");
  EXPECT_EQ(go("(2 (require \"internal.platform\") \"getVersion\" (7))").text, "0");
  auto missing = go("(require \"no.such.module\")");
  EXPECT_TRUE(missing.ok());
  EXPECT_TRUE(missing.value.isUndefined());
  EXPECT_EQ(go("(require \"broken\")").code(), kAPMPErrorModuleCreatorFailed);
  EXPECT_EQ(go("(require \"broken\")").code(), kAPMPErrorModuleCreatorFailed);
  EXPECT_EQ(brokenCalls_, 2);  // nothing is cached for a failed creator
  EXPECT_EQ(go("(require)").code(), kAPMPErrorArgumentCount);
}

TEST_F(APMPNativeModulesTests, LogLevelsReachTheMonitor) {
  const std::string prelude = "(41 \"L\") (3 \"L\" (require \"internal.logger\")) ";
  struct Case {
    const char* variant;  // empty: the module itself, else the logger its method of that name returns
    const char* arguments;
    int level;
    std::vector<std::string> context;
  } cases[] = {
      {"", "\"m\"", 6, {}}, {"", "2 \"m\"", 8, {}}, {"", "3.9 \"m\"", 7, {}}, {"", "5 \"m\"", 4, {}},
      {"", "6 \"m\"", 1, {}}, {"silent", "6 \"m\"", 2, {}}, {"silent", "5 \"m\"", 5, {}},
      {"unmonitored", "6 \"m\"", 0, {}}, {"unmonitored", "5 \"m\"", 3, {}},
      {"", "4 \"m\" \"a\" 1 true \"dropped\"", 6, {"a", "1", "true"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.variant) + " " + c.arguments);
    std::string logger = *c.variant ? "(2 (15 \"L\") \"" + std::string(c.variant) + "\" (7))" : "(15 \"L\")";
    capture_.clear();
    auto result = go(prelude + "(2 " + logger + " \"log\" (7 " + c.arguments + "))");
    ASSERT_TRUE(result.ok()) << result.code();
    const auto logged = lines();
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].level, c.level);
    EXPECT_EQ(logged[0].code, 24005);
    EXPECT_EQ(logged[0].message, "m");
    EXPECT_EQ(logged[0].context, c.context);
  }
  capture_.clear();
  EXPECT_EQ(go(prelude + "(2 (15 \"L\") \"log\" (7))").code(), kAPMPErrorArgumentCount);
  EXPECT_EQ(go(prelude + "(2 (15 \"L\") \"log\" (7 (36) \"x\"))").code(), kAPMPErrorNoNumberForm);
  EXPECT_TRUE(lines().empty());
}

TEST_F(APMPNativeModulesTests, ExceptionsInHostCodeNeverLeaveTheRuntime) {
  runtime_.setModuleCreator("throwing", [](APMPRuntime& runtime) -> std::optional<APMPRuntimeValue> {
    return APMPNativeFunctionValue::make<APMPObjectProvider>(runtime, "throwing",
                                                             []() -> platform::Object { throw std::bad_alloc(); });
  });
  auto failed = go("(41 \"t\") (3 \"t\" (require \"throwing\")) (50 \"deep\" (7) (36 (t))) (deep)");
  EXPECT_EQ(failed.code(), kAPMPErrorResourceLimit);
  // Nesting bookkeeping was restored: a deep but legal recursion still fits.
  auto next = go("(50 \"down\" (7 \"n\") (22 (20 (15 \"n\") 0) (46 (36 0)) (46 (36 (0 1 (down (37 (15 \"n\") 1)))))))"
                 "(down 100)");
  EXPECT_EQ(next.text, "100") << next.code();
}

TEST(APMPRuntimeEntityConverterTests, HostToRuntime) {
  APMPRuntime runtime;
  platform::Error error;
  const size_t before = runtime.objectManager().trackedObjectCount();
  platform::Object params(platform::Dictionary{
      {"flag", platform::Object(true)}, {"count", platform::Object(7)},
      {"items", platform::Object(platform::Array{platform::Object("a"), platform::Object()})}});
  APMPRuntimeValue value = APMPRuntimeEntityConverter::runtimeValueFromNSObject(params, runtime.globalScope(), &error);
  ASSERT_TRUE(error.empty());
  ASSERT_TRUE(value.isMap());
  EXPECT_TRUE(value.asMap()->valueForProperty("flag").isBoolean());
  EXPECT_EQ(value.asMap()->valueForProperty("count").numberValue(), 7);
  EXPECT_TRUE(value.asMap()->valueForProperty("items").asArray()->elementAt(1).isNull());
  EXPECT_EQ(runtime.objectManager().trackedObjectCount(), before + 2);  // the map and the array
  APMPRuntimeEntityConverter::runtimeValueFromNSObject(platform::Object(platform::Data{1, 2}), runtime.globalScope(),
                                                       &error);
  EXPECT_EQ(error.code, kAPMPErrorUnsupportedHostObject);
  EXPECT_TRUE(APMPRuntimeEntityConverter::runtimeValueFromNSObject(platform::Object(), runtime.globalScope(), nullptr)
                  .isNull());
}

TEST(APMPRuntimeEntityConverterTests, RuntimeToHost) {
  APMPRuntime runtime;
  auto result = run(runtime,
                    "(41 \"m\") (3 \"m\" (8 \"num\" \"12\" \"text\" \"12a\" \"yes\" true \"undef\" (44) \"nothing\" (45)"
                    " \"list\" (7 1 (45) (44)) \"fn\" (51 \"named\" (7))))");
  ASSERT_TRUE(result.ok());
  platform::Error error;
  platform::Dictionary d = APMPRuntimeEntityConverter::dictionaryFromMapValue(*result.value.asMap(), &error);
  ASSERT_TRUE(error.empty());
  // Numbers stay floating, undefined becomes an empty text, null properties are left out, and a
  // function becomes its name.
  EXPECT_EQ(d, (platform::Dictionary{{"num", 12.0}, {"text", "12a"}, {"yes", 1.0}, {"undef", ""}, {"fn", "named"},
                                     {"list", platform::Array{platform::Object(1.0), platform::Object(), ""}}}));
  EXPECT_TRUE(d["num"].isDouble());
  EXPECT_TRUE(d["yes"].isDouble());
  // Structures that contain themselves cannot become host objects: an error, not a hang.
  auto cyclic = run(runtime, "(41 \"c\") (3 \"c\" (8)) (43 (15 \"c\") \"self\" (7 (15 \"c\"))) (15 \"c\")");
  ASSERT_TRUE(cyclic.ok());
  APMPRuntimeEntityConverter::objectFromRuntimeValue(cyclic.value, &error);
  EXPECT_EQ(error.code, kAPMPErrorResourceLimit);
  error = {};
  APMPRuntimeEntityConverter::objectFromRuntimeValue(APMPControlValue::breakValue(), &error);
  EXPECT_EQ(error.code, kAPMPErrorNoNumberForm);
}

}  // namespace
