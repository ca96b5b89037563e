// libFuzzer entry point (clang only): decodes arbitrary bytes as the network-facing messages.
//   messages_fuzzer tests/fuzz/corpus
#include <cstdio>
#include <cstdlib>

#include "MessageDecodeCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string problem = fuzzcheck::checkNetworkMessages(data, size);
  if (!problem.empty()) {
    std::fprintf(stderr, "%s\n", problem.c_str());
    std::abort();
  }
  return 0;
}
