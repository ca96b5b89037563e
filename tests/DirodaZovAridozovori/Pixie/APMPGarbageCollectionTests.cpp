// Collection of cyclic structures and survival of everything still reachable.

#include <gtest/gtest.h>

#include "PixieTestSupport.h"

using pixietest::run;

namespace {

// make() builds, in its own locals, an array holding itself, two maps pointing at each other, and a
// closure stored in a map of its defining scope; all are garbage once make() returns.
const char* kCycleMaker =
    "(50 \"make\" (7)"
    "  (41 \"a\" \"m\" \"n\" \"holder\")"
    "  (3 \"a\" (7 1 2))"
    "  (43 (15 \"a\") 2 (15 \"a\"))"
    "  (3 \"m\" (8)) (3 \"n\" (8 \"m\" (15 \"m\")))"
    "  (43 (15 \"m\") \"n\" (15 \"n\"))"
    "  (3 \"holder\" (8))"
    "  (43 (15 \"holder\") \"f\" (51 \"\" (7) (36 (15 \"holder\"))))"
    "  (36 (16 (15 \"a\") \"length\")))";

TEST(APMPGarbageCollectionTests, CyclesAreCollectedAfterEachRun) {
  APMPRuntime runtime;
  ASSERT_TRUE(run(runtime, kCycleMaker).ok());
  runtime.collectGarbage();
  const size_t baseline = runtime.objectManager().trackedObjectCount();
  for (int round = 0; round < 3; ++round) {
    runtime.resetInstructionCount();
    EXPECT_EQ(run(runtime, "(make) (make) (make)").text, "3");
    EXPECT_GT(runtime.objectManager().trackedObjectCount(), baseline);
    runtime.collectGarbage();
    EXPECT_EQ(runtime.objectManager().trackedObjectCount(), baseline) << "round " << round;
  }
}

TEST(APMPGarbageCollectionTests, ReachableValuesKeepTheirContents) {
  APMPRuntime runtime;
  // A closure made in a nested block reads what the enclosing block holds; a map reachable from
  // the global scope keeps its properties.
  auto setup = run(runtime,
                   "(41 \"g\" \"kept\")"
                   "(53 (41 \"outer\") (3 \"outer\" (7 1 2 3))"
                   "    (53 (41 \"unused\") (3 \"g\" (51 \"\" (7) (36 (15 \"outer\"))))))"
                   "(3 \"kept\" (8 \"list\" (7 \"a\" \"b\")))");
  ASSERT_TRUE(setup.ok()) << setup.code();
  runtime.collectGarbage();
  runtime.collectGarbage();
  runtime.resetInstructionCount();
  auto read = run(runtime, "(7 (g) (16 (15 \"kept\") \"list\"))");
  ASSERT_TRUE(read.ok());
  EXPECT_EQ(read.text, "1,2,3,a,b");
}

TEST(APMPGarbageCollectionTests, HostRootsSurviveAndUnrootedValuesAreSwept) {
  APMPRuntime runtime;
  APMPScope& global = runtime.globalScope();
  APMPRuntimeValue rooted = APMPObjectManager::arrayValueWithArray({APMPRuntimeValue::number(1)}, global);
  APMPRuntimeValue loose = APMPObjectManager::arrayValueWithArray({APMPRuntimeValue::number(2)}, global);
  APMPRef<APMPScope> holder = runtime.getRunScope();
  holder->addValue("x", rooted);
  runtime.addGarbageCollectionRoot(holder.get());
  runtime.collectGarbage();
  EXPECT_EQ(rooted.asArray()->count(), 1u);
  EXPECT_EQ(loose.asArray()->count(), 0u);  // held only by the host, not reachable: swept
  EXPECT_TRUE(loose.asArray()->isSwept());
}

TEST(APMPGarbageCollectionTests, DestroyingARuntimeReleasesCyclesAndLongChains) {
  // Run under LeakSanitizer: whatever the program left behind is freed with the runtime, and a long
  // chain of nested arrays is released without deep recursion, whether the host or the program
  // drops its last reference.
  const std::string chain =
      "(3 \"head\" (7)) (3 \"i\" 0)"
      "(42 (23 (15 \"i\") 50000) (3 \"i\" (0 (15 \"i\") 1)) false (46 (3 \"head\" (7 (15 \"head\")))))";
  APMPRuntime runtime;
  auto result = run(runtime, "(41 \"head\" \"i\")" + chain + "(43 (15 \"head\") 1 (15 \"head\")) (15 \"i\")");
  ASSERT_TRUE(result.ok()) << result.code();
  EXPECT_EQ(result.text, "50000");
  runtime.globalScope().setValue("head", APMPRuntimeValue());
  runtime.collectGarbage();
  EXPECT_LT(runtime.objectManager().trackedObjectCount(), 10u);
  runtime.resetInstructionCount();
  ASSERT_TRUE(run(runtime, chain + "(3 \"head\" 0)").ok());
  runtime.collectGarbage();
  EXPECT_LT(runtime.objectManager().trackedObjectCount(), 10u);
}

}  // namespace
