#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

extern char** environ;

namespace testsupport {

namespace {

// Where the child finds its ends of the pipes; high enough to be free in any test binary.
constexpr int kChildReadFD = 200;
constexpr int kChildWriteFD = 201;
constexpr const char* kChannelVariable = "MEASUREMENT_TEST_CHILD_CHANNEL";

bool writeLine(int fd, std::string line) {
  line += '\n';
  const char* bytes = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(fd, bytes, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

std::optional<std::string> readLine(int fd, std::string& buffered, double timeoutSeconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
  for (;;) {
    if (auto end = buffered.find('\n'); end != std::string::npos) {
      std::string line = buffered.substr(0, end);
      buffered.erase(0, end + 1);
      return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd readable{fd, POLLIN, 0};
    int ready = ::poll(&readable, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return std::nullopt;
    char chunk[4096];
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;  // the other side closed
    buffered.append(chunk, static_cast<size_t>(n));
  }
}

std::string& childBuffer() {
  static std::string buffered;
  return buffered;
}

}  // namespace

ChildProcess::ChildProcess(const std::string& test, const std::vector<std::string>& environment) {
  ::signal(SIGPIPE, SIG_IGN);  // a child that died must fail the test, not end it
  int down[2], up[2];
  if (::pipe2(down, O_CLOEXEC) != 0) return;
  if (::pipe2(up, O_CLOEXEC) != 0) {
    ::close(down[0]);
    ::close(down[1]);
    return;
  }
  std::vector<std::string> entries;
  for (char** entry = environ; *entry; ++entry) entries.emplace_back(*entry);
  entries.insert(entries.end(), environment.begin(), environment.end());
  entries.push_back(std::string(kChannelVariable) + "=1");
  std::vector<char*> envp;
  for (auto& entry : entries) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string self = "/proc/self/exe";
  std::string filter = "--gtest_filter=" + test;
  std::string alsoDisabled = "--gtest_also_run_disabled_tests";
  char* argv[] = {self.data(), filter.data(), alsoDisabled.data(), nullptr};

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // dup2 gives the child copies without close-on-exec; the originals close at exec.
  posix_spawn_file_actions_adddup2(&actions, down[0], kChildReadFD);
  posix_spawn_file_actions_adddup2(&actions, up[1], kChildWriteFD);
  pid_t pid = -1;
  if (posix_spawn(&pid, self.c_str(), &actions, nullptr, argv, envp.data()) == 0) pid_ = pid;
  posix_spawn_file_actions_destroy(&actions);
  ::close(down[0]);
  ::close(up[1]);
  toChild_ = down[1];
  fromChild_ = up[0];
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  if (toChild_ >= 0) ::close(toChild_);
  if (fromChild_ >= 0) ::close(fromChild_);
}

std::optional<int> ChildProcess::wait(double timeoutSeconds) {
  if (pid_ <= 0) return std::nullopt;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
  for (;;) {
    int status = 0;
    pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      pid_ = -1;
      return status;
    }
    if (done < 0 && errno != EINTR) return std::nullopt;
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      pid_ = -1;
      return std::nullopt;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool ChildProcess::send(const std::string& line) { return toChild_ >= 0 && writeLine(toChild_, line); }

std::optional<std::string> ChildProcess::receive(double timeoutSeconds) {
  if (fromChild_ < 0) return std::nullopt;
  return readLine(fromChild_, buffered_, timeoutSeconds);
}

bool runsAsChild() { return std::getenv(kChannelVariable) != nullptr; }

std::optional<std::string> receiveFromParent(double timeoutSeconds) {
  return readLine(kChildReadFD, childBuffer(), timeoutSeconds);
}

bool sendToParent(const std::string& line) { return writeLine(kChildWriteFD, line); }

}  // namespace testsupport
