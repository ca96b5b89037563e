// pixie-run PROGRAM EVENT.json
//
// Applies an event-editing program to one event, as the measurement SDK would, and prints one
// JSON line per resulting event: first the event that would be stored, then each created event.
// On error it prints "error DOMAIN CODE" and exits with status 1.

#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "EventEditing/APMPEventEditingTool.h"

namespace {

std::optional<std::string> readFile(const char* path) {
  std::error_code ignored;
  if (std::filesystem::is_directory(path, ignored)) return std::nullopt;
  try {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string contents((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return contents;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// Program log lines go to standard error, so standard output stays one event per line.
class StderrLogger final : public APMPLoggerDelegate {
 public:
  void logWithLevel(int level, const std::string& message, const std::vector<std::string>& context, bool,
                    bool) override {
    std::string line = "log " + std::to_string(level) + " " + message;
    for (const std::string& part : context) line += " " + part;
    std::fprintf(stderr, "%s\n", line.c_str());
  }
};

int fail(int code, const std::string& why) {
  if (!why.empty()) std::fprintf(stderr, "pixie-run: %s\n", why.c_str());
  std::printf("%s\n", APMPToolErrorLine(platform::Error(kAPMPToolErrorDomain, code)).c_str());
  return 1;
}

int run(int argc, char** argv) {
  if (argc != 3) return fail(kAPMPToolErrorUsage, "usage: pixie-run PROGRAM EVENT.json");
  std::optional<std::string> program = readFile(argv[1]);
  if (!program) return fail(kAPMPToolErrorUnreadableFile, std::string("cannot read ") + argv[1]);
  std::optional<std::string> event = readFile(argv[2]);
  if (!event) return fail(kAPMPToolErrorUnreadableFile, std::string("cannot read ") + argv[2]);
  std::vector<std::string> lines;
  int status = APMPRunProgramOnEvent(platform::Data(program->begin(), program->end()), *event,
                                     std::make_shared<StderrLogger>(), lines);
  for (const std::string& line : lines) std::printf("%s\n", line.c_str());
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& exception) {
    return fail(kAPMPToolErrorInternal, exception.what());
  } catch (...) {
    return fail(kAPMPToolErrorInternal, "unexpected failure");
  }
}
