#pragma once
// Event-editing programs for the tests, built from the S-expression form of PixieTestSupport.h.
//
// Every program built with rulesProgram() starts with a preamble that defines the activity
// "register": it registers the rule map's "fn" as a callback, with the rule map as the options
// (so "type" and "priority" come from the rule). "log" holds the event-logger module.

#include <memory>
#include <string>
#include <vector>

#include "APMPixie.h"
#include "EventEditing/APMPEventEditing.h"

namespace editingtest {

struct Activity {
  std::string name;
  std::vector<std::string> data;  // each an S-expression evaluated on its own
};

extern const char* const kPreamble;

std::shared_ptr<APMPBProgram> makeProgram(const std::string& instructions, const std::vector<Activity>& activities);
// The preamble, the extra instructions, and one "register" activity with one data entity per rule.
std::shared_ptr<APMPBProgram> rulesProgram(const std::vector<std::string>& rules, const std::string& extra = "");
// A rule map: (8 "type" TYPE ["priority" P] "fn" (51 "" (7 "e") BODY)).
std::string rule(const std::string& type, const std::string& body, std::optional<int64_t> priority = std::nullopt);

std::shared_ptr<APMPEvent> event(const std::string& name, double timestamp, platform::Dictionary parameters);

}  // namespace editingtest
