// The main of every test binary: gtest's, with the process's own temporary data directory set
// before any test runs, so that no test reaches the home folder of whoever runs the suite.

#include <gtest/gtest.h>

#include "TestSupport.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  testsupport::useProcessDataDirectory();
  return RUN_ALL_TESTS();
}
