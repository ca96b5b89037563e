#pragma once
// Event-editing programs for tests, written as S-expressions: (NAME arg...) statements, numbers,
// "texts", true/false.

#include <cctype>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "APMPBMessages.h"
#include "EventEditing/APMPProgramTextFormat.h"

namespace editingtest {

class ProgramText {
 public:
  static std::string entity(const std::string& source) {
    ProgramText reader(source);
    return reader.next();
  }
  static std::vector<std::string> entities(const std::string& source) {
    ProgramText reader(source);
    std::vector<std::string> out;
    while (reader.skip()) out.push_back(reader.next());
    return out;
  }

 private:
  explicit ProgramText(const std::string& source) : s_(source) {}
  bool skip() {
    while (pos_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[pos_]))) ++pos_;
    return pos_ < s_.size();
  }
  std::string next() {
    skip();
    if (s_[pos_] == '(') {
      ++pos_;
      skip();
      size_t start = pos_;
      while (!std::isspace(static_cast<unsigned char>(s_[pos_])) && s_[pos_] != ')') ++pos_;
      std::string text = "{ type: STATEMENT function_name: \"" + s_.substr(start, pos_ - start) + "\"";
      while (skip() && s_[pos_] != ')') text += " value " + next();
      ++pos_;
      return text + " }";
    }
    if (s_[pos_] == '"') {
      size_t end = s_.find('"', pos_ + 1);
      std::string text = "{ type: STRING string_value: " + s_.substr(pos_, end - pos_ + 1) + " }";
      pos_ = end + 1;
      return text;
    }
    size_t start = pos_;
    while (pos_ < s_.size() && !std::isspace(static_cast<unsigned char>(s_[pos_])) && s_[pos_] != ')') ++pos_;
    std::string token = s_.substr(start, pos_ - start);
    if (token == "true" || token == "false") return "{ type: BOOLEAN boolean_value: " + token + " }";
    return "{ type: NUMBER number_value: " + token + " }";
  }
  std::string s_;
  size_t pos_ = 0;
};

inline const char* const kPreamble =
    "(41 \"reg\" \"log\" \"config\") (3 \"reg\" (require \"internal.registerCallback\"))"
    " (3 \"log\" (require \"internal.eventLogger\")) (3 \"config\" (require \"internal.remoteConfig\"))"
    " (50 \"register\" (7 \"rule\") (reg 0 (16 (15 \"rule\") \"fn\") (15 \"rule\")))";

// The preamble, and one "register" activity with a data entity per rule.
inline std::shared_ptr<APMPBProgram> program(const std::vector<std::string>& rules, const std::string& preamble = kPreamble) {
  std::string text;
  for (const std::string& instruction : ProgramText::entities(preamble)) text += "instructions " + instruction + "\n";
  text += "activities { activities { name: \"register\"";
  for (const std::string& rule : rules) text += " data " + ProgramText::entity(rule);
  text += " } }";
  std::string problem;
  auto bytes = APMPProgramBytesFromTextForm(text, &problem);
  EXPECT_TRUE(bytes) << problem;
  return bytes ? APMPBProgram::fromBuffer(*bytes) : nullptr;
}

inline std::string rule(const std::string& type, const std::string& body) {
  return "(8 \"type\" \"" + type + "\" \"fn\" (51 \"\" (7 \"e\") " + body + "))";
}

inline const std::string kIsCheckout = "(20 (2 (15 \"e\") \"getEventName\" (7)) \"checkout_start\")";

}  // namespace editingtest
