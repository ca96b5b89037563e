// Every test binary's process gets a temporary data directory of its own before any test runs,
// so that no test reaches the home folder of whoever runs the suite. gtest's own main runs the
// tests; this environment is set up by it before the first one (in death tests' children too).

#include <gtest/gtest.h>

#include "TestSupport.h"

namespace {

class ProcessDataDirectory : public testing::Environment {
 public:
  void SetUp() override { testsupport::useProcessDataDirectory(); }
};

// gtest owns the environment once it is added.
[[maybe_unused]] testing::Environment* const processDataDirectory =
    testing::AddGlobalTestEnvironment(new ProcessDataDirectory);

}  // namespace
