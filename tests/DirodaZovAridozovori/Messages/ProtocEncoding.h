#pragma once
// Messages encoded by protoc's own encoder from the text format, for tests that check our reading
// against the real protocol-buffer format rather than against our own encoder.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "APMPBProtoLocations.h"
#include "TestSupport.h"
#include "platform/Object.h"

namespace protoctest {

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs protoc --encode of `type` (declared in `file`) over the text format `input`; empty (and the
// test failed) when protoc refuses it.
inline platform::Data protocEncode(const std::string& type, const std::string& file, const std::string& input) {
  testsupport::TempDir dir;
  const std::string in = dir.path() + "/in";
  const std::string out = dir.path() + "/out";
  std::ofstream(in, std::ios::binary) << input;
  const std::string command = std::string(APMPB_PROTOC_PATH) + " --encode=apmpb." + type + " -I " +
                              APMPB_PROTO_DIRECTORY + " " + APMPB_PROTO_DIRECTORY + "/" + file + " < " + in + " > " +
                              out + " 2> " + dir.path() + "/err";
  if (std::system(command.c_str()) != 0) {
    ADD_FAILURE() << "protoc failed: " << readFile(dir.path() + "/err");
    return {};
  }
  const std::string bytes = readFile(out);
  return platform::Data(bytes.begin(), bytes.end());
}

}  // namespace protoctest
