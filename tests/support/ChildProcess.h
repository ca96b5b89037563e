#pragma once
// A helper process of a test: this test binary started again to run one test that plays the child
// (named DISABLED_..., so it runs only when a test starts it and is never counted as a test of
// its own). The two talk in lines over a pair of pipes.

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace testsupport {

class ChildProcess {
 public:
  // Starts the test `test` ("Suite.DISABLED_Name") with these entries ("NAME=value") added to the
  // environment.
  ChildProcess(const std::string& test, const std::vector<std::string>& environment);
  // A child still running is killed and reaped.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0; }
  // The child's wait status once it ended within timeoutSeconds; none (and the child killed) else.
  std::optional<int> wait(double timeoutSeconds);

  bool send(const std::string& line);
  // The next line from the child, or none when it did not come within timeoutSeconds.
  std::optional<std::string> receive(double timeoutSeconds);

 private:
  pid_t pid_ = -1;
  int toChild_ = -1;
  int fromChild_ = -1;
  std::string buffered_;
};

// In the child: whether it runs as one (a test playing a child returns early when it does not),
// and the lines to and from the test that started it.
bool runsAsChild();
std::optional<std::string> receiveFromParent(double timeoutSeconds);
bool sendToParent(const std::string& line);

}  // namespace testsupport
